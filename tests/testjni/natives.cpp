#include "natives.h"

#include "import_patch.h"

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

}  // namespace

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

}  // namespace testjni
