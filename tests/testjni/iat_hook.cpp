#include "iat_hook.h"

#include <cstdlib>

namespace testjni {

namespace {

volatile LONG allocations = 0;

void count() { InterlockedIncrement(&allocations); }

LPVOID WINAPI countedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) { count(); return HeapAlloc(heap, flags, size); }
LPVOID WINAPI countedHeapReAlloc(HANDLE heap, DWORD flags, LPVOID memory, SIZE_T size)
{
    count();
    return HeapReAlloc(heap, flags, memory, size);
}
HLOCAL WINAPI countedLocalAlloc(UINT flags, SIZE_T size) { count(); return LocalAlloc(flags, size); }
HGLOBAL WINAPI countedGlobalAlloc(UINT flags, SIZE_T size) { count(); return GlobalAlloc(flags, size); }
LPVOID WINAPI countedVirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect)
{
    count();
    return VirtualAlloc(address, size, type, protect);
}
void* __cdecl countedMalloc(size_t size) { count(); return malloc(size); }
void* __cdecl countedCalloc(size_t n, size_t size) { count(); return calloc(n, size); }
void* __cdecl countedRealloc(void* memory, size_t size) { count(); return realloc(memory, size); }

struct Replacement {
    const char* name;
    void* function;
};
const Replacement replacements[] = {
    {"HeapAlloc", reinterpret_cast<void*>(countedHeapAlloc)},
    {"HeapReAlloc", reinterpret_cast<void*>(countedHeapReAlloc)},
    {"LocalAlloc", reinterpret_cast<void*>(countedLocalAlloc)},
    {"GlobalAlloc", reinterpret_cast<void*>(countedGlobalAlloc)},
    {"VirtualAlloc", reinterpret_cast<void*>(countedVirtualAlloc)},
    {"malloc", reinterpret_cast<void*>(countedMalloc)},
    {"calloc", reinterpret_cast<void*>(countedCalloc)},
    {"realloc", reinterpret_cast<void*>(countedRealloc)},
};

}  // namespace

AllocationCounter::AllocationCounter(HMODULE module)
{
    for (const Replacement& replacement : replacements) {
        auto patch = std::make_unique<ImportPatch>(module, replacement.name, replacement.function);
        if (!patch->applied()) continue;
        patches_.push_back(std::move(patch));
        hooked_.push_back(replacement.name);
    }
    reset();
}

AllocationCounter::~AllocationCounter() = default;

long AllocationCounter::count() const { return allocations; }
void AllocationCounter::reset() { allocations = 0; }

}  // namespace testjni
