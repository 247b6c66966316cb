#include "natives.h"

#include "import_patch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace testjni {

namespace {

// GoogleTest also copies each failure to OutputDebugStringA, which raises an
// exception to reach a debugger; where 32-bit code runs under emulation,
// dispatching that exception ends the process and the report with it. Every
// test program links this file (it loads the library), so its own calls go
// nowhere instead and failures are reported on the console.
void WINAPI noDebugOutput(LPCSTR) {}
const ImportPatch consoleOnlyFailures(GetModuleHandleA(nullptr), "OutputDebugStringA",
                                      reinterpret_cast<void*>(noDebugOutput));

// Validates the heaps after each test, when the test's threads have ended: a
// damaged block makes Wine print an err:heap line, which fails the suite, and
// the line below names the test. Wine 8.0's own validation at every heap call
// (GlobalFlag 0x80) is no substitute: with threads allocating at once it
// reports blocks that nothing overwrote.
class HeapCheck : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo& test) override
    {
        if (!processHeapsValid()) printf("heap check: a heap is damaged after %s.%s\n", test.test_suite_name(), test.name());
    }
};
const bool heapCheckListening = (::testing::UnitTest::GetInstance()->listeners().Append(new HeapCheck), true);

}  // namespace

bool processHeapsValid()
{
    HANDLE heaps[256];
    DWORD count = GetProcessHeaps(256, heaps);
    bool valid = count <= 256;
    for (DWORD i = 0; i < count && i < 256; ++i) valid = HeapValidate(heaps[i], 0, nullptr) && valid;
    return valid;
}

void (*onLibraryLoad)(HMODULE module) = nullptr;

jint callOnLoad(HMODULE module, TestJni& jni, const char* mode)
{
    using OnLoad = jint(JNICALL*)(JavaVM*, void*);
    auto onLoad = reinterpret_cast<OnLoad>(
        reinterpret_cast<void*>(GetProcAddress(module, exportedName("JNI_OnLoad", 8).c_str())));
    if (!onLoad) {
        ADD_FAILURE() << "JNI_OnLoad not exported";
        return JNI_ERR;
    }
    if (onLibraryLoad) onLibraryLoad(module);
    if (mode) jni.setProperty("zarnwin32.text", mode);
    return onLoad(jni.vm(), nullptr);
}

namespace {

const char* testTextMode()
{
    static char mode[16];
    DWORD length = GetEnvironmentVariableA("ZARN_TEST_TEXT", mode, sizeof mode);
    return length > 0 && length < sizeof mode ? mode : nullptr;
}

}  // namespace

HMODULE library()
{
    static HMODULE module = [] {
        HMODULE loaded = LoadLibraryA(libraryName);
        if (!loaded) {
            ADD_FAILURE() << "LoadLibraryA(" << libraryName << ") failed: " << GetLastError();
            return loaded;
        }
        TestJni jni;
        if (callOnLoad(loaded, jni, testTextMode()) != JNI_VERSION_1_6) ADD_FAILURE() << "JNI_OnLoad failed";
        EXPECT_TRUE(jni.clean());
        return loaded;
    }();
    return module;
}

bool unicodeMode()
{
    const char* mode = testTextMode();
    return mode && strcmp(mode, "unicode") == 0;
}

TestThread::TestThread(std::function<void()> body) : body_(std::move(body))
{
    handle_ = CreateThread(nullptr, 0, run, this, 0, &id_);
    if (!handle_) ADD_FAILURE() << "CreateThread failed: " << GetLastError();
}

TestThread::~TestThread()
{
    if (handle_) {
        join();
        CloseHandle(handle_);
    }
}

bool TestThread::join(DWORD timeoutMs)
{
    return handle_ && WaitForSingleObject(handle_, timeoutMs) == WAIT_OBJECT_0;
}

DWORD WINAPI TestThread::run(void* self)
{
    static_cast<TestThread*>(self)->body_();
    return 0;
}

DWORD processHandleCount()
{
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

void expectLibraryClassFields(const WNDCLASSA& info, HINSTANCE instance)
{
    EXPECT_EQ(info.style, 0x4203u);
    EXPECT_EQ(reinterpret_cast<void*>(info.lpfnWndProc),
              reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "DefWindowProcA")));
    EXPECT_EQ(info.cbClsExtra, 0);
    EXPECT_EQ(info.cbWndExtra, 0);
    EXPECT_EQ(info.hInstance, instance);
    EXPECT_EQ(info.hIcon, nullptr);
    EXPECT_EQ(info.hCursor, nullptr);
    EXPECT_EQ(info.hbrBackground, reinterpret_cast<HBRUSH>(1));
    EXPECT_EQ(info.lpszMenuName, nullptr);
}

std::wstring wide(const std::u16string& text)
{
    return std::wstring(text.begin(), text.end());
}

std::u16string seenByWideProgram(const std::u16string& javaText)
{
    if (unicodeMode()) return javaText;
    std::string bytes = toModifiedUtf8(javaText);
    if (bytes.empty()) return u"";
    int units = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(units), u'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), reinterpret_cast<WCHAR*>(&out[0]), units);
    return out;
}

std::u16string readFromWideProgram(const std::u16string& windowsText)
{
    if (unicodeMode() || windowsText.empty()) return windowsText;
    auto units = reinterpret_cast<const WCHAR*>(windowsText.data());
    int count = static_cast<int>(windowsText.size());
    int size = WideCharToMultiByte(CP_ACP, 0, units, count, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, units, count, &bytes[0], size, nullptr, nullptr);
    if (isModifiedUtf8(bytes.c_str())) return fromModifiedUtf8(bytes);
    std::u16string out(bytes.size(), u'\0');
    int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, reinterpret_cast<WCHAR*>(&out[0]), size);
    out.resize(static_cast<size_t>(n));
    return out;
}

const std::vector<TextSample>& textSamples()
{
    static const std::vector<TextSample> samples = {
        {"ASCII", u"plain"},
        {"code page", u"Jos\u00E9 caf\u00E9"},
        {"outside the code page", u"\u03A9mega \u043A\u043B\u044E\u0447 \u5F20\u4F1F"},
        {"supplementary", u"smile \U0001F600"},
        {"unpaired surrogate", u"half \xD800 x"},
        {"long", std::u16string(300, u'\u0416')},
    };
    return samples;
}

}  // namespace testjni
