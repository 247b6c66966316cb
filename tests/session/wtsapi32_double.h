/* The control interface of the test double of wtsapi32.dll: the test sets the
   answers of WTSQuerySessionInformationA and reads what the double saw. */
#ifndef ZARN_WTSAPI32_DOUBLE_H
#define ZARN_WTSAPI32_DOUBLE_H

#include <windows.h>

typedef struct DoubleState {
    LONG attaches;    /* DLL_PROCESS_ATTACH calls */
    LONG queries;     /* WTSQuerySessionInformationA calls */
    LONG allocations; /* buffers handed out */
    LONG frees;       /* buffers given back through WTSFreeMemory */
    LONG badFrees;    /* WTSFreeMemory with a pointer the double did not hand out (or twice) */
    HANDLE lastServer;
    DWORD lastSession;
    int lastInfoClass;
} DoubleState;

/* The answer to a query of infoClass: the BOOL result and, when data is not
   null, a new buffer holding byteCount bytes of data (else the buffer pointer
   stays null); byteCount is reported either way. */
typedef void(__cdecl* DoubleSetAnswer)(int infoClass, BOOL result, const void* data, DWORD byteCount);
typedef void(__cdecl* DoubleGetState)(DoubleState* state);
typedef void(__cdecl* DoubleResetCounts)(void);

#endif
