// Points one import of a loaded module at a stand-in for the life of the
// patch, so that a test can watch or fail the Windows calls that the module
// makes.
#ifndef ZARN_TEST_IMPORT_PATCH_H
#define ZARN_TEST_IMPORT_PATCH_H

#include <windows.h>

namespace testjni {

class ImportPatch {
public:
    // Patches every import slot of module that names function (from any DLL).
    ImportPatch(HMODULE module, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    // True when the module imports the function.
    bool applied() const { return slot_ != nullptr; }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

}  // namespace testjni

#endif
