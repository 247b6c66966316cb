// Calls the library's natives as a JVM does: the DLL loaded with LoadLibraryA,
// each native found with GetProcAddress under its exported name (on 32-bit
// Windows "_Name@N", N being the bytes of all arguments), and called with a
// JNIEnv* and a receiver.
#ifndef ZARN_TEST_NATIVES_H
#define ZARN_TEST_NATIVES_H

#include "test_jni.h"

#include <functional>
#include <string>

namespace testjni {

constexpr const char* libraryName = "zarnwin32.dll";
constexpr const char* win32Package = "Java_com_zarn_kelda_dravik_common_win32_";
constexpr const char* pipePackage = "Java_com_zarn_kelda_dravik_common_communication_win32_";

// The exported name of a native whose arguments, JNIEnv* and receiver included, take argBytes.
inline std::string exportedName(const std::string& jniName, int argBytes)
{
#ifdef _WIN64
    (void)argBytes;
    return jniName;
#else
    return "_" + jniName + "@" + std::to_string(argBytes);
#endif
}

// The library, loaded once per test process.
HMODULE library();

template <typename Signature>
class Native;

template <typename R, typename... Args>
class Native<R(Args...)> {
public:
    using Pointer = R(JNICALL*)(JNIEnv*, jclass, Args...);

    // jniName: "Registry_keyExists" style names are completed with the package.
    explicit Native(const std::string& jniName)
        : name_(exportedName(jniName, 8 + argumentBytes())),
          pointer_(reinterpret_cast<Pointer>(reinterpret_cast<void*>(GetProcAddress(library(), name_.c_str()))))
    {
    }

    R operator()(TestJni& jni, Args... args) const
    {
        if (!pointer_) {
            ADD_FAILURE() << "native not exported: " << name_;
            return R();
        }
        TestJni::NativeCall frame(jni);
        return pointer_(jni.env(), jni.receiver(), args...);
    }

    // Calls with another receiver (any object, or null: it is never read).
    R withReceiver(TestJni& jni, jclass receiver, Args... args) const
    {
        TestJni::NativeCall frame(jni);
        return pointer_(jni.env(), receiver, args...);
    }

    const std::string& name() const { return name_; }
    bool resolved() const { return pointer_ != nullptr; }

private:
    static constexpr int argumentBytes()
    {
        return (0 + ... + static_cast<int>(sizeof(Args) < 4 ? 4 : sizeof(Args)));
    }

    std::string name_;
    Pointer pointer_;
};

// A thread of the test (the library's toolchain has no std::thread).
class TestThread {
public:
    explicit TestThread(std::function<void()> body);
    ~TestThread();
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    // Waits up to timeoutMs; true when the thread has ended.
    bool join(DWORD timeoutMs = INFINITE);
    DWORD id() const { return id_; }

private:
    static DWORD WINAPI run(void* self);
    std::function<void()> body_;
    HANDLE handle_;
    DWORD id_ = 0;
};

// Checks the fields that every window class of the library has, the default
// class and those registered on demand alike; instance is the one that
// GetClassInfoA was asked with, which it reports back.
void expectLibraryClassFields(const WNDCLASSA& info, HINSTANCE instance);

// The number of handles the process holds.
DWORD processHandleCount();

// HeapValidate of every heap of the process. With heap checking on (GlobalFlag
// in the test bed) it finds overwritten block tails and writes into freed
// blocks, and Wine prints an err:heap line for each damaged heap.
bool processHeapsValid();

}  // namespace testjni

#endif
