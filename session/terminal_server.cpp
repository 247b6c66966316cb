// The TerminalServer natives: terminal-server detection from the Windows
// version, and the session id and client name through the terminal-services
// interface, which is bound once while the library loads.
#include "binding.h"
#include "com_zarn_kelda_dravik_common_win32_TerminalServer.h"

#include <cstring>

using SessionQuery = BOOL(WINAPI*)(HANDLE server, DWORD sessionId, int infoClass, char** buffer, DWORD* byteCount);
using SessionMemoryFree = void(WINAPI*)(void* memory);

// WTSQuerySessionInformationA and WTSFreeMemory of the system's wtsapi32.dll:
// both bound, or neither; WTSQuerySessionInformationW, for unicode mode, only
// with them. Its buffer is given back with the same WTSFreeMemory. Written only
// while the library loads.
SessionQuery sessionQueryEntry = nullptr;
SessionQuery sessionQueryEntryW = nullptr;
SessionMemoryFree sessionFreeEntry = nullptr;

void bindSessionQuery() noexcept;
void queryWindowsFamily(char* name) noexcept;

namespace {

constexpr HANDLE currentServer = nullptr;  // WTS_CURRENT_SERVER_HANDLE
constexpr DWORD currentSession = 0xFFFFFFFF;  // WTS_CURRENT_SESSION
constexpr int sessionIdClass = 4;  // WTSSessionId
constexpr int clientNameClass = 10;  // WTSClientName

constexpr size_t familyNameSize = 255;
constexpr size_t productSuiteSize = 255;

// The library's one static initialiser. The MinGW runtime runs namespace-scope
// constructors of a DLL after its own start-up and before it calls DllMain.
struct SessionQueryBinding {
    SessionQueryBinding() noexcept { bindSessionQuery(); }
} sessionQueryBinding;

// A buffer that WTSQuerySessionInformationA allocated, given back with WTSFreeMemory.
struct SessionMemoryTraits {
    using Handle = char*;
    static char* invalid() noexcept { return nullptr; }
    static void close(char* memory) noexcept { sessionFreeEntry(memory); }
};
using SessionMemory = UniqueHandle<SessionMemoryTraits>;

template <typename Function>
Function procedure(HMODULE module, const char* name) noexcept
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

bool openKey(HKEY parent, const char* name, UniqueKey& key) noexcept
{
    HKEY opened = nullptr;
    if (RegOpenKeyA(parent, name, &opened) != ERROR_SUCCESS) return false;
    key.reset(opened);
    return true;
}

// NT 4 marks a terminal server by "Terminal Server" as the first string of the
// multi-string ProductSuite.
bool productSuiteStartsWithTerminalServer() noexcept
{
    char suite[productSuiteSize] = {};
    DWORD size = sizeof suite;
    LONG status = ERROR_FILE_NOT_FOUND;
    {
        // One path component per open; the guards close innermost first.
        UniqueKey system, currentControlSet, control, productOptions;
        if (openKey(HKEY_LOCAL_MACHINE, "SYSTEM", system) &&
            openKey(system.get(), "CurrentControlSet", currentControlSet) &&
            openKey(currentControlSet.get(), "Control", control) &&
            openKey(control.get(), "ProductOptions", productOptions)) {
            status = RegQueryValueExA(productOptions.get(), "ProductSuite", nullptr, nullptr,
                                      reinterpret_cast<BYTE*>(suite), &size);
        }
    }
    // A value longer than the buffer fails with ERROR_MORE_DATA, and the buffer's
    // contents are then undefined; a value that fills the buffer without a NUL
    // has no first string within it.
    if (status != ERROR_SUCCESS) return false;
    if (!memchr(suite, '\0', sizeof suite)) return false;
    return strcmp(suite, "Terminal Server") == 0;
}

// Windows 2000 and later answer through VerifyVersionInfoA with the terminal
// suite bit; both routines are looked up in modules every process has loaded.
bool verifyTerminalSuite() noexcept
{
    using ConditionMaskSetter = ULONGLONG(WINAPI*)(ULONGLONG mask, DWORD typeMask, BYTE condition);
    using VersionVerifier = BOOL(WINAPI*)(OSVERSIONINFOEXA* info, DWORD typeMask, DWORDLONG conditionMask);

    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (!ntdll) return false;
    auto setConditionMask = procedure<ConditionMaskSetter>(ntdll, "VerSetConditionMask");
    if (!setConditionMask) return false;
    ULONGLONG conditionMask = setConditionMask(0, VER_SUITENAME, VER_AND);

    HMODULE kernel32 = GetModuleHandleA("KERNEL32.DLL");
    if (!kernel32) return false;
    auto verify = procedure<VersionVerifier>(kernel32, "VerifyVersionInfoA");
    if (!verify) return false;

    OSVERSIONINFOEXA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    info.wSuiteMask = VER_SUITE_TERMINAL;
    return verify(&info, VER_SUITENAME, conditionMask) == 1;
}

// The client name in the text mode's characters (Char); null for none.
template <typename Char>
jstring clientName(JNIEnv* env) noexcept;

template <>
jstring clientName<char>(JNIEnv* env) noexcept
{
    if (!sessionQueryEntry) return nullptr;
    SessionMemory buffer;
    DWORD byteCount = 0;
    // The outcome is judged by the buffer and its size, whatever the BOOL says.
    sessionQueryEntry(currentServer, currentSession, clientNameClass, buffer.put(), &byteCount);
    // One byte is the NUL of an empty name.
    if (!buffer || byteCount == 1) return nullptr;
    return newStringFromWindows(env, buffer.get());
}

template <>
jstring clientName<WCHAR>(JNIEnv* env) noexcept
{
    if (!sessionQueryEntryW) return nullptr;
    SessionMemory buffer;
    DWORD byteCount = 0;
    sessionQueryEntryW(currentServer, currentSession, clientNameClass, buffer.put(), &byteCount);
    if (!buffer) return nullptr;
    // The name's units up to its NUL, never past the bytes that the query counted.
    auto units = reinterpret_cast<const WCHAR*>(buffer.get());
    size_t count = wcsnlen(units, byteCount / sizeof(WCHAR));
    return count ? newStringFromWindows(env, units, count) : nullptr;
}

}  // namespace

void bindSessionQuery() noexcept
{
    if (sessionQueryEntry) return;

    // GetSystemDirectoryA returns 0 on failure and the size needed, NUL included,
    // when the directory does not fit. Then nothing is loaded: "\wtsapi32.dll"
    // alone would name a file in the root of the current drive.
    const char moduleName[] = "\\wtsapi32.dll";
    char path[512] = {};
    UINT length = GetSystemDirectoryA(path, 256);
    if (length == 0 || length >= 256) return;
    memcpy(path + length, moduleName, sizeof moduleName);

    // The module stays loaded for the life of the process.
    HMODULE module = LoadLibraryA(path);
    if (!module) return;
    auto query = procedure<SessionQuery>(module, "WTSQuerySessionInformationA");
    auto release = procedure<SessionMemoryFree>(module, "WTSFreeMemory");
    // The query's buffers can only be given back through WTSFreeMemory.
    if (!query || !release) return;
    sessionFreeEntry = release;
    sessionQueryEntry = query;
    sessionQueryEntryW = procedure<SessionQuery>(module, "WTSQuerySessionInformationW");
}

void queryWindowsFamily(char* name) noexcept
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) return;

    const char* family = nullptr;
    switch (version.dwPlatformId) {
    case VER_PLATFORM_WIN32_NT:
        family = version.dwMajorVersion <= 4 ? "Windows NT" : "Windows 2000";
        break;
    case VER_PLATFORM_WIN32_WINDOWS:
        family = "Windows 95";
        break;
    case VER_PLATFORM_WIN32s:
        family = "Win32s on Windows 3.1";
        break;
    default:
        return;
    }
    memcpy(name, family, strlen(family) + 1);
}

// TerminalServer.isTerminalServer() -> boolean
extern "C" JNIEXPORT jboolean JNICALL
Java_com_zarn_kelda_dravik_common_win32_TerminalServer_isTerminalServer(JNIEnv*, jclass) noexcept
{
    char family[familyNameSize] = {};
    queryWindowsFamily(family);
    bool terminalServer = false;
    if (strcmp(family, "Windows NT") == 0) {
        terminalServer = productSuiteStartsWithTerminalServer();
    } else if (strcmp(family, "Windows 2000") == 0) {
        terminalServer = verifyTerminalSuite();
    }
    return terminalServer ? JNI_TRUE : JNI_FALSE;
}

// TerminalServer.getClientName() -> String
extern "C" JNIEXPORT jstring JNICALL
Java_com_zarn_kelda_dravik_common_win32_TerminalServer_getClientName(JNIEnv* env, jclass) noexcept
{
    return byTextMode([&](auto unit) { return clientName<decltype(unit)>(env); });
}

// TerminalServer.getSessionId() -> long
extern "C" JNIEXPORT jlong JNICALL
Java_com_zarn_kelda_dravik_common_win32_TerminalServer_getSessionId(JNIEnv*, jclass) noexcept
{
    if (!sessionQueryEntry) return 0;
    SessionMemory buffer;
    DWORD byteCount = 0;
    if (!sessionQueryEntry(currentServer, currentSession, sessionIdClass, buffer.put(), &byteCount)) return 0;
    if (!buffer) return 0;
    DWORD sessionId = 0;
    memcpy(&sessionId, buffer.get(), sizeof sessionId);
    // Session ids are unsigned 32-bit values: zero-extended, never negative.
    return static_cast<jlong>(sessionId);
}
