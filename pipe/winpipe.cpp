// The WinPipe natives: both ends of message-mode named pipes with blocking,
// synchronous transfer. Every handle returned belongs to the Java caller.
#include "binding.h"
#include "com_zarn_kelda_dravik_common_communication_win32_WinPipe.h"

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
jint readIntoElements(JNIEnv* env, HANDLE pipe, jbyteArray data, jint length, jbyte* head, jint headSize) noexcept
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
    if (!ReadFile(pipe, elements.get() + headSize, rest, &count, nullptr)) {
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
                       DWORD inBufferSize, DWORD defaultTimeOut) noexcept
{
    return name.units() ? CreateNamedPipeW(name.units(), openMode, serverPipeMode, maxInstances, outBufferSize,
                                           inBufferSize, defaultTimeOut, nullptr)
                        : CreateNamedPipeA(name.ansi(), openMode, serverPipeMode, maxInstances, outBufferSize,
                                           inBufferSize, defaultTimeOut, nullptr);
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
    jsize arrayLength = checkedArrayLength(env, data, length);
    if (arrayLength < 0) return -1;
    HANDLE pipe = handleFromJint<HANDLE>(handle);
    // Only the bytes received are put into the array, so that what other Java
    // threads write to the rest of it while the read waits stays. Every
    // destination is there before ReadFile takes a byte from the pipe: a long
    // read into an array of up to 64 KiB is one ReadFile into the elements, and
    // elements the JVM refuses leave the message whole in the pipe.
    if (length > stackTransfer && arrayLength <= smallArray) return readIntoElements(env, pipe, data, length, nullptr, 0);

    // A short message, the usual answer even in a large array, needs no
    // elements. A longer one goes on after its first 4096 bytes in a second
    // ReadFile, into the elements or, where the JVM refuses them, through the
    // stack: the bytes taken always reach the array. Between the two calls, a
    // thread reading the same handle at the same time may take part of it.
    jbyte head[stackTransfer];
    DWORD count = 0;
    bool more = false;
    if (!ReadFile(pipe, head, static_cast<DWORD>(length < stackTransfer ? length : stackTransfer), &count, nullptr)) {
        if (GetLastError() != ERROR_MORE_DATA) return -1;
        more = true;
    }
    if (!more || length <= stackTransfer) {
        env->SetByteArrayRegion(data, 0, static_cast<jsize>(count), head);
        return env->ExceptionCheck() ? -1 : static_cast<jint>(count);
    }
    return readIntoElements(env, pipe, data, length, head, stackTransfer);
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
