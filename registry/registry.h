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
    Failed,   // RegOpenKeyExA failed: "Error opening registry key" is pending
    Opened,   // key holds the open key
};

// Takes the path's characters, opens root\subKey with mask, releases the
// characters whatever the outcome, and raises "Error opening registry key" when
// the open fails.
KeyOpen openKey(JNIEnv* env, jint root, jstring subKey, REGSAM mask, UniqueKey& key) noexcept;

// Sends WM_SETTINGCHANGE with "Environment" to every top-level window and
// returns SendMessageTimeoutA's result (0: failure or time-out).
LRESULT broadcastEnvironmentChange() noexcept;

#endif
