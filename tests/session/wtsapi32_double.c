/* A test double of wtsapi32.dll for a 32-bit process: answers
   WTSQuerySessionInformationA and W as the test sets it and checks every buffer it
   hands out comes back once through WTSFreeMemory. Built twice: with
   WTSFreeMemory, and without it (DOUBLE_WITHOUT_FREE_MEMORY). */
#include "wtsapi32_double.h"

#include <string.h>

#define MAX_ANSWERS 16
#define MAX_LIVE 64

typedef struct Answer {
    BOOL set;
    BOOL result;
    BOOL hasData;
    char data[1024];
    DWORD byteCount;
} Answer;

static Answer answers[MAX_ANSWERS];
static DoubleState state;
static void* live[MAX_LIVE];
static CRITICAL_SECTION lock;

void __cdecl doubleSetAnswer(int infoClass, BOOL result, const void* data, DWORD byteCount)
{
    if (infoClass < 0 || infoClass >= MAX_ANSWERS || byteCount > sizeof answers[0].data) return;
    EnterCriticalSection(&lock);
    Answer* answer = &answers[infoClass];
    answer->set = TRUE;
    answer->result = result;
    answer->hasData = data != NULL;
    answer->byteCount = byteCount;
    if (data) memcpy(answer->data, data, byteCount);
    LeaveCriticalSection(&lock);
}

void __cdecl doubleGetState(DoubleState* out)
{
    EnterCriticalSection(&lock);
    *out = state;
    LeaveCriticalSection(&lock);
}

void __cdecl doubleResetCounts(void)
{
    EnterCriticalSection(&lock);
    LONG attaches = state.attaches;
    memset(&state, 0, sizeof state);
    state.attaches = attaches;
    LeaveCriticalSection(&lock);
}

BOOL WINAPI WTSQuerySessionInformationA(HANDLE server, DWORD session, int infoClass, char** buffer, DWORD* byteCount)
{
    EnterCriticalSection(&lock);
    state.queries++;
    state.lastServer = server;
    state.lastSession = session;
    state.lastInfoClass = infoClass;
    BOOL result = FALSE;
    if (buffer && byteCount && infoClass >= 0 && infoClass < MAX_ANSWERS && answers[infoClass].set) {
        const Answer* answer = &answers[infoClass];
        result = answer->result;
        *byteCount = answer->byteCount;
        if (answer->hasData) {
            int slot = 0;
            while (slot < MAX_LIVE && live[slot]) slot++;
            char* memory = slot < MAX_LIVE ? HeapAlloc(GetProcessHeap(), 0, answer->byteCount + 1) : NULL;
            if (memory) {
                memcpy(memory, answer->data, answer->byteCount);
                live[slot] = memory;
                state.allocations++;
            }
            *buffer = memory;
        }
    }
    LeaveCriticalSection(&lock);
    return result;
}

/* The W query answers what the test set, as the A one does: the test gives UTF-16 bytes. */
BOOL WINAPI WTSQuerySessionInformationW(HANDLE server, DWORD session, int infoClass, char** buffer, DWORD* byteCount)
{
    return WTSQuerySessionInformationA(server, session, infoClass, buffer, byteCount);
}

#ifndef DOUBLE_WITHOUT_FREE_MEMORY
void WINAPI WTSFreeMemory(void* memory)
{
    EnterCriticalSection(&lock);
    int slot = 0;
    while (slot < MAX_LIVE && (!memory || live[slot] != memory)) slot++;
    if (slot < MAX_LIVE) {
        live[slot] = NULL;
        HeapFree(GetProcessHeap(), 0, memory);
        state.frees++;
    } else {
        state.badFrees++;
    }
    LeaveCriticalSection(&lock);
}
#endif

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&lock);
        state.attaches++;
    }
    return TRUE;
}
