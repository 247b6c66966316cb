#include "bed.h"

#include "binding.h"

#include <shlwapi.h>

#include <algorithm>

namespace stress {

const char* const sandboxPath = "Software\\ZarnStressSandbox";

namespace {

const std::string sandbox = sandboxPath;
const char* const missingPipe = "\\\\.\\pipe\\zarn-stress-nobody-serves-this";

jint asJint(const void* p) { return static_cast<jint>(reinterpret_cast<intptr_t>(p)); }

Arg i(long long value) { return Arg{static_cast<jint>(value), nullptr}; }
Arg ref(jobject object) { return Arg{0, object}; }

void dumpKey(HKEY key, const std::string& path, std::string& out)
{
    char name[16384];
    std::vector<BYTE> data(1 << 16);
    for (DWORD index = 0;; ++index) {
        DWORD nameSize = sizeof name, type = 0, dataSize = static_cast<DWORD>(data.size());
        LONG status = RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data.data(), &dataSize);
        if (status == ERROR_MORE_DATA) {
            data.resize(dataSize);
            --index;
            continue;
        }
        if (status != ERROR_SUCCESS) break;
        out += path + " : " + std::string(name, nameSize) + " = " + std::to_string(type) + ":" +
               std::string(reinterpret_cast<char*>(data.data()), dataSize) + "\n";
    }
    std::vector<std::string> children;
    for (DWORD index = 0;; ++index) {
        DWORD nameSize = sizeof name;
        if (RegEnumKeyExA(key, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        children.emplace_back(name, nameSize);
    }
    std::sort(children.begin(), children.end());
    for (const std::string& child : children) {
        std::string childPath = path.empty() ? child : path + "\\" + child;
        if (childPath == sandbox) continue;
        out += childPath + "\n";
        HKEY sub;
        if (RegOpenKeyExA(key, child.c_str(), 0, KEY_READ, &sub) == ERROR_SUCCESS) {
            dumpKey(sub, childPath, out);
            RegCloseKey(sub);
        }
    }
}

bool isPipeCreator(const Entry& e)
{
    return e.name == "WinPipe_createNamedPipe" || e.name == "WinPipe_createFile" ||
           e.name == "WinPipe_createNamedPipeWithAccess";
}

}  // namespace

std::string dumpCurrentUser()
{
    std::string out;
    dumpKey(HKEY_CURRENT_USER, "", out);
    return out;
}

Bed::Bed()
{
    SHDeleteKeyA(HKEY_CURRENT_USER, sandboxPath);
    HKEY key;
    RegCreateKeyExA(HKEY_CURRENT_USER, (sandbox + "\\k").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    const char text[] = "text";
    const DWORD number = 7;
    const BYTE binary[64] = {1, 2, 3};
    RegSetValueExA(key, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
    RegSetValueExA(key, "dword", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    RegSetValueExA(key, "binary", 0, REG_BINARY, binary, sizeof binary);
    const unsigned long long large = 1ULL << 40;
    RegSetValueExA(key, "qword", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&large), sizeof large);
    RegSetValueExA(key, "multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>("a\0bc\0"), 6);
    RegCloseKey(key);
    watchEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    RegOpenKeyExA(HKEY_CURRENT_USER, (sandbox + "\\k").c_str(), 0, KEY_NOTIFY, &watchKey_);

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    tempDir_ = std::string(temp) + "zarn-stress-" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(GetCurrentThreadId());
    CreateDirectoryA(tempDir_.c_str(), nullptr);

    window_ = CreateWindowExA(0, "STATIC", "zarn stress", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    HWND gone = CreateWindowExA(0, "STATIC", "gone", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    destroyedWindow_ = asJint(gone);
    DestroyWindow(gone);

    // A handle value that no longer names anything. Windows hands out the
    // lowest free handle first, so the highest of many is the last to come back.
    std::vector<HANDLE> events;
    for (int n = 0; n < 256; ++n) events.push_back(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    closedHandle_ = asJint(*std::max_element(events.begin(), events.end()));
    for (HANDLE h : events) CloseHandle(h);
}

Bed::~Bed()
{
    if (window_) DestroyWindow(window_);
    RegCloseKey(watchKey_);
    CloseHandle(watchEvent_);
    SHDeleteKeyA(HKEY_CURRENT_USER, sandboxPath);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((tempDir_ + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            DeleteFileA((tempDir_ + "\\" + found.cFileName).c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(tempDir_.c_str());
}

std::vector<Arg> Bed::baseArgs(TestJni& jni, const Entry& e)
{
    const std::string& n = e.name;
    auto s = [&](const std::string& text) { return ref(jni.string(text)); };
    const Arg root = i(hkeyCurrentUser);
    if (n == "Registry_keyExists") return {root, s(sandbox + "\\k")};
    if (n == "Registry_keyCreate") return {root, s(sandbox + "\\made")};
    if (n == "Registry_keyDelete") return {root, s(sandbox + "\\made"), i(0)};
    if (n == "Registry_keyHasSubKeys" || n == "Registry_keyHasValues") return {root, s(sandbox)};
    if (n == "Registry_keyHasValue" || n == "Registry_keyGetValueType" || n == "Registry_keyGetValue")
        return {root, s(sandbox + "\\k"), s("v")};
    if (n == "Registry_keyDeleteValue") return {root, s(sandbox + "\\k"), s("scratch"), i(0)};
    if (n == "Registry_keySetValue") return {root, s(sandbox + "\\k"), s("scratch"), i(REG_SZ), s("text"), i(0)};
    if (n == "Registry_keyGetSubKeys") return {root, s(sandbox)};
    if (n == "Registry_keyGetValueNames") return {root, s(sandbox + "\\k")};
    if (n == "Registry_keyGetLong") return {root, s(sandbox + "\\k"), s("qword")};
    if (n == "Registry_keySetLong") return {root, s(sandbox + "\\k"), s("scratch"), i(5), i(0)};
    if (n == "Registry_keyGetStrings") return {root, s(sandbox + "\\k"), s("multi")};
    if (n == "Registry_keySetStrings")
        return {root, s(sandbox + "\\k"), s("scratch"), ref(jni.objectArray({jni.string("a"), jni.string("b")})), i(0)};
    if (n == "Registry_watchOpen") return {root, s(sandbox + "\\k"), i(0), i(asJint(watchEvent_))};
    if (n == "Registry_watchAwait") return {i(asJint(watchKey_)), i(asJint(watchEvent_)), i(1), i(0)};
    if (n == "Registry_watchClose") return {i(0), i(0)};
    if (n == "WinPipe_createNamedPipeWithAccess") {
        std::vector<Arg> args = baseArgs(jni, entry("WinPipe_createNamedPipe"));
        args.push_back(i(1));  // owner-only
        return args;
    }
    if (n == "WinPipe_createNamedPipe")
        return {s("\\\\.\\pipe\\zarn-stress-" + std::to_string(GetCurrentProcessId()) + "-" +
                  std::to_string(++pipeCounter_)),
                i(PIPE_ACCESS_DUPLEX), i(1), i(4096), i(4096), i(0)};
    if (n == "WinPipe_createFile") return {s(missingPipe), i(static_cast<jint>(GENERIC_READ | GENERIC_WRITE))};
    if (n == "WinPipe_read" || n == "WinPipe_write") return {i(closedHandle_), ref(jni.bytes(16, 0x5A)), i(16)};
    if (n == "WinPipe_readTimed") return {i(closedHandle_), ref(jni.bytes(16, 0x5A)), i(16), i(10)};
    if (n == "WinPipe_connectNamedPipeTimed") return {i(closedHandle_), i(10)};
    if (n == "WinPipe_waitForPipe") return {s(missingPipe), i(0)};
    if (e.roles.size() == 1 && e.roles[0] == Role::Handle) return {i(closedHandle_)};
    if (n == "Environment_getEnvironmentVariable") return {s("PATH")};
    if (n == "Window_createWindow")
        return {s("zarn stress window"), s("ZarnStressClass"), i(0), i(0), i(0), i(0), i(100), i(100)};
    if (n == "Window_showWindow") return {i(asJint(window_)), i(SW_HIDE)};
    if (n == "Window_destroyWindow") return {i(destroyedWindow_)};
    if (n == "Win32File_winCreateShortcut")
        return {s("C:\\windows\\notepad.exe"), s(""), s(tempDir_ + "\\base.lnk"), s(""), s(""), i(1)};
    return {};  // natives without arguments
}

std::vector<Arg> Bed::variants(TestJni& jni, Role role)
{
    auto s = [&](const std::string& text) { return ref(jni.string(text)); };
    const std::vector<Arg> ints = {i(0), i(-1), i(1), i(0x7FFFFFFF), i(static_cast<jint>(0x80000000))};
    switch (role) {
    // 0x80000000 is HKEY_CLASSES_ROOT, a real key outside the sandbox: roots
    // that are not keys stand in for it.
    case Role::Root: return {i(0), i(-1), i(1), i(0x7FFFFFFF), i(0x12345678)};
    case Role::SubKey: return {ref(nullptr), s(sandbox + "\\missing\\deeper"), s(sandbox + "\\" + std::string(300, 'x'))};
    case Role::ValueName: return {ref(nullptr), s(""), s("missing"), s(std::string(20000, 'n'))};
    case Role::Flag: return {i(1)};
    case Role::Type: {
        std::vector<Arg> types = ints;
        for (int t : {2, 3, 4, 5, 7, 11}) types.push_back(i(t));
        return types;
    }
    case Role::Value: return {ref(nullptr), s("s"), ref(jni.bytes(3, 1)), ref(jni.integer(7)), ref(jni.plainObject())};
    case Role::Strings:
        return {ref(nullptr), ref(jni.objectArray({})), ref(jni.objectArray({nullptr})), ref(jni.objectArray({jni.string("")})),
                ref(jni.objectArray({jni.string("a"), jni.string(std::string(300, 'm'))}))};
    case Role::Int: return ints;
    case Role::Handle: {
        std::vector<Arg> handles = ints;
        handles.push_back(i(0x12345678));
        handles.push_back(i(closedHandle_));
        return handles;
    }
    case Role::Window: {
        std::vector<Arg> windows = ints;
        windows.push_back(i(0x12345678));
        windows.push_back(i(destroyedWindow_));
        return windows;
    }
    case Role::PipeName:
        return {ref(nullptr), s(""), s("\\\\.\\pipe\\" + std::string(300, 'p')), s("C:\\zarn-missing\\file")};
    case Role::Text: return {ref(nullptr), s(""), s(std::string(300, 't')), s("caf\xC3\xA9")};
    case Role::Path:
        return {ref(nullptr), s(""), s(tempDir_ + "\\" + std::string(300, 'l') + ".lnk"),
                s(tempDir_ + "\\missing-folder\\x.lnk")};
    case Role::Bytes: return {ref(nullptr), ref(jni.bytes({})), ref(jni.bytes(1, 0x11))};
    case Role::Millis: return {i(0), i(1), i(-1), i(static_cast<jint>(0x80000000))};
    case Role::Length: {
        std::vector<Arg> lengths = ints;
        lengths.push_back(i(17));  // one more than the base array holds
        return lengths;
    }
    }
    return {};
}

void Bed::afterCall(TestJni& jni, const Entry& e, const std::vector<Arg>& args, const Outcome& outcome,
                    const std::string& context)
{
    SCOPED_TRACE(context);
    // Give back what the call made.
    if (isPipeCreator(e) && outcome.value != -1 && outcome.value != 0)
        CloseHandle(handleFromJint<HANDLE>(static_cast<jint>(outcome.value)));
    if (e.name == "Registry_watchEvent" && outcome.value) CloseHandle(handleFromJint<HANDLE>(static_cast<jint>(outcome.value)));
    if (e.name == "Registry_watchOpen" && outcome.value) RegCloseKey(handleFromJint<HKEY>(static_cast<jint>(outcome.value)));
    if (e.name == "Window_createWindow" && outcome.value != -1 && outcome.value != 0)
        DestroyWindow(handleFromJint<HWND>(static_cast<jint>(outcome.value)));

    EXPECT_TRUE(jni.clean());
    if (jni.exceptionPending()) {
        EXPECT_TRUE(e.throwsRegistryException) << "pending " << jni.pendingClass();
        EXPECT_EQ(jni.pendingClass(), testjni::registryExceptionClass);
        EXPECT_FALSE(jni.pendingMessageIsNull());
    }

    // A null reference gives the native's failure value, with no exception;
    // where several are null, the first one decides.
    for (size_t n = 0; n < args.size(); ++n) {
        bool isReference = e.roles[n] == Role::SubKey || e.roles[n] == Role::ValueName || e.roles[n] == Role::Value ||
                           e.roles[n] == Role::Strings ||
                           e.roles[n] == Role::PipeName || e.roles[n] == Role::Text || e.roles[n] == Role::Path ||
                           e.roles[n] == Role::Bytes;
        if (!isReference || args[n].ref) continue;
        if (e.nullResult[n]) {
            EXPECT_TRUE(e.nullResult[n].holds(outcome))
                << "argument " << n << " null: got " << describe(outcome) << ", expected " << e.nullResult[n].what;
            EXPECT_FALSE(jni.exceptionPending()) << "argument " << n << " null: " << jni.pendingMessage();
        }
        break;
    }

    // A transfer whose length does not fit its array touches neither Windows nor the array.
    if (e.name == "WinPipe_read" || e.name == "WinPipe_write" || e.name == "WinPipe_readTimed") {
        jint length = args[2].i;
        size_t size = args[1].ref ? jni.arrayBytes(args[1].ref).size() : 0;
        if (length < 0 || static_cast<size_t>(length) > size || !args[1].ref) {
            EXPECT_EQ(outcome.value, e.name == "WinPipe_write" ? 0 : -1) << "length " << length << ", array " << size;
        }
    }
    jni.clearException();
}

}  // namespace stress
