// Points one import of a loaded module at a stand-in for the life of the
// patch, so that a test can watch or fail the Windows calls that the module
// makes.
#ifndef ZARN_TEST_IMPORT_PATCH_H
#define ZARN_TEST_IMPORT_PATCH_H

#include <windows.h>

#include <vector>

namespace testjni {

class ImportPatch {
public:
    // Patches every import slot of module that names function (from any DLL).
    ImportPatch(HMODULE module, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    // True when the module imports the function.
    bool applied() const { return !patched_.empty(); }
    // What the module's first such import called before the patch (null when
    // none): a watch calls it on, so that it chains to an earlier patch such
    // as the page heap's instead of going around it.
    void* original() const { return patched_.empty() ? nullptr : patched_.front().original; }

private:
    struct Slot {
        void** slot;
        void* original;
    };
    std::vector<Slot> patched_;
};

}  // namespace testjni

#endif
