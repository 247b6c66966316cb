// What the Registry natives share: opening the key that a native names, and
// the settings-change broadcast.
#ifndef ZARN_REGISTRY_H
#define ZARN_REGISTRY_H

#include "binding.h"

// The message of a value that is missing or cannot be read; "retreiving" is its fixed spelling.
constexpr const char* retrieveError = "Error retreiving registry value";

// How openKey ended.
enum class KeyOpen {
    Skipped,  // null path, or the JVM could not supply its characters: no exception of ours
    Failed,   // the open failed, or the path holds U+0000: an exception of ours is pending
    Opened,   // key holds the open key
};

// Takes the path's characters, opens root\subKey with mask, releases the
// characters whatever the outcome, and raises "Error opening registry key" when
// the open fails.
KeyOpen openKey(JNIEnv* env, jint root, jstring subKey, REGSAM mask, UniqueKey& key) noexcept;

// Whether text taken from a Java string can name a registry key or value, or
// be string data: false when the JVM could not supply it (its error pending)
// and when it holds U+0000, where the registry's W functions would end it
// (a RegistryException is raised: nothing is done under the shortened name).
bool registryText(JNIEnv* env, const WindowsText& text) noexcept;

// A root as a native receives it: a key, or a predefined key with one of
// Registry.KEY_WOW64_64KEY (0x0100) and KEY_WOW64_32KEY (0x0200) ORed in, which
// names the registry view that every open, create and delete of the call uses.
// No predefined key has these bits set. A root without them reaches Windows as
// it is, with no view. Both bits, or one on a root that is no predefined key,
// refuse the root: the calls below then answer ERROR_INVALID_HANDLE without
// asking Windows, as Windows answers a root that is no key.
struct RegistryRoot {
    HKEY key;
    REGSAM view;   // 0, KEY_WOW64_64KEY or KEY_WOW64_32KEY
    bool refused;
};
RegistryRoot registryRoot(jint root) noexcept;

// ---- The registry functions that take text, in the form of the text they are given.
inline LONG regOpenKey(HKEY root, const WindowsText& path, REGSAM mask, HKEY* key) noexcept
{
    return path.units() ? RegOpenKeyExW(root, path.units(), 0, mask, key) : RegOpenKeyExA(root, path.ansi(), 0, mask, key);
}

// In the root's view.
inline LONG regOpenKey(const RegistryRoot& root, const WindowsText& path, REGSAM mask, HKEY* key) noexcept
{
    return root.refused ? ERROR_INVALID_HANDLE : regOpenKey(root.key, path, mask | root.view, key);
}

inline LONG regQueryValue(HKEY key, const WindowsText& name, DWORD* type, BYTE* data, DWORD* size) noexcept
{
    return name.units() ? RegQueryValueExW(key, name.units(), nullptr, type, data, size)
                        : RegQueryValueExA(key, name.ansi(), nullptr, type, data, size);
}

inline LONG regSetValue(HKEY key, const WindowsText& name, DWORD type, const void* data, DWORD size) noexcept
{
    auto bytes = static_cast<const BYTE*>(data);
    return name.units() ? RegSetValueExW(key, name.units(), 0, type, bytes, size)
                        : RegSetValueExA(key, name.ansi(), 0, type, bytes, size);
}

// Windows' change notification on one open key, which tells whether the key
// changed over a stretch of work: arm() asks RegNotifyChangeKeyValue to signal
// an event at the next change that filter names (REG_NOTIFY_CHANGE_NAME: a
// sub-key added or deleted; REG_NOTIFY_CHANGE_LAST_SET: a value set or
// deleted), and changed() tells whether one came since. A notification
// signals once; arm() again, with the same filter, after it has. It misses no
// change, unlike the key's last-write time, which moves in clock ticks and
// which any program may set. The registration ends when the key is closed.
class KeyChangeNotice {
public:
    KeyChangeNotice() noexcept = default;
    ~KeyChangeNotice()
    {
        if (event_) CloseHandle(event_);
    }
    KeyChangeNotice(const KeyChangeNotice&) = delete;
    KeyChangeNotice& operator=(const KeyChangeNotice&) = delete;

    // False when Windows cannot watch the key (RegNotifyChangeKeyValue refuses
    // HKEY_PERFORMANCE_DATA, for one) or no event could be made.
    bool arm(HKEY key, DWORD filter) noexcept
    {
        if (event_) {
            ResetEvent(event_);
        } else if (!(event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr))) {
            return false;
        }
        return RegNotifyChangeKeyValue(key, FALSE, filter, event_, TRUE) == ERROR_SUCCESS;
    }

    bool changed() const noexcept { return WaitForSingleObject(event_, 0) != WAIT_TIMEOUT; }

private:
    HANDLE event_ = nullptr;
};

// Sends WM_SETTINGCHANGE with "Environment" to every top-level window and
// returns SendMessageTimeoutA's result (0: failure or time-out).
LRESULT broadcastEnvironmentChange() noexcept;

// The steps of the natives that write or delete a named value. A null name
// returns at once: it would reach Windows as the key's default value. The key
// is opened with mask (raising "Error opening registry key" when it cannot
// be); change(key, name) runs with the name's characters unless the JVM could
// not supply them or they hold U+0000; and every path past the open, a refused
// or failed change included, announces the change when asked, the key still
// open.
template <typename Change>
void changeNamedValue(JNIEnv* env, jint root, jstring subKey, jstring valueName, REGSAM mask, jboolean broadcast,
                      Change change) noexcept
{
    if (valueName == nullptr) return;
    UniqueKey key;
    if (openKey(env, root, subKey, mask, key) != KeyOpen::Opened) return;
    {
        WindowsText name(env, valueName);
        if (registryText(env, name)) change(key.get(), name);
    }
    if (broadcast) broadcastEnvironmentChange();
}

#endif
