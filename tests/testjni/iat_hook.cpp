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
// The C runtime's functions as the module called them before the counter: the
// page heap's in the test programs.
void*(__cdecl* originalMalloc)(size_t) = malloc;
void*(__cdecl* originalCalloc)(size_t, size_t) = calloc;
void*(__cdecl* originalRealloc)(void*, size_t) = realloc;

void* __cdecl countedMalloc(size_t size) { count(); return originalMalloc(size); }
void* __cdecl countedCalloc(size_t n, size_t size) { count(); return originalCalloc(n, size); }
void* __cdecl countedRealloc(void* memory, size_t size) { count(); return originalRealloc(memory, size); }

struct Replacement {
    const char* name;
    void* function;
    void** original;  // where the function called on is kept, for those that chain
};
const Replacement replacements[] = {
    {"HeapAlloc", reinterpret_cast<void*>(countedHeapAlloc), nullptr},
    {"HeapReAlloc", reinterpret_cast<void*>(countedHeapReAlloc), nullptr},
    {"LocalAlloc", reinterpret_cast<void*>(countedLocalAlloc), nullptr},
    {"GlobalAlloc", reinterpret_cast<void*>(countedGlobalAlloc), nullptr},
    {"VirtualAlloc", reinterpret_cast<void*>(countedVirtualAlloc), nullptr},
    {"malloc", reinterpret_cast<void*>(countedMalloc), reinterpret_cast<void**>(&originalMalloc)},
    {"calloc", reinterpret_cast<void*>(countedCalloc), reinterpret_cast<void**>(&originalCalloc)},
    {"realloc", reinterpret_cast<void*>(countedRealloc), reinterpret_cast<void**>(&originalRealloc)},
};

}  // namespace

AllocationCounter::AllocationCounter(HMODULE module)
{
    for (const Replacement& replacement : replacements) {
        auto patch = std::make_unique<ImportPatch>(module, replacement.name, replacement.function);
        if (!patch->applied()) continue;
        if (replacement.original) *replacement.original = patch->original();
        patches_.push_back(std::move(patch));
        hooked_.push_back(replacement.name);
    }
    reset();
}

AllocationCounter::~AllocationCounter() = default;

long AllocationCounter::count() const { return allocations; }
void AllocationCounter::reset() { allocations = 0; }

}  // namespace testjni
