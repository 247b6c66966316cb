#include "common.h"

#include <cstdio>

namespace bench {

Natives& natives()
{
    static Natives instance(testjni::library());
    return instance;
}

Natives& unicodeNatives()
{
    static Natives instance([] {
        // A second file name makes Windows map a second instance, with state of its own.
        char path[MAX_PATH];
        DWORD length = GetModuleFileNameA(testjni::library(), path, MAX_PATH);
        std::string copy = std::string(path, length).substr(0, length - 4) + "-unicode.dll";
        HMODULE module = nullptr;
        if (length > 4 && length < MAX_PATH && CopyFileA(path, copy.c_str(), FALSE)) module = LoadLibraryA(copy.c_str());
        testjni::TestJni jni;
        if (module && testjni::callOnLoad(module, jni, "unicode") != JNI_VERSION_1_6) module = nullptr;
        return module;
    }());
    return instance;
}

std::vector<TargetResult> targetResults;

std::vector<uint8_t> pattern(size_t size, unsigned seed)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
    return bytes;
}

std::string binaryValueName(int size) { return "bin" + std::to_string(size); }

std::string subKeyName(int i)
{
    char name[16];
    std::snprintf(name, sizeof name, "sub%04d", i);
    return name;
}

std::vector<int> growthSizes()
{
    std::vector<int> sizes;
    for (int size = 16; size <= 1024 * 1024; size *= 4) sizes.push_back(size);
    return sizes;
}

std::string sizeText(int size)
{
    if (size >= 1024 * 1024 && size % (1024 * 1024) == 0) return std::to_string(size / (1024 * 1024)) + " MiB";
    if (size >= 1024 && size % 1024 == 0) return std::to_string(size / 1024) + " KiB";
    return std::to_string(size) + " B";
}

bool createSandbox()
{
    RegDeleteTreeA(HKEY_CURRENT_USER, sandboxKey);
    RegDeleteKeyA(HKEY_CURRENT_USER, sandboxKey);
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, sandboxKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExA(key, "sz32", 0, REG_SZ, reinterpret_cast<const BYTE*>(text31), 32) == ERROR_SUCCESS;
    std::vector<int> sizes = growthSizes();
    sizes.push_back(binarySize);
    for (int size : sizes) {
        std::vector<uint8_t> data = pattern(static_cast<size_t>(size), 1);
        ok = ok && RegSetValueExA(key, binaryValueName(size).c_str(), 0, REG_BINARY, data.data(),
                                  static_cast<DWORD>(size)) == ERROR_SUCCESS;
    }
    for (int i = 0; ok && i < listSize; ++i) {
        HKEY sub;
        ok = RegCreateKeyExA(key, ("list\\" + subKeyName(i)).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub,
                             nullptr) == ERROR_SUCCESS;
        if (ok) RegCloseKey(sub);
    }
    RegCloseKey(key);
    return ok;
}

bool removeSandbox()
{
    RegDeleteTreeA(HKEY_CURRENT_USER, sandboxKey);
    RegDeleteKeyA(HKEY_CURRENT_USER, sandboxKey);
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, sandboxKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        return false;
    }
    return true;
}

std::string yesNo(bool met) { return met ? "yes" : "**no**"; }

std::vector<Side> twoSides(bool available, Batch native, Batch direct)
{
    return {{"native", available ? native : Batch(), {}, false}, {"direct", direct, {}, false}};
}

}  // namespace bench
