// Deadlines for synchronous I/O: the watchdog thread that cancels a call
// whose time has passed; and the functions newer than Windows XP that it and
// other natives need, found while the library loads.
#include "binding.h"

CancelIoExFunction cancelIoEx = nullptr;
PipeProcessIdFunction getNamedPipeClientProcessId = nullptr;
PipeProcessIdFunction getNamedPipeServerProcessId = nullptr;
LONG(WINAPI* regDeleteKeyExA)(HKEY, LPCSTR, REGSAM, DWORD) = nullptr;
LONG(WINAPI* regDeleteKeyExW)(HKEY, LPCWSTR, REGSAM, DWORD) = nullptr;
LONG(WINAPI* regDeleteTreeA)(HKEY, LPCSTR) = nullptr;
LONG(WINAPI* regDeleteTreeW)(HKEY, LPCWSTR) = nullptr;

namespace {

using CancelSynchronousIoFunction = BOOL(WINAPI*)(HANDLE);
// A CONDITION_VARIABLE is one pointer, null when initialised.
using SleepConditionFunction = BOOL(WINAPI*)(void**, CRITICAL_SECTION*, DWORD);
using WakeConditionFunction = void(WINAPI*)(void**);

CancelSynchronousIoFunction cancelSynchronousIo = nullptr;
SleepConditionFunction sleepCondition = nullptr;
WakeConditionFunction wakeCondition = nullptr;

// The longest the watchdog sleeps; a deadline due sooner wakes it. A deadline
// due later than the next look is set without waking it, so that a read that
// is answered costs no more than the lock.
constexpr DWORD watchTick = 50;
// After a cancel, until the thread has taken its deadline back.
constexpr DWORD retryTick = 1;
// Without deadlines for this long, the watchdog ends.
constexpr DWORD lingerMillis = 2000;

CRITICAL_SECTION watchLock;
bool lockReady = false;
void* watchCondition = nullptr;
// Under watchLock: a watchdog runs; when it looks at the deadlines next; the deadlines set.
bool watching = false;
DWORD nextLook = 0;
IoDeadline* deadlines = nullptr;

bool dueBy(DWORD due, DWORD time) noexcept
{
    return static_cast<LONG>(due - time) <= 0;
}

template <typename Function>
void find(HMODULE module, Function& function, const char* name) noexcept
{
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

DWORD WINAPI watchDeadlines(void*)
{
    EnterCriticalSection(&watchLock);
    DWORD idleSince = GetTickCount();
    for (;;) {
        DWORD now = GetTickCount();
        DWORD wait = watchTick;
        for (IoDeadline* deadline = deadlines; deadline; deadline = deadline->next) {
            if (dueBy(deadline->due, now)) {
                // The thread is inside callWithDeadline: it cannot end before
                // it has taken its deadline back, which waits for this lock.
                UniqueKernelHandle thread(OpenThread(THREAD_TERMINATE, FALSE, deadline->thread));
                if (thread) cancelSynchronousIo(thread.get());
                deadline->cancelled = true;
                wait = retryTick;
            } else if (deadline->due - now < wait) {
                wait = deadline->due - now;
            }
        }
        if (deadlines) idleSince = now;
        else if (now - idleSince >= lingerMillis) break;
        nextLook = now + wait;
        sleepCondition(&watchCondition, &watchLock, wait);
    }
    watching = false;
    LeaveCriticalSection(&watchLock);
    // Gives back the watchdog's reference to the library and ends the thread
    // without returning into code that may be unloaded by then.
    FreeLibraryAndExitThread(moduleInstance, 0);
    return 0;
}

// Under watchLock.
bool startWatchdog() noexcept
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&watchDeadlines), &self))
        return false;
    HANDLE thread =
        CreateThread(nullptr, 64 * 1024, watchDeadlines, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread) {
        FreeLibrary(self);
        return false;
    }
    CloseHandle(thread);
    watching = true;
    // The new watchdog looks at every deadline before it first sleeps.
    nextLook = GetTickCount();
    return true;
}

}  // namespace

void bindNewerFunctions() noexcept
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    find(kernel, cancelIoEx, "CancelIoEx");
    find(kernel, getNamedPipeClientProcessId, "GetNamedPipeClientProcessId");
    find(kernel, getNamedPipeServerProcessId, "GetNamedPipeServerProcessId");
    find(kernel, cancelSynchronousIo, "CancelSynchronousIo");
    find(kernel, sleepCondition, "SleepConditionVariableCS");
    find(kernel, wakeCondition, "WakeConditionVariable");
    // The library imports advapi32: it is loaded already.
    HMODULE advapi32 = GetModuleHandleA("advapi32.dll");
    find(advapi32, regDeleteKeyExA, "RegDeleteKeyExA");
    find(advapi32, regDeleteKeyExW, "RegDeleteKeyExW");
    find(advapi32, regDeleteTreeA, "RegDeleteTreeA");
    find(advapi32, regDeleteTreeW, "RegDeleteTreeW");
    if (cancelSynchronousIo && sleepCondition && wakeCondition) {
        InitializeCriticalSection(&watchLock);
        lockReady = true;
    }
}

void releaseNewerFunctions() noexcept
{
    // No watchdog runs now: each holds a reference to the library.
    if (lockReady) DeleteCriticalSection(&watchLock);
    lockReady = false;
}

bool armIoDeadline(IoDeadline& deadline, DWORD timeoutMillis) noexcept
{
    if (!lockReady) return false;
    deadline.thread = GetCurrentThreadId();
    deadline.due = GetTickCount() + timeoutMillis;
    deadline.cancelled = false;
    EnterCriticalSection(&watchLock);
    if (!watching && !startWatchdog()) {
        LeaveCriticalSection(&watchLock);
        return false;
    }
    deadline.previous = nullptr;
    deadline.next = deadlines;
    if (deadlines) deadlines->previous = &deadline;
    deadlines = &deadline;
    if (!dueBy(nextLook, deadline.due)) wakeCondition(&watchCondition);
    LeaveCriticalSection(&watchLock);
    return true;
}

bool disarmIoDeadline(IoDeadline& deadline) noexcept
{
    DWORD lastError = GetLastError();
    EnterCriticalSection(&watchLock);
    if (deadline.previous) deadline.previous->next = deadline.next;
    else deadlines = deadline.next;
    if (deadline.next) deadline.next->previous = deadline.previous;
    bool cancelled = deadline.cancelled;
    LeaveCriticalSection(&watchLock);
    SetLastError(lastError);
    return cancelled;
}
