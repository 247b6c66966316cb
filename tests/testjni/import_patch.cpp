#include "import_patch.h"

#include <cstring>

namespace testjni {

namespace {

void writeSlot(void** slot, void* value)
{
    DWORD old;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
    *slot = value;
    VirtualProtect(slot, sizeof *slot, old, &old);
}

}  // namespace

ImportPatch::ImportPatch(HMODULE module, const char* function, void* replacement)
{
    auto base = reinterpret_cast<BYTE*>(module);
    if (!base) return;
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
            if (strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            void** slot = reinterpret_cast<void**>(&slots->u1.Function);
            patched_.push_back({slot, *slot});
            writeSlot(slot, replacement);
        }
    }
}

ImportPatch::~ImportPatch()
{
    for (const Slot& patched : patched_) writeSlot(patched.slot, patched.original);
}

}  // namespace testjni
