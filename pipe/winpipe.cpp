// The WinPipe natives: both ends of message-mode named pipes with blocking,
// synchronous transfer. Every handle returned belongs to the Java caller.
#include "binding.h"
#include "com_zarn_kelda_dravik_common_communication_win32_WinPipe.h"

#include <aclapi.h>

#include <climits>
#include <cstring>

namespace {

// Every server instance is a message-type pipe, read in message mode, whose
// calls block: PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT.
constexpr DWORD serverPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;

// Transfers of up to this many bytes go through a buffer on the stack and the
// JNI region calls, which move only the bytes transferred; a JVM that copies
// the whole array to hand out its elements would otherwise copy a large array
// for a short message.
constexpr jint stackTransfer = 4096;

// A longer read into an array of up to this many bytes goes straight into the
// elements: copying so small an array costs less than the second ReadFile that
// reading the first bytes on the stack would take when the message is long.
constexpr jsize smallArray = 64 * 1024;

// WinPipe.TIMED_OUT, WinPipe.ACCESS_DEFAULT and WinPipe.ACCESS_OWNER_ONLY.
constexpr jint timedOut = -2;
constexpr jint accessDefault = 0;
constexpr jint accessOwnerOnly = 1;

// The array's length when its first length bytes exist (0 <= length <= its
// length), else -1: a transfer never reaches past the array's end.
jsize checkedArrayLength(JNIEnv* env, jbyteArray data, jint length) noexcept
{
    if (data == nullptr || length < 0) return -1;
    jsize arrayLength = env->GetArrayLength(data);
    return length <= arrayLength ? arrayLength : -1;
}

// Puts the headSize bytes of a message already taken from the pipe into the
// array, then reads the rest of the message, up to length bytes in all,
// through the same stack buffer a piece at a time. It needs no memory of the
// JVM or of the heap, so that what was taken from the pipe reaches the array
// whatever they refuse: a region call within the array raises nothing.
jint readInPieces(JNIEnv* env, HANDLE pipe, jbyteArray data, jint length, jbyte* buffer, jint headSize) noexcept
{
    jint done = 0;
    jint count = headSize;
    bool more = true;
    for (;;) {
        env->SetByteArrayRegion(data, done, count, buffer);
        if (env->ExceptionCheck()) return -1;
        done += count;
        if (!more || done == length) return done;
        DWORD piece = static_cast<DWORD>(length - done < stackTransfer ? length - done : stackTransfer);
        DWORD received = 0;
        more = !ReadFile(pipe, buffer, piece, &received, nullptr);
        // Any failure but ERROR_MORE_DATA leaves the bytes read so far as the result.
        if (more && GetLastError() != ERROR_MORE_DATA) return done;
        count = static_cast<jint>(received);
    }
}

// Reads up to length bytes of one message into the array's elements, after the
// headSize bytes of it already read into head, and puts exactly the bytes
// received into the array. ReadFile fails with ERROR_MORE_DATA when the
// message is longer than the buffer: the buffer is full and the rest stays in
// the pipe for the next read.
// The first ReadFile of a read, when headSize is 0, goes through firstRead.
template <typename FirstRead>
jint readIntoElements(JNIEnv* env, HANDLE pipe, jbyteArray data, jint length, jbyte* head, jint headSize,
                      FirstRead firstRead) noexcept
{
    ByteElements elements(env, data);
    if (!elements) {
        // Without a head nothing was taken from the pipe: the JVM's error
        // stays pending. A head was taken, so the message goes on through the
        // stack instead, and the JVM's OutOfMemoryError is no longer the result.
        if (headSize == 0) return -1;
        env->ExceptionClear();
        return readInPieces(env, pipe, data, length, head, headSize);
    }
    if (headSize > 0) memcpy(elements.get(), head, static_cast<size_t>(headSize));
    DWORD rest = static_cast<DWORD>(length - headSize);
    DWORD count = 0;
    BOOL read = headSize == 0 ? firstRead(elements.get(), rest, &count)
                              : ReadFile(pipe, elements.get() + headSize, rest, &count, nullptr);
    if (!read) {
        // After a head, any other failure leaves the head, which the pipe no
        // longer holds, as the result.
        if (GetLastError() == ERROR_MORE_DATA) count = rest;
        else if (headSize == 0) return -1;
    }
    jint received = headSize + static_cast<jint>(count);
    return elements.copyBack(received) ? received : -1;
}

// ---- The pipe functions that take a name, in the form of the name they are given.
HANDLE createNamedPipe(const WindowsText& name, DWORD openMode, DWORD maxInstances, DWORD outBufferSize,
                       DWORD inBufferSize, DWORD defaultTimeOut, DWORD pipeMode = serverPipeMode,
                       SECURITY_ATTRIBUTES* security = nullptr) noexcept
{
    return name.units() ? CreateNamedPipeW(name.units(), openMode, pipeMode, maxInstances, outBufferSize,
                                           inBufferSize, defaultTimeOut, security)
                        : CreateNamedPipeA(name.ansi(), openMode, pipeMode, maxInstances, outBufferSize,
                                           inBufferSize, defaultTimeOut, security);
}

HANDLE openPipe(const WindowsText& name, DWORD desiredAccess) noexcept
{
    return name.units() ? CreateFileW(name.units(), desiredAccess, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                        : CreateFileA(name.ansi(), desiredAccess, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

BOOL waitNamedPipe(const WindowsText& name, DWORD timeOut) noexcept
{
    return name.units() ? WaitNamedPipeW(name.units(), timeOut) : WaitNamedPipeA(name.ansi(), timeOut);
}

// The read of WinPipe.read: the first ReadFile, the one that waits for a
// message, goes through firstRead(buffer, size, &count), which returns its BOOL.
template <typename FirstRead>
jint readMessage(JNIEnv* env, HANDLE pipe, jbyteArray data, jint length, FirstRead firstRead) noexcept
{
    jsize arrayLength = checkedArrayLength(env, data, length);
    if (arrayLength < 0) return -1;
    // Only the bytes received are put into the array, so that what other Java
    // threads write to the rest of it while the read waits stays. Every
    // destination is there before ReadFile takes a byte from the pipe: a long
    // read into an array of up to 64 KiB is one ReadFile into the elements, and
    // elements the JVM refuses leave the message whole in the pipe.
    if (length > stackTransfer && arrayLength <= smallArray)
        return readIntoElements(env, pipe, data, length, nullptr, 0, firstRead);

    // A short message, the usual answer even in a large array, needs no
    // elements. A longer one goes on after its first 4096 bytes in a second
    // ReadFile, into the elements or, where the JVM refuses them, through the
    // stack: the bytes taken always reach the array. Between the two calls, a
    // thread reading the same handle at the same time may take part of it.
    jbyte head[stackTransfer];
    DWORD count = 0;
    bool more = false;
    if (!firstRead(head, static_cast<DWORD>(length < stackTransfer ? length : stackTransfer), &count)) {
        if (GetLastError() != ERROR_MORE_DATA) return -1;
        more = true;
    }
    if (!more || length <= stackTransfer) {
        env->SetByteArrayRegion(data, 0, static_cast<jsize>(count), head);
        return env->ExceptionCheck() ? -1 : static_cast<jint>(count);
    }
    return readIntoElements(env, pipe, data, length, head, stackTransfer, firstRead);
}

// The first ReadFile of WinPipe.read, which waits without limit.
struct PlainFirstRead {
    HANDLE pipe;
    BOOL operator()(void* buffer, DWORD size, DWORD* count) const noexcept
    {
        return ReadFile(pipe, buffer, size, count, nullptr);
    }
};

// A first ReadFile under a deadline; cancelled tells whether the deadline
// ended it (ReadFile then failed with ERROR_OPERATION_ABORTED and took nothing
// from the pipe: a pipe read either completes with its bytes or is cancelled
// whole).
struct TimedFirstRead {
    HANDLE pipe;
    DWORD timeoutMillis;
    bool* cancelled;
    BOOL operator()(void* buffer, DWORD size, DWORD* count) const noexcept
    {
        BOOL read = FALSE;
        if (!callWithDeadline(timeoutMillis, *cancelled, [&] { read = ReadFile(pipe, buffer, size, count, nullptr); }))
            SetLastError(ERROR_NOT_SUPPORTED);
        return read;
    }
};

// The security of an owner-only pipe: the user of the process's token is the
// owner, and a protected DACL grants that user alone all access. An elevated
// process and a filtered one of the same user have the same token user, so
// the user's programs reach the pipe whether they are elevated or not.
// Objects that a process above medium integrity makes get its integrity
// level, which bars medium-integrity clients from writing: such a process
// labels the pipe medium.
class OwnerOnlySecurity {
public:
    OwnerOnlySecurity() noexcept
    {
        UniqueKernelHandle token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return;
        union {
            TOKEN_USER user;
            TOKEN_MANDATORY_LABEL label;
            BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        } info;
        DWORD size = 0;
        if (!GetTokenInformation(token.get(), TokenUser, &info, sizeof info, &size) ||
            !CopySid(sizeof user_, user_, info.user.User.Sid))
            return;
        if (!InitializeAcl(&dacl_.acl, sizeof dacl_, ACL_REVISION) ||
            !AddAccessAllowedAce(&dacl_.acl, ACL_REVISION, FILE_ALL_ACCESS, user_) ||
            !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorOwner(&descriptor_, user_, FALSE) ||
            !SetSecurityDescriptorDacl(&descriptor_, TRUE, &dacl_.acl, FALSE) ||
            !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
            return;
        // TokenIntegrityLevel fails before Windows Vista, which has no integrity levels.
        if (GetTokenInformation(token.get(), TokenIntegrityLevel, &info, sizeof info, &size) &&
            *GetSidSubAuthority(info.label.Label.Sid, *GetSidSubAuthorityCount(info.label.Label.Sid) - 1) >
                SECURITY_MANDATORY_MEDIUM_RID &&
            !labelMedium())
            return;
        attributes_ = {sizeof attributes_, &descriptor_, FALSE};
    }
    OwnerOnlySecurity(const OwnerOnlySecurity&) = delete;
    OwnerOnlySecurity& operator=(const OwnerOnlySecurity&) = delete;

    // Null when the descriptor could not be made.
    SECURITY_ATTRIBUTES* attributes() noexcept { return attributes_.lpSecurityDescriptor ? &attributes_ : nullptr; }

    // True when the pipe of the instance is one of these: owned by the user,
    // its DACL granting no one else anything.
    bool made(HANDLE instance) const noexcept
    {
        PSID owner = nullptr;
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR read = nullptr;
        if (GetSecurityInfo(instance, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                            nullptr, &dacl, nullptr, &read) != ERROR_SUCCESS)
            return false;
        UniqueLocalText<BYTE> readBack(static_cast<BYTE*>(read));
        // A null DACL grants everyone everything.
        bool ours = owner && EqualSid(owner, const_cast<BYTE*>(user_)) && dacl;
        for (DWORD i = 0; ours && i < dacl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            ours = GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                   EqualSid(&ace->SidStart, const_cast<BYTE*>(user_));
        }
        return ours;
    }

private:
    // A SACL that holds the mandatory label medium, no write up.
    bool labelMedium() noexcept
    {
        SID_IDENTIFIER_AUTHORITY authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
        SID medium = {SID_REVISION, 1, authority, {SECURITY_MANDATORY_MEDIUM_RID}};
        if (!InitializeAcl(&sacl_.acl, sizeof sacl_, ACL_REVISION)) return false;
        label_.header = {SYSTEM_MANDATORY_LABEL_ACE_TYPE, 0, sizeof label_};
        label_.mask = SYSTEM_MANDATORY_LABEL_NO_WRITE_UP;
        label_.sid = medium;
        return AddAce(&sacl_.acl, ACL_REVISION, 0, &label_, sizeof label_) &&
               SetSecurityDescriptorSacl(&descriptor_, TRUE, &sacl_.acl, FALSE);
    }

    BYTE user_[SECURITY_MAX_SID_SIZE] = {};
    union {
        ACL acl;
        BYTE bytes[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];
    } dacl_;
    union {
        ACL acl;
        BYTE bytes[sizeof(ACL) + 32];
    } sacl_;
    struct {
        ACE_HEADER header;
        DWORD mask;
        SID sid;
    } label_;
    SECURITY_DESCRIPTOR descriptor_;
    SECURITY_ATTRIBUTES attributes_ = {};
};

// An owner-only instance: the first of its name with FILE_FLAG_FIRST_PIPE_INSTANCE,
// which fails with ERROR_ACCESS_DENIED when the name exists; a further one
// only when the pipe that has the name is one of the user's own owner-only pipes.
HANDLE createOwnerOnlyPipe(const WindowsText& name, DWORD openMode, DWORD maxInstances, DWORD outBufferSize,
                           DWORD inBufferSize, DWORD defaultTimeOut) noexcept
{
    // PIPE_REJECT_REMOTE_CLIENTS came with Windows Vista, as did the process
    // id functions: before it no pipe can refuse remote clients, and none is made.
    if (!getNamedPipeClientProcessId) return INVALID_HANDLE_VALUE;
    OwnerOnlySecurity security;
    if (!security.attributes()) return INVALID_HANDLE_VALUE;
    const DWORD pipeMode = serverPipeMode | PIPE_REJECT_REMOTE_CLIENTS;
    HANDLE instance = createNamedPipe(name, openMode | FILE_FLAG_FIRST_PIPE_INSTANCE, maxInstances, outBufferSize,
                                      inBufferSize, defaultTimeOut, pipeMode, security.attributes());
    if (instance == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED &&
        !(openMode & FILE_FLAG_FIRST_PIPE_INSTANCE)) {
        instance = createNamedPipe(name, openMode, maxInstances, outBufferSize, inBufferSize, defaultTimeOut, pipeMode,
                                   security.attributes());
        if (instance != INVALID_HANDLE_VALUE && !security.made(instance)) {
            CloseHandle(instance);
            instance = INVALID_HANDLE_VALUE;
        }
    }
    return instance;
}

// The process id that query (GetNamedPipeClientProcessId or GetNamedPipeServerProcessId,
// null before Windows Vista) gives for the handle; -1 when it gives none.
jint peerProcessId(PipeProcessIdFunction query, jint handle) noexcept
{
    ULONG id = 0;
    if (!query || !query(handleFromJint<HANDLE>(handle), &id)) return -1;
    return static_cast<jint>(id);
}

}  // namespace

// WinPipe.createNamedPipe(String name, int openMode, int maxInstances, int outBufferSize,
//                         int inBufferSize, int defaultTimeOut) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_createNamedPipe(JNIEnv* env, jclass, jstring name,
                                                                              jint openMode, jint maxInstances,
                                                                              jint outBufferSize, jint inBufferSize,
                                                                              jint defaultTimeOut) noexcept
{
    // A name that holds U+0000 is refused, as is one whose characters the JVM could not supply.
    WindowsText pipeName(env, name);
    if (!pipeName) return handleToJint(INVALID_HANDLE_VALUE);
    // The natives do blocking I/O without an OVERLAPPED structure. On a handle
    // made with FILE_FLAG_OVERLAPPED, such a ReadFile returns as soon as another
    // transfer on the handle completes, while Windows keeps the read pending
    // and later writes into a buffer that the JVM has taken back.
    DWORD mode = static_cast<DWORD>(openMode) & ~static_cast<DWORD>(FILE_FLAG_OVERLAPPED);
    HANDLE instance = createNamedPipe(pipeName, mode, static_cast<DWORD>(maxInstances),
                                      static_cast<DWORD>(outBufferSize), static_cast<DWORD>(inBufferSize),
                                      static_cast<DWORD>(defaultTimeOut));
    return handleToJint(instance);
}

// WinPipe.connectNamedPipe(int handle) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_connectNamedPipe(JNIEnv*, jclass, jint handle) noexcept
{
    if (ConnectNamedPipe(handleFromJint<HANDLE>(handle), nullptr)) return 1;
    // ConnectNamedPipe fails with ERROR_PIPE_CONNECTED when the client opened
    // the instance before the call: the instance is connected all the same.
    return GetLastError() == ERROR_PIPE_CONNECTED ? 1 : 0;
}

// WinPipe.createFile(String name, int desiredAccess) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_createFile(JNIEnv* env, jclass, jstring name,
                                                                         jint desiredAccess) noexcept
{
    WindowsText pipeName(env, name);
    if (!pipeName) return handleToJint(INVALID_HANDLE_VALUE);
    HANDLE client = openPipe(pipeName, static_cast<DWORD>(desiredAccess));
    jint result = handleToJint(client);
    if (result >= 0) {
        // A client end opens in byte read mode. Windows refuses the switch to
        // message mode for a handle without write access to the pipe's
        // attributes (GENERIC_READ alone); that handle is returned as it is.
        DWORD readMode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(client, &readMode, nullptr, nullptr);
    }
    return result;
}

// WinPipe.read(int handle, byte[] data, int length) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_read(JNIEnv* env, jclass, jint handle,
                                                                   jbyteArray data, jint length) noexcept
{
    HANDLE pipe = handleFromJint<HANDLE>(handle);
    return readMessage(env, pipe, data, length, PlainFirstRead{pipe});
}

// WinPipe.write(int handle, byte[] data, int length) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_write(JNIEnv* env, jclass, jint handle,
                                                                    jbyteArray data, jint length) noexcept
{
    if (checkedArrayLength(env, data, length) < 0) return 0;
    HANDLE pipe = handleFromJint<HANDLE>(handle);
    // One WriteFile is one message; it returns once the whole message is in the
    // pipe. The array is only read: the elements go back without a copy.
    DWORD count = 0;
    BOOL written;
    if (length <= stackTransfer) {
        jbyte message[stackTransfer];
        env->GetByteArrayRegion(data, 0, length, message);
        if (env->ExceptionCheck()) return 0;
        written = WriteFile(pipe, message, static_cast<DWORD>(length), &count, nullptr);
    } else {
        ByteElements elements(env, data);
        if (!elements) return 0;
        written = WriteFile(pipe, elements.get(), static_cast<DWORD>(length), &count, nullptr);
    }
    return written ? static_cast<jint>(count) : 0;
}

// WinPipe.flushFileBuffers(int handle) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_flushFileBuffers(JNIEnv*, jclass, jint handle) noexcept
{
    // On a pipe, FlushFileBuffers returns once the other end has read everything written to it.
    return FlushFileBuffers(handleFromJint<HANDLE>(handle));
}

// WinPipe.disconnect(int handle) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_disconnect(JNIEnv*, jclass, jint handle) noexcept
{
    return DisconnectNamedPipe(handleFromJint<HANDLE>(handle));
}

// WinPipe.closeHandle(int handle) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_closeHandle(JNIEnv*, jclass, jint handle) noexcept
{
    return CloseHandle(handleFromJint<HANDLE>(handle));
}

// WinPipe.waitForPipe(String name, int timeOut) -> boolean
extern "C" JNIEXPORT jboolean JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_waitForPipe(JNIEnv* env, jclass, jstring name,
                                                                          jint timeOut) noexcept
{
    WindowsText pipeName(env, name);
    if (!pipeName) return JNI_FALSE;
    // WaitNamedPipe fails at once when no pipe of the name exists, whatever the time-out.
    return static_cast<jboolean>(waitNamedPipe(pipeName, static_cast<DWORD>(timeOut)));
}

// WinPipe.readTimed(int handle, byte[] data, int length, int timeoutMillis) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_readTimed(JNIEnv* env, jclass, jint handle,
                                                                        jbyteArray data, jint length,
                                                                        jint timeoutMillis) noexcept
{
    HANDLE pipe = handleFromJint<HANDLE>(handle);
    if (timeoutMillis < 0) return readMessage(env, pipe, data, length, PlainFirstRead{pipe});
    // Only the ReadFile that waits for the message has the deadline: the rest
    // of a long message is in the pipe once its first bytes are taken.
    bool cancelled = false;
    jint received =
        readMessage(env, pipe, data, length, TimedFirstRead{pipe, static_cast<DWORD>(timeoutMillis), &cancelled});
    return received == -1 && cancelled && GetLastError() == ERROR_OPERATION_ABORTED ? timedOut : received;
}

// WinPipe.connectNamedPipeTimed(int handle, int timeoutMillis) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_connectNamedPipeTimed(JNIEnv* env, jclass, jint handle,
                                                                                    jint timeoutMillis) noexcept
{
    if (timeoutMillis < 0)
        return Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_connectNamedPipe(env, nullptr, handle);
    BOOL connected = FALSE;
    DWORD error = ERROR_NOT_SUPPORTED;
    bool cancelled = false;
    callWithDeadline(static_cast<DWORD>(timeoutMillis), cancelled, [&] {
        connected = ConnectNamedPipe(handleFromJint<HANDLE>(handle), nullptr);
        error = GetLastError();
    });
    // A cancelled ConnectNamedPipe leaves the instance waiting for a client:
    // one that comes before the next call makes it return ERROR_PIPE_CONNECTED.
    if (connected || error == ERROR_PIPE_CONNECTED) return 1;
    return cancelled && error == ERROR_OPERATION_ABORTED ? timedOut : 0;
}

// WinPipe.available(int handle) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_available(JNIEnv*, jclass, jint handle) noexcept
{
    HANDLE pipe = handleFromJint<HANDLE>(handle);
    DWORD total = 0, leftOfMessage = 0;
    // PeekNamedPipe fails when the other end has closed and nothing is left to read.
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &total, &leftOfMessage)) return -1;
    // A read in message read mode returns at most the rest of the next
    // message, in byte read mode whatever waits; on a byte-type pipe the rest
    // of a message is always 0.
    DWORD readMode = PIPE_READMODE_MESSAGE;
    if (leftOfMessage != total && GetNamedPipeHandleState(pipe, &readMode, nullptr, nullptr, nullptr, nullptr, 0) &&
        !(readMode & PIPE_READMODE_MESSAGE))
        leftOfMessage = total;
    return leftOfMessage > INT_MAX ? INT_MAX : static_cast<jint>(leftOfMessage);
}

// WinPipe.cancel(int handle) -> boolean
extern "C" JNIEXPORT jboolean JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_cancel(JNIEnv*, jclass, jint handle) noexcept
{
    // CancelIoEx without an OVERLAPPED cancels every call that waits on the
    // handle, in any thread of the process, synchronous ones too; it fails with
    // ERROR_NOT_FOUND on a valid handle on which nothing waits.
    if (!cancelIoEx) return JNI_FALSE;
    return cancelIoEx(handleFromJint<HANDLE>(handle), nullptr) || GetLastError() == ERROR_NOT_FOUND;
}

// WinPipe.createNamedPipeWithAccess(String name, int openMode, int maxInstances, int outBufferSize,
//                                   int inBufferSize, int defaultTimeOut, int access) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_createNamedPipeWithAccess(
    JNIEnv* env, jclass, jstring name, jint openMode, jint maxInstances, jint outBufferSize, jint inBufferSize,
    jint defaultTimeOut, jint access) noexcept
{
    if (access != accessDefault && access != accessOwnerOnly) return handleToJint(INVALID_HANDLE_VALUE);
    WindowsText pipeName(env, name);
    if (!pipeName) return handleToJint(INVALID_HANDLE_VALUE);
    // As createNamedPipe: the natives make blocking calls only.
    DWORD mode = static_cast<DWORD>(openMode) & ~static_cast<DWORD>(FILE_FLAG_OVERLAPPED);
    HANDLE instance = access == accessOwnerOnly
                          ? createOwnerOnlyPipe(pipeName, mode, static_cast<DWORD>(maxInstances),
                                                static_cast<DWORD>(outBufferSize), static_cast<DWORD>(inBufferSize),
                                                static_cast<DWORD>(defaultTimeOut))
                          : createNamedPipe(pipeName, mode, static_cast<DWORD>(maxInstances),
                                            static_cast<DWORD>(outBufferSize), static_cast<DWORD>(inBufferSize),
                                            static_cast<DWORD>(defaultTimeOut));
    return handleToJint(instance);
}

// WinPipe.clientProcessId(int serverHandle) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_clientProcessId(JNIEnv*, jclass,
                                                                              jint serverHandle) noexcept
{
    return peerProcessId(getNamedPipeClientProcessId, serverHandle);
}

// WinPipe.serverProcessId(int clientHandle) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_serverProcessId(JNIEnv*, jclass,
                                                                              jint clientHandle) noexcept
{
    return peerProcessId(getNamedPipeServerProcessId, clientHandle);
}
