#include "iat_hook.h"

#include <cstdlib>
#include <cstring>

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
    auto base = reinterpret_cast<BYTE*>(module);
    auto dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!directory.VirtualAddress) return;
    for (auto import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); import->Name;
         ++import) {
        auto names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            for (const Replacement& replacement : replacements) {
                if (strcmp(reinterpret_cast<const char*>(byName->Name), replacement.name) != 0) continue;
                void** slot = reinterpret_cast<void**>(&slots->u1.Function);
                DWORD old;
                VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
                patches_.push_back({slot, *slot});
                *slot = replacement.function;
                VirtualProtect(slot, sizeof *slot, old, &old);
                hooked_.push_back(replacement.name);
            }
        }
    }
    reset();
}

AllocationCounter::~AllocationCounter()
{
    for (const Patch& patch : patches_) {
        DWORD old;
        VirtualProtect(patch.slot, sizeof *patch.slot, PAGE_READWRITE, &old);
        *patch.slot = patch.original;
        VirtualProtect(patch.slot, sizeof *patch.slot, old, &old);
    }
}

long AllocationCounter::count() const { return allocations; }
void AllocationCounter::reset() { allocations = 0; }

}  // namespace testjni
