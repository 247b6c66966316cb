// The Registry natives, called through the library's exports as a JVM calls
// them, in a sandbox key under HKEY_CURRENT_USER that each test rebuilds and
// removes. Effects are checked with direct registry calls; the library's own
// registry, heap and expansion calls are watched (and failed on demand)
// through its import table; a top-level window on a thread of the test counts
// the settings-change broadcasts.
#include "binding.h"
#include "import_patch.h"
#include "natives.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

using namespace testjni;

namespace {

// HKEY_CURRENT_USER (0x80000001) as Java passes it.
constexpr jint currentUser = -2147483647;
const std::string sandboxPath = "Software\\ZarnRegistryTest-" + std::to_string(GetCurrentProcessId());

// ---- Watching the library's Windows calls.

struct Watch {
    volatile LONG opened = 0;       // successful RegOpenKeyExA and RegCreateKeyExA
    volatile LONG closed = 0;       // RegCloseKey
    volatile LONG registryCalls = 0;
    volatile LONG nullNames = 0;    // value calls with a null name: the key's default value
    LONG queryInfoFailure = 0;      // RegQueryInfoKeyA returns this when non-zero
    LONG setValueFailure = 0;       // RegSetValueExA returns this when non-zero
    int heapFailAt = 0;             // the nth malloc from now fails
    LONG failCall = 0;              // the nth registry call from now (close excepted) fails with ERROR_ACCESS_DENIED
    int heapCalls = 0;
    std::function<void(int call)> beforeQueryValue;       // call 1, 2, ... of RegQueryValueExA
    std::function<void(int call)> beforeExpand;           // call 1, 2, ... of ExpandEnvironmentStringsA
    std::function<DWORD(int call)> expandResult;          // replaces a call's result when it returns non-zero
    std::function<void(int call)> beforeEnum;             // call 1, 2, ... of RegEnumKeyExA and RegEnumValueA
    int queryValueCalls = 0;
    int expandCalls = 0;
    int enumCalls = 0;
    const char* systemText = nullptr;  // FormatMessageA gives this text when set, as a localized Windows would
    bool frozenTime = false;        // RegQueryInfoKeyA gives one last-write time, as within one clock tick
    LONG notifyFailure = 0;         // RegNotifyChangeKeyValue returns this when non-zero
    DWORD longValueName = 0;        // value names have this many units, as Windows allows and Wine does not store
    DWORD performanceNeeds = 0;     // HKEY_PERFORMANCE_DATA's data needs this many bytes, its size reported undefined
    bool refuseAgnostic = false;       // RegNotifyChangeKeyValue refuses REG_NOTIFY_THREAD_AGNOSTIC, as before Windows 8
    volatile LONG agnosticArms = 0;    // registrations made with the flag

    void reset()
    {
        systemText = nullptr;
        opened = closed = registryCalls = nullNames = 0;
        queryInfoFailure = setValueFailure = failCall = notifyFailure = 0;
        agnosticArms = longValueName = performanceNeeds = 0;
        frozenTime = refuseAgnostic = false;
        heapFailAt = heapCalls = queryValueCalls = expandCalls = enumCalls = 0;
        beforeQueryValue = nullptr;
        beforeEnum = nullptr;
        beforeExpand = nullptr;
        expandResult = nullptr;
    }
} watch;

// Counts a registry call; true for the one that Watch::failCall names.
bool countAndFail()
{
    LONG call = InterlockedIncrement(&watch.registryCalls);
    return watch.failCall && call == watch.failCall;
}

// The registry functions that the watches pass a call on to, in the form of its text.
LONG regOpenKeyEx(HKEY r, LPCSTR p, DWORD o, REGSAM m, PHKEY k) { return RegOpenKeyExA(r, p, o, m, k); }
LONG regOpenKeyEx(HKEY r, LPCWSTR p, DWORD o, REGSAM m, PHKEY k) { return RegOpenKeyExW(r, p, o, m, k); }
LONG regCreateKeyEx(HKEY r, LPCSTR p, DWORD v, LPSTR c, DWORD o, REGSAM m, LPSECURITY_ATTRIBUTES s, PHKEY k, LPDWORD d)
{
    return RegCreateKeyExA(r, p, v, c, o, m, s, k, d);
}
LONG regCreateKeyEx(HKEY r, LPCWSTR p, DWORD v, LPWSTR c, DWORD o, REGSAM m, LPSECURITY_ATTRIBUTES s, PHKEY k, LPDWORD d)
{
    return RegCreateKeyExW(r, p, v, c, o, m, s, k, d);
}
LONG regQueryValueEx(HKEY k, LPCSTR n, LPDWORD r, LPDWORD t, LPBYTE d, LPDWORD s) { return RegQueryValueExA(k, n, r, t, d, s); }
LONG regQueryValueEx(HKEY k, LPCWSTR n, LPDWORD r, LPDWORD t, LPBYTE d, LPDWORD s) { return RegQueryValueExW(k, n, r, t, d, s); }
LONG regSetValueEx(HKEY k, LPCSTR n, DWORD r, DWORD t, const BYTE* d, DWORD s) { return RegSetValueExA(k, n, r, t, d, s); }
LONG regSetValueEx(HKEY k, LPCWSTR n, DWORD r, DWORD t, const BYTE* d, DWORD s) { return RegSetValueExW(k, n, r, t, d, s); }
LONG regDeleteValue(HKEY k, LPCSTR n) { return RegDeleteValueA(k, n); }
LONG regDeleteValue(HKEY k, LPCWSTR n) { return RegDeleteValueW(k, n); }
LONG regEnumKeyEx(HKEY k, DWORD i, LPSTR n, LPDWORD s, LPDWORD r, LPSTR c, LPDWORD cs, PFILETIME w)
{
    return RegEnumKeyExA(k, i, n, s, r, c, cs, w);
}
LONG regEnumKeyEx(HKEY k, DWORD i, LPWSTR n, LPDWORD s, LPDWORD r, LPWSTR c, LPDWORD cs, PFILETIME w)
{
    return RegEnumKeyExW(k, i, n, s, r, c, cs, w);
}
LONG regEnumValue(HKEY k, DWORD i, LPSTR n, LPDWORD s, LPDWORD r, LPDWORD t, LPBYTE d, LPDWORD ds)
{
    return RegEnumValueA(k, i, n, s, r, t, d, ds);
}
LONG regEnumValue(HKEY k, DWORD i, LPWSTR n, LPDWORD s, LPDWORD r, LPDWORD t, LPBYTE d, LPDWORD ds)
{
    return RegEnumValueW(k, i, n, s, r, t, d, ds);
}

// The watches, each for the A function (Char char) and the W function of unicode mode (Char WCHAR).
template <typename Char>
LONG WINAPI watchedOpen(HKEY root, const Char* path, DWORD options, REGSAM mask, PHKEY key)
{
    if (countAndFail()) return ERROR_ACCESS_DENIED;
    LONG status = regOpenKeyEx(root, path, options, mask, key);
    if (status == ERROR_SUCCESS) InterlockedIncrement(&watch.opened);
    return status;
}

template <typename Char>
LONG WINAPI watchedCreate(HKEY root, const Char* path, DWORD reserved, Char* cls, DWORD options, REGSAM mask,
                          LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition)
{
    if (countAndFail()) return ERROR_ACCESS_DENIED;
    LONG status = regCreateKeyEx(root, path, reserved, cls, options, mask, security, key, disposition);
    if (status == ERROR_SUCCESS) InterlockedIncrement(&watch.opened);
    return status;
}

LONG WINAPI watchedClose(HKEY key)
{
    InterlockedIncrement(&watch.closed);
    return RegCloseKey(key);
}

LONG WINAPI watchedQueryInfo(HKEY key, LPSTR cls, LPDWORD clsSize, LPDWORD reserved, LPDWORD subKeys,
                             LPDWORD subKeyLength, LPDWORD classLength, LPDWORD values, LPDWORD valueNameLength,
                             LPDWORD valueLength, LPDWORD security, PFILETIME written)
{
    if (countAndFail()) return ERROR_ACCESS_DENIED;
    if (watch.queryInfoFailure) return watch.queryInfoFailure;
    LONG status = RegQueryInfoKeyA(key, cls, clsSize, reserved, subKeys, subKeyLength, classLength, values,
                                   valueNameLength, valueLength, security, written);
    if (watch.frozenTime && written) *written = FILETIME{1, 1};
    return status;
}

template <typename Char>
LONG WINAPI watchedQueryValue(HKEY key, const Char* name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
    if (countAndFail()) return ERROR_ACCESS_DENIED;
    if (!name) InterlockedIncrement(&watch.nullNames);
    int call = ++watch.queryValueCalls;
    if (watch.beforeQueryValue) watch.beforeQueryValue(call);
    if (key == HKEY_PERFORMANCE_DATA && data && *size < watch.performanceNeeds) return *size = 1, ERROR_MORE_DATA;
    return regQueryValueEx(key, name, reserved, type, data, size);
}

template <typename Char>
LONG WINAPI watchedSetValue(HKEY key, const Char* name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    if (countAndFail()) return ERROR_ACCESS_DENIED;
    if (!name) InterlockedIncrement(&watch.nullNames);
    if (watch.setValueFailure) return watch.setValueFailure;
    return regSetValueEx(key, name, reserved, type, data, size);
}

template <typename Char>
LONG WINAPI watchedDeleteValue(HKEY key, const Char* name)
{
    if (countAndFail()) return ERROR_ACCESS_DENIED;
    if (!name) InterlockedIncrement(&watch.nullNames);
    return regDeleteValue(key, name);
}

template <typename Char>
LONG WINAPI watchedEnumKey(HKEY key, DWORD index, Char* name, LPDWORD size, LPDWORD reserved, Char* cls,
                           LPDWORD clsSize, PFILETIME written)
{
    if (countAndFail()) return ERROR_ACCESS_DENIED;
    if (watch.beforeEnum) watch.beforeEnum(++watch.enumCalls);
    return regEnumKeyEx(key, index, name, size, reserved, cls, clsSize, written);
}

template <typename Char>
LONG WINAPI watchedEnumValue(HKEY key, DWORD index, Char* name, LPDWORD size, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD dataSize)
{
    if (countAndFail()) return ERROR_ACCESS_DENIED;
    if (watch.beforeEnum) watch.beforeEnum(++watch.enumCalls);
    // The A function takes the size as a SHORT: above 32,767 it overflows, and
    // Windows may fail with ERROR_MORE_DATA. Neither form cuts a name.
    if (sizeof(Char) == 1 && *size > 32767) ADD_FAILURE() << "RegEnumValueA given " << *size << " bytes";
    if ((sizeof(Char) == 1 && *size > 32767) || *size <= watch.longValueName) return ERROR_MORE_DATA;
    return regEnumValue(key, index, name, size, reserved, type, data, dataSize);
}

DWORD WINAPI watchedExpand(LPCSTR text, LPSTR buffer, DWORD size)
{
    int call = ++watch.expandCalls;
    if (watch.beforeExpand) watch.beforeExpand(call);
    DWORD result = ExpandEnvironmentStringsA(text, buffer, size);
    return result && watch.expandResult ? watch.expandResult(call) : result;
}

DWORD WINAPI watchedFormatMessage(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPSTR buffer, DWORD size,
                                  va_list* arguments)
{
    if (!watch.systemText || !(flags & FORMAT_MESSAGE_ALLOCATE_BUFFER))
        return FormatMessageA(flags, source, id, language, buffer, size, arguments);
    size_t length = strlen(watch.systemText);
    char* text = static_cast<char*>(LocalAlloc(LMEM_FIXED, length + 1));
    memcpy(text, watch.systemText, length + 1);
    *reinterpret_cast<char**>(buffer) = text;
    return static_cast<DWORD>(length);
}

// Unicode mode asks FormatMessageW: the same text, as UTF-16.
DWORD WINAPI watchedFormatMessageW(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPWSTR buffer, DWORD size,
                                   va_list* arguments)
{
    if (!watch.systemText || !(flags & FORMAT_MESSAGE_ALLOCATE_BUFFER))
        return FormatMessageW(flags, source, id, language, buffer, size, arguments);
    int units = MultiByteToWideChar(CP_ACP, 0, watch.systemText, -1, nullptr, 0);
    auto text = static_cast<WCHAR*>(LocalAlloc(LMEM_FIXED, units * sizeof(WCHAR)));
    MultiByteToWideChar(CP_ACP, 0, watch.systemText, -1, text, units);
    *reinterpret_cast<WCHAR**>(buffer) = text;
    return static_cast<DWORD>(units - 1);
}

LONG WINAPI watchedNotify(HKEY key, BOOL subtree, DWORD filter, HANDLE event, BOOL asynchronous)
{
    // Not one of the calls that fail in turn: a listing whose notification fails
    // still lists, through more passes.
    if (watch.notifyFailure) return watch.notifyFailure;
    if ((filter & REG_NOTIFY_THREAD_AGNOSTIC) && watch.refuseAgnostic) return ERROR_INVALID_PARAMETER;
    if (filter & REG_NOTIFY_THREAD_AGNOSTIC) InterlockedIncrement(&watch.agnosticArms);
    return RegNotifyChangeKeyValue(key, subtree, filter, event, asynchronous);
}

// The library's malloc before the watch (the page heap's).
void*(__cdecl* libraryMalloc)(size_t) = malloc;

void* __cdecl watchedMalloc(size_t size)
{
    if (++watch.heapCalls == watch.heapFailAt) return nullptr;
    return libraryMalloc(size);
}

// ---- Counting the settings-change broadcasts that reach a top-level window.

volatile LONG environmentBroadcasts = 0;

LRESULT CALLBACK listenerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETTINGCHANGE && wParam == 0 && lParam &&
        strcmp(reinterpret_cast<const char*>(lParam), "Environment") == 0)
        InterlockedIncrement(&environmentBroadcasts);
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcA(window, message, wParam, lParam);
}

// Installs the watches for the whole run and keeps a listening window alive on
// its own thread with a message loop.
class RegistryEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        HMODULE module = library();
        ASSERT_NE(module, nullptr);
        struct { const char* name; void* function; } watched[] = {
            {"RegOpenKeyExA", reinterpret_cast<void*>(&watchedOpen<char>)},
            {"RegCreateKeyExA", reinterpret_cast<void*>(&watchedCreate<char>)},
            {"RegCloseKey", reinterpret_cast<void*>(watchedClose)},
            {"RegQueryInfoKeyA", reinterpret_cast<void*>(watchedQueryInfo)},
            {"RegQueryValueExA", reinterpret_cast<void*>(&watchedQueryValue<char>)},
            {"RegSetValueExA", reinterpret_cast<void*>(&watchedSetValue<char>)},
            {"RegDeleteValueA", reinterpret_cast<void*>(&watchedDeleteValue<char>)},
            {"RegEnumKeyExA", reinterpret_cast<void*>(&watchedEnumKey<char>)},
            {"RegEnumValueA", reinterpret_cast<void*>(&watchedEnumValue<char>)},
            {"ExpandEnvironmentStringsA", reinterpret_cast<void*>(watchedExpand)},
            {"malloc", reinterpret_cast<void*>(watchedMalloc)},
            {"FormatMessageA", reinterpret_cast<void*>(watchedFormatMessage)},
            {"RegOpenKeyExW", reinterpret_cast<void*>(&watchedOpen<WCHAR>)},
            {"RegCreateKeyExW", reinterpret_cast<void*>(&watchedCreate<WCHAR>)},
            {"RegQueryValueExW", reinterpret_cast<void*>(&watchedQueryValue<WCHAR>)},
            {"RegSetValueExW", reinterpret_cast<void*>(&watchedSetValue<WCHAR>)},
            {"RegDeleteValueW", reinterpret_cast<void*>(&watchedDeleteValue<WCHAR>)},
            {"FormatMessageW", reinterpret_cast<void*>(watchedFormatMessageW)},
            {"RegEnumKeyExW", reinterpret_cast<void*>(&watchedEnumKey<WCHAR>)},
            {"RegEnumValueW", reinterpret_cast<void*>(&watchedEnumValue<WCHAR>)},
            {"RegNotifyChangeKeyValue", reinterpret_cast<void*>(watchedNotify)},
        };
        for (const auto& w : watched) {
            patches_.push_back(std::make_unique<ImportPatch>(module, w.name, w.function));
            EXPECT_TRUE(patches_.back()->applied()) << "the library does not import " << w.name;
            if (w.function == reinterpret_cast<void*>(watchedMalloc))
                libraryMalloc = reinterpret_cast<void*(__cdecl*)(size_t)>(patches_.back()->original());
        }

        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        listener_ = std::make_unique<TestThread>([this, ready] {
            WNDCLASSA cls = {};
            cls.lpfnWndProc = listenerProc;
            cls.hInstance = GetModuleHandleA(nullptr);
            cls.lpszClassName = "ZarnBroadcastListener";
            RegisterClassA(&cls);
            window_ = CreateWindowExA(0, cls.lpszClassName, "listener", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                      nullptr, cls.hInstance, nullptr);
            SetEvent(ready);
            if (!window_) return;
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
        });
        WaitForSingleObject(ready, 30000);
        CloseHandle(ready);
        ASSERT_NE(window_, nullptr) << "no listening window";
    }

    void TearDown() override
    {
        if (window_) PostMessageA(window_, WM_CLOSE, 0, 0);
        listener_.reset();
        patches_.clear();
    }

private:
    std::vector<std::unique_ptr<ImportPatch>> patches_;
    std::unique_ptr<TestThread> listener_;
    HWND window_ = nullptr;
};

::testing::Environment* const registryEnvironment = ::testing::AddGlobalTestEnvironment(new RegistryEnvironment);

// ---- Results as text, so that tables can hold them.

std::string hex(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string show(jboolean b) { return b ? "true" : "false"; }
std::string show(jint v) { return std::to_string(v); }
std::string show(jlong v) { return std::to_string(v); }
std::string show(TestJni& jni, jobject o)
{
    if (!o) return "null";
    if (jni.isByteArray(o)) return "bytes:" + hex(jni.arrayBytes(o));
    if (jni.isString(o)) return "string:" + jni.utf8Bytes(o);
    if (jni.isInteger(o)) return "int:" + std::to_string(jni.integerValue(o));
    if (jni.isObjectArray(o)) {
        std::string out = "strings:";
        for (jobject e : jni.arrayElements(o)) out += (out.size() > 8 ? "|" : "") + (e ? jni.utf8Bytes(e) : "<null>");
        return out;
    }
    return "object";
}

// The texts of a String[].
std::vector<std::u16string> namesOf(TestJni& jni, jobject array)
{
    std::vector<std::u16string> names;
    for (jobject name : jni.arrayElements(array)) names.push_back(jni.utf16(name));
    return names;
}

// A registry value as the registry holds it.
struct Raw {
    bool exists = false;
    DWORD type = 0;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string repeat(const std::string& s, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i) out += s;
    return out;
}

// ---- The fixture: the sandbox, the natives, and the checks every call shares.

class RegistryTest : public ::testing::Test {
protected:
    using Bytes = std::vector<uint8_t>;

    Native<jboolean(jint, jstring)> keyExists{name("keyExists")};
    Native<jint(jint, jstring)> keyCreate{name("keyCreate")};
    Native<jint(jint, jstring, jboolean)> keyDelete{name("keyDelete")};
    Native<jboolean(jint, jstring)> keyHasSubKeys{name("keyHasSubKeys")};
    Native<jboolean(jint, jstring)> keyHasValues{name("keyHasValues")};
    Native<jboolean(jint, jstring, jstring)> keyHasValue{name("keyHasValue")};
    Native<void(jint, jstring, jstring, jboolean)> keyDeleteValue{name("keyDeleteValue")};
    Native<jint()> broadcastUpdate{name("broadcastUpdate")};
    Native<jint(jint, jstring, jstring)> keyGetValueType{name("keyGetValueType")};
    Native<jobject(jint, jstring, jstring)> keyGetValue{name("keyGetValue")};
    Native<void(jint, jstring, jstring, jint, jobject, jboolean)> keySetValue{name("keySetValue")};
    Native<jobjectArray(jint, jstring)> keyGetSubKeys{name("keyGetSubKeys")};
    Native<jobjectArray(jint, jstring)> keyGetValueNames{name("keyGetValueNames")};
    Native<jlong(jint, jstring, jstring)> keyGetLong{name("keyGetLong")};
    Native<void(jint, jstring, jstring, jlong, jboolean)> keySetLong{name("keySetLong")};
    Native<jobjectArray(jint, jstring, jstring)> keyGetStrings{name("keyGetStrings")};
    Native<void(jint, jstring, jstring, jobjectArray, jboolean)> keySetStrings{name("keySetStrings")};
    Native<jint()> watchEvent{name("watchEvent")};
    Native<jint(jint, jstring, jboolean, jint)> watchOpen{name("watchOpen")};
    Native<jint(jint, jint, jboolean, jint)> watchAwait{name("watchAwait")};
    Native<void(jint)> watchWake{name("watchWake")};
    Native<void(jint, jint)> watchClose{name("watchClose")};

    static std::string name(const char* method) { return std::string(win32Package) + "Registry_" + method; }

    void SetUp() override
    {
        populate();
        watch.reset();
    }

    void TearDown() override
    {
        EXPECT_EQ(watch.opened, watch.closed) << "a key the library opened was left open";
        EXPECT_EQ(watch.nullNames, 0) << "a null value name reached Windows";
        watch.reset();
        RegDeleteTreeA(HKEY_CURRENT_USER, sandboxPath.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, sandboxPath.c_str());
    }

    // The sandbox's standard contents.
    void populate()
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, sandboxPath.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, sandboxPath.c_str());
        setRaw("present", "", REG_SZ, bytesOf(std::string("default", 8)));
        setRaw("present", "v", REG_SZ, bytesOf(std::string("x", 2)));
        setRaw("present", "bin", REG_BINARY, {1, 2});
        setRaw("present", "exp", REG_EXPAND_SZ, bytesOf(std::string("%SystemRoot%", 13)));
        setRaw("present", "dw", REG_DWORD, {7, 0, 0, 0});
        setRaw("present", "multi", REG_MULTI_SZ, bytesOf(std::string("a\0b\0\0", 5)));
        setRaw("present\\child", "c", REG_DWORD, {1, 0, 0, 0});
        setRaw("valuesOnly", "only", REG_DWORD, {1, 0, 0, 0});
        createKey("keysOnly\\sub");
        createKey("empty");
    }

    static std::string full(const std::string& path) { return path.empty() ? sandboxPath : sandboxPath + "\\" + path; }
    jstring key(TestJni& jni, const std::string& path) { return jni.string(full(path)); }

    // Runs call with the sandbox key, opened for this call alone, as its root.
    template <class Call>
    static std::string withSandboxRoot(Call call)
    {
        HKEY sandbox = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, sandboxPath.c_str(), 0, KEY_ALL_ACCESS, &sandbox) != ERROR_SUCCESS)
            return "<sandbox not opened>";
        std::string result = call(handleToJint(sandbox));
        RegCloseKey(sandbox);
        return result;
    }

    static void createKey(const std::string& path)
    {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, full(path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    // Stores data as given: a non-NUL byte follows it in memory, because
    // RegSetValueExA adds the NUL that string data lacks when the next byte is one.
    static void setRaw(const std::string& path, const std::string& valueName, DWORD type, const Bytes& data)
    {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, full(path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        Bytes guarded = data;
        guarded.push_back('#');
        EXPECT_EQ(RegSetValueExA(key, valueName.c_str(), 0, type, guarded.data(), static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    // ---- Another program's view: the W functions, UTF-16 names, data as given (RegSetValueExW adds no NUL).
    static std::u16string latin1(const std::string& text)
    {
        std::u16string out;
        for (unsigned char c : text) out += c;
        return out;
    }
    static Bytes utf16Bytes(const std::u16string& text)
    {
        auto bytes = reinterpret_cast<const uint8_t*>(text.data());
        return Bytes(bytes, bytes + text.size() * 2);
    }
    static HKEY wideKey(const std::u16string& path, bool create = false)
    {
        HKEY key = nullptr;
        std::u16string wide = latin1(sandboxPath) + (path.empty() ? u"" : u"\\" + path);
        auto name = reinterpret_cast<LPCWSTR>(wide.c_str());
        LONG status = create ? RegCreateKeyExW(HKEY_CURRENT_USER, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)
                             : RegOpenKeyExW(HKEY_CURRENT_USER, name, 0, KEY_READ, &key);
        return status == ERROR_SUCCESS ? key : nullptr;
    }
    static void setWide(const std::u16string& path, const std::u16string& name, DWORD type, const Bytes& data)
    {
        HKEY key = wideKey(path, true);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(RegSetValueExW(key, reinterpret_cast<LPCWSTR>(name.c_str()), 0, type, data.data(), static_cast<DWORD>(data.size())), 0);
        RegCloseKey(key);
    }
    static void setWide(const std::string& path, const std::u16string& name, DWORD type, const Bytes& data)
    {
        setWide(latin1(path), name, type, data);
    }
    static Raw rawWide(const std::u16string& path, const std::u16string& name)
    {
        Raw r;
        r.data.resize(1 << 16);
        DWORD size = static_cast<DWORD>(r.data.size());
        HKEY key = wideKey(path);
        r.exists = key && !RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(name.c_str()), nullptr, &r.type, r.data.data(), &size);
        if (key) RegCloseKey(key);
        r.data.resize(r.exists ? size : 0);
        return r;
    }
    // A key's sub-key (or value) names, in Windows' order.
    static std::vector<std::u16string> namesW(const std::string& path, bool values)
    {
        std::vector<std::u16string> names;
        HKEY key = wideKey(latin1(path));
        WCHAR name[16384];
        for (DWORD i = 0, size = 16384; key; ++i, size = 16384) {
            if (values ? RegEnumValueW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr)
                       : RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr))
                break;
            names.emplace_back(reinterpret_cast<const char16_t*>(name), size);
        }
        if (key) RegCloseKey(key);
        return names;
    }

    static Raw raw(const std::string& path, const std::string& valueName)
    {
        Raw r;
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, full(path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return r;
        DWORD size = 0;
        if (RegQueryValueExA(key, valueName.c_str(), nullptr, &r.type, nullptr, &size) == ERROR_SUCCESS) {
            r.data.resize(size + 1);
            r.exists = RegQueryValueExA(key, valueName.c_str(), nullptr, &r.type, r.data.data(), &size) ==
                       ERROR_SUCCESS;
            r.data.resize(size);
        }
        RegCloseKey(key);
        return r;
    }

    static bool exists(const std::string& path)
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, full(path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }

    // Every key and value below the sandbox, as text.
    static std::string snapshot(const std::string& path = "")
    {
        std::string out;
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, full(path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "-";
        for (DWORD i = 0;; ++i) {
            char valueName[1024];
            DWORD nameSize = sizeof valueName;
            BYTE data[4096];
            DWORD size = sizeof data, type = 0;
            if (RegEnumValueA(key, i, valueName, &nameSize, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
            out += "[" + path + "]" + valueName + "=" + std::to_string(type) + ":" + hex(Bytes(data, data + size)) +
                   "\n";
        }
        std::vector<std::string> children;
        for (DWORD i = 0;; ++i) {
            char child[256];
            DWORD childSize = sizeof child;
            if (RegEnumKeyExA(key, i, child, &childSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            children.push_back(path.empty() ? child : path + "\\" + child);
        }
        RegCloseKey(key);
        for (const std::string& child : children) out += snapshot(child);
        return out;
    }

    static long broadcasts() { return environmentBroadcasts; }
};

// One call of a native with what must follow from it.
struct Row {
    const char* what;
    std::function<void()> prepare;              // may be empty
    std::function<std::string(TestJni&)> call;
    std::string result;
    const char* message;                        // nullptr: no exception
    long broadcasts;
};

// ---- Both failure tables, row by row.

TEST_F(RegistryTest, EveryFailureGivesItsResultMessageAndBroadcast)
{
    auto failQueryInfo = [] { watch.queryInfoFailure = ERROR_ACCESS_DENIED; };
    auto failEnumeration = [] { watch.failCall = 2; };  // the first call after the open
    auto readPerformance = [&](TestJni& j) { return show(j, keyGetValue(j, handleToJint(HKEY_PERFORMANCE_DATA), j.string(""), j.string("Global"))).substr(0, 22); };
    // A value that grows between the size query and the data query.
    auto growBetweenQueries = [] {
        watch.beforeQueryValue = [](int call) {
            if (call == 2) setRaw("present", "v", REG_SZ, bytesOf(std::string(300, 'g') + '\0'));
        };
    };
    auto failSecondExpansion = [] {
        watch.expandResult = [](int call) { return call == 2 ? 0u : ExpandEnvironmentStringsA("%SystemRoot%", nullptr, 0); };
    };
    const Row rows[] = {
        {"keyExists, missing key", nullptr, [&](TestJni& j) { return show(keyExists(j, currentUser, key(j, "missing"))); }, "false", nullptr, 0},
        {"keyExists, root that is no key", nullptr, [&](TestJni& j) { return show(keyExists(j, 0, key(j, "present"))); }, "false", nullptr, 0},
        {"keyCreate, root that is no key", nullptr, [&](TestJni& j) { return show(keyCreate(j, 0, key(j, "new"))); }, std::to_string(ERROR_INVALID_HANDLE), nullptr, 0},
        // A view bit on a root that is no predefined key, or both bits: an invalid root.
        {"keyExists, view bit on an open key", nullptr, [&](TestJni& j) { return withSandboxRoot([&](jint root) { return show(keyExists(j, root | 0x0100, j.string("present"))); }); }, "false", nullptr, 0},
        {"keyGetValue, both view bits", nullptr, [&](TestJni& j) { return show(j, keyGetValue(j, currentUser | 0x0300, key(j, "present"), j.string("v"))); }, "null", "Error opening registry key", 0},
        {"keyDelete in a view, missing key", nullptr, [&](TestJni& j) { return show(keyDelete(j, currentUser | 0x0100, key(j, "missing"), JNI_FALSE)); }, "2", "Could not delete registry key", 0},
        {"watchOpen, missing key", nullptr, [&](TestJni& j) { jint event = watchEvent(j); jint k = watchOpen(j, currentUser, key(j, "missing"), JNI_TRUE, event); watchClose(j, k, event); return show(k); }, "0", "Error opening registry key", 0},
        {"keyCreate, existing key", nullptr, [&](TestJni& j) { return show(keyCreate(j, currentUser, key(j, "present"))); }, "0", "Attempted to create existing key", 0},
        {"keyDelete, missing key, flag set", nullptr, [&](TestJni& j) { return show(keyDelete(j, currentUser, key(j, "missing"), JNI_TRUE)); }, "2", "Could not delete registry key", 1},
        {"keyDelete, missing key, flag clear", nullptr, [&](TestJni& j) { return show(keyDelete(j, currentUser, key(j, "missing"), JNI_FALSE)); }, "2", "Could not delete registry key", 0},
        // An empty path names the root itself, which would be emptied: here the root is the sandbox.
        {"keyDelete, empty path", nullptr, [&](TestJni& j) { return withSandboxRoot([&](jint root) { return show(keyDelete(j, root, j.string(""), JNI_TRUE)); }); }, "87", "Could not delete registry key", 1},
        {"keyHasSubKeys, missing key", nullptr, [&](TestJni& j) { return show(keyHasSubKeys(j, currentUser, key(j, "missing"))); }, "false", "Error opening registry key", 0},
        {"keyHasValues, missing key", nullptr, [&](TestJni& j) { return show(keyHasValues(j, currentUser, key(j, "missing"))); }, "false", "Error opening registry key", 0},
        {"keyHasValue, missing key", nullptr, [&](TestJni& j) { return show(keyHasValue(j, currentUser, key(j, "missing"), j.string("v"))); }, "false", "Error opening registry key", 0},
        {"keyDeleteValue, missing key, flag set", nullptr, [&](TestJni& j) { keyDeleteValue(j, currentUser, key(j, "missing"), j.string("v"), JNI_TRUE); return std::string("void"); }, "void", "Error opening registry key", 0},
        {"keyHasSubKeys, count fails", failQueryInfo, [&](TestJni& j) { return show(keyHasSubKeys(j, currentUser, key(j, "present"))); }, "false", "Error counting registry subkeys", 0},
        {"keyHasValues, count fails", failQueryInfo, [&](TestJni& j) { return show(keyHasValues(j, currentUser, key(j, "present"))); }, "false", "Error counting registry values", 0},
        {"keyHasValue, missing value", nullptr, [&](TestJni& j) { return show(keyHasValue(j, currentUser, key(j, "present"), j.string("absent"))); }, "false", nullptr, 0},
        {"keyDeleteValue, missing value, flag set", nullptr, [&](TestJni& j) { keyDeleteValue(j, currentUser, key(j, "present"), j.string("absent"), JNI_TRUE); return std::string("void"); }, "void", "Error deleting registry key value", 1},
        {"keyDeleteValue, missing value, flag clear", nullptr, [&](TestJni& j) { keyDeleteValue(j, currentUser, key(j, "present"), j.string("absent"), JNI_FALSE); return std::string("void"); }, "void", "Error deleting registry key value", 0},
        {"keyGetValueType, missing key", nullptr, [&](TestJni& j) { return show(keyGetValueType(j, currentUser, key(j, "missing"), j.string("v"))); }, "0", "Error opening registry key", 0},
        {"keyGetValue, missing key", nullptr, [&](TestJni& j) { return show(j, keyGetValue(j, currentUser, key(j, "missing"), j.string("v"))); }, "null", "Error opening registry key", 0},
        {"keySetValue, missing key, flag set", nullptr, [&](TestJni& j) { keySetValue(j, currentUser, key(j, "missing"), j.string("v"), REG_SZ, j.string("s"), JNI_TRUE); return std::string("void"); }, "void", "Error opening registry key", 0},
        {"keyGetValueType, missing value", nullptr, [&](TestJni& j) { return show(keyGetValueType(j, currentUser, key(j, "present"), j.string("absent"))); }, "0", "Error retreiving registry value", 0},
        {"keyGetValue, missing value", nullptr, [&](TestJni& j) { return show(j, keyGetValue(j, currentUser, key(j, "present"), j.string("absent"))); }, "null", "Error retreiving registry value", 0},
        {"keyGetValue, value grew between the queries", growBetweenQueries, [&](TestJni& j) { return show(j, keyGetValue(j, currentUser, key(j, "present"), j.string("v"))); }, "null", "Error retreiving registry value", 0},
        {"keyGetValue, REG_LINK", [] { setRaw("present", "t6", REG_LINK, {1, 2}); }, [&](TestJni& j) { return show(j, keyGetValue(j, currentUser, key(j, "present"), j.string("t6"))); }, "null", "Unsupported data type", 0},
        {"keyGetValue, REG_MULTI_SZ", nullptr, [&](TestJni& j) { return show(j, keyGetValue(j, currentUser, key(j, "present"), j.string("multi"))); }, "null", "Unsupported data type", 0},
        {"keyGetValue, REG_RESOURCE_LIST", [] { setRaw("present", "t8", REG_RESOURCE_LIST, {1}); }, [&](TestJni& j) { return show(j, keyGetValue(j, currentUser, key(j, "present"), j.string("t8"))); }, "null", "Unsupported data type", 0},
        {"keyGetValue, REG_QWORD", [] { setRaw("present", "t11", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}); }, [&](TestJni& j) { return show(j, keyGetValue(j, currentUser, key(j, "present"), j.string("t11"))); }, "null", "Unsupported data type", 0},
        {"keyGetValue, expansion fails", failSecondExpansion, [&](TestJni& j) { return show(j, keyGetValue(j, currentUser, key(j, "present"), j.string("exp"))); }, "null", "Error expanding registry strings", 0},
        {"keySetValue, type 7", nullptr, [&](TestJni& j) { keySetValue(j, currentUser, key(j, "present"), j.string("w"), REG_MULTI_SZ, j.string("a"), JNI_TRUE); return std::string("void"); }, "void", "Not implemented", 1},
        {"keySetValue, type 6", nullptr, [&](TestJni& j) { keySetValue(j, currentUser, key(j, "present"), j.string("w"), REG_LINK, j.string("a"), JNI_FALSE); return std::string("void"); }, "void", "Unsupported value type", 0},
        {"keySetValue, type 8", nullptr, [&](TestJni& j) { keySetValue(j, currentUser, key(j, "present"), j.string("w"), 8, j.integer(1), JNI_TRUE); return std::string("void"); }, "void", "Unsupported value type", 1},
        {"keySetValue, type -1", nullptr, [&](TestJni& j) { keySetValue(j, currentUser, key(j, "present"), j.string("w"), -1, j.bytes({1}), JNI_TRUE); return std::string("void"); }, "void", "Unsupported value type", 1},
        {"keySetValue, type 11", nullptr, [&](TestJni& j) { keySetValue(j, currentUser, key(j, "present"), j.string("w"), REG_QWORD, j.integer(1), JNI_FALSE); return std::string("void"); }, "void", "Unsupported value type", 0},
        // The lists, and the 64-bit and list values.
        {"keyGetSubKeys, missing key", nullptr, [&](TestJni& j) { return show(j, keyGetSubKeys(j, currentUser, key(j, "missing"))); }, "null", "Error opening registry key", 0},
        {"keyGetValueNames, missing key", nullptr, [&](TestJni& j) { return show(j, keyGetValueNames(j, currentUser, key(j, "missing"))); }, "null", "Error opening registry key", 0},
        {"keyGetSubKeys, enumeration fails", failEnumeration, [&](TestJni& j) { return show(j, keyGetSubKeys(j, currentUser, key(j, "present"))); }, "null", "Error enumerating registry subkeys", 0},
        {"keyGetValueNames, enumeration fails", failEnumeration, [&](TestJni& j) { return show(j, keyGetValueNames(j, currentUser, key(j, "present"))); }, "null", "Error enumerating registry values", 0},
        // HKEY_PERFORMANCE_DATA's data, "PERF" in UTF-16 first, whatever size it reports with
        // ERROR_MORE_DATA (Wine reports 0), up to the buffer's bound.
        {"keyGetValue, HKEY_PERFORMANCE_DATA", [] { watch.performanceNeeds = 300000; }, readPerformance, "bytes:5000450052004600", nullptr, 0},
        {"keyGetValue, HKEY_PERFORMANCE_DATA past the bound", [] { watch.performanceNeeds = 0x7FFFFFFF; }, readPerformance, "null", "Error retreiving registry value", 0},
        {"keyGetLong, missing value", nullptr, [&](TestJni& j) { return show(keyGetLong(j, currentUser, key(j, "present"), j.string("absent"))); }, "0", "Error retreiving registry value", 0},
        {"keyGetLong, REG_DWORD", nullptr, [&](TestJni& j) { return show(keyGetLong(j, currentUser, key(j, "present"), j.string("dw"))); }, "0", "Incompatible data types", 0},
        {"keyGetStrings, missing key", nullptr, [&](TestJni& j) { return show(j, keyGetStrings(j, currentUser, key(j, "missing"), j.string("multi"))); }, "null", "Error opening registry key", 0},
        {"keyGetStrings, missing value", nullptr, [&](TestJni& j) { return show(j, keyGetStrings(j, currentUser, key(j, "present"), j.string("absent"))); }, "null", "Error retreiving registry value", 0},
        {"keyGetStrings, REG_SZ", nullptr, [&](TestJni& j) { return show(j, keyGetStrings(j, currentUser, key(j, "present"), j.string("v"))); }, "null", "Incompatible data types", 0},
        {"keySetLong, missing key, flag set", nullptr, [&](TestJni& j) { keySetLong(j, currentUser, key(j, "missing"), j.string("q"), 1, JNI_TRUE); return std::string("void"); }, "void", "Error opening registry key", 0},
        {"keySetLong, failed write", nullptr, [&](TestJni& j) { keySetLong(j, currentUser, key(j, "present"), j.string(std::string(20000, 'n')), 1, JNI_TRUE); return std::string("void"); }, "void", "Error setting registry value (REG_QWORD)", 1},
        {"keySetStrings, missing key, flag set", nullptr, [&](TestJni& j) { keySetStrings(j, currentUser, key(j, "missing"), j.string("m"), j.objectArray({}), JNI_TRUE); return std::string("void"); }, "void", "Error opening registry key", 0},
        {"keySetStrings, null array", nullptr, [&](TestJni& j) { keySetStrings(j, currentUser, key(j, "present"), j.string("multi"), nullptr, JNI_TRUE); return std::string("void"); }, "void", "Incompatible data types", 1},
        {"keySetStrings, null element", nullptr, [&](TestJni& j) { keySetStrings(j, currentUser, key(j, "present"), j.string("multi"), j.objectArray({j.string("a"), nullptr}), JNI_TRUE); return std::string("void"); }, "void", "Empty or null string in REG_MULTI_SZ value", 1},
        {"keySetStrings, empty element", nullptr, [&](TestJni& j) { keySetStrings(j, currentUser, key(j, "present"), j.string("m"), j.objectArray({j.string(""), j.string("b")}), JNI_FALSE); return std::string("void"); }, "void", "Empty or null string in REG_MULTI_SZ value", 0},
        {"keySetStrings, failed write", nullptr, [&](TestJni& j) { keySetStrings(j, currentUser, key(j, "present"), j.string(std::string(20000, 'n')), j.objectArray({j.string("a")}), JNI_TRUE); return std::string("void"); }, "void", "Error setting registry value (REG_MULTI_SZ)", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        populate();
        const std::string before = snapshot();
        watch.reset();
        if (row.prepare) row.prepare();
        TestJni jni;
        long sent = broadcasts();
        EXPECT_EQ(row.call(jni), row.result);
        if (row.message) {
            EXPECT_EQ(jni.pendingClass(), registryExceptionClass);
            EXPECT_EQ(jni.pendingMessage(), row.message);
        } else {
            EXPECT_FALSE(jni.exceptionPending()) << jni.pendingMessage();
        }
        EXPECT_EQ(broadcasts() - sent, row.broadcasts);
        EXPECT_TRUE(jni.clean());
        EXPECT_EQ(watch.opened, watch.closed) << "key left open";
        EXPECT_EQ(watch.nullNames, 0);
        watch.reset();
        // Failed calls change nothing (the rows that add a value in prepare excepted).
        if (!row.prepare) {
            EXPECT_EQ(snapshot(), before);
        }
    }
}

// ---- Early returns: a null path, and a null value name, which Windows would
// take for the key's default value.

TEST_F(RegistryTest, NullPathOrNullNameReturnsNeutralWithoutAnyCallOrBroadcast)
{
    struct Case {
        const char* what;
        std::function<std::string(TestJni&, jstring path, jstring name)> call;
        std::string neutral;
        bool testsName;  // a null name alone also ends the call
    };
    const Case cases[] = {
        {"keyExists", [&](TestJni& j, jstring p, jstring) { return show(keyExists(j, currentUser, p)); }, "false", false},
        {"keyCreate", [&](TestJni& j, jstring p, jstring) { return show(keyCreate(j, currentUser, p)); }, "-1", false},
        {"keyDelete", [&](TestJni& j, jstring p, jstring) { return show(keyDelete(j, currentUser, p, JNI_TRUE)); }, "-1", false},
        {"keyHasSubKeys", [&](TestJni& j, jstring p, jstring) { return show(keyHasSubKeys(j, currentUser, p)); }, "false", false},
        {"keyHasValues", [&](TestJni& j, jstring p, jstring) { return show(keyHasValues(j, currentUser, p)); }, "false", false},
        {"keyHasValue", [&](TestJni& j, jstring p, jstring n) { return show(keyHasValue(j, currentUser, p, n)); }, "false", true},
        {"keyDeleteValue", [&](TestJni& j, jstring p, jstring n) { keyDeleteValue(j, currentUser, p, n, JNI_TRUE); return std::string("void"); }, "void", true},
        {"keyGetValueType", [&](TestJni& j, jstring p, jstring n) { return show(keyGetValueType(j, currentUser, p, n)); }, "-1", true},
        {"keyGetValue", [&](TestJni& j, jstring p, jstring n) { return show(j, keyGetValue(j, currentUser, p, n)); }, "null", true},
        {"keySetValue", [&](TestJni& j, jstring p, jstring n) { keySetValue(j, currentUser, p, n, REG_SZ, j.string("s"), JNI_TRUE); return std::string("void"); }, "void", true},
        {"keyGetSubKeys", [&](TestJni& j, jstring p, jstring) { return show(j, keyGetSubKeys(j, currentUser, p)); }, "null", false},
        {"keyGetValueNames", [&](TestJni& j, jstring p, jstring) { return show(j, keyGetValueNames(j, currentUser, p)); }, "null", false},
        {"keyGetLong", [&](TestJni& j, jstring p, jstring n) { return show(keyGetLong(j, currentUser, p, n)); }, "0", true},
        {"keySetLong", [&](TestJni& j, jstring p, jstring n) { keySetLong(j, currentUser, p, n, 5, JNI_TRUE); return std::string("void"); }, "void", true},
        {"keyGetStrings", [&](TestJni& j, jstring p, jstring n) { return show(j, keyGetStrings(j, currentUser, p, n)); }, "null", true},
        {"keySetStrings", [&](TestJni& j, jstring p, jstring n) { keySetStrings(j, currentUser, p, n, j.objectArray({j.string("s")}), JNI_TRUE); return std::string("void"); }, "void", true},
        {"watchOpen", [&](TestJni& j, jstring p, jstring) { return show(watchOpen(j, currentUser, p, JNI_TRUE, 0)); }, "0", false},
    };
    const std::string before = snapshot();
    for (const Case& c : cases) {
        // A missing key too: not even the open may happen.
        for (const char* path : {"present", "missing"}) {
            for (bool nullPath : {true, false}) {
                if (!nullPath && !c.testsName) continue;
                SCOPED_TRACE(std::string(c.what) + " " + path + (nullPath ? " null path" : " null name"));
                TestJni jni;
                jstring p = nullPath ? nullptr : key(jni, path);
                jstring n = nullPath ? jni.string("v") : nullptr;
                jni.resetCounts();
                watch.reset();
                long sent = broadcasts();
                EXPECT_EQ(c.call(jni, p, n), c.neutral);
                EXPECT_EQ(jni.totalCalls(), 0) << "no JNI call for a null reference";
                EXPECT_EQ(watch.registryCalls, 0) << "no registry call for a null reference";
                EXPECT_EQ(broadcasts(), sent);
                EXPECT_FALSE(jni.exceptionPending());
                EXPECT_TRUE(jni.clean());
            }
        }
    }
    EXPECT_EQ(snapshot(), before);
}

// ---- Keys.

TEST_F(RegistryTest, KeyQueriesAnswerFromTheRegistry)
{
    struct Case {
        const char* path;
        bool exists, hasSubKeys, hasValues;
    };
    const Case cases[] = {
        {"present", true, true, true},
        {"valuesOnly", true, false, true},
        {"keysOnly", true, true, false},
        {"empty", true, false, false},
        {"", true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        TestJni jni;
        EXPECT_EQ(keyExists(jni, currentUser, key(jni, c.path)), c.exists);
        EXPECT_EQ(keyHasSubKeys(jni, currentUser, key(jni, c.path)), c.hasSubKeys);
        EXPECT_EQ(keyHasValues(jni, currentUser, key(jni, c.path)), c.hasValues);
        EXPECT_FALSE(jni.exceptionPending()) << jni.pendingMessage();
        EXPECT_TRUE(jni.clean());
    }
    TestJni jni;
    // The empty path names the root itself; a path's levels are separated by backslashes.
    EXPECT_TRUE(keyExists(jni, currentUser, jni.string("")));
    EXPECT_TRUE(keyExists(jni, currentUser, key(jni, "present\\child")));
    EXPECT_FALSE(keyExists(jni, currentUser, key(jni, "present\\nochild")));
    // The empty value name is the key's default value.
    EXPECT_TRUE(keyHasValue(jni, currentUser, key(jni, "present"), jni.string("")));
    EXPECT_FALSE(keyHasValue(jni, currentUser, key(jni, "valuesOnly"), jni.string("")));
    EXPECT_TRUE(keyHasValue(jni, currentUser, key(jni, "present"), jni.string("V"))) << "value names ignore case";
    EXPECT_FALSE(jni.exceptionPending()) << jni.pendingMessage();
    EXPECT_TRUE(jni.clean());
}

TEST_F(RegistryTest, KeyCreateMakesMissingParentsAndKeyDeleteRemovesTheSubtree)
{
    TestJni jni;
    ASSERT_FALSE(exists("made"));
    EXPECT_EQ(keyCreate(jni, currentUser, key(jni, "made\\deeper\\deepest")), 0);
    EXPECT_FALSE(jni.exceptionPending());
    EXPECT_TRUE(exists("made\\deeper\\deepest"));

    // A non-ASCII path reaches Windows as its modified UTF-8 bytes.
    EXPECT_EQ(keyCreate(jni, currentUser, key(jni, "caf\xC3\xA9")), 0);
    EXPECT_TRUE(exists("caf\xC3\xA9"));

    long sent = broadcasts();
    EXPECT_EQ(keyDelete(jni, currentUser, key(jni, "present"), JNI_TRUE), 0);
    EXPECT_EQ(broadcasts() - sent, 1);
    EXPECT_FALSE(exists("present"));
    EXPECT_FALSE(exists("present\\child"));
    EXPECT_EQ(keyDelete(jni, currentUser, key(jni, "made"), JNI_FALSE), 0);
    EXPECT_EQ(broadcasts() - sent, 1);
    EXPECT_FALSE(exists("made"));
    EXPECT_TRUE(exists("valuesOnly"));
    EXPECT_FALSE(jni.exceptionPending()) << jni.pendingMessage();
    EXPECT_TRUE(jni.clean());
}

TEST_F(RegistryTest, KeyDeleteValueRemovesOnlyTheNamedValueAndBroadcastsOnRequest)
{
    TestJni jni;
    long sent = broadcasts();
    keyDeleteValue(jni, currentUser, key(jni, "present"), jni.string("v"), JNI_TRUE);
    EXPECT_EQ(broadcasts() - sent, 1);
    EXPECT_FALSE(raw("present", "v").exists);
    EXPECT_TRUE(raw("present", "").exists) << "the default value went too";
    keyDeleteValue(jni, currentUser, key(jni, "present"), jni.string("bin"), JNI_FALSE);
    EXPECT_EQ(broadcasts() - sent, 1);
    EXPECT_FALSE(raw("present", "bin").exists);
    EXPECT_TRUE(raw("present", "dw").exists);
    // The empty name deletes the default value, and only it.
    keyDeleteValue(jni, currentUser, key(jni, "present"), jni.string(""), JNI_FALSE);
    EXPECT_FALSE(raw("present", "").exists);
    EXPECT_TRUE(raw("present", "dw").exists);
    EXPECT_FALSE(jni.exceptionPending()) << jni.pendingMessage();
    EXPECT_TRUE(jni.clean());
}

TEST_F(RegistryTest, BroadcastUpdateReachesTopLevelWindows)
{
    TestJni jni;
    long sent = broadcasts();
    EXPECT_NE(broadcastUpdate(jni), 0);
    EXPECT_EQ(broadcasts() - sent, 1);
    EXPECT_EQ(jni.totalCalls(), 0);
}

// ---- Values: the mapping in both directions, checked against the registry itself.

TEST_F(RegistryTest, ReadingConvertsByRegistryType)
{
    char systemRoot[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableA("SystemRoot", systemRoot, sizeof systemRoot), 0u);
    SetEnvironmentVariableA("ZARN_READ", "expanded");
    struct Case {
        const char* name;
        DWORD type;
        Bytes data;
        std::string expected;
    };
    const Case cases[] = {
        {"none", REG_NONE, {1, 2, 3}, "bytes:010203"},
        {"emptyBinary", REG_BINARY, {}, "bytes:"},
        {"binary", REG_BINARY, {0, 0xFF, 0x80}, "bytes:00ff80"},
        {"emptyString", REG_SZ, {}, "string:"},
        {"justNul", REG_SZ, {0}, "string:"},
        {"noNul", REG_SZ, bytesOf("abc"), "string:abc"},
        {"twoStrings", REG_SZ, bytesOf(std::string("ab\0cd\0", 6)), "string:ab"},
        // Text that is modified UTF-8 (as this library stores Java strings) comes
        // back unchanged; other text is ANSI, decoded by the code page (1252 here).
        {"utf8", REG_SZ, bytesOf(std::string("caf\xC3\xA9", 6)), "string:caf\xC3\xA9"},
        {"ansi", REG_SZ, bytesOf("Caf\xE9"), "string:Caf\xC3\xA9"},
        {"ansiLong", REG_SZ, bytesOf(std::string(300, '\xE9')), "string:" + repeat("\xC3\xA9", 300)},
        {"fourByteUtf8IsAnsi", REG_SZ, bytesOf("\xF0\x9F\x98\x80"), "string:\xC3\xB0\xC5\xB8\xCB\x9C\xE2\x82\xAC"},
        // The edges of modified UTF-8: C0 80 (U+0000), both ends of the two-byte
        // range, the first three-byte form and a surrogate half pass unchanged;
        // a lone continuation byte, overlong forms and sequences cut short by
        // the end of the text are ANSI.
        {"modifiedUtf8Edges", REG_SZ, bytesOf("\xC0\x80\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\xA0\x80"),
         "string:\xC0\x80\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\xA0\x80"},
        {"loneContinuationIsAnsi", REG_SZ, bytesOf("x\x80"), "string:x\xE2\x82\xAC"},
        {"overlongC0IsAnsi", REG_SZ, bytesOf("\xC0\xBF"), "string:\xC3\x80\xC2\xBF"},
        {"overlongC1IsAnsi", REG_SZ, bytesOf("\xC1\xBF"), "string:\xC3\x81\xC2\xBF"},
        {"overlongE09FIsAnsi", REG_SZ, bytesOf("\xE0\x9F\xBF"), "string:\xC3\xA0\xC5\xB8\xC2\xBF"},
        {"cutShortTwoIsAnsi", REG_SZ, bytesOf("\xC3"), "string:\xC3\x83"},
        {"cutShortThreeIsAnsi", REG_SZ, bytesOf("\xE2\x82"), "string:\xC3\xA2\xE2\x80\x9A"},
        {"expandAnsi", REG_EXPAND_SZ, bytesOf("\xC0 %ZARN_READ%"), "string:\xC3\x80 expanded"},
        {"expand", REG_EXPAND_SZ, bytesOf(std::string("%SystemRoot%\\x", 15)), std::string("string:") + systemRoot + "\\x"},
        {"expandNoNul", REG_EXPAND_SZ, bytesOf("<%ZARN_READ%>"), "string:<expanded>"},
        {"expandUnknown", REG_EXPAND_SZ, bytesOf(std::string("%ZARN_NOT_SET%", 15)), "string:%ZARN_NOT_SET%"},
        {"dword", REG_DWORD, {1, 0, 0, 0}, "int:1"},
        {"dwordNegative", REG_DWORD, {0xFE, 0xFF, 0xFF, 0xFF}, "int:-2"},
        {"bigEndianIsReadLittleEndian", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1}, "int:16777216"},
        {"bigEndianOne", REG_DWORD_BIG_ENDIAN, {1, 0, 0, 0}, "int:1"},
        // Shorter data is zero-extended; nothing beyond it is read.
        {"dwordEmpty", REG_DWORD, {}, "int:0"},
        {"dwordOneByte", REG_DWORD, {0xFF}, "int:255"},
        {"dwordTwoBytes", REG_DWORD, {0x34, 0x12}, "int:4660"},
        {"dwordThreeBytes", REG_DWORD_BIG_ENDIAN, {1, 2, 3}, "int:197121"},
        {"dwordSixBytes", REG_DWORD, {1, 2, 3, 4, 5, 6}, "int:67305985"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        setRaw("values", c.name, c.type, c.data);
        Raw stored = raw("values", c.name);
        ASSERT_EQ(stored.data, c.data) << "the registry did not store the data as given";
        TestJni jni;
        EXPECT_EQ(show(jni, keyGetValue(jni, currentUser, key(jni, "values"), jni.string(c.name))), c.expected);
        EXPECT_EQ(keyGetValueType(jni, currentUser, key(jni, "values"), jni.string(c.name)), static_cast<jint>(c.type));
        EXPECT_FALSE(jni.exceptionPending()) << jni.pendingMessage();
        EXPECT_TRUE(jni.clean());
    }
    SetEnvironmentVariableA("ZARN_READ", nullptr);

    // The types that are reported but not read.
    TestJni jni;
    setRaw("values", "qword", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(keyGetValueType(jni, currentUser, key(jni, "present"), jni.string("multi")), 7);
    EXPECT_EQ(keyGetValueType(jni, currentUser, key(jni, "values"), jni.string("qword")), 11);
    EXPECT_FALSE(jni.exceptionPending());
    EXPECT_TRUE(jni.clean());
}

// Run by registry_test_utf8 alone, whose manifest makes UTF-8 its ANSI code
// page, as Windows' "Unicode UTF-8 for worldwide language support" setting does
// for every program: ANSI text can then hold any character. Text with a
// four-byte sequence is not modified UTF-8, so it is decoded and every
// character encoded anew; each row puts one edge of the encoder's ranges
// before a character outside the Basic Multilingual Plane.
TEST_F(RegistryTest, Utf8CodePageTextReachesJavaAsItsCharacters)
{
    ASSERT_EQ(GetACP(), static_cast<UINT>(CP_UTF8)) << "needs the process code page UTF-8 (registry_test_utf8)";
    const std::string smiley = "\xF0\x9F\x98\x80";       // U+1F600
    const std::string pair = "\xED\xA0\xBD\xED\xB8\x80";  // its two surrogates, one by one
    // U+007F, U+0080, U+07FF, U+0800, U+FFFF.
    for (const char* character : {"\x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xEF\xBF\xBF"}) {
        SCOPED_TRACE(character);
        setRaw("values", "utf8", REG_SZ, bytesOf(character + smiley));
        TestJni jni;
        EXPECT_EQ(show(jni, keyGetValue(jni, currentUser, key(jni, "values"), jni.string("utf8"))),
                  "string:" + std::string(character) + pair);
        EXPECT_TRUE(jni.clean()) << "the text is not modified UTF-8";
    }
}

TEST_F(RegistryTest, WritingStoresByTheTypeNamed)
{
    struct Case {
        const char* name;
        jint type;
        std::function<jobject(TestJni&)> value;
        Bytes stored;
        std::string readBack;
    };
    const std::string nonAscii = "caf\xC3\xA9 \xE2\x82\xAC\xC3\xBC";  // "café €ü"
    char systemRoot[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableA("SystemRoot", systemRoot, sizeof systemRoot), 0u);
    const Case cases[] = {
        {"emptyBinary", REG_BINARY, [](TestJni& j) { return j.bytes({}); }, {}, "bytes:"},
        {"binary", REG_BINARY, [](TestJni& j) { return j.bytes({0, 0x80, 0xFF}); }, {0, 0x80, 0xFF}, "bytes:0080ff"},
        {"none", REG_NONE, [](TestJni& j) { return j.bytes({9}); }, {9}, "bytes:09"},
        {"string", REG_SZ, [](TestJni& j) { return j.string("hello"); }, bytesOf(std::string("hello", 6)), "string:hello"},
        {"emptyString", REG_SZ, [](TestJni& j) { return j.string(""); }, {0}, "string:"},
        // Stored as its modified UTF-8 bytes and one NUL: size is the UTF-8 length plus 1.
        {"nonAscii", REG_SZ, [&](TestJni& j) { return j.string(nonAscii); }, bytesOf(nonAscii + '\0'), "string:" + nonAscii},
        // Stored unexpanded, read expanded.
        {"expand", REG_EXPAND_SZ, [](TestJni& j) { return j.string("%SystemRoot%\\x"); }, bytesOf(std::string("%SystemRoot%\\x", 15)), std::string("string:") + systemRoot + "\\x"},
        {"dword", REG_DWORD, [](TestJni& j) { return j.integer(1); }, {1, 0, 0, 0}, "int:1"},
        {"dwordNegative", REG_DWORD, [](TestJni& j) { return j.integer(-2); }, {0xFE, 0xFF, 0xFF, 0xFF}, "int:-2"},
        // Not swapped: the same little-endian bytes as REG_DWORD.
        {"bigEndian", REG_DWORD_BIG_ENDIAN, [](TestJni& j) { return j.integer(1); }, {1, 0, 0, 0}, "int:1"},
        {"bigEndianLarge", REG_DWORD_BIG_ENDIAN, [](TestJni& j) { return j.integer(0x12345678); }, {0x78, 0x56, 0x34, 0x12}, "int:305419896"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestJni jni;
        long sent = broadcasts();
        keySetValue(jni, currentUser, key(jni, "present"), jni.string(c.name), c.type, c.value(jni), JNI_FALSE);
        EXPECT_EQ(broadcasts(), sent);
        EXPECT_FALSE(jni.exceptionPending()) << jni.pendingMessage();
        Raw stored = raw("present", c.name);
        EXPECT_TRUE(stored.exists);
        EXPECT_EQ(stored.type, static_cast<DWORD>(c.type));
        EXPECT_EQ(hex(stored.data), hex(c.stored));
        EXPECT_EQ(show(jni, keyGetValue(jni, currentUser, key(jni, "present"), jni.string(c.name))), c.readBack);
        EXPECT_EQ(keyGetValueType(jni, currentUser, key(jni, "present"), jni.string(c.name)), c.type);
        EXPECT_TRUE(jni.clean());
    }
    // Reading gives back the same Java text.
    TestJni jni;
    jobject back = keyGetValue(jni, currentUser, key(jni, "present"), jni.string("nonAscii"));
    EXPECT_TRUE(jni.utf16(back) == u"caf\u00E9 \u20AC\u00FC");
    // Overwriting replaces type and data; the flag asks for one broadcast.
    long sent = broadcasts();
    keySetValue(jni, currentUser, key(jni, "present"), jni.string("v"), REG_DWORD, jni.integer(5), JNI_TRUE);
    EXPECT_EQ(broadcasts() - sent, 1);
    EXPECT_EQ(raw("present", "v").type, static_cast<DWORD>(REG_DWORD));
    EXPECT_TRUE(jni.clean());
}

// The value's class must match the type; a null value never does. Nothing is
// written, the key is closed, and the broadcast still goes out when asked.
TEST_F(RegistryTest, KeySetValueRefusesValuesOfAnotherClass)
{
    struct Case {
        jint type;
        std::function<jobject(TestJni&)> value;
    };
    const std::function<jobject(TestJni&)> none = [](TestJni&) { return jobject(nullptr); };
    const std::function<jobject(TestJni&)> string = [](TestJni& j) { return jobject(j.string("1")); };
    const std::function<jobject(TestJni&)> bytes = [](TestJni& j) { return jobject(j.bytes({1, 0, 0, 0})); };
    const std::function<jobject(TestJni&)> integer = [](TestJni& j) { return j.integer(1); };
    const std::function<jobject(TestJni&)> plain = [](TestJni& j) { return j.plainObject(); };
    std::vector<Case> cases;
    for (jint type : {REG_NONE, REG_BINARY}) for (auto& v : {none, string, integer, plain}) cases.push_back({type, v});
    for (jint type : {REG_SZ, REG_EXPAND_SZ}) for (auto& v : {none, bytes, integer, plain}) cases.push_back({type, v});
    for (jint type : {REG_DWORD, REG_DWORD_BIG_ENDIAN}) for (auto& v : {none, string, bytes, plain}) cases.push_back({type, v});
    const std::string before = snapshot();
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i) + ", type " + std::to_string(cases[i].type));
        for (jboolean flag : {JNI_TRUE, JNI_FALSE}) {
            TestJni jni;
            watch.reset();
            long sent = broadcasts();
            keySetValue(jni, currentUser, key(jni, "present"), jni.string("v"), cases[i].type, cases[i].value(jni), flag);
            EXPECT_EQ(jni.pendingClass(), registryExceptionClass);
            EXPECT_EQ(jni.pendingMessage(), "Incompatible data types");
            EXPECT_EQ(broadcasts() - sent, flag ? 1 : 0);
            EXPECT_EQ(watch.opened, 1);
            EXPECT_EQ(watch.closed, 1);
            EXPECT_TRUE(jni.clean());
        }
    }
    EXPECT_EQ(snapshot(), before) << "a refused value was written";
}

// A value name longer than the registry accepts makes RegSetValueExA fail after the open.
TEST_F(RegistryTest, FailedWritesRaiseTheirTypesMessage)
{
    const std::string longName(20000, 'n');
    HKEY probe;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, full("present").c_str(), 0, KEY_ALL_ACCESS, &probe), ERROR_SUCCESS);
    LONG refusal = RegSetValueExA(probe, longName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>("s"), 2);
    RegCloseKey(probe);
    ASSERT_NE(refusal, ERROR_SUCCESS) << "the registry accepted a 20,000-character value name";
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, refusal,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    const std::string systemText = text;
    LocalFree(text);

    struct Case {
        jint type;
        std::function<jobject(TestJni&)> value;
        std::string message;
    };
    const Case cases[] = {
        {REG_NONE, [](TestJni& j) { return j.bytes({1}); }, "Error setting registry value (REG_NONE/REG_BINARY)"},
        {REG_BINARY, [](TestJni& j) { return j.bytes({}); }, "Error setting registry value (REG_NONE/REG_BINARY)"},
        {REG_SZ, [](TestJni& j) { return j.string("s"); }, systemText},
        {REG_EXPAND_SZ, [](TestJni& j) { return j.string("%TEMP%"); }, systemText},
        {REG_DWORD, [](TestJni& j) { return j.integer(1); }, "Error setting registry value (REG_DWORD/REG_DWORD_BIG_ENDIAN)"},
        {REG_DWORD_BIG_ENDIAN, [](TestJni& j) { return j.integer(1); }, "Error setting registry value (REG_DWORD/REG_DWORD_BIG_ENDIAN)"},
    };
    const std::string before = snapshot();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        TestJni jni;
        long sent = broadcasts();
        keySetValue(jni, currentUser, key(jni, "present"), jni.string(longName), c.type, c.value(jni), JNI_TRUE);
        EXPECT_EQ(jni.pendingClass(), registryExceptionClass);
        EXPECT_EQ(jni.pendingMessage(), c.message);
        EXPECT_EQ(broadcasts() - sent, 1);
        EXPECT_TRUE(jni.clean());
    }
    EXPECT_EQ(snapshot(), before);

    // The system's text on a Windows in another language is ANSI; it reaches
    // Java as the same characters.
    {
        TestJni jni;
        watch.setValueFailure = ERROR_ACCESS_DENIED;
        watch.systemText = "Acc\xE8s refus\xE9.\r\n";
        keySetValue(jni, currentUser, key(jni, "present"), jni.string("v"), REG_SZ, jni.string("s"), JNI_FALSE);
        EXPECT_EQ(jni.pendingMessage(), "Acc\xC3\xA8s refus\xC3\xA9.\r\n");
        EXPECT_TRUE(jni.clean());
        watch.reset();
    }

    // A text longer than 255 UTF-16 units, past the stack buffer of its conversion, reaches Java whole:
    // 300 euro signs (0x80 in code page 1252). An insert ("%1") that no caller fills is given as it is.
    const std::string euros(300, '\x80');
    const std::string expected = repeat("\xE2\x82\xAC", 300);
    for (LONG failure : {ERROR_ACCESS_DENIED, ERROR_BAD_EXE_FORMAT}) {
        TestJni jni;
        watch.setValueFailure = failure;
        watch.systemText = failure == ERROR_ACCESS_DENIED ? euros.c_str() : nullptr;
        keySetValue(jni, currentUser, key(jni, "present"), jni.string("v"), REG_SZ, jni.string("s"), JNI_FALSE);
        EXPECT_TRUE(watch.systemText ? jni.pendingMessage() == expected : jni.pendingMessage().find("%1") != std::string::npos) << jni.pendingMessage();
        EXPECT_TRUE(jni.clean());
    }

    // A code the system has no text for still gives a message that names it.
    TestJni jni;
    watch.setValueFailure = 0x20000001;
    keySetValue(jni, currentUser, key(jni, "present"), jni.string("v"), REG_SZ, jni.string("s"), JNI_FALSE);
    EXPECT_EQ(jni.pendingMessage(), "Win32 error 536870913");
    EXPECT_FALSE(jni.pendingMessageIsNull());
    EXPECT_TRUE(jni.clean());
}

// ---- Reads that meet a changing environment or a heap that fails.

TEST_F(RegistryTest, ExpansionThatOutgrowsItsBufferIsDoneAgain)
{
    SetEnvironmentVariableA("ZARN_GROW", "short");
    setRaw("values", "grow", REG_EXPAND_SZ, bytesOf(std::string("[%ZARN_GROW%]", 14)));
    const std::string longer(5000, 'L');
    // Between the size query and the expansion the variable grows.
    watch.beforeExpand = [&](int call) {
        if (call == 2) SetEnvironmentVariableA("ZARN_GROW", longer.c_str());
    };
    TestJni jni;
    jobject value = keyGetValue(jni, currentUser, key(jni, "values"), jni.string("grow"));
    EXPECT_GE(watch.expandCalls, 3);
    EXPECT_TRUE(jni.utf8Bytes(value) == "[" + longer + "]") << show(jni, value).substr(0, 40);
    EXPECT_FALSE(jni.exceptionPending()) << jni.pendingMessage();
    EXPECT_TRUE(jni.clean());
    SetEnvironmentVariableA("ZARN_GROW", nullptr);
}

TEST_F(RegistryTest, BufferThatCannotBeAllocatedEndsTheReadWithItsMessage)
{
    struct Case {
        const char* value;
        int failingAllocation;
    };
    // Allocation 1 is the data buffer, 2 the expansion buffer or the decoding
    // buffer of long ANSI text.
    setRaw("present", "ansiLong", REG_SZ, bytesOf(std::string(300, '\xE9')));
    for (const Case& c : {Case{"v", 1}, Case{"bin", 1}, Case{"dw", 1}, Case{"exp", 1}, Case{"exp", 2},
                          Case{"ansiLong", 2}}) {
        SCOPED_TRACE(std::string(c.value) + " allocation " + std::to_string(c.failingAllocation));
        TestJni jni;
        watch.reset();
        watch.heapFailAt = c.failingAllocation;
        EXPECT_EQ(keyGetValue(jni, currentUser, key(jni, "present"), jni.string(c.value)), nullptr);
        EXPECT_EQ(watch.heapCalls, c.failingAllocation);
        EXPECT_EQ(jni.pendingMessage(), "Error retreiving registry value");
        EXPECT_EQ(watch.opened, watch.closed);
        EXPECT_TRUE(jni.clean());
    }
}

// ---- Fault injection: each JNI acquisition of each native fails in turn.

TEST_F(RegistryTest, EveryFailedJniAcquisitionEndsTheCallCleanly)
{
    struct Scenario {
        const char* what;
        std::function<std::string(TestJni&)> call;
        std::string neutral;  // when the path's characters are refused
        std::string failed;   // when a later acquisition fails
        bool flagged;         // the call asks for a broadcast
    };
    auto J = [this](TestJni& j, const char* path) { return key(j, path); };
    const std::string longName(20000, 'n');
    const Scenario scenarios[] = {
        {"keyExists", [&](TestJni& j) { return show(keyExists(j, currentUser, J(j, "present"))); }, "false", "false", false},
        {"keyCreate new", [&](TestJni& j) { return show(keyCreate(j, currentUser, J(j, "made\\deep"))); }, "-1", "", false},
        {"keyCreate existing", [&](TestJni& j) { return show(keyCreate(j, currentUser, J(j, "present"))); }, "-1", "0", false},
        {"keyDelete", [&](TestJni& j) { return show(keyDelete(j, currentUser, J(j, "present"), JNI_TRUE)); }, "-1", "", true},
        {"keyDelete missing", [&](TestJni& j) { return show(keyDelete(j, currentUser, J(j, "missing"), JNI_TRUE)); }, "-1", "2", true},
        {"keyHasSubKeys", [&](TestJni& j) { return show(keyHasSubKeys(j, currentUser, J(j, "present"))); }, "false", "false", false},
        {"keyHasSubKeys missing", [&](TestJni& j) { return show(keyHasSubKeys(j, currentUser, J(j, "missing"))); }, "false", "false", false},
        {"keyHasValues", [&](TestJni& j) { return show(keyHasValues(j, currentUser, J(j, "present"))); }, "false", "false", false},
        {"keyHasValue", [&](TestJni& j) { return show(keyHasValue(j, currentUser, J(j, "present"), j.string("v"))); }, "false", "false", false},
        {"keyDeleteValue", [&](TestJni& j) { keyDeleteValue(j, currentUser, J(j, "present"), j.string("v"), JNI_TRUE); return std::string("void"); }, "void", "void", true},
        {"keyDeleteValue missing", [&](TestJni& j) { keyDeleteValue(j, currentUser, J(j, "present"), j.string("absent"), JNI_TRUE); return std::string("void"); }, "void", "void", true},
        {"keyGetValueType", [&](TestJni& j) { return show(keyGetValueType(j, currentUser, J(j, "present"), j.string("v"))); }, "-1", "0", false},
        {"keyGetValueType missing", [&](TestJni& j) { return show(keyGetValueType(j, currentUser, J(j, "present"), j.string("absent"))); }, "-1", "0", false},
        {"keyGetValue binary", [&](TestJni& j) { return show(j, keyGetValue(j, currentUser, J(j, "present"), j.string("bin"))); }, "null", "null", false},
        {"keyGetValue string", [&](TestJni& j) { return show(j, keyGetValue(j, currentUser, J(j, "present"), j.string("v"))); }, "null", "null", false},
        {"keyGetValue expand", [&](TestJni& j) { return show(j, keyGetValue(j, currentUser, J(j, "present"), j.string("exp"))); }, "null", "null", false},
        {"keyGetValue dword", [&](TestJni& j) { return show(j, keyGetValue(j, currentUser, J(j, "present"), j.string("dw"))); }, "null", "null", false},
        {"keyGetValue multi", [&](TestJni& j) { return show(j, keyGetValue(j, currentUser, J(j, "present"), j.string("multi"))); }, "null", "null", false},
        {"keySetValue binary", [&](TestJni& j) { keySetValue(j, currentUser, J(j, "present"), j.string("w"), REG_BINARY, j.bytes({1, 2}), JNI_TRUE); return std::string("void"); }, "void", "void", true},
        {"keySetValue string", [&](TestJni& j) { keySetValue(j, currentUser, J(j, "present"), j.string("w"), REG_SZ, j.string("s"), JNI_TRUE); return std::string("void"); }, "void", "void", true},
        {"keySetValue dword", [&](TestJni& j) { keySetValue(j, currentUser, J(j, "present"), j.string("w"), REG_DWORD, j.integer(3), JNI_TRUE); return std::string("void"); }, "void", "void", true},
        {"keySetValue refused", [&](TestJni& j) { keySetValue(j, currentUser, J(j, "present"), j.string("w"), REG_DWORD, j.string("3"), JNI_TRUE); return std::string("void"); }, "void", "void", true},
        {"keySetValue type 7", [&](TestJni& j) { keySetValue(j, currentUser, J(j, "present"), j.string("w"), REG_MULTI_SZ, nullptr, JNI_TRUE); return std::string("void"); }, "void", "void", true},
        {"keySetValue failed write", [&](TestJni& j) { keySetValue(j, currentUser, J(j, "present"), j.string(longName), REG_SZ, j.string("s"), JNI_TRUE); return std::string("void"); }, "void", "void", true},
        // The empty name: a lost name must not fall to the default value either.
        {"keySetValue default", [&](TestJni& j) { keySetValue(j, currentUser, J(j, "present"), j.string(""), REG_BINARY, j.bytes({5}), JNI_FALSE); return std::string("void"); }, "void", "void", false},
        {"keyGetSubKeys", [&](TestJni& j) { return show(j, keyGetSubKeys(j, currentUser, J(j, "keysOnly"))); }, "null", "null", false},
        {"keyGetValueNames", [&](TestJni& j) { return show(j, keyGetValueNames(j, currentUser, J(j, "present"))); }, "null", "null", false},
        {"keyGetLong", [&](TestJni& j) { return show(keyGetLong(j, currentUser, J(j, "present"), j.string("dw"))); }, "0", "0", false},
        {"keySetLong", [&](TestJni& j) { keySetLong(j, currentUser, J(j, "present"), j.string("q"), -1, JNI_TRUE); return std::string("void"); }, "void", "void", true},
        {"keyGetStrings", [&](TestJni& j) { return show(j, keyGetStrings(j, currentUser, J(j, "present"), j.string("multi"))); }, "null", "null", false},
        {"keySetStrings", [&](TestJni& j) { keySetStrings(j, currentUser, J(j, "present"), j.string("m"), j.objectArray({j.string("a"), j.string("b")}), JNI_TRUE); return std::string("void"); }, "void", "void", true},
    };
    const Fn acquisitions[] = {Fn::GetStringUTFChars, Fn::GetByteArrayElements, Fn::NewStringUTF, Fn::NewByteArray,
                               Fn::FindClass, Fn::NewObjectArray, Fn::GetObjectArrayElement, Fn::SetObjectArrayElement};
    for (const Scenario& s : scenarios) {
        // A run without faults counts the acquisitions.
        int counts[static_cast<int>(Fn::Count)] = {};
        {
            populate();
            TestJni jni;
            s.call(jni);
            for (Fn fn : acquisitions) counts[static_cast<int>(fn)] = jni.calls(fn);
            EXPECT_TRUE(jni.clean()) << s.what;
        }
        EXPECT_GT(counts[static_cast<int>(Fn::GetStringUTFChars)], 0) << s.what;
        for (Fn fn : acquisitions) {
            for (int n = 1; n <= counts[static_cast<int>(fn)]; ++n) {
                SCOPED_TRACE(std::string(s.what) + ": " + fnName(fn) + " #" + std::to_string(n));
                populate();
                const std::string before = snapshot();
                watch.reset();
                TestJni jni;
                jni.failNth(fn, n);
                long sent = broadcasts();
                bool pathRefused = fn == Fn::GetStringUTFChars && n == 1;
                EXPECT_EQ(s.call(jni), pathRefused ? s.neutral : s.failed);
                EXPECT_EQ(jni.pendingClass(),
                          fn == Fn::FindClass ? "java/lang/NoClassDefFoundError" : "java/lang/OutOfMemoryError");
                EXPECT_TRUE(jni.clean());
                EXPECT_EQ(broadcasts() - sent, !pathRefused && s.flagged ? 1 : 0);
                EXPECT_EQ(watch.opened, watch.closed);
                EXPECT_EQ(watch.nullNames, 0);
                EXPECT_EQ(snapshot(), before) << "the registry changed";
            }
        }
    }
}

// ---- Text in either mode (registry_unicode runs these in unicode mode).

// A program that uses only the W functions and Java meet in the registry: the
// keys, value names and strings that one stored are what the other reads, in
// unicode mode exactly, in ansi mode as far as the ANSI code page carries them.
TEST_F(RegistryTest, NamesAndStringsMeetWideProgramsInEitherTextMode)
{
    const std::u16string base = latin1(sandboxPath);
    for (const TextSample& sample : textSamples()) {
        SCOPED_TRACE(sample.label);
        const std::u16string name = sample.text.substr(0, 100);
        TestJni jni;
        // Stored by the W program, read by Java: a key and a value of the name,
        // the string as data, and a string list under ASCII names, which either mode reaches.
        const Bytes data = utf16Bytes(sample.text + u'\0');
        setWide(u"w-" + name, name, REG_SZ, data);
        setWide(u"w-" + name, u"data", REG_SZ, data);
        setWide(u"w-ascii", u"list", REG_MULTI_SZ, utf16Bytes(sample.text + u'\0' + u"y" + u'\0' + u'\0'));
        std::vector<std::u16string> listed = namesOf(jni, keyGetSubKeys(jni, currentUser, jni.string(base)));
        EXPECT_NE(std::find(listed.begin(), listed.end(), readFromWideProgram(u"w-" + name)), listed.end());
        EXPECT_TRUE(namesOf(jni, keyGetStrings(jni, currentUser, jni.string(base + u"\\w-ascii"), jni.string(u"list"))) ==
                    (std::vector<std::u16string>{readFromWideProgram(sample.text), u"y"}));
        const std::u16string storedPath = base + u"\\w-" + name;
        const bool reached = seenByWideProgram(storedPath) == storedPath;
        EXPECT_EQ(keyExists(jni, currentUser, jni.string(storedPath)), reached ? JNI_TRUE : JNI_FALSE);
        if (reached) {
            for (const std::u16string& valueName : {std::u16string(u"data"), name})
                EXPECT_TRUE(jni.utf16(keyGetValue(jni, currentUser, jni.string(storedPath), jni.string(valueName))) ==
                            readFromWideProgram(sample.text));
        }

        // Written by Java, read by the W program: the key, the value's name and its data.
        const std::u16string path = base + u"\\j-" + name;
        const std::u16string seenPath = seenByWideProgram(u"j-" + name);
        EXPECT_EQ(keyCreate(jni, currentUser, jni.string(path)), 0);
        keySetValue(jni, currentUser, jni.string(path), jni.string(name), REG_SZ, jni.string(sample.text), JNI_FALSE);
        EXPECT_FALSE(jni.exceptionPending()) << jni.pendingMessage();
        Raw back = rawWide(seenPath, seenByWideProgram(name));
        EXPECT_TRUE(back.exists);
        EXPECT_EQ(back.type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(hex(back.data), hex(utf16Bytes(seenByWideProgram(sample.text) + u'\0')));
        keySetStrings(jni, currentUser, jni.string(path), jni.string(u"list"),
                      jni.objectArray({jni.string(sample.text), jni.string(u"x")}), JNI_FALSE);
        EXPECT_EQ(hex(rawWide(seenPath, u"list").data),
                  hex(utf16Bytes(seenByWideProgram(sample.text) + u'\0' + u"x" + u'\0' + u'\0')));
        keyDeleteValue(jni, currentUser, jni.string(path), jni.string(name), JNI_FALSE);
        EXPECT_FALSE(rawWide(seenPath, seenByWideProgram(name)).exists);
        EXPECT_EQ(keyDelete(jni, currentUser, jni.string(path), JNI_FALSE), 0);
        EXPECT_FALSE(jni.exceptionPending()) << jni.pendingMessage();
        EXPECT_TRUE(jni.clean());
    }

    // Text that holds U+0000: unicode mode refuses it, and writes nothing under
    // the part before it; ansi mode stores its modified UTF-8 form C0 80.
    const std::u16string cut(u"cut\0tail", 8);
    struct Write {
        const char* what;
        std::function<void(TestJni&)> call;
        std::u16string path, name;  // where ansi mode writes, seen by the W program
    };
    const Write writes[] = {
        {"keyCreate", [&](TestJni& j) { keyCreate(j, currentUser, j.string(base + u"\\" + cut)); }, seenByWideProgram(cut), u""},
        {"value name", [&](TestJni& j) { keySetValue(j, currentUser, j.string(base + u"\\present"), j.string(cut), REG_SZ, j.string(u"v"), JNI_FALSE); }, u"present", seenByWideProgram(cut)},
        {"string data", [&](TestJni& j) { keySetValue(j, currentUser, j.string(base + u"\\present"), j.string(u"cut"), REG_SZ, j.string(cut), JNI_FALSE); }, u"present", u"cut"},
    };
    for (const Write& w : writes) {
        SCOPED_TRACE(w.what);
        TestJni jni;
        w.call(jni);
        EXPECT_EQ(jni.pendingMessage(), unicodeMode() ? "Registry name or string holds U+0000" : "");
        jni.clearException();
        EXPECT_TRUE(jni.clean());
        HKEY opened = w.name.empty() ? wideKey(w.path) : nullptr;
        EXPECT_EQ(w.name.empty() ? opened != nullptr : rawWide(w.path, w.name).exists, !unicodeMode());
        if (opened) RegCloseKey(opened);
        EXPECT_EQ(wideKey(u"cut"), nullptr) << "written under the shortened name";
    }
    {
        // Cut at U+0000 the path would name the existing key "present".
        TestJni jni;
        EXPECT_EQ(keyExists(jni, currentUser, jni.string(base + std::u16string(u"\\present\0x", 10))), JNI_FALSE);
        EXPECT_FALSE(jni.exceptionPending());
    }

    // Windows cuts an expansion, or a text, of more than 32,766 units and
    // still reports the whole size: either is refused; 32,766 units read whole.
    SetEnvironmentVariableA("ZARN_BIG", std::string(20000, 'b').c_str());
    for (const std::string& text : {std::string("%ZARN_BIG%;%ZARN_BIG%"), std::string(32767, 's'), "%ZARN_BIG%" + std::string(12766, 'e')}) {
        setRaw("present", "big", REG_EXPAND_SZ, bytesOf(text + '\0'));
        TestJni jni;
        std::string read = show(jni, keyGetValue(jni, currentUser, key(jni, "present"), jni.string("big")));
        EXPECT_EQ(read == "null" ? jni.pendingMessage() : std::to_string(read.size()), text.back() != 'e' ? "Error expanding registry strings" : "32773");  // "string:" and 32,766
        jni.clearException();
        EXPECT_TRUE(jni.clean());
    }
    SetEnvironmentVariableA("ZARN_BIG", nullptr);
    if (!unicodeMode()) return;

    // Data of another writer, read in unicode mode: to its first NUL, whole
    // without one, an odd last byte dropped, and REG_EXPAND_SZ expanded by the
    // W function.
    SetEnvironmentVariableW(L"ZARN_WIDE", L"\u03A9\U0001F600");
    const struct {
        const char* name;
        DWORD type;
        Bytes data;
        std::u16string expected;
    } reads[] = {
        {"noNul", REG_SZ, {'a', 0, 'b', 0}, u"ab"},
        {"oddCount", REG_SZ, {'a', 0, 'b', 0, 'c'}, u"ab"},
        {"twoStrings", REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0}, u"a"},
        {"empty", REG_SZ, {}, u""},
        {"expand", REG_EXPAND_SZ, utf16Bytes(u"<%ZARN_WIDE%>" + std::u16string(1, u'\0')), u"<\u03A9\U0001F600>"},
    };
    for (const auto& r : reads) {
        SCOPED_TRACE(r.name);
        setWide("present", latin1(r.name), r.type, r.data);
        TestJni jni;
        jobject value = keyGetValue(jni, currentUser, key(jni, "present"), jni.string(r.name));
        EXPECT_TRUE(jni.utf16(value) == r.expected);
        EXPECT_TRUE(jni.isString(value));
        EXPECT_TRUE(jni.clean());
    }
    SetEnvironmentVariableW(L"ZARN_WIDE", nullptr);
}

// ---- Lists of names, 64-bit numbers and string lists.

// Every name whole, as the W functions give it and the text mode reads it, names that read the same
// once; an empty key lists nothing; a listing of 40 holds at most three local references at once.
// registry_cp932 runs it in code page 932, where katakana A and DI (83 41, 83 61) differ as ASCII cases.
TEST_F(RegistryTest, ListingsGiveEveryNameWhole)
{
    // Through the W functions: Wine's A functions take paths of up to MAX_PATH characters.
    setWide("lists\\" + std::string(255, 'k'), u"", REG_SZ, {});
    setWide("lists\\caf\xE9", u"", REG_SZ, {});
    for (const char16_t* kana : {u"lists\\\u30A2", u"lists\\\u30C2"}) setWide(kana, u"", REG_SZ, {});
    setWide("lists", u"", REG_SZ, utf16Bytes(std::u16string(u"d", 2)));
    setWide("lists", std::u16string(16383, u'v'), REG_DWORD, {1, 0, 0, 0});
    for (int i = 0; i < 40; ++i) createKey("many\\k" + std::to_string(i));
    for (const char* path : {"lists", "many", "empty", "valuesOnly", "keysOnly"}) {
        for (bool values : {false, true}) {
            SCOPED_TRACE(std::string(path) + (values ? " values" : " sub-keys"));
            TestJni jni;
            jstring p = key(jni, path);
            jobjectArray names = values ? keyGetValueNames(jni, currentUser, p) : keyGetSubKeys(jni, currentUser, p);
            EXPECT_TRUE(jni.isObjectArray(names)) << jni.pendingMessage();
            std::vector<std::u16string> read;
            for (const std::u16string& name : namesW(path, values))
                if (std::find(read.begin(), read.end(), readFromWideProgram(name)) == read.end()) read.push_back(readFromWideProgram(name));
            EXPECT_EQ(namesOf(jni, names), read);
            EXPECT_LE(jni.peakLocalRefs(), 3);
            EXPECT_TRUE(jni.clean());
        }
    }
    // Names of 32,767 units, which the watch answers for as Windows would.
    watch.longValueName = 32767;
    TestJni jni;
    EXPECT_EQ(namesOf(jni, keyGetValueNames(jni, currentUser, key(jni, "lists"))), namesW("lists", true));
    EXPECT_EQ(namesW("lists", true).size(), 2u) << "the 16,383-character name";
    EXPECT_EQ(namesW("lists", false).size(), 4u) << "the 255-character name";
}

// One change during a listing makes a second pass that gives the key as it is
// then, also a removal and an addition within one tick of the key's last-write time; a change
// before every enumeration call leaves no pass without one, and the four passes together hold
// each name once, as they do for a key that Windows cannot watch.
TEST_F(RegistryTest, ListingAKeyThatChangesMeanwhileListsEachNameOnce)
{
    for (int i = 0; i < 8; ++i) setRaw("moving\\k" + std::to_string(i), "v" + std::to_string(i), REG_SZ, {});
    for (int i = 0; i < 8; ++i) setRaw("moving", "v" + std::to_string(i), REG_SZ, {});
    // "a0" sorts before every other name: adding it moves them all.
    auto flip = [](bool values, bool add, const char* name = "a0") {
        if (values && add) setRaw("moving", name, REG_SZ, {});
        if (values && !add) RegDeleteKeyValueA(HKEY_CURRENT_USER, full("moving").c_str(), name);
        if (!values && add) createKey(std::string("moving\\") + name);
        if (!values && !add) RegDeleteKeyA(HKEY_CURRENT_USER, full(std::string("moving\\") + name).c_str());
    };
    for (bool values : {false, true}) {
        for (std::string change : {"add once", "remove once", "swap in one tick", "every call", "unwatched"}) {
            SCOPED_TRACE(std::string(values ? "values, " : "sub-keys, ") + change);
            flip(values, change == "remove once" || change == "swap in one tick");
            watch.reset();
            watch.frozenTime = change == "swap in one tick";
            watch.notifyFailure = change == "unwatched" ? ERROR_INVALID_HANDLE : 0;
            watch.beforeEnum = [&](int call) {
                if (change == "every call") flip(values, call % 2 == 0);
                else if (change == "swap in one tick" && call == 3) flip(values, false), flip(values, true, "z0");
                else if (call == 3 && change != "unwatched") flip(values, change == "add once");
            };
            TestJni jni;
            jstring p = key(jni, "moving");
            std::vector<std::u16string> got = namesOf(jni, values ? keyGetValueNames(jni, currentUser, p) : keyGetSubKeys(jni, currentUser, p));
            watch.beforeEnum = nullptr;
            if (change != "every call") {
                EXPECT_EQ(got, namesW("moving", values));
            }
            EXPECT_GE(watch.enumCalls, change == "every call" || change == "unwatched" ? 4 * 8 : 2 * 8) << "passes";
            std::sort(got.begin(), got.end());
            EXPECT_TRUE(std::adjacent_find(got.begin(), got.end()) == got.end()) << "a name listed twice";
            flip(values, false);
            flip(values, false, "z0");
            got.erase(std::remove_if(got.begin(), got.end(), [](const std::u16string& n) { return n == u"a0" || n == u"z0"; }), got.end());
            EXPECT_EQ(got, namesW("moving", values)) << "the names that stayed";
            EXPECT_FALSE(jni.exceptionPending()) << jni.pendingMessage();
            EXPECT_TRUE(jni.clean());
        }
    }
}

// REG_QWORD: eight little-endian bytes, shorter data zero-extended; written as eight.
TEST_F(RegistryTest, LongsAreEightLittleEndianBytes)
{
    const std::pair<Bytes, jlong> cases[] = {{{1, 2, 3, 4, 5, 6, 7, 8}, 0x0807060504030201LL}, {Bytes(8, 0xFF), -1},
                                             {{}, 0}, {{0x34, 0x12}, 0x1234}, {{1, 0, 0, 0, 0, 0, 0, 0x80, 9}, INT64_MIN + 1}};
    TestJni jni;
    for (const auto& c : cases) {
        setRaw("values", "q", REG_QWORD, c.first);
        EXPECT_EQ(keyGetLong(jni, currentUser, key(jni, "values"), jni.string("q")), c.second) << hex(c.first);
    }
    long sent = broadcasts();
    keySetLong(jni, currentUser, key(jni, "present"), jni.string("v"), 0x0123456789ABCDEFLL, JNI_TRUE);
    EXPECT_EQ(broadcasts() - sent, 1);
    EXPECT_EQ(raw("present", "v").type, static_cast<DWORD>(REG_QWORD));
    EXPECT_EQ(hex(raw("present", "v").data), "efcdab8967452301");
    EXPECT_FALSE(jni.exceptionPending()) << jni.pendingMessage();
    EXPECT_TRUE(jni.clean());
}

// REG_MULTI_SZ as other programs write it (the W functions), well-formed or
// not, and as keySetStrings writes it.
TEST_F(RegistryTest, StringListsReadSoundlyAndWriteTheListFormat)
{
    const std::u16string two(u"a\0bc\0\0", 6);
    const std::tuple<const char*, std::u16string, bool /* one byte more */, std::string> reads[] = {
        {"two", two, false, "strings:a|bc"},
        {"noFinalNuls", two.substr(0, 4), false, "strings:a|bc"},
        {"oneFinalNul", two.substr(0, 5), false, "strings:a|bc"},
        {"oddByteCount", two, true, "strings:a|bc"},
        {"oddNoNuls", u"ab", true, "strings:ab"},
        {"empty", u"", false, "strings:"},
        {"justNul", two.substr(5), false, "strings:"},
        {"oddJustNul", two.substr(5), true, "strings:"},
        {"emptyStringEndsTheList", std::u16string(u"a\0\0b\0\0", 6), false, "strings:a"},
        {"nonAscii", std::u16string(u"caf\u00E9\0\u20AC\0\0", 8), false, "strings:caf\xC3\xA9|\xE2\x82\xAC"},
    };
    for (const auto& [name, text, oddByte, expected] : reads) {
        Bytes data = utf16Bytes(text);
        if (oddByte) data.push_back('x');
        setWide("lists", latin1(name), REG_MULTI_SZ, data);
        TestJni jni;
        EXPECT_EQ(show(jni, keyGetStrings(jni, currentUser, key(jni, "lists"), jni.string(name))), expected) << name;
        EXPECT_TRUE(jni.clean());
    }
    // A value that grows between the size query and the read is read again.
    watch.reset();
    watch.beforeQueryValue = [](int call) {
        if (call == 2) setWide("lists", u"two", REG_MULTI_SZ, utf16Bytes(std::u16string(300, u'g') + u'\0'));
    };
    TestJni jni;
    EXPECT_EQ(show(jni, keyGetStrings(jni, currentUser, key(jni, "lists"), jni.string("two"))), "strings:" + std::string(300, 'g'));
    EXPECT_EQ(watch.queryValueCalls, 3);
    watch.reset();

    // Java text crosses as its modified UTF-8 bytes, each an ANSI character (code page 1252 here), or
    // in unicode mode (registry_unicode) as its characters.
    const std::tuple<std::vector<const char*>, std::u16string, std::string> writes[] = {
        {{"a", "bc"}, two, "strings:a|bc"},
        {{}, two.substr(5), "strings:"},
        {{"caf\xC3\xA9"}, seenByWideProgram(u"caf\u00E9") + std::u16string(u"\0\0", 2), "strings:caf\xC3\xA9"},
    };
    for (const auto& [strings, stored, expected] : writes) {
        std::vector<jobject> elements;
        for (const char* text : strings) elements.push_back(jni.string(text));
        keySetStrings(jni, currentUser, key(jni, "present"), jni.string("v"), jni.objectArray(elements), JNI_FALSE);
        EXPECT_EQ(raw("present", "v").type, static_cast<DWORD>(REG_MULTI_SZ));
        EXPECT_EQ(hex(rawWide(u"present", u"v").data), hex(utf16Bytes(stored)));
        EXPECT_EQ(show(jni, keyGetStrings(jni, currentUser, key(jni, "present"), jni.string("v"))), expected);
    }
    EXPECT_FALSE(jni.exceptionPending()) << jni.pendingMessage();
    EXPECT_TRUE(jni.clean());
}

// Each working buffer of the new natives that cannot be allocated, and each of
// their registry calls that fails (the open aside, which every native shares),
// ends the call with its message, every key closed and nothing written.
TEST_F(RegistryTest, EveryFailedAllocationOrRegistryCallOfTheNewNativesEndsWithItsMessage)
{
    const std::pair<std::function<std::string(TestJni&)>, std::string> calls[] = {
        {[&](TestJni& j) { return show(j, keyGetSubKeys(j, currentUser, key(j, "keysOnly"))); }, "Error enumerating registry subkeys"},
        {[&](TestJni& j) { return show(j, keyGetValueNames(j, currentUser, key(j, "present"))); }, "Error enumerating registry values"},
        {[&](TestJni& j) { return show(j, keyGetStrings(j, currentUser, key(j, "present"), j.string("multi"))); }, "Error retreiving registry value"},
        {[&](TestJni& j) { return show(keyGetLong(j, currentUser, key(j, "values"), j.string("q"))); }, "Error retreiving registry value"},
        {[&](TestJni& j) { keySetStrings(j, currentUser, key(j, "present"), j.string("v"), j.objectArray({j.string("a"), j.string("b")}), JNI_FALSE); return std::string("0"); },
         "Error setting registry value (REG_MULTI_SZ)"},
        {[&](TestJni& j) { keySetLong(j, currentUser, key(j, "present"), j.string("v"), 1, JNI_FALSE); return std::string("0"); }, "Error setting registry value (REG_QWORD)"},
    };
    for (const auto& [call, message] : calls) {
        setRaw("values", "q", REG_QWORD, Bytes(8, 1));
        { TestJni jni; watch.reset(); call(jni); }
        const int allocations = watch.heapCalls, registryCalls = watch.registryCalls;
        populate();
        setRaw("values", "q", REG_QWORD, Bytes(8, 1));
        const std::string before = snapshot();
        for (int n = 1; n <= allocations + registryCalls; ++n) {
            TestJni jni;
            watch.reset();
            if (n <= allocations) watch.heapFailAt = n;
            else watch.failCall = n - allocations;
            std::string result = call(jni);
            if (n == allocations + 1) continue;  // the open, in the failure table
            EXPECT_TRUE(result == "null" || result == "0") << result;
            EXPECT_EQ(jni.pendingMessage(), message) << (n <= allocations ? "allocation " : "registry call ") << n;
            EXPECT_EQ(watch.opened, watch.closed);
            EXPECT_TRUE(jni.clean());
        }
        EXPECT_GE(registryCalls, 2) << message;
        EXPECT_EQ(snapshot(), before) << message;
    }
}

// ---- Views and watches.

// The reg.exe of the other architecture writes under HKLM\Software in its own
// view (a 32-bit process reaches the 64-bit one through sysnative); each view
// is reached through its flag alone, and a deletion in one view leaves the other.
TEST_F(RegistryTest, EachViewIsReachedThroughItsFlagAndDeletedAlone)
{
    const bool x64 = sizeof(void*) == 8;
    const jint otherView = x64 ? 0x0200 : 0x0100, ownView = otherView ^ 0x0300, machine = static_cast<jint>(0x80000002);
    const std::string path = "Software\\ZarnViewTest-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount());
    const std::string otherReg = std::string("C:\\windows\\") + (x64 ? "syswow64" : "sysnative") + "\\reg.exe add HKLM\\" + path + "\\deep /v v /d other /f";
    auto inView = [&](jint view, const std::string& sub) {
        HKEY key;
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE, (path + sub).c_str(), 0, KEY_READ | view, &key) == ERROR_SUCCESS && RegCloseKey(key) == ERROR_SUCCESS;
    };
    for (jint deleting : {otherView, ownView}) {
        SCOPED_TRACE(deleting == otherView ? "deleted in the other view" : "deleted in this view");
        ASSERT_EQ(std::system(otherReg.c_str()), 0);
        TestJni jni;
        EXPECT_EQ(show(jni, keyGetValue(jni, machine | otherView, jni.string(path + "\\deep"), jni.string("v"))), "string:other");
        EXPECT_FALSE(keyExists(jni, machine, jni.string(path)) || keyExists(jni, machine | ownView, jni.string(path)));
        EXPECT_EQ(keyCreate(jni, machine, jni.string(path + "\\own")), 0);
        EXPECT_TRUE(inView(ownView, "\\own") && !keyExists(jni, machine | otherView, jni.string(path + "\\own")));
        EXPECT_EQ(keyCreate(jni, machine | otherView, jni.string(path + "\\deep\\made")), 0);
        EXPECT_EQ(keyDelete(jni, machine | deleting, jni.string(path), JNI_FALSE), 0);
        EXPECT_TRUE(!inView(deleting, "") && inView(deleting ^ 0x0300, deleting == otherView ? "\\own" : "\\deep\\made"));
        EXPECT_EQ(keyDelete(jni, machine | (deleting ^ 0x0300), jni.string(path), JNI_FALSE), 0);
        EXPECT_FALSE(inView(otherView, "") || inView(ownView, ""));
        EXPECT_FALSE(jni.exceptionPending()) << jni.pendingMessage();
        EXPECT_TRUE(jni.clean());
    }
}

// A watch armed by a thread that has ended reports each change it watches once, made by another thread
// or process, and no other; a wait without one lasts its time-out, a wake ends it at once. Where the
// thread-agnostic flag is refused, as before Windows 8, the watch arms without it.
TEST_F(RegistryTest, WatchReportsEachWatchedChangeOnce)
{
    jint event = 0;
    struct Case { const char* what; bool subtree; std::function<void()> change; jint result; const char* path = "present"; };
    const Case cases[] = {  // result: 0 time-out, 1 change, 2 key deleted
        {"value set by another process", false, [] { EXPECT_EQ(std::system(("C:\\windows\\system32\\reg.exe add HKCU\\" + full("present") + " /v p /d x /f").c_str()), 0); }, 1},
        {"sub-key added", false, [] { createKey("present\\new"); }, 1},
        {"value below, key only", false, [] { setRaw("present\\child", "w", REG_SZ, {}); }, 0},
        {"value below, subtree", true, [] { setRaw("present\\child", "w", REG_SZ, {}); }, 1},
        // valuesOnly has no sub-keys. Windows signals a watch on a deleted key; Wine does not: the test does.
        {"key deleted", false, [&] { RegDeleteKeyA(HKEY_CURRENT_USER, full("valuesOnly").c_str()); SetEvent(handleFromJint<HANDLE>(event)); }, 2, "valuesOnly"},
    };
    for (bool refused : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (refused ? ", flag refused" : ""));
            populate();
            watch.reset();
            watch.refuseAgnostic = refused;
            TestJni jni;
            jint watched = 0;
            event = watchEvent(jni);
            // Armed by a thread that ends first; without the flag Windows signals the event when that
            // thread ends, so there the watch is armed by this thread.
            auto arm = [&] { TestJni own; watched = watchOpen(own, currentUser, key(own, c.path), c.subtree, event); };
            if (refused) arm(); else TestThread(arm).join();
            ASSERT_NE(watched, 0);
            EXPECT_EQ(watch.agnosticArms, refused ? 0 : 1);
            TestThread changer([&] { Sleep(50); c.change(); });
            DWORD start = GetTickCount();
            EXPECT_EQ(watchAwait(jni, watched, event, c.subtree, c.result ? 20000 : 400), c.result);
            if (!c.result) { DWORD took = GetTickCount() - start; EXPECT_TRUE(took >= 390 && took < 1500) << took; }
            changer.join();
            if (c.result == 1 && !c.subtree) {  // reported once; the watch is armed again
                EXPECT_EQ(watchAwait(jni, watched, event, c.subtree, 0), 0);
                setRaw("present", "again", REG_SZ, {});
                EXPECT_EQ(watchAwait(jni, watched, event, c.subtree, 0), 1);
            }
            TestThread waker([&] { TestJni own; Sleep(100); start = GetTickCount(); watchWake(own, event); });
            EXPECT_EQ(watchAwait(jni, watched, event, c.subtree, 20000), c.result == 2 ? 2 : 1) << "woken";
            EXPECT_LE(GetTickCount() - start, 100u);
            waker.join();
            watchClose(jni, watched, event);
            EXPECT_FALSE(jni.exceptionPending()) << jni.pendingMessage();
            EXPECT_TRUE(jni.clean());
            EXPECT_EQ(watch.opened, watch.closed);
        }
    }
}

}  // namespace
