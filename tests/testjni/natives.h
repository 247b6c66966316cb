// Calls the library's natives as a JVM does: the DLL loaded with LoadLibraryA,
// each native found with GetProcAddress under its exported name (on 32-bit
// Windows "_Name@N", N being the bytes of all arguments), and called with a
// JNIEnv* and a receiver.
#ifndef ZARN_TEST_NATIVES_H
#define ZARN_TEST_NATIVES_H

#include "test_jni.h"

#include <functional>
#include <string>
#include <vector>

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

// The library, loaded once per test process. It is loaded as a JVM loads it:
// LoadLibrary, then JNI_OnLoad, here with the system property zarnwin32.text
// set to the test process's ZARN_TEST_TEXT environment variable when that is
// set (CTest runs each suite's text cases once more with it set to unicode).
HMODULE library();

// The text mode the library was loaded in: true for unicode.
bool unicodeMode();

// What a program that uses only the W functions sees of Java text that a
// native handed to Windows: the text itself in unicode mode; in ansi mode the
// text's modified UTF-8 bytes read in the ANSI code page.
std::u16string seenByWideProgram(const std::u16string& javaText);
// The Java text that a native makes of text that such a program stored: the
// text itself in unicode mode; in ansi mode the text in the ANSI code page (its
// best fit, as the A functions give it) and decoded as the library decodes ANSI
// text.
std::u16string readFromWideProgram(const std::u16string& windowsText);
std::wstring wide(const std::u16string& text);

// Java text that each subsystem's text cases carry: ASCII, characters of the
// ANSI code page, others outside it, one outside the Basic Multilingual Plane,
// an unpaired surrogate, and text longer than a native's stack buffer.
struct TextSample {
    const char* label;
    std::u16string text;
};
const std::vector<TextSample>& textSamples();

// Called by callOnLoad with the module before its JNI_OnLoad, when set: the
// test programs set it to the page heap (page_heap.h), the benchmarks do not.
extern void (*onLibraryLoad)(HMODULE module);

// Calls the library's JNI_OnLoad as a JVM does, with zarnwin32.text set to
// mode when it is not null; returns what JNI_OnLoad returned.
jint callOnLoad(HMODULE module, TestJni& jni, const char* mode);

template <typename Signature>
class Native;

template <typename R, typename... Args>
class Native<R(Args...)> {
public:
    using Pointer = R(JNICALL*)(JNIEnv*, jclass, Args...);

    // jniName: "Registry_keyExists" style names are completed with the package.
    // module: the library loaded as the test process loads it, or another copy of it.
    explicit Native(const std::string& jniName, HMODULE module = library())
        : name_(exportedName(jniName, 8 + argumentBytes())),
          pointer_(reinterpret_cast<Pointer>(reinterpret_cast<void*>(GetProcAddress(module, name_.c_str()))))
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
