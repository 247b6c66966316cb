// Counts the calls that a loaded module makes through its import table to
// chosen functions (e.g. the heap allocators), by pointing those import
// entries at counting stand-ins for the life of the hook.
#ifndef ZARN_TEST_IAT_HOOK_H
#define ZARN_TEST_IAT_HOOK_H

#include "import_patch.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace testjni {

class AllocationCounter {
public:
    // Hooks the allocators that module imports: HeapAlloc, HeapReAlloc,
    // LocalAlloc, GlobalAlloc, VirtualAlloc (kernel32) and malloc, calloc,
    // realloc (C runtime).
    explicit AllocationCounter(HMODULE module);
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    long count() const;
    void reset();
    // The names of the allocators that the module imports (those hooked).
    const std::vector<std::string>& hooked() const { return hooked_; }

private:
    std::vector<std::unique_ptr<ImportPatch>> patches_;
    std::vector<std::string> hooked_;
};

}  // namespace testjni

#endif
