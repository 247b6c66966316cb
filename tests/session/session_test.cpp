// TerminalServer: the session queries against a test double of wtsapi32.dll,
// the binding made while the library loads, and terminal-server detection
// under the Windows versions that Wine reports per executable.
//
// run_session_test.sh starts one process per setup (ZARN_SESSION_SETUP): a
// test that needs another setup skips, and the script fails a run in which a
// test skipped.
#include "import_patch.h"
#include "natives.h"
#include "wtsapi32_double.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace testjni;

namespace {

// ---- Setups.

bool setupIsOneOf(const std::vector<std::string>& setups)
{
    const char* setup = getenv("ZARN_SESSION_SETUP");
    return setup && std::find(setups.begin(), setups.end(), setup) != setups.end();
}

#define REQUIRE_SETUP(...)                                                   \
    if (!setupIsOneOf({__VA_ARGS__})) GTEST_SKIP() << "needs setup " #__VA_ARGS__

std::string setupName()
{
    const char* setup = getenv("ZARN_SESSION_SETUP");
    return setup ? setup : "";
}

// ---- The natives, found once the library is loaded.

std::string exportName(const char* method)
{
    return exportedName(std::string(win32Package) + "TerminalServer_" + method, 8);
}

struct TerminalServerNatives {
    Native<jboolean()> isTerminalServer{std::string(win32Package) + "TerminalServer_isTerminalServer"};
    Native<jstring()> getClientName{std::string(win32Package) + "TerminalServer_getClientName"};
    Native<jlong()> getSessionId{std::string(win32Package) + "TerminalServer_getSessionId"};
};

const TerminalServerNatives& natives()
{
    static TerminalServerNatives loaded;
    return loaded;
}

// ---- The double of wtsapi32.dll, reached through its control exports.

constexpr int sessionIdClass = 4;
constexpr int clientNameClass = 10;

struct Double {
    HMODULE module = nullptr;
    DoubleSetAnswer setAnswer = nullptr;
    DoubleGetState getState = nullptr;
    DoubleResetCounts resetCounts = nullptr;

    static Double find()
    {
        Double found;
        found.module = GetModuleHandleA("wtsapi32.dll");
        if (!found.module) return found;
        found.setAnswer = reinterpret_cast<DoubleSetAnswer>(
            reinterpret_cast<void*>(GetProcAddress(found.module, "doubleSetAnswer")));
        found.getState = reinterpret_cast<DoubleGetState>(
            reinterpret_cast<void*>(GetProcAddress(found.module, "doubleGetState")));
        found.resetCounts = reinterpret_cast<DoubleResetCounts>(
            reinterpret_cast<void*>(GetProcAddress(found.module, "doubleResetCounts")));
        return found;
    }
    bool usable() const { return setAnswer && getState && resetCounts; }
    DoubleState state() const
    {
        DoubleState current = {};
        getState(&current);
        return current;
    }
    void answerSessionId(BOOL result, const DWORD* id) const
    {
        setAnswer(sessionIdClass, result, id, id ? sizeof *id : 0);
    }
    void answerClientName(BOOL result, const std::string* bytes) const
    {
        setAnswer(clientNameClass, result, bytes ? bytes->data() : nullptr, bytes ? bytes->size() : 0);
    }
};

// Every buffer the double handed out came back once, and nothing else was freed.
::testing::AssertionResult buffersGivenBack(const Double& fake)
{
    DoubleState state = fake.state();
    if (state.allocations == state.frees && state.badFrees == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << state.allocations << " buffers handed out, " << state.frees
                                         << " given back, " << state.badFrees << " bad frees";
}

std::string systemDirectoryModule()
{
    char directory[MAX_PATH] = {};
    GetSystemDirectoryA(directory, MAX_PATH);
    return std::string(directory) + "\\wtsapi32.dll";
}

std::string moduleFileName(HMODULE module)
{
    char name[MAX_PATH] = {};
    GetModuleFileNameA(module, name, MAX_PATH);
    return name;
}

bool sameText(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), a.size(), b.data(),
                                                  b.size()) == CSTR_EQUAL;
}

// ---- Patching: an import slot of one module, or an export of a system module
// (which changes what GetProcAddress and later loads resolve; 32-bit export
// RVAs wrap around, so any address can be named).

void writeProtected(void* where, const void* what, size_t size)
{
    DWORD old;
    VirtualProtect(where, size, PAGE_READWRITE, &old);
    memcpy(where, what, size);
    VirtualProtect(where, size, old, &old);
}

// An import patch that must apply: a module that does not import the function fails the test.
class RequiredImportPatch : public testjni::ImportPatch {
public:
    RequiredImportPatch(HMODULE module, const char* function, void* replacement)
        : testjni::ImportPatch(module, function, replacement)
    {
        if (!applied()) ADD_FAILURE() << "the module does not import " << function;
    }
};

class ExportPatch {
public:
    ExportPatch(const char* moduleName, const char* function, void* replacement)
    {
        auto base = reinterpret_cast<BYTE*>(GetModuleHandleA(moduleName));
        auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        auto exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
        auto names = reinterpret_cast<DWORD*>(base + exports->AddressOfNames);
        auto ordinals = reinterpret_cast<WORD*>(base + exports->AddressOfNameOrdinals);
        auto functions = reinterpret_cast<DWORD*>(base + exports->AddressOfFunctions);
        for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
            if (strcmp(reinterpret_cast<const char*>(base + names[i]), function) == 0) {
                slot_ = &functions[ordinals[i]];
                break;
            }
        }
        if (!slot_) {
            ADD_FAILURE() << moduleName << " does not export " << function;
            return;
        }
        original_ = *slot_;
        DWORD rva = static_cast<DWORD>(reinterpret_cast<uintptr_t>(replacement) - reinterpret_cast<uintptr_t>(base));
        writeProtected(slot_, &rva, sizeof rva);
    }
    ~ExportPatch()
    {
        if (slot_) writeProtected(slot_, &original_, sizeof original_);
    }
    ExportPatch(const ExportPatch&) = delete;
    ExportPatch& operator=(const ExportPatch&) = delete;

private:
    DWORD* slot_ = nullptr;
    DWORD original_ = 0;
};

// ---- Recorders for the calls the library makes.

struct RegistryLog {
    struct Open {
        HKEY parent;
        std::string name;
        LONG status;
        HKEY key;
    };
    struct Query {
        std::string name;
        bool reservedNull, typeNull, bufferZeroFilled;
        DWORD sizeIn;
    };
    std::vector<Open> opens;
    std::vector<Query> queries;
    std::vector<HKEY> closes;
} registryLog;

LONG WINAPI recordRegOpenKey(HKEY parent, LPCSTR name, PHKEY key)
{
    LONG status = RegOpenKeyA(parent, name, key);
    registryLog.opens.push_back({parent, name ? name : "(null)", status, status == ERROR_SUCCESS ? *key : nullptr});
    return status;
}

LONG WINAPI recordRegQueryValueEx(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
    RegistryLog::Query query{name ? name : "(null)", reserved == nullptr, type == nullptr, false, size ? *size : 0};
    query.bufferZeroFilled = data && size && std::all_of(data, data + *size, [](BYTE b) { return b == 0; });
    registryLog.queries.push_back(query);
    return RegQueryValueExA(key, name, reserved, type, data, size);
}

LONG WINAPI recordRegCloseKey(HKEY key)
{
    registryLog.closes.push_back(key);
    return RegCloseKey(key);
}

// Records the library's registry calls for the life of the object.
class RegistryRecorder {
public:
    RegistryRecorder()
        : open_(library(), "RegOpenKeyA", reinterpret_cast<void*>(recordRegOpenKey)),
          query_(library(), "RegQueryValueExA", reinterpret_cast<void*>(recordRegQueryValueEx)),
          close_(library(), "RegCloseKey", reinterpret_cast<void*>(recordRegCloseKey))
    {
        registryLog = {};
    }
    bool untouched() const { return registryLog.opens.empty() && registryLog.queries.empty(); }

private:
    RequiredImportPatch open_, query_, close_;
};

// VerifyVersionInfoA as the library finds it through GetProcAddress.
struct VerifyLog {
    int calls = 0;
    BOOL answer = 0;
    OSVERSIONINFOEXA info = {};
    DWORD typeMask = 0;
    DWORDLONG conditionMask = 0;
} verifyLog;

BOOL WINAPI recordVerifyVersionInfo(OSVERSIONINFOEXA* info, DWORD typeMask, DWORDLONG conditionMask)
{
    ++verifyLog.calls;
    verifyLog.info = *info;
    verifyLog.typeMask = typeMask;
    verifyLog.conditionMask = conditionMask;
    return verifyLog.answer;
}

class VerifyStub {
public:
    explicit VerifyStub(BOOL answer) : patch_("kernel32.dll", "VerifyVersionInfoA",
                                             reinterpret_cast<void*>(recordVerifyVersionInfo))
    {
        verifyLog = {};
        verifyLog.answer = answer;
    }

private:
    ExportPatch patch_;
};

// The answer a direct VerifyVersionInfoA call gives for the terminal suite.
bool terminalSuiteVerified()
{
    OSVERSIONINFOEXA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    info.wSuiteMask = VER_SUITE_TERMINAL;
    return VerifyVersionInfoA(&info, VER_SUITENAME, VerSetConditionMask(0, VER_SUITENAME, VER_AND)) == 1;
}

// ---- HKLM\SYSTEM\CurrentControlSet\Control\ProductOptions, saved whole and
// put back as it was.

const char* const productOptionsPath = "SYSTEM\\CurrentControlSet\\Control\\ProductOptions";

class ProductOptionsSandbox {
public:
    ProductOptionsSandbox()
    {
        HKEY key;
        existed_ = RegOpenKeyExA(HKEY_LOCAL_MACHINE, productOptionsPath, 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (!existed_) return;
        for (DWORD index = 0;; ++index) {
            char name[256];
            DWORD nameSize = sizeof name, type = 0, size = 0;
            if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
            Value value{name, type, std::string(size, '\0')};
            nameSize = sizeof name;
            RegEnumValueA(key, index, name, &nameSize, nullptr, &type,
                          reinterpret_cast<BYTE*>(&value.data[0]), &size);
            values_.push_back(value);
        }
        RegCloseKey(key);
    }
    ~ProductOptionsSandbox()
    {
        removeKey();
        if (!existed_) return;
        HKEY key;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, productOptionsPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr) != ERROR_SUCCESS) {
            ADD_FAILURE() << "could not restore " << productOptionsPath;
            return;
        }
        for (const Value& value : values_)
            RegSetValueExA(key, value.name.c_str(), 0, value.type, reinterpret_cast<const BYTE*>(value.data.data()),
                           value.data.size());
        RegCloseKey(key);
    }
    ProductOptionsSandbox(const ProductOptionsSandbox&) = delete;
    ProductOptionsSandbox& operator=(const ProductOptionsSandbox&) = delete;

    void setSuite(DWORD type, const std::string& data)
    {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, productOptionsPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, "ProductSuite", 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                 data.size()),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void removeSuite()
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, productOptionsPath, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
        RegDeleteValueA(key, "ProductSuite");
        RegCloseKey(key);
    }
    void removeKey() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, productOptionsPath); }

private:
    struct Value {
        std::string name;
        DWORD type;
        std::string data;
    };
    bool existed_ = false;
    std::vector<Value> values_;
};

const std::string terminalServerFirst("Terminal Server\0\0", 17);

// The library's NT 4 registry path: four opens of one component each, each
// under the key opened before; one query of ProductSuite into a zero-filled
// buffer of 255 bytes; every opened key closed once, innermost first.
void expectProductSuiteRead(bool productOptionsExists)
{
    const char* const components[] = {"SYSTEM", "CurrentControlSet", "Control", "ProductOptions"};
    const auto& opens = registryLog.opens;
    ASSERT_EQ(opens.size(), 4u);
    for (size_t i = 0; i < opens.size(); ++i) {
        EXPECT_EQ(opens[i].name, components[i]);
        EXPECT_EQ(opens[i].parent, i == 0 ? HKEY_LOCAL_MACHINE : opens[i - 1].key);
        EXPECT_EQ(opens[i].status == ERROR_SUCCESS, i < 3 || productOptionsExists) << components[i];
    }
    if (productOptionsExists) {
        ASSERT_EQ(registryLog.queries.size(), 1u);
        const RegistryLog::Query& query = registryLog.queries[0];
        EXPECT_EQ(query.name, "ProductSuite");
        EXPECT_TRUE(query.reservedNull);
        EXPECT_TRUE(query.typeNull);
        EXPECT_EQ(query.sizeIn, 255u);
        EXPECT_TRUE(query.bufferZeroFilled);
    } else {
        EXPECT_TRUE(registryLog.queries.empty());
    }
    std::vector<HKEY> opened;
    for (auto it = opens.rbegin(); it != opens.rend(); ++it)
        if (it->status == ERROR_SUCCESS) opened.push_back(it->key);
    EXPECT_EQ(registryLog.closes, opened);
}

void expectWindowsVersion(DWORD platform, DWORD major)
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExA(&version));
    ASSERT_EQ(version.dwPlatformId, platform) << "Wine does not report the version of setup " << setupName();
    if (major) {
        ASSERT_EQ(version.dwMajorVersion, major) << "setup " << setupName();
    }
}

// ======== Session queries against the double.

TEST(SessionQuery, BindsTheSystemDirectoryModuleOnceWhileLoading)
{
    REQUIRE_SETUP("double");
    ASSERT_EQ(GetModuleHandleA(libraryName), nullptr) << "must run before anything loads the library";
    ASSERT_EQ(GetModuleHandleA("wtsapi32.dll"), nullptr);
    ASSERT_NE(library(), nullptr);

    Double fake = Double::find();
    ASSERT_TRUE(fake.usable()) << "the library did not load the double";
    EXPECT_TRUE(sameText(moduleFileName(fake.module), systemDirectoryModule())) << moduleFileName(fake.module);
    EXPECT_EQ(fake.state().attaches, 1);
    EXPECT_EQ(fake.state().queries, 0) << "loading asks nothing";
}

struct SessionIdCase {
    const char* name;
    BOOL result;
    bool buffer;
    DWORD value;
    jlong expected;
};

TEST(SessionQuery, SessionIdIsUnsignedAndZeroOnFailure)
{
    REQUIRE_SETUP("double");
    const SessionIdCase cases[] = {
        {"zero", TRUE, true, 0, 0},
        {"seven", TRUE, true, 7, 7},
        {"largest signed", TRUE, true, 0x7FFFFFFF, 2147483647LL},
        {"high bit", TRUE, true, 0x80000000, 2147483648LL},
        {"0xFFFFFFFE", TRUE, true, 0xFFFFFFFE, 4294967294LL},
        {"0xFFFFFFFF", TRUE, true, 0xFFFFFFFF, 4294967295LL},
        {"failure with a buffer", FALSE, true, 7, 0},
        {"failure", FALSE, false, 0, 0},
        {"success without a buffer", TRUE, false, 0, 0},
    };
    Double fake = Double::find();
    ASSERT_TRUE(fake.usable());
    for (const SessionIdCase& c : cases) {
        SCOPED_TRACE(c.name);
        TestJni jni;
        fake.resetCounts();
        fake.answerSessionId(c.result, c.buffer ? &c.value : nullptr);
        EXPECT_EQ(natives().getSessionId(jni), c.expected);
        DoubleState state = fake.state();
        EXPECT_EQ(state.queries, 1);
        EXPECT_EQ(state.lastServer, nullptr);
        EXPECT_EQ(state.lastSession, 0xFFFFFFFFu);
        EXPECT_EQ(state.lastInfoClass, sessionIdClass);
        EXPECT_EQ(state.allocations, c.buffer ? 1 : 0);
        EXPECT_TRUE(buffersGivenBack(fake));
        EXPECT_TRUE(jni.clean());
        EXPECT_EQ(jni.totalCalls(), 0) << "getSessionId makes no JNI call";
    }
}

struct ClientNameCase {
    const char* name;
    BOOL result;
    bool buffer;
    std::string bytes;   // as the query hands them out, NUL included
    bool expectNull;
    std::string expected;
};

TEST(SessionQuery, ClientNameIsNullWhenAbsentOrEmpty)
{
    REQUIRE_SETUP("double");
    const std::string longName = std::string(300, 'n');
    const ClientNameCase cases[] = {
        {"absent", FALSE, false, "", true, ""},
        {"empty: one byte", TRUE, true, std::string(1, '\0'), true, ""},
        {"one character", TRUE, true, std::string("A\0", 2), false, "A"},
        {"long", TRUE, true, longName + '\0', false, longName},
        // An ANSI name reaches Java as its characters (code page 1252 here).
        {"ANSI bytes", TRUE, true, std::string("\xC4pfel\0", 6), false, "\xC3\x84pfel"},
        // The BOOL does not enter: a buffer that comes back is the answer.
        {"FALSE with a buffer", FALSE, true, std::string("Z\0", 2), false, "Z"},
    };
    Double fake = Double::find();
    ASSERT_TRUE(fake.usable());
    // In unicode mode (session_queries_unicode) the W query answers the same
    // names as UTF-16, which Java reads as the same characters; its buffer is
    // read up to its NUL and never past the bytes counted.
    std::vector<ClientNameCase> all(std::begin(cases), std::end(cases));
    if (unicodeMode()) {
        for (ClientNameCase& c : all) {
            std::u16string units(c.bytes.size(), u'\0');
            MultiByteToWideChar(CP_ACP, 0, c.bytes.data(), static_cast<int>(c.bytes.size()),
                                reinterpret_cast<WCHAR*>(&units[0]), static_cast<int>(units.size()));
            c.bytes.assign(reinterpret_cast<const char*>(units.data()), units.size() * 2);
        }
        all.push_back({"outside the code page", TRUE, true, std::string("\xA9\x03\x3D\xD8\x00\xDE\0\0", 8), false,
                       "\xCE\xA9\xED\xA0\xBD\xED\xB8\x80"});
        all.push_back({"no NUL within the count", TRUE, true, std::string("A\0B\0", 4), false, "AB"});
        all.push_back({"odd count", TRUE, true, std::string("A\0B", 3), false, "A"});
    }
    for (const ClientNameCase& c : all) {
        SCOPED_TRACE(c.name);
        TestJni jni;
        fake.resetCounts();
        fake.answerClientName(c.result, c.buffer ? &c.bytes : nullptr);
        jstring name = natives().getClientName(jni);
        if (c.expectNull) {
            EXPECT_EQ(name, nullptr);
            EXPECT_EQ(jni.calls(unicodeMode() ? "NewString" : "NewStringUTF"), 0);
        } else {
            ASSERT_NE(name, nullptr);
            EXPECT_EQ(jni.utf8Bytes(name), c.expected);
        }
        DoubleState state = fake.state();
        EXPECT_EQ(state.queries, 1);
        EXPECT_EQ(state.lastServer, nullptr);
        EXPECT_EQ(state.lastSession, 0xFFFFFFFFu);
        EXPECT_EQ(state.lastInfoClass, clientNameClass);
        EXPECT_TRUE(buffersGivenBack(fake));
        EXPECT_FALSE(jni.exceptionPending());
        EXPECT_TRUE(jni.clean());
    }
}

TEST(SessionQuery, ClientNameGivesBackItsBufferWhenNewStringUtfFails)
{
    REQUIRE_SETUP("double");
    Double fake = Double::find();
    ASSERT_TRUE(fake.usable());
    const std::string host = unicodeMode() ? std::string("H\0O\0S\0T\0\0\0", 10) : std::string("HOST\0", 5);
    fake.resetCounts();
    fake.answerClientName(TRUE, &host);
    TestJni jni;
    jni.failNth(unicodeMode() ? Fn::NewString : Fn::NewStringUTF, 1);
    EXPECT_EQ(natives().getClientName(jni), nullptr);
    EXPECT_EQ(jni.pendingClass(), "java/lang/OutOfMemoryError");
    EXPECT_TRUE(buffersGivenBack(fake));
    jni.clearException();
    EXPECT_TRUE(jni.clean());
}

TEST(SessionQuery, TenThousandCallsGiveBackEveryBuffer)
{
    REQUIRE_SETUP("double");
    Double fake = Double::find();
    ASSERT_TRUE(fake.usable());
    const DWORD id = 3;
    const std::string names[] = {std::string(1, '\0'), std::string("PC-17\0", 6)};
    fake.resetCounts();
    fake.answerSessionId(TRUE, &id);
    TestJni jni;
    long wrong = 0;
    for (int i = 0; i < 10000; ++i) {
        if (i % 2) {
            fake.answerClientName(TRUE, &names[(i / 2) % 2]);
            jstring name = natives().getClientName(jni);
            wrong += (name != nullptr) != ((i / 2) % 2 == 1);
        } else {
            wrong += natives().getSessionId(jni) != 3;
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(fake.state().allocations, 10000);
    EXPECT_TRUE(buffersGivenBack(fake));
    EXPECT_TRUE(jni.clean());
}

// ======== Binding under a system directory that cannot be had.

// GetSystemDirectoryA and LoadLibraryA as the library's imports resolve them
// while it loads.
struct LoadLog {
    enum class Directory { Fails, TooLong, Exactly255, Real } directory = Directory::Real;
    std::vector<std::string> loads;
    bool classRegisteredAtLoad = false;
} loadLog;

std::string directoryOf255()
{
    std::string directory = "C:\\nowher";
    while (directory.size() < 255) directory += "\\.";
    return directory;
}

UINT WINAPI stubGetSystemDirectory(LPSTR buffer, UINT size)
{
    switch (loadLog.directory) {
    case LoadLog::Directory::Fails:
        return 0;
    case LoadLog::Directory::TooLong:
        return 257;  // the size needed, NUL included: nothing is written
    case LoadLog::Directory::Exactly255: {
        std::string directory = directoryOf255();
        if (size <= directory.size()) return directory.size() + 1;
        memcpy(buffer, directory.c_str(), directory.size() + 1);
        return directory.size();
    }
    case LoadLog::Directory::Real:
        break;
    }
    return GetSystemDirectoryA(buffer, size);
}

HMODULE WINAPI recordLoadLibrary(LPCSTR name)
{
    loadLog.loads.push_back(name ? name : "(null)");
    WNDCLASSA info;
    loadLog.classRegisteredAtLoad = GetClassInfoA(GetModuleHandleA(libraryName), "VORURAZUR32", &info);
    return LoadLibraryA(name);
}

HMODULE loadLibraryWithDirectory(LoadLog::Directory directory)
{
    loadLog.directory = directory;
    loadLog.loads.clear();
    ExportPatch systemDirectory("kernel32.dll", "GetSystemDirectoryA", reinterpret_cast<void*>(stubGetSystemDirectory));
    ExportPatch loader("kernel32.dll", "LoadLibraryA", reinterpret_cast<void*>(recordLoadLibrary));
    return LoadLibraryA(libraryName);
}

template <typename Function>
Function exported(HMODULE module, const char* method)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, exportName(method).c_str())));
}

using SessionIdFunction = jlong(JNICALL*)(JNIEnv*, jclass);
using ClientNameFunction = jstring(JNICALL*)(JNIEnv*, jclass);

TEST(SessionBinding, LoadsNothingWithoutTheSystemDirectoryAndBindsOnceWithIt)
{
    REQUIRE_SETUP("sysdir");
    ASSERT_EQ(GetModuleHandleA(libraryName), nullptr) << "must run before anything loads the library";
    ASSERT_EQ(GetModuleHandleA("wtsapi32.dll"), nullptr);
    // From the root of C:, "\wtsapi32.dll" would name C:\wtsapi32.dll.
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\"));

    struct {
        const char* name;
        LoadLog::Directory directory;
        std::vector<std::string> loads;
    } const unbound[] = {
        {"GetSystemDirectoryA fails", LoadLog::Directory::Fails, {}},
        {"the directory does not fit", LoadLog::Directory::TooLong, {}},
        // 255 characters fit the 256 asked for: that directory is used (and holds nothing).
        {"a directory of 255 characters", LoadLog::Directory::Exactly255, {directoryOf255() + "\\wtsapi32.dll"}},
    };
    for (const auto& c : unbound) {
        SCOPED_TRACE(c.name);
        HMODULE module = loadLibraryWithDirectory(c.directory);
        ASSERT_NE(module, nullptr) << "the library must load: " << GetLastError();
        EXPECT_EQ(loadLog.loads, c.loads);
        EXPECT_EQ(GetModuleHandleA("wtsapi32.dll"), nullptr);
        TestJni jni;
        EXPECT_EQ(exported<SessionIdFunction>(module, "getSessionId")(jni.env(), jni.receiver()), 0);
        EXPECT_EQ(exported<ClientNameFunction>(module, "getClientName")(jni.env(), jni.receiver()), nullptr);
        EXPECT_TRUE(jni.clean());
        ASSERT_TRUE(FreeLibrary(module));
        ASSERT_EQ(GetModuleHandleA(libraryName), nullptr);
    }

    // The real system directory: the double is loaded from it, once, before
    // DllMain registers the default window class.
    HMODULE module = loadLibraryWithDirectory(LoadLog::Directory::Real);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(loadLog.loads, std::vector<std::string>{systemDirectoryModule()});
    EXPECT_FALSE(loadLog.classRegisteredAtLoad) << "the binding ran after DllMain";
    WNDCLASSA info;
    EXPECT_TRUE(GetClassInfoA(module, "VORURAZUR32", &info)) << "the recorder's class check cannot fail";
    Double fake = Double::find();
    ASSERT_TRUE(fake.usable());
    const DWORD id = 42;
    fake.answerSessionId(TRUE, &id);
    auto getSessionId = exported<SessionIdFunction>(module, "getSessionId");
    auto getClientName = exported<ClientNameFunction>(module, "getClientName");
    TestJni jni;
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(getSessionId(jni.env(), jni.receiver()), 42);
        getClientName(jni.env(), jni.receiver());
    }
    EXPECT_EQ(loadLog.loads.size(), 1u) << "the natives load nothing";
    EXPECT_EQ(fake.state().attaches, 1);

    // The library holds the one reference to the module, and keeps it when it unloads.
    ASSERT_TRUE(FreeLibrary(module));
    ASSERT_EQ(GetModuleHandleA(libraryName), nullptr);
    int references = 0;
    for (HMODULE wts; (wts = GetModuleHandleA("wtsapi32.dll")) != nullptr && references < 10; ++references)
        FreeLibrary(wts);
    EXPECT_EQ(references, 1);
}

// ======== Without the module or without its release routine.

void expectUnboundQueries()
{
    TestJni jni;
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(natives().getSessionId(jni), 0);
        EXPECT_EQ(natives().getClientName(jni), nullptr);
    }
    EXPECT_TRUE(jni.clean());
    EXPECT_EQ(jni.totalCalls(), 0);
    // isTerminalServer does not depend on the binding (Wine's default version is NT 5 or later).
    EXPECT_EQ(natives().isTerminalServer(jni) == JNI_TRUE, terminalSuiteVerified());
}

TEST(SessionUnbound, WithoutFreeMemory)
{
    REQUIRE_SETUP("nofree");
    ASSERT_NE(library(), nullptr);
    Double fake = Double::find();
    ASSERT_TRUE(fake.usable()) << "the double without WTSFreeMemory is not loaded";
    ASSERT_EQ(GetProcAddress(fake.module, "WTSFreeMemory"), nullptr);
    const DWORD id = 9;
    const std::string name("X\0", 2);
    fake.answerSessionId(TRUE, &id);
    fake.answerClientName(TRUE, &name);
    expectUnboundQueries();
    EXPECT_EQ(fake.state().queries, 0) << "a query whose buffers cannot be given back was made";
}

TEST(SessionUnbound, WithoutModule)
{
    REQUIRE_SETUP("absent");
    ASSERT_NE(library(), nullptr) << "the library must load without wtsapi32.dll";
    EXPECT_EQ(GetModuleHandleA("wtsapi32.dll"), nullptr);
    expectUnboundQueries();
    EXPECT_EQ(LoadLibraryA(systemDirectoryModule().c_str()), nullptr) << "the setup left a wtsapi32.dll to load";
}

// ======== Terminal-server detection.

// GetVersionExA as the library's import resolves it.
struct VersionAnswer {
    BOOL ok;
    DWORD platform, major;
} versionAnswer;
DWORD versionSizeSeen = 0;

BOOL WINAPI stubGetVersionEx(OSVERSIONINFOA* info)
{
    versionSizeSeen = info->dwOSVersionInfoSize;
    if (!versionAnswer.ok) return FALSE;
    info->dwPlatformId = versionAnswer.platform;
    info->dwMajorVersion = versionAnswer.major;
    return TRUE;
}

TEST(TerminalServerFamily, VersionChoosesTheRegistryTheVerificationOrNeither)
{
    REQUIRE_SETUP("double");
    enum Path { Neither, Registry, Verification };
    struct {
        const char* name;
        VersionAnswer version;
        Path path;
    } const cases[] = {
        {"GetVersionExA fails", {FALSE, 2, 4}, Neither},
        {"NT 4", {TRUE, 2, 4}, Registry},
        {"NT 3", {TRUE, 2, 3}, Registry},
        {"NT 0", {TRUE, 2, 0}, Registry},
        {"NT 5", {TRUE, 2, 5}, Verification},
        {"NT 10", {TRUE, 2, 10}, Verification},
        // The major version is unsigned: the high bit makes it large.
        {"NT 0x80000000", {TRUE, 2, 0x80000000}, Verification},
        {"Windows 95 line", {TRUE, 1, 4}, Neither},
        {"Win32s", {TRUE, 0, 3}, Neither},
        {"platform 3", {TRUE, 3, 10}, Neither},
        {"platform 0xFFFFFFFF", {TRUE, 0xFFFFFFFF, 5}, Neither},
    };
    ASSERT_NE(library(), nullptr);
    ProductOptionsSandbox sandbox;
    sandbox.setSuite(REG_MULTI_SZ, terminalServerFirst);
    RequiredImportPatch version(library(), "GetVersionExA", reinterpret_cast<void*>(stubGetVersionEx));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        versionAnswer = c.version;
        versionSizeSeen = 0;
        RegistryRecorder registry;
        VerifyStub verify(1);
        TestJni jni;
        // Both paths would answer true here: the registry holds "Terminal Server" and verification says 1.
        EXPECT_EQ(natives().isTerminalServer(jni), c.path == Neither ? JNI_FALSE : JNI_TRUE);
        EXPECT_EQ(versionSizeSeen, 148u);
        EXPECT_EQ(registryLog.opens.size(), c.path == Registry ? 4u : 0u);
        EXPECT_EQ(verifyLog.calls, c.path == Verification ? 1 : 0);
        EXPECT_TRUE(jni.clean());
    }
}

struct SuiteCase {
    const char* name;
    enum { Value, NoValue, NoKey } kind;
    DWORD type;
    std::string data;
    bool expected;
};

TEST(TerminalServerNt4, ProductSuiteMustNameTerminalServerFirst)
{
    REQUIRE_SETUP("nt40");
    expectWindowsVersion(VER_PLATFORM_WIN32_NT, 4);
    const std::string filler255 = std::string("Terminal Server\0", 16) + std::string(239, 'x');
    const SuiteCase cases[] = {
        {"first and only", SuiteCase::Value, REG_MULTI_SZ, terminalServerFirst, true},
        {"first of two", SuiteCase::Value, REG_MULTI_SZ, std::string("Terminal Server\0Small Business\0\0", 32), true},
        {"second", SuiteCase::Value, REG_MULTI_SZ, std::string("Small Business\0Terminal Server\0\0", 32), false},
        {"lower case", SuiteCase::Value, REG_MULTI_SZ, std::string("terminal server\0\0", 17), false},
        {"upper case", SuiteCase::Value, REG_MULTI_SZ, std::string("TERMINAL SERVER\0\0", 17), false},
        {"longer name", SuiteCase::Value, REG_MULTI_SZ, std::string("Terminal Servers\0\0", 18), false},
        {"shorter name", SuiteCase::Value, REG_MULTI_SZ, std::string("Terminal Serve\0\0", 16), false},
        {"empty", SuiteCase::Value, REG_MULTI_SZ, std::string("\0", 1), false},
        {"REG_SZ", SuiteCase::Value, REG_SZ, std::string("Terminal Server\0", 16), true},
        // The zero-filled buffer ends a value stored without its NUL.
        {"without NUL", SuiteCase::Value, REG_BINARY, "Terminal Server", true},
        {"255 bytes, first string ended", SuiteCase::Value, REG_BINARY, filler255, true},
        {"255 bytes without NUL", SuiteCase::Value, REG_BINARY, "Terminal Server" + std::string(240, 'x'), false},
        {"300 bytes", SuiteCase::Value, REG_MULTI_SZ, std::string("Terminal Server\0", 16) + std::string(284, 'y'),
         false},
        {"no value", SuiteCase::NoValue, 0, "", false},
        {"no ProductOptions key", SuiteCase::NoKey, 0, "", false},
    };
    ASSERT_NE(library(), nullptr);
    for (const SuiteCase& c : cases) {
        SCOPED_TRACE(c.name);
        ProductOptionsSandbox sandbox;
        if (c.kind == SuiteCase::Value) sandbox.setSuite(c.type, c.data);
        if (c.kind == SuiteCase::NoValue) sandbox.removeSuite();
        if (c.kind == SuiteCase::NoKey) sandbox.removeKey();
        RegistryRecorder registry;
        VerifyStub verify(1);
        TestJni jni;
        EXPECT_EQ(natives().isTerminalServer(jni), c.expected ? JNI_TRUE : JNI_FALSE);
        expectProductSuiteRead(c.kind != SuiteCase::NoKey);
        EXPECT_EQ(verifyLog.calls, 0);
        EXPECT_TRUE(jni.clean());
    }
}

TEST(TerminalServerNotNt, AnswersFalseWithoutAnyQuery)
{
    REQUIRE_SETUP("win95", "win31");
    expectWindowsVersion(setupName() == "win95" ? VER_PLATFORM_WIN32_WINDOWS : VER_PLATFORM_WIN32s, 0);
    ASSERT_NE(library(), nullptr);
    ProductOptionsSandbox sandbox;
    sandbox.setSuite(REG_MULTI_SZ, terminalServerFirst);
    RegistryRecorder registry;
    VerifyStub verify(1);
    TestJni jni;
    EXPECT_EQ(natives().isTerminalServer(jni), JNI_FALSE);
    EXPECT_TRUE(registry.untouched());
    EXPECT_EQ(verifyLog.calls, 0);
    EXPECT_TRUE(jni.clean());
}

TEST(TerminalServerNt5, AnswersAsVerifyVersionInfo)
{
    REQUIRE_SETUP("win2k", "win7", "double");
    if (setupName() == "win2k") expectWindowsVersion(VER_PLATFORM_WIN32_NT, 5);
    if (setupName() == "win7") expectWindowsVersion(VER_PLATFORM_WIN32_NT, 6);
    ASSERT_NE(library(), nullptr);
    ProductOptionsSandbox sandbox;
    sandbox.setSuite(REG_MULTI_SZ, terminalServerFirst);
    {
        // The real VerifyVersionInfoA (under Wine it denies the terminal suite).
        RegistryRecorder registry;
        TestJni jni;
        EXPECT_EQ(natives().isTerminalServer(jni) == JNI_TRUE, terminalSuiteVerified());
        EXPECT_TRUE(registry.untouched()) << "the registry is read on NT 5 and later";
        EXPECT_TRUE(jni.clean());
    }
    // What the library asks, and that only a result of exactly 1 means true.
    const DWORDLONG conditionMask = VerSetConditionMask(0, VER_SUITENAME, VER_AND);
    for (BOOL answer : {0, 1, 2, -1}) {
        SCOPED_TRACE(answer);
        RegistryRecorder registry;
        VerifyStub verify(answer);
        TestJni jni;
        EXPECT_EQ(natives().isTerminalServer(jni), answer == 1 ? JNI_TRUE : JNI_FALSE);
        ASSERT_EQ(verifyLog.calls, 1);
        EXPECT_EQ(verifyLog.typeMask, static_cast<DWORD>(VER_SUITENAME));
        EXPECT_EQ(verifyLog.conditionMask, conditionMask);
        OSVERSIONINFOEXA expected = {};
        expected.dwOSVersionInfoSize = 156;
        expected.wSuiteMask = VER_SUITE_TERMINAL;
        EXPECT_EQ(memcmp(&verifyLog.info, &expected, sizeof expected), 0) << "other members must be 0";
        EXPECT_TRUE(registry.untouched());
    }
}

}  // namespace
