// The Registry natives behind Registry.Watch: an open key, an auto-reset event
// that Windows signals when the key changes, and the wait for it. Both handles
// cross to Java as jint and are all the state a watch has; Registry.Watch
// decides when they may be closed (no thread is inside watchAwait then).
#include "registry.h"

#include "com_zarn_kelda_dravik_common_win32_Registry.h"

namespace {

constexpr const char* watchError = "Error watching registry key";

// What watchAwait reports, as Registry.Watch reads it.
enum WatchResult : jint { TimedOut = 0, Changed = 1, Deleted = 2, Unwatched = 3 };

// Registers for one change of the key's names or values (its subtree's too)
// that signals event. A registration ends with the thread that made it unless
// it is made with REG_NOTIFY_THREAD_AGNOSTIC, which Windows 8 and later take;
// earlier Windows refuse the flag with ERROR_INVALID_PARAMETER, and the
// registration is then made without it. Such a registration signals the event
// when its thread ends: the next wait returns a change, which covers any
// change that came while nothing watched, and arms again on the waiting thread.
LONG armWatch(HKEY key, jboolean subtree, HANDLE event) noexcept
{
    const DWORD filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
    LONG status = RegNotifyChangeKeyValue(key, subtree ? TRUE : FALSE, filter | REG_NOTIFY_THREAD_AGNOSTIC, event, TRUE);
    if (status == ERROR_INVALID_PARAMETER) status = RegNotifyChangeKeyValue(key, subtree ? TRUE : FALSE, filter, event, TRUE);
    return status;
}

}  // namespace

// Registry.watchEvent() -> int (0: none, with the exception)
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_watchEvent(JNIEnv* env, jclass) noexcept
{
    // Auto-reset: the wait that returns takes the signal with it.
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!event) throwRegistryException(env, watchError);
    return handleToJint(event);
}

// Registry.watchOpen(int root, String subKey, boolean subtree, int event) -> int (0: not opened, with the exception)
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_watchOpen(JNIEnv* env, jclass, jint root, jstring subKey,
                                                           jboolean subtree, jint event) noexcept
{
    UniqueKey key;
    if (openKey(env, root, subKey, KEY_NOTIFY, key) != KeyOpen::Opened) return 0;
    if (armWatch(key.get(), subtree, handleFromJint<HANDLE>(event)) != ERROR_SUCCESS) {
        key.reset();
        throwRegistryException(env, watchError);
        return 0;
    }
    return handleToJint(key.release());
}

// Registry.watchAwait(int key, int event, boolean subtree, int timeoutMillis) -> int
extern "C" JNIEXPORT jint JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_watchAwait(JNIEnv* env, jclass, jint key, jint event,
                                                            jboolean subtree, jint timeoutMillis) noexcept
{
    HANDLE changed = handleFromJint<HANDLE>(event);
    DWORD waited = WaitForSingleObject(changed, timeoutMillis > 0 ? static_cast<DWORD>(timeoutMillis) : 0);
    if (waited == WAIT_TIMEOUT) return TimedOut;
    if (waited != WAIT_OBJECT_0) {
        throwRegistryException(env, watchError);
        return TimedOut;
    }
    // Armed again before the change is reported: a change after this call
    // returns signals the event for the next one. A deleted key cannot be
    // watched again (ERROR_KEY_DELETED).
    LONG status = armWatch(handleFromJint<HKEY>(key), subtree, changed);
    if (status == ERROR_SUCCESS) return Changed;
    return status == ERROR_KEY_DELETED ? Deleted : Unwatched;
}

// Registry.watchWake(int event)
extern "C" JNIEXPORT void JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_watchWake(JNIEnv*, jclass, jint event) noexcept
{
    SetEvent(handleFromJint<HANDLE>(event));
}

// Registry.watchClose(int key, int event); 0 stands for no handle
extern "C" JNIEXPORT void JNICALL
Java_com_zarn_kelda_dravik_common_win32_Registry_watchClose(JNIEnv*, jclass, jint key, jint event) noexcept
{
    if (key) RegCloseKey(handleFromJint<HKEY>(key));
    if (event) CloseHandle(handleFromJint<HANDLE>(event));
}
