#include "natives.h"

#include "import_patch.h"

#include <gtest/gtest.h>

#include <cstdio>

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

HMODULE library()
{
    static HMODULE module = [] {
        HMODULE loaded = LoadLibraryA(libraryName);
        if (!loaded) ADD_FAILURE() << "LoadLibraryA(" << libraryName << ") failed: " << GetLastError();
        return loaded;
    }();
    return module;
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

}  // namespace testjni
