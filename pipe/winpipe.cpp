// The WinPipe natives: both ends of message-mode named pipes with blocking,
// synchronous transfer. Every handle returned belongs to the Java caller.
#include "binding.h"
#include "com_zarn_kelda_dravik_common_communication_win32_WinPipe.h"

namespace {

// Every server instance is a message-type pipe, read in message mode, whose
// calls block: PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT.
constexpr DWORD serverPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;

// True when the first length bytes of data exist: the array is there and
// 0 <= length <= its length. A transfer never reaches past the array's end.
bool lengthFitsArray(JNIEnv* env, jbyteArray data, jint length) noexcept
{
    return data != nullptr && length >= 0 && length <= env->GetArrayLength(data);
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
    Utf8Chars pipeName(env, name);
    if (!pipeName) return handleToJint(INVALID_HANDLE_VALUE);
    HANDLE instance = CreateNamedPipeA(pipeName.get(), static_cast<DWORD>(openMode), serverPipeMode,
                                       static_cast<DWORD>(maxInstances), static_cast<DWORD>(outBufferSize),
                                       static_cast<DWORD>(inBufferSize), static_cast<DWORD>(defaultTimeOut), nullptr);
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
    Utf8Chars pipeName(env, name);
    if (!pipeName) return handleToJint(INVALID_HANDLE_VALUE);
    HANDLE client = CreateFileA(pipeName.get(), static_cast<DWORD>(desiredAccess), 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
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
    if (!lengthFitsArray(env, data, length)) return -1;
    ByteElements elements(env, data);
    if (!elements) return -1;
    DWORD count = 0;
    // ReadFile fails with ERROR_MORE_DATA when the message is longer than the
    // buffer: the buffer holds its first length bytes and the rest stays in the
    // pipe for the next read. The code is read before the elements go back to
    // the JVM, which may change it.
    if (!ReadFile(handleFromJint<HANDLE>(handle), elements.get(), static_cast<DWORD>(length), &count, nullptr) &&
        GetLastError() != ERROR_MORE_DATA)
        return -1;
    jint received = static_cast<jint>(count);
    return received < length ? received : length;
}

// WinPipe.write(int handle, byte[] data, int length) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_communication_win32_WinPipe_write(JNIEnv* env, jclass, jint handle,
                                                                    jbyteArray data, jint length) noexcept
{
    if (!lengthFitsArray(env, data, length)) return 0;
    ByteElements elements(env, data);
    if (!elements) return 0;
    DWORD count = 0;
    // One WriteFile is one message; it returns once the whole message is in the pipe.
    if (!WriteFile(handleFromJint<HANDLE>(handle), elements.get(), static_cast<DWORD>(length), &count, nullptr))
        return 0;
    return static_cast<jint>(count);
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
    Utf8Chars pipeName(env, name);
    if (!pipeName) return JNI_FALSE;
    // WaitNamedPipeA fails at once when no pipe of the name exists, whatever the time-out.
    return static_cast<jboolean>(WaitNamedPipeA(pipeName.get(), static_cast<DWORD>(timeOut)));
}
