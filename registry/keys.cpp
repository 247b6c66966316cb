// The Registry natives for keys and for the presence and removal of values,
// the settings-change broadcast, and the opening of a native's key.
#include "registry.h"

#include <shlwapi.h>

#include "com_zarn_kelda_dravik_common_win32_Registry.h"

namespace {

// What RegQueryInfoKeyA counts for a native.
enum class Count { SubKeys, Values };

// The two counting natives: open for reading, count, close, then report.
jboolean hasAny(JNIEnv* env, jint root, jstring subKey, Count what) noexcept
{
    UniqueKey key;
    if (openKey(env, root, subKey, KEY_READ, key) != KeyOpen::Opened) return JNI_FALSE;
    DWORD count = 0;
    LONG status = RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, what == Count::SubKeys ? &count : nullptr,
                                   nullptr, nullptr, what == Count::Values ? &count : nullptr, nullptr, nullptr,
                                   nullptr, nullptr);
    key.reset();
    if (status != ERROR_SUCCESS) {
        throwRegistryException(
            env, what == Count::SubKeys ? "Error counting registry subkeys" : "Error counting registry values");
        return JNI_FALSE;
    }
    return count > 0 ? JNI_TRUE : JNI_FALSE;
}

LONG regCreateKey(const RegistryRoot& root, const WindowsText& path, HKEY* key, DWORD* disposition) noexcept
{
    if (root.refused) return ERROR_INVALID_HANDLE;
    const REGSAM mask = KEY_ALL_ACCESS | root.view;
    return path.units() ? RegCreateKeyExW(root.key, path.units(), 0, nullptr, REG_OPTION_NON_VOLATILE, mask, nullptr,
                                          key, disposition)
                        : RegCreateKeyExA(root.key, path.ansi(), 0, nullptr, REG_OPTION_NON_VOLATILE, mask, nullptr,
                                          key, disposition);
}

// SHDeleteKey takes no view. In a view the key is opened in that view,
// emptied through that handle (RegDeleteTree with no sub-key), then removed in
// that view (RegDeleteKeyEx): no step can reach the other view. A Windows
// without RegDeleteKeyEx is 32-bit, with one view, and ignores the flags:
// SHDeleteKey does the same there. Where RegDeleteKeyEx comes without
// RegDeleteTree, a deletion in a view is refused.
DWORD deleteTree(const RegistryRoot& root, const WindowsText& path) noexcept
{
    if (root.refused) return ERROR_INVALID_HANDLE;
    const bool wide = path.units() != nullptr;
    if (root.view == 0 || !(wide ? regDeleteKeyExW != nullptr : regDeleteKeyExA != nullptr))
        return wide ? SHDeleteKeyW(root.key, path.units()) : SHDeleteKeyA(root.key, path.ansi());
    if (!(wide ? regDeleteTreeW != nullptr : regDeleteTreeA != nullptr)) return ERROR_CALL_NOT_IMPLEMENTED;
    UniqueKey key;
    LONG status = regOpenKey(root, path, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE, key.put());
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    status = wide ? regDeleteTreeW(key.get(), nullptr) : regDeleteTreeA(key.get(), nullptr);
    key.reset();
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    return static_cast<DWORD>(wide ? regDeleteKeyExW(root.key, path.units(), root.view, 0)
                                   : regDeleteKeyExA(root.key, path.ansi(), root.view, 0));
}

}  // namespace

RegistryRoot registryRoot(jint root) noexcept
{
    const auto bits = static_cast<uint32_t>(root);
    const uint32_t view = bits & (KEY_WOW64_64KEY | KEY_WOW64_32KEY);
    if (view == 0) return {handleFromJint<HKEY>(root), 0, false};
    const uint32_t key = bits & ~view;
    // HKEY_CLASSES_ROOT to HKEY_CURRENT_USER_LOCAL_SETTINGS, HKEY_PERFORMANCE_TEXT, HKEY_PERFORMANCE_NLSTEXT.
    const bool predefined = (key >= 0x80000000u && key <= 0x80000007u) || key == 0x80000050u || key == 0x80000060u;
    if (!predefined || view == (KEY_WOW64_64KEY | KEY_WOW64_32KEY)) return {nullptr, 0, true};
    return {handleFromJint<HKEY>(static_cast<jint>(key)), view, false};
}

bool registryText(JNIEnv* env, const WindowsText& text) noexcept
{
    if (text) return true;
    if (text.holdsNul()) throwRegistryException(env, "Registry name or string holds U+0000");
    return false;
}

KeyOpen openKey(JNIEnv* env, jint root, jstring subKey, REGSAM mask, UniqueKey& key) noexcept
{
    if (subKey == nullptr) return KeyOpen::Skipped;
    WindowsText path(env, subKey);
    if (!registryText(env, path)) return path.holdsNul() ? KeyOpen::Failed : KeyOpen::Skipped;
    LONG status = regOpenKey(registryRoot(root), path, mask, key.put());
    path.release();
    if (status != ERROR_SUCCESS) {
        throwRegistryException(env, "Error opening registry key");
        return KeyOpen::Failed;
    }
    return KeyOpen::Opened;
}

LRESULT broadcastEnvironmentChange() noexcept
{
    // SMTO_ABORTIFHUNG skips windows that the system considers hung; any other
    // window may hold the caller for up to the time-out.
    static const char environment[] = "Environment";
    return SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(environment),
                               SMTO_ABORTIFHUNG, 5000, nullptr);
}

// Registry.keyExists(int root, String subKey) -> boolean
extern "C" JNIEXPORT jboolean JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_keyExists(JNIEnv* env, jclass, jint root, jstring subKey) noexcept
{
    if (subKey == nullptr) return JNI_FALSE;
    // Any failure (missing key, access denied, a root that is no key, a path
    // that holds U+0000 in unicode mode) is a plain "no".
    WindowsText path(env, subKey);
    if (!path) return JNI_FALSE;
    UniqueKey key;
    return regOpenKey(registryRoot(root), path, KEY_READ, key.put()) == ERROR_SUCCESS ? JNI_TRUE : JNI_FALSE;
}

// Registry.keyCreate(int root, String subKey) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_keyCreate(JNIEnv* env, jclass, jint root, jstring subKey) noexcept
{
    if (subKey == nullptr) return -1;
    WindowsText path(env, subKey);
    if (!registryText(env, path)) return -1;
    // RegCreateKeyEx creates every missing key along the path.
    UniqueKey key;
    DWORD disposition = 0;
    LONG status = regCreateKey(registryRoot(root), path, key.put(), &disposition);
    path.release();
    if (status != ERROR_SUCCESS) return status;
    key.reset();
    if (disposition == REG_OPENED_EXISTING_KEY) throwRegistryException(env, "Attempted to create existing key");
    return 0;
}

// Registry.keyDelete(int root, String subKey, boolean broadcast) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_keyDelete(JNIEnv* env, jclass, jint root, jstring subKey,
                                                           jboolean broadcast) noexcept
{
    if (subKey == nullptr) return -1;
    WindowsText path(env, subKey);
    if (!registryText(env, path)) return -1;
    // SHDeleteKey removes the key with its whole subtree. An empty path names
    // the root itself, whose every key and value it would remove: that is
    // refused as an invalid parameter.
    DWORD status = path.length() != 0 ? deleteTree(registryRoot(root), path) : ERROR_INVALID_PARAMETER;
    path.release();
    if (status != ERROR_SUCCESS) throwRegistryException(env, "Could not delete registry key");
    if (broadcast) broadcastEnvironmentChange();
    return static_cast<jint>(status);
}

// Registry.keyHasSubKeys(int root, String subKey) -> boolean
extern "C" JNIEXPORT jboolean JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_keyHasSubKeys(JNIEnv* env, jclass, jint root, jstring subKey) noexcept
{
    return hasAny(env, root, subKey, Count::SubKeys);
}

// Registry.keyHasValues(int root, String subKey) -> boolean
extern "C" JNIEXPORT jboolean JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_keyHasValues(JNIEnv* env, jclass, jint root, jstring subKey) noexcept
{
    return hasAny(env, root, subKey, Count::Values);
}

// Registry.keyHasValue(int root, String subKey, String valueName) -> boolean
extern "C" JNIEXPORT jboolean JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_keyHasValue(JNIEnv* env, jclass, jint root, jstring subKey,
                                                             jstring valueName) noexcept
{
    // A null name would reach RegQueryValueExA as the key's default value.
    if (valueName == nullptr) return JNI_FALSE;
    UniqueKey key;
    if (openKey(env, root, subKey, KEY_READ, key) != KeyOpen::Opened) return JNI_FALSE;
    WindowsText name(env, valueName);
    if (!registryText(env, name)) return JNI_FALSE;
    // With every output null the query only tells whether the value exists.
    LONG status = regQueryValue(key.get(), name, nullptr, nullptr, nullptr);
    name.release();
    key.reset();
    return status == ERROR_SUCCESS ? JNI_TRUE : JNI_FALSE;
}

// Registry.keyDeleteValue(int root, String subKey, String valueName, boolean broadcast)
extern "C" JNIEXPORT void JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_keyDeleteValue(JNIEnv* env, jclass, jint root, jstring subKey,
                                                                jstring valueName, jboolean broadcast) noexcept
{
    changeNamedValue(env, root, subKey, valueName, KEY_ALL_ACCESS, broadcast, [&](HKEY key, WindowsText& name) {
        LONG status = name.units() ? RegDeleteValueW(key, name.units()) : RegDeleteValueA(key, name.ansi());
        name.release();
        if (status != ERROR_SUCCESS) throwRegistryException(env, "Error deleting registry key value");
    });
}

// Registry.broadcastUpdate() -> int (non-zero: delivered)
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_broadcastUpdate(JNIEnv*, jclass) noexcept
{
    return static_cast<jint>(broadcastEnvironmentChange());
}
