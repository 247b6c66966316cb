// The benchmark: each measured native, called as a JVM calls it (through its
// export, with the test JNI environment), against the same Win32 sequence
// called directly in the same run (direct.cpp), and against the bare Win32
// calls with no JNI at all; how pipe throughput and keyGetValue time grow;
// and the heap allocations that the library itself makes in the natives that
// must make none. Prints Markdown tables on stdout, progress on stderr.
//
//   bench.exe [--reps N] [--batch-ms MS] [--only SECTION[,SECTION...]]
//   SECTION: compare, throughput, arrays, pairs, growth, allocations (all by default)
// Lines that begin with @ are for scripts/bench.sh: the targets and the run.
#include "direct.h"
#include "harness.h"
#include "iat_hook.h"
#include "natives.h"

#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace testjni;
using namespace bench;

namespace {

// ---------------------------------------------------------------- the natives

struct Natives {
    Native<jstring(jstring)> getEnvironmentVariable{std::string(win32Package) + "Environment_getEnvironmentVariable"};
    Native<jobject(jint, jstring, jstring)> keyGetValue{std::string(win32Package) + "Registry_keyGetValue"};
    Native<void(jint, jstring, jstring, jint, jobject, jboolean)> keySetValue{std::string(win32Package) +
                                                                              "Registry_keySetValue"};
    Native<jboolean(jint, jstring)> keyExists{std::string(win32Package) + "Registry_keyExists"};
    Native<jint(jint, jbyteArray, jint)> read{std::string(pipePackage) + "WinPipe_read"};
    Native<jint(jint, jbyteArray, jint)> write{std::string(pipePackage) + "WinPipe_write"};
    Native<jint(jstring, jstring, jint, jint, jint, jint, jint, jint)> createWindow{std::string(win32Package) +
                                                                                    "Window_createWindow"};
    Native<void(jint)> destroyWindow{std::string(win32Package) + "Window_destroyWindow"};
    Native<jint(jstring, jstring, jstring, jstring, jstring, jint)> winCreateShortcut{std::string(win32Package) +
                                                                                      "Win32File_winCreateShortcut"};
};

Natives& natives()
{
    static Natives instance;
    return instance;
}

enum class Way { Native, Direct, Alone };

template <typename Handle>
jint toJint(Handle handle)
{
    return static_cast<jint>(reinterpret_cast<intptr_t>(handle));
}

// ------------------------------------------------------------ fixed test data

const jint currentUser = static_cast<jint>(0x80000001);
const char* const sandboxKey = "Software\\ZarnwinBench";
const char* const environmentName = "ZARN_BENCH_VALUE";
const char* const text31 = "0123456789abcdefghijklmnopqrstu";  // 31 characters: 32 bytes with the NUL
const int binarySize = 64 * 1024;
// Large enough for a 1 MiB message, so that a write completes without a reader waiting.
const DWORD pipeBufferSize = 2 * 1024 * 1024;
const char* const windowClass = "ZarnBenchWindow";

std::vector<uint8_t> pattern(size_t size, unsigned seed)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
    return bytes;
}

std::string binaryValueName(int size) { return "bin" + std::to_string(size); }

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

std::string shortcutFile()
{
    char folder[MAX_PATH];
    DWORD length = GetTempPathA(sizeof folder, folder);
    return std::string(folder, length) + "zarnbench.lnk";
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
    RegCloseKey(key);
    return ok;
}

// True when the sandbox key is gone afterwards.
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

void pumpMessages()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

// ---------------------------------------------------------------------- pipes

// A connected message-mode pipe: the server instance and the client end, the
// client switched to message read mode, as createNamedPipe and createFile make them.
struct PipePair {
    HANDLE server = INVALID_HANDLE_VALUE;
    HANDLE client = INVALID_HANDLE_VALUE;

    PipePair()
    {
        static LONG counter = 0;
        std::string name = "\\\\.\\pipe\\zarnbench-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(InterlockedIncrement(&counter));
        server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                  1, pipeBufferSize, pipeBufferSize, 0, nullptr);
        if (server == INVALID_HANDLE_VALUE) return;
        client = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (client == INVALID_HANDLE_VALUE) return;
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(client, &mode, nullptr, nullptr);
        ConnectNamedPipe(server, nullptr);  // fails with ERROR_PIPE_CONNECTED: the client came first
    }
    ~PipePair()
    {
        if (client != INVALID_HANDLE_VALUE) CloseHandle(client);
        if (server != INVALID_HANDLE_VALUE) CloseHandle(server);
    }
    PipePair(const PipePair&) = delete;
    PipePair& operator=(const PipePair&) = delete;
    bool ok() const { return server != INVALID_HANDLE_VALUE && client != INVALID_HANDLE_VALUE; }
};

// One end's transfers, by the native, by its direct sequence, or by bare
// ReadFile/WriteFile on a buffer of its own. One Endpoint serves one thread.
class Endpoint {
public:
    // An array of arraySize bytes (size when smaller), its first size bytes patterned.
    Endpoint(Way way, int size, unsigned seed = 0, int arraySize = 0, ArrayMode mode = ArrayMode::Copy) : way_(way)
    {
        std::vector<uint8_t> bytes = pattern(static_cast<size_t>(size), seed);
        if (arraySize > size) bytes.resize(static_cast<size_t>(arraySize));
        if (way == Way::Alone) {
            raw_ = bytes;
            if (raw_.empty()) raw_.resize(1);
        } else {
            jni_.reset(new TestJni);
            jni_->setArrayMode(mode);
            array_ = jni_->bytes(bytes);
        }
    }

    int write(HANDLE handle, int length)
    {
        switch (way_) {
        case Way::Native: return natives().write(*jni_, toJint(handle), array_, length);
        case Way::Direct: return direct::write(jni_->env(), jni_->receiver(), toJint(handle), array_, length);
        case Way::Alone: break;
        }
        DWORD count = 0;
        return WriteFile(handle, raw_.data(), static_cast<DWORD>(length), &count, nullptr) ? static_cast<int>(count) : 0;
    }

    int read(HANDLE handle, int length)
    {
        switch (way_) {
        case Way::Native: return natives().read(*jni_, toJint(handle), array_, length);
        case Way::Direct: return direct::read(jni_->env(), jni_->receiver(), toJint(handle), array_, length);
        case Way::Alone: break;
        }
        DWORD count = 0;
        if (!ReadFile(handle, raw_.data(), static_cast<DWORD>(length), &count, nullptr) &&
            GetLastError() != ERROR_MORE_DATA)
            return -1;
        return static_cast<int>(count);
    }

    std::vector<uint8_t> content() const { return jni_ ? jni_->arrayBytes(array_) : raw_; }
    bool clean() const { return !jni_ || jni_->clean(); }

private:
    Way way_;
    std::unique_ptr<TestJni> jni_;
    jbyteArray array_ = nullptr;
    std::vector<uint8_t> raw_;
};

// n round trips of size-byte messages on one thread: the client writes, the
// server reads, the server writes the message back, the client reads it. Each
// message fits the pipe's buffer, so no call waits for the other end.
double pipeRoundTrips(Way way, int size, int n, int arraySize = 0, ArrayMode mode = ArrayMode::Copy)
{
    PipePair pipe;
    if (!pipe.ok()) return -1;
    Endpoint client(way, size, 7, arraySize, mode), server(way, size, 0, arraySize, mode);
    // A reader asks for as much as its array holds, as one does who does not
    // know the next message's size.
    int readLength = arraySize > size ? arraySize : size;
    bool ok = true;
    double start = now();
    for (int i = 0; i < n && ok; ++i) {
        ok = client.write(pipe.client, size) == size && server.read(pipe.server, readLength) == size &&
             server.write(pipe.server, size) == size && client.read(pipe.client, readLength) == size;
    }
    double elapsed = now() - start;
    return ok && client.clean() && server.clean() ? elapsed : -1;
}

// One round trip of a patterned message: the client gets its own bytes back.
std::string checkRoundTrip(Way way, int size)
{
    PipePair pipe;
    if (!pipe.ok()) return "pipe not created";
    Endpoint client(way, size, 7), server(way, size);
    std::vector<uint8_t> sent = client.content();
    int wrote = client.write(pipe.client, size);
    int got = server.read(pipe.server, size);
    if (got >= 0) server.write(pipe.server, got);
    int back = client.read(pipe.client, size);
    if (wrote != size) return "write returned " + std::to_string(wrote);
    if (got != size) return "read returned " + std::to_string(got);
    if (back != size) return "read of the echo returned " + std::to_string(back);
    if (client.content() != sent) return "the echoed bytes differ";
    if (!client.clean() || !server.clean()) return "JNI misuse";
    return "";
}

// n messages of size bytes written to the client end and read from the
// server end, one after the other on one thread.
double pipeStream(Way way, int size, int n)
{
    PipePair pipe;
    if (!pipe.ok()) return -1;
    Endpoint writer(way, size, 3), reader(way, size);
    bool ok = true;
    double start = now();
    for (int i = 0; i < n && ok; ++i)
        ok = writer.write(pipe.client, size) == size && reader.read(pipe.server, size) == size;
    double elapsed = now() - start;
    return ok && writer.clean() && reader.clean() ? elapsed : -1;
}

// pairs server/client pairs at once, each on its own thread streaming n
// messages of size bytes as pipeStream does; timed from the common start
// until the last thread is done.
double pipePairs(Way way, int pairs, int size, int n)
{
    std::vector<std::unique_ptr<PipePair>> pipes;
    for (int p = 0; p < pairs; ++p) {
        pipes.emplace_back(new PipePair);
        if (!pipes.back()->ok()) return -1;
    }
    HANDLE ready = CreateSemaphoreA(nullptr, 0, pairs, nullptr);
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    volatile LONG failed = 0;
    double elapsed;
    {
        std::vector<std::unique_ptr<TestThread>> threads;
        for (int p = 0; p < pairs; ++p) {
            PipePair* pipe = pipes[static_cast<size_t>(p)].get();
            threads.emplace_back(new TestThread([&, pipe] {
                Endpoint writer(way, size, 5), reader(way, size);
                ReleaseSemaphore(ready, 1, nullptr);
                WaitForSingleObject(go, INFINITE);
                for (int i = 0; i < n && !failed; ++i) {
                    if (writer.write(pipe->client, size) != size || reader.read(pipe->server, size) != size)
                        failed = 1;
                }
            }));
        }
        for (int i = 0; i < pairs; ++i) WaitForSingleObject(ready, INFINITE);
        double start = now();
        SetEvent(go);
        for (auto& thread : threads) thread->join();
        elapsed = now() - start;
    }
    CloseHandle(ready);
    CloseHandle(go);
    return failed ? -1 : elapsed;
}

// ---------------------------------------------------------- the comparisons

struct Case {
    std::string operation;
    double target;  // the highest native/direct ratio allowed; 0: no target
    bool available;
    std::function<std::string()> check;  // "" when the native gives the right answer
    Batch native, direct, alone;
};

struct TargetResult {
    std::string what;
    std::string measured;
    bool met;
};
std::vector<TargetResult> targetResults;

// Times a loop of n calls of call(jni) with a fresh test JNI environment; the
// last call's outcome must pass ok, or the batch counts as failed.
template <typename Prepare, typename Call, typename Ok>
double jniBatch(int n, Prepare prepare, Call call, Ok ok)
{
    TestJni jni;
    auto arguments = prepare(jni);
    bool good = true;
    double start = now();
    for (int i = 0; i < n; ++i) good = ok(jni, call(jni, arguments));
    double elapsed = now() - start;
    return good && jni.clean() ? elapsed : -1;
}

template <typename Call>
double plainBatch(int n, Call call)
{
    bool good = true;
    double start = now();
    for (int i = 0; i < n; ++i) good = call();
    double elapsed = now() - start;
    return good ? elapsed : -1;
}

std::string yesNo(bool met) { return met ? "yes" : "**no**"; }

void runComparisons(std::vector<Case>& cases)
{
    std::printf("### Native against its direct Win32 sequence\n\n");
    std::printf("Time per call in microseconds: median over the repetitions, (min-max). *Direct*: the same Win32 "
                "sequence with the same JNI acquisitions and result object, written out in the benchmark; "
                "*Win32 alone*: the bare Win32 calls with no JNI. The ratio is native/direct, repetition by "
                "repetition (each repetition runs the sides back to back, in rotating order).\n\n");
    std::printf("| Operation | Native | Direct | Win32 alone | Native / direct | Target | Met |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (Case& c : cases) {
        std::fprintf(stderr, "  %s\n", c.operation.c_str());
        std::string problem = !c.available ? "not available (not exported)" : "";
        if (problem.empty()) {
            std::string wrong = c.check();
            if (!wrong.empty()) problem = "FAILED: " + wrong;
        }
        std::vector<Side> sides = {{"native", problem.empty() ? c.native : Batch(), {}, false},
                                   {"direct", c.direct, {}, false},
                                   {"alone", c.alone, {}, false}};
        int n = calibrate(problem.empty() ? c.native : c.direct);
        if (n > 0) measure(sides, n);
        std::string nativeText = problem.empty() ? (sides[0].failed ? "FAILED during the run" : "") : problem;
        Stats nativeStats = statsOf(sides[0].perCall);
        Stats ratio = pairedRatio(sides[0], sides[1]);
        std::string targetText = c.target > 0 ? "<= " + formatNumber(c.target, 2) : "-";
        std::string met = "-";
        if (c.target > 0) {
            bool ok = nativeText.empty() && ratio.valid && ratio.median <= c.target;
            met = yesNo(ok);
            targetResults.push_back({c.operation + ": native/direct <= " + formatNumber(c.target, 2),
                                     ratio.valid ? formatStats(ratio, 1, 3) : nativeText, ok});
        }
        std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", c.operation.c_str(),
                    nativeText.empty() ? formatStats(nativeStats, 1e6).c_str() : nativeText.c_str(),
                    sides[1].failed ? "FAILED" : formatStats(statsOf(sides[1].perCall), 1e6).c_str(),
                    sides[2].failed ? "FAILED" : formatStats(statsOf(sides[2].perCall), 1e6).c_str(),
                    formatStats(ratio, 1, 3).c_str(), targetText.c_str(), met.c_str());
        std::fflush(stdout);
    }
    std::printf("\n");
}

std::vector<Case> comparisonCases()
{
    Natives& N = natives();
    std::vector<Case> cases;
    const std::string shortcut = shortcutFile();

    // ---- getEnvironmentVariable
    {
        auto prepare = [](TestJni& jni) { return jni.string(environmentName); };
        auto ok = [](TestJni&, jstring value) { return value != nullptr; };
        cases.push_back({"getEnvironmentVariable (31-character value)", 0, N.getEnvironmentVariable.resolved(),
                         [&N] {
                             TestJni jni;
                             jstring value = N.getEnvironmentVariable(jni, jni.string(environmentName));
                             if (!value || jni.utf8Bytes(value) != text31) return std::string("wrong value");
                             return jni.clean() ? std::string() : std::string("JNI misuse");
                         },
                         [=, &N](int n) {
                             return jniBatch(n, prepare,
                                             [&N](TestJni& jni, jstring name) { return N.getEnvironmentVariable(jni, name); },
                                             ok);
                         },
                         [=](int n) {
                             return jniBatch(n, prepare,
                                             [](TestJni& jni, jstring name) {
                                                 return direct::getEnvironmentVariable(jni.env(), jni.receiver(), name);
                                             },
                                             ok);
                         },
                         [](int n) {
                             return plainBatch(n, [] {
                                 char value[4096];
                                 return GetEnvironmentVariableA(environmentName, value, sizeof value) == 31;
                             });
                         }});
    }

    // ---- keyGetValue and keySetValue of a 32-byte REG_SZ and a 64 KiB REG_BINARY
    struct ValueCase {
        const char* label;
        std::string name;
        DWORD type;
        DWORD size;
    };
    const ValueCase values[] = {{"REG_SZ of 32 bytes", "sz32", REG_SZ, 32},
                                {"REG_BINARY of 64 KiB", binaryValueName(binarySize), REG_BINARY, binarySize}};
    for (const ValueCase& value : values) {
        std::string name = value.name;
        DWORD size = value.size;
        bool isString = value.type == REG_SZ;
        struct GetArgs {
            jstring path, name;
        };
        auto prepare = [name](TestJni& jni) { return GetArgs{jni.string(sandboxKey), jni.string(name)}; };
        auto ok = [isString, size](TestJni& jni, jobject result) {
            return result && (isString ? jni.isString(result) : jni.arrayBytes(result).size() == size);
        };
        cases.push_back({std::string("keyGetValue, ") + value.label, 1.10, N.keyGetValue.resolved(),
                         [&N, name, isString, size] {
                             TestJni jni;
                             jobject result = N.keyGetValue(jni, currentUser, jni.string(sandboxKey), jni.string(name));
                             bool right = result && (isString ? jni.isString(result) && jni.utf8Bytes(result) == text31
                                                              : jni.arrayBytes(result) == pattern(size, 1));
                             if (!right) return std::string("wrong value");
                             return jni.clean() ? std::string() : std::string("JNI misuse");
                         },
                         [=, &N](int n) {
                             return jniBatch(n, prepare,
                                             [&N](TestJni& jni, GetArgs a) { return N.keyGetValue(jni, currentUser, a.path, a.name); },
                                             ok);
                         },
                         [=](int n) {
                             return jniBatch(n, prepare,
                                             [](TestJni& jni, GetArgs a) {
                                                 return direct::keyGetValue(jni.env(), jni.receiver(), currentUser, a.path, a.name);
                                             },
                                             ok);
                         },
                         [name, size](int n) {
                             return plainBatch(n, [&] {
                                 HKEY key;
                                 if (RegOpenKeyExA(HKEY_CURRENT_USER, sandboxKey, 0, KEY_READ, &key)) return false;
                                 DWORD type, length = 0;
                                 LONG status = RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &length);
                                 char* data = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, length + 1));
                                 status = status ? status
                                                 : RegQueryValueExA(key, name.c_str(), nullptr, &type,
                                                                    reinterpret_cast<BYTE*>(data), &length);
                                 RegCloseKey(key);
                                 HeapFree(GetProcessHeap(), 0, data);
                                 return status == ERROR_SUCCESS && length == size;
                             });
                         }});
    }
    for (const ValueCase& value : values) {
        std::string label = value.label;
        DWORD type = value.type;
        DWORD size = value.size;
        std::string name = "set" + value.name;
        struct SetArgs {
            jstring path, name;
            jobject value;
        };
        auto prepare = [name, type, size](TestJni& jni) {
            jobject object = type == REG_SZ ? static_cast<jobject>(jni.string(text31))
                                            : static_cast<jobject>(jni.bytes(pattern(size, 2)));
            return SetArgs{jni.string(sandboxKey), jni.string(name), object};
        };
        auto ok = [](TestJni& jni, bool) { return !jni.exceptionPending(); };
        auto stored = [name, type, size] {
            HKEY key;
            if (RegOpenKeyExA(HKEY_CURRENT_USER, sandboxKey, 0, KEY_READ, &key)) return false;
            std::vector<uint8_t> data(size + 16);
            DWORD actualType = 0, length = static_cast<DWORD>(data.size());
            LONG status = RegQueryValueExA(key, name.c_str(), nullptr, &actualType, data.data(), &length);
            RegCloseKey(key);
            data.resize(length);
            std::vector<uint8_t> expected =
                type == REG_SZ ? std::vector<uint8_t>(text31, text31 + 32) : pattern(size, 2);
            return status == ERROR_SUCCESS && actualType == type && data == expected;
        };
        cases.push_back({"keySetValue, " + label, 1.10, N.keySetValue.resolved(),
                         [&N, prepare, type, stored, name] {
                             RegDeleteKeyValueA(HKEY_CURRENT_USER, sandboxKey, name.c_str());
                             TestJni jni;
                             SetArgs a = prepare(jni);
                             N.keySetValue(jni, currentUser, a.path, a.name, static_cast<jint>(type), a.value, JNI_FALSE);
                             if (jni.exceptionPending()) return "exception " + jni.pendingMessage();
                             if (!stored()) return std::string("value not stored as given");
                             return jni.clean() ? std::string() : std::string("JNI misuse");
                         },
                         [=, &N](int n) {
                             return jniBatch(n, prepare,
                                             [&N, type](TestJni& jni, SetArgs a) {
                                                 N.keySetValue(jni, currentUser, a.path, a.name, static_cast<jint>(type),
                                                               a.value, JNI_FALSE);
                                                 return true;
                                             },
                                             ok);
                         },
                         [=](int n) {
                             return jniBatch(n, prepare,
                                             [type](TestJni& jni, SetArgs a) {
                                                 direct::keySetValue(jni.env(), jni.receiver(), currentUser, a.path, a.name,
                                                                     static_cast<jint>(type), a.value, JNI_FALSE);
                                                 return true;
                                             },
                                             ok);
                         },
                         [name, type, size](int n) {
                             std::vector<uint8_t> data =
                                 type == REG_SZ ? std::vector<uint8_t>(text31, text31 + 32) : pattern(size, 2);
                             return plainBatch(n, [&] {
                                 HKEY key;
                                 if (RegOpenKeyExA(HKEY_CURRENT_USER, sandboxKey, 0, KEY_ALL_ACCESS, &key)) return false;
                                 LONG status = RegSetValueExA(key, name.c_str(), 0, type, data.data(), size);
                                 RegCloseKey(key);
                                 return status == ERROR_SUCCESS;
                             });
                         }});
    }

    // ---- keyExists
    {
        auto prepare = [](TestJni& jni) { return jni.string(sandboxKey); };
        auto ok = [](TestJni&, jboolean exists) { return exists != JNI_FALSE; };
        cases.push_back({"keyExists", 1.10, N.keyExists.resolved(),
                         [&N] {
                             TestJni jni;
                             if (!N.keyExists(jni, currentUser, jni.string(sandboxKey))) return std::string("false for the sandbox key");
                             if (N.keyExists(jni, currentUser, jni.string("Software\\ZarnwinBench\\missing")))
                                 return std::string("true for a missing key");
                             return jni.clean() ? std::string() : std::string("JNI misuse");
                         },
                         [=, &N](int n) {
                             return jniBatch(n, prepare, [&N](TestJni& jni, jstring path) { return N.keyExists(jni, currentUser, path); }, ok);
                         },
                         [=](int n) {
                             return jniBatch(n, prepare,
                                             [](TestJni& jni, jstring path) {
                                                 return direct::keyExists(jni.env(), jni.receiver(), currentUser, path);
                                             },
                                             ok);
                         },
                         [](int n) {
                             return plainBatch(n, [] {
                                 HKEY key;
                                 if (RegOpenKeyExA(HKEY_CURRENT_USER, sandboxKey, 0, KEY_READ, &key)) return false;
                                 RegCloseKey(key);
                                 return true;
                             });
                         }});
    }

    // ---- pipe round trips
    bool pipes = N.read.resolved() && N.write.resolved();
    for (int size : {64, 64 * 1024, 1024 * 1024}) {
        cases.push_back({"pipe round trip (write, read, write, read), " + sizeText(size), 1.10, pipes,
                         [size] { return checkRoundTrip(Way::Native, size); },
                         [size](int n) { return pipeRoundTrips(Way::Native, size, n); },
                         [size](int n) { return pipeRoundTrips(Way::Direct, size, n); },
                         [size](int n) { return pipeRoundTrips(Way::Alone, size, n); }});
    }

    // ---- createWindow with destroyWindow
    {
        struct WindowArgs {
            jstring title, className;
        };
        auto prepare = [](TestJni& jni) { return WindowArgs{jni.string("zarnwin32 bench"), jni.string(windowClass)}; };
        auto ok = [](TestJni&, jint hwnd) { return hwnd != 0 && hwnd != -1; };
        auto batch = [prepare, ok](auto create, auto destroy) {
            return [=](int n) {
                double seconds = jniBatch(n, prepare,
                                          [=](TestJni& jni, WindowArgs a) {
                                              jint hwnd = create(jni, a);
                                              destroy(jni, hwnd);
                                              return hwnd;
                                          },
                                          ok);
                pumpMessages();
                return seconds;
            };
        };
        cases.push_back(
            {"createWindow + destroyWindow", 0, N.createWindow.resolved() && N.destroyWindow.resolved(),
             [&N] {
                 TestJni jni;
                 jint hwnd = N.createWindow(jni, jni.string("zarnwin32 bench"), jni.string(windowClass), 0, 0, 10, 10, 200, 100);
                 if (hwnd == 0 || hwnd == -1) return std::string("no window");
                 HWND window = reinterpret_cast<HWND>(static_cast<intptr_t>(hwnd));
                 bool right = IsWindow(window) && !IsWindowVisible(window);
                 N.destroyWindow(jni, hwnd);
                 pumpMessages();
                 if (!right || IsWindow(window)) return std::string("window not as made or not destroyed");
                 return jni.clean() ? std::string() : std::string("JNI misuse");
             },
             batch([&N](TestJni& jni, WindowArgs a) { return N.createWindow(jni, a.title, a.className, 0, 0, 10, 10, 200, 100); },
                   [&N](TestJni& jni, jint hwnd) { N.destroyWindow(jni, hwnd); }),
             batch([](TestJni& jni, WindowArgs a) {
                       return direct::createWindow(jni.env(), jni.receiver(), a.title, a.className, 0, 0, 10, 10, 200, 100);
                   },
                   [](TestJni& jni, jint hwnd) { direct::destroyWindow(jni.env(), jni.receiver(), hwnd); }),
             [](int n) {
                 double seconds = plainBatch(n, [] {
                     WNDCLASSA windowClassInfo = {};
                     windowClassInfo.style = CS_VREDRAW | CS_HREDRAW | CS_NOCLOSE | CS_GLOBALCLASS;
                     windowClassInfo.lpfnWndProc = DefWindowProcA;
                     windowClassInfo.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_SCROLLBAR + 1);
                     windowClassInfo.lpszClassName = windowClass;
                     RegisterClassA(&windowClassInfo);
                     HWND window = CreateWindowExA(0, windowClass, "zarnwin32 bench", WS_POPUP | WS_CAPTION | WS_SYSMENU, 10,
                                                   10, 200, 100, nullptr, nullptr, nullptr, nullptr);
                     if (!window) return false;
                     DestroyWindow(window);
                     return true;
                 });
                 pumpMessages();
                 return seconds;
             }});
    }

    // ---- winCreateShortcut
    {
        struct ShortcutArgs {
            jstring target, arguments, file, description, folder;
        };
        auto prepare = [shortcut](TestJni& jni) {
            return ShortcutArgs{jni.string("C:\\windows\\notepad.exe"), jni.string("--bench"), jni.string(shortcut),
                                jni.string("zarnwin32 benchmark"), jni.string("C:\\windows")};
        };
        auto ok = [](TestJni&, jint) { return true; };
        cases.push_back(
            {"winCreateShortcut", 0, N.winCreateShortcut.resolved(),
             [&N, prepare, shortcut] {
                 DeleteFileA(shortcut.c_str());
                 TestJni jni;
                 ShortcutArgs a = prepare(jni);
                 N.winCreateShortcut(jni, a.target, a.arguments, a.file, a.description, a.folder, 1);
                 if (GetFileAttributesA(shortcut.c_str()) == INVALID_FILE_ATTRIBUTES) return std::string("no file written");
                 return jni.clean() ? std::string() : std::string("JNI misuse");
             },
             [=, &N](int n) {
                 return jniBatch(n, prepare,
                                 [&N](TestJni& jni, ShortcutArgs a) {
                                     return N.winCreateShortcut(jni, a.target, a.arguments, a.file, a.description, a.folder, 1);
                                 },
                                 ok);
             },
             [=](int n) {
                 return jniBatch(n, prepare,
                                 [](TestJni& jni, ShortcutArgs a) {
                                     return direct::winCreateShortcut(jni.env(), jni.receiver(), a.target, a.arguments,
                                                                      a.file, a.description, a.folder, 1);
                                 },
                                 ok);
             },
             [shortcut](int n) {
                 std::wstring path(shortcut.begin(), shortcut.end());
                 return plainBatch(n, [&] {
                     HRESULT apartment = CoInitialize(nullptr);
                     IShellLinkA* link = nullptr;
                     bool saved = false;
                     if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                                    reinterpret_cast<void**>(&link)))) {
                         link->SetPath("C:\\windows\\notepad.exe");
                         link->SetArguments("--bench");
                         link->SetDescription("zarnwin32 benchmark");
                         link->SetShowCmd(1);
                         link->SetWorkingDirectory("C:\\windows");
                         IPersistFile* file = nullptr;
                         if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
                             saved = SUCCEEDED(file->Save(path.c_str(), TRUE));
                             file->Release();
                         }
                         link->Release();
                     }
                     if (SUCCEEDED(apartment)) CoUninitialize();
                     return saved;
                 });
             }});
    }
    return cases;
}

// ---------------------------------------------------------------- growth

unsigned long processors()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

std::vector<Side> twoSides(bool available, Batch native, Batch direct)
{
    return {{"native", available ? native : Batch(), {}, false}, {"direct", direct, {}, false}};
}

std::vector<double> throughputs(const Side& side, double bytesPerOperation)
{
    std::vector<double> values;
    for (double seconds : side.perCall) values.push_back(bytesPerOperation / seconds / 1e6);
    return values;
}

void runThroughput()
{
    bool available = natives().read.resolved() && natives().write.resolved();
    std::printf("### Pipe throughput by message size\n\n");
    std::printf("Each message written to the client end and read from the server end, both by the natives or both "
                "by the direct sequence, on one thread (the pipe's 2 MiB buffer holds the message, so neither call "
                "waits for the other end). MB/s with 1 MB = 10^6 bytes; median (min-max).\n\n");
    std::printf("| Message | Native MB/s | Direct MB/s | Native / direct | Target | Met |\n|---|---|---|---|---|---|\n");
    for (int size = 1; size <= 1024 * 1024; size *= 4) {
        std::fprintf(stderr, "  stream of %s messages\n", sizeText(size).c_str());
        bool problem = available && !checkRoundTrip(Way::Native, size).empty();
        std::vector<Side> sides =
            twoSides(available && !problem, [size](int n) { return pipeStream(Way::Native, size, n); },
                     [size](int n) { return pipeStream(Way::Direct, size, n); });
        int n = calibrate(sides[0].batch ? sides[0].batch : sides[1].batch);
        if (n > 0) measure(sides, n);
        Stats ratio = pairedRatio(sides[1], sides[0]);  // direct time / native time = native MB/s / direct MB/s
        std::string nativeText = !available ? "not available" : problem ? "FAILED" : sides[0].failed ? "FAILED during the run"
                                                                                                       : formatStats(statsOf(throughputs(sides[0], size)), 1);
        std::string target = "-", met = "-";
        if (size == 1024 * 1024) {
            bool ok = available && !problem && ratio.valid && ratio.median >= 0.95;
            target = ">= 0.95";
            met = yesNo(ok);
            targetResults.push_back({"pipe throughput, 1 MiB messages: native/direct >= 0.95",
                                     ratio.valid ? formatStats(ratio, 1, 3) : nativeText, ok});
        }
        std::printf("| %s | %s | %s | %s | %s | %s |\n", sizeText(size).c_str(), nativeText.c_str(),
                    formatStats(statsOf(throughputs(sides[1], size)), 1).c_str(), formatStats(ratio, 1, 3).c_str(),
                    target.c_str(), met.c_str());
        std::fflush(stdout);
    }
    std::printf("\n");
}

void runPairs()
{
    bool available = natives().read.resolved() && natives().write.resolved();
    const int size = 64 * 1024;
    std::printf("### Pipe throughput with concurrent server/client pairs\n\n");
    std::printf("Each pair: its own pipe and its own thread, which writes 64 KiB messages to the client end and "
                "reads them from the server end as above; MB/s of all pairs together, from the common start until "
                "the last thread is done. The machine has %lu logical processors.\n\n", processors());
    std::printf("| Pairs | Native MB/s | Direct MB/s | Native / direct |\n|---|---|---|---|\n");
    for (int pairs : {1, 2, 4, 8}) {
        std::fprintf(stderr, "  %d concurrent pairs\n", pairs);
        std::vector<Side> sides =
            twoSides(available, [pairs](int n) { return pipePairs(Way::Native, pairs, size, n); },
                     [pairs](int n) { return pipePairs(Way::Direct, pairs, size, n); });
        int n = calibrate(sides[0].batch ? sides[0].batch : sides[1].batch);
        if (n > 0) measure(sides, n);
        double bytes = static_cast<double>(size) * pairs;
        std::string nativeText = !available ? "not available" : sides[0].failed ? "FAILED during the run"
                                                                                  : formatStats(statsOf(throughputs(sides[0], bytes)), 1);
        std::printf("| %d | %s | %s | %s |\n", pairs, nativeText.c_str(),
                    formatStats(statsOf(throughputs(sides[1], bytes)), 1).c_str(),
                    formatStats(pairedRatio(sides[1], sides[0]), 1, 3).c_str());
        std::fflush(stdout);
    }
    std::printf("\n");
}

// Round trips through arrays that a JVM hands out as a copy of the whole array
// (HotSpot) or as the array itself (a JVM that pins): a short message in a
// large array, the usual way to use a pipe, must not pay for the array's size,
// and no message size may pay for it either.
void runArrays()
{
    bool available = natives().read.resolved() && natives().write.resolved();
    const int small = 64, large = 1024 * 1024;
    std::printf("### Byte arrays as a JVM hands them out\n\n");
    std::printf("Round trips as in the comparisons (write, read, write back, read back; each read asks for the "
                "whole array), by the natives and by the "
                "element sequence (GetByteArrayElements, the call, ReleaseByteArrayElements in mode 0), with the "
                "test JNI environment handing out elements as a fresh copy of the whole array that a mode-0 release "
                "copies back whole (HotSpot), or as the array itself (a pinning JVM). Microseconds per round trip; "
                "median (min-max).\n\n");
    std::printf("| Elements | Message | Array | Native us | Element sequence us | Native / element sequence |\n"
                "|---|---|---|---|---|---|\n");
    for (ArrayMode mode : {ArrayMode::Copy, ArrayMode::Pinned}) {
        const char* modeText = mode == ArrayMode::Copy ? "copy (HotSpot)" : "pinned";
        std::fprintf(stderr, "  arrays: %s\n", modeText);
        struct Shape { int message, array; };
        const Shape shapes[] = {{small, small}, {small, large}, {large, large}};
        std::vector<Side> sides;
        for (const Shape& shape : shapes) {
            for (Way way : {Way::Native, Way::Direct}) {
                Side side;
                side.name = sizeText(shape.message) + " in " + sizeText(shape.array);
                if (available)
                    side.batch = [=](int n) { return pipeRoundTrips(way, shape.message, n, shape.array, mode); };
                sides.push_back(side);
            }
        }
        bool problem = !available;
        for (const Shape& shape : shapes) problem = problem || !checkRoundTrip(Way::Native, shape.message).empty();
        // The four sides of 64 B messages together, so that their ratios pair
        // batches run side by side; the 1 MiB messages apart, with fewer calls.
        // Each group is calibrated on its slowest side.
        if (!problem) {
            std::vector<Side> shortSides(sides.begin(), sides.begin() + 4), longSides(sides.begin() + 4, sides.end());
            int n = calibrate(shortSides[3].batch);
            if (n > 0) measure(shortSides, n);
            n = calibrate(longSides[1].batch);
            if (n > 0) measure(longSides, n);
            std::copy(shortSides.begin(), shortSides.end(), sides.begin());
            std::copy(longSides.begin(), longSides.end(), sides.begin() + 4);
        }
        for (size_t k = 0; k < 3; ++k) {
            const Side& native = sides[2 * k];
            const Side& direct = sides[2 * k + 1];
            std::printf("| %s | %s | %s | %s | %s | %s |\n", modeText, sizeText(shapes[k].message).c_str(),
                        sizeText(shapes[k].array).c_str(),
                        native.failed || problem ? "FAILED" : formatStats(statsOf(native.perCall), 1e6).c_str(),
                        formatStats(statsOf(direct.perCall), 1e6).c_str(), formatStats(pairedRatio(native, direct), 1, 3).c_str());
        }
        // Targets: what the array's size costs a short message, and what the
        // change costs a long one, against the element sequence.
        auto target = [&](const std::string& what, const Stats& ratio, double limit) {
            bool ok = !problem && ratio.valid && ratio.median <= limit;
            targetResults.push_back({what + " <= " + formatNumber(limit, 2),
                                     ratio.valid ? formatStats(ratio, 1, 3) : "FAILED", ok});
        };
        if (mode == ArrayMode::Copy) {
            Stats nativeGrowth = pairedRatio(sides[2], sides[0]);
            Stats directGrowth = pairedRatio(sides[3], sides[1]);
            std::printf("\nA 64 B message through a 1 MiB array against the same message through a 64 B array: "
                        "natives %s, element sequence %s (the natives' own sequence before they moved only the "
                        "bytes transferred).\n\n", formatStats(nativeGrowth, 1, 3).c_str(),
                        formatStats(directGrowth, 1, 3).c_str());
            target("copying JVM, 64 B message: 1 MiB array / 64 B array", nativeGrowth, 1.10);
            target("copying JVM, 1 MiB round trip: native / element sequence", pairedRatio(sides[4], sides[5]), 1.05);
        } else {
            target("pinning JVM, 64 B message in 1 MiB array: native / element sequence",
                   pairedRatio(sides[2], sides[3]), 1.05);
            target("pinning JVM, 1 MiB round trip: native / element sequence", pairedRatio(sides[4], sides[5]), 1.05);
        }
        std::fflush(stdout);
    }
    std::printf("\n");
}

void runGrowth()
{
    Natives& N = natives();
    std::printf("### keyGetValue time by REG_BINARY size\n\n");
    std::printf("Microseconds per call, median (min-max); the direct sequence as above.\n\n");
    std::printf("| Size | Native us | Direct us | Native / direct |\n|---|---|---|---|\n");
    for (int size : growthSizes()) {
        std::fprintf(stderr, "  keyGetValue of %s\n", sizeText(size).c_str());
        std::string name = binaryValueName(size);
        struct GetArgs {
            jstring path, name;
        };
        auto prepare = [name](TestJni& jni) { return GetArgs{jni.string(sandboxKey), jni.string(name)}; };
        auto ok = [size](TestJni& jni, jobject result) {
            return result && jni.arrayBytes(result).size() == static_cast<size_t>(size);
        };
        std::vector<Side> sides = twoSides(
            N.keyGetValue.resolved(),
            [=, &N](int n) {
                return jniBatch(n, prepare,
                                [&N](TestJni& jni, GetArgs a) { return N.keyGetValue(jni, currentUser, a.path, a.name); }, ok);
            },
            [=](int n) {
                return jniBatch(n, prepare,
                                [](TestJni& jni, GetArgs a) {
                                    return direct::keyGetValue(jni.env(), jni.receiver(), currentUser, a.path, a.name);
                                },
                                ok);
            });
        int n = calibrate(sides[0].batch ? sides[0].batch : sides[1].batch);
        if (n > 0) measure(sides, n);
        std::string nativeText = !N.keyGetValue.resolved() ? "not available" : sides[0].failed ? "FAILED"
                                                                                                : formatStats(statsOf(sides[0].perCall), 1e6);
        std::printf("| %s | %s | %s | %s |\n", sizeText(size).c_str(), nativeText.c_str(),
                    formatStats(statsOf(sides[1].perCall), 1e6).c_str(),
                    formatStats(pairedRatio(sides[0], sides[1]), 1, 3).c_str());
        std::fflush(stdout);
    }
    std::printf("\n");
}

// ------------------------------------------------------------ allocations

void runAllocations()
{
    Natives& N = natives();
    std::fprintf(stderr, "  heap allocations\n");
    AllocationCounter counter(library());
    std::string hooked;
    for (const std::string& name : counter.hooked()) hooked += (hooked.empty() ? "" : ", ") + name;

    std::printf("### Heap allocations of the library's own\n\n");
    std::printf("Every allocator that the DLL imports (%s) is pointed, in the DLL's import table, at a counting "
                "stand-in (`AllocationCounter`, tests/testjni/iat_hook.h); the count covers the calls the library "
                "makes itself, not those of Windows or of the JVM (here the test JNI environment, whose "
                "`GetByteArrayElements` copy is the JVM's). The other end of the pipe is served by bare "
                "ReadFile/WriteFile from the benchmark, outside the DLL. keyGetValue, which allocates its data buffer by design, shows that "
                "the counter sees the library's allocations.\n\n",
                hooked.empty() ? "none found" : hooked.c_str());
    std::printf("| Native | Calls | Allocation calls | Per call | Target | Met |\n|---|---|---|---|---|---|\n");

    auto row = [&](const std::string& what, bool available, int calls, const std::function<bool()>& run, bool zero) {
        if (!available) {
            std::printf("| %s | - | not available | - | %s | - |\n", what.c_str(), zero ? "0" : "-");
            return;
        }
        counter.reset();
        bool ran = run();
        long count = counter.count();
        std::string met = "-";
        if (zero) {
            bool ok = ran && count == 0;
            met = yesNo(ok);
            targetResults.push_back({what + ": no heap allocation of the library's own",
                                     std::to_string(count) + " in " + std::to_string(calls) + " calls", ok});
        }
        std::printf("| %s | %d | %s | %s | %s | %s |\n", what.c_str(), calls,
                    ran ? std::to_string(count).c_str() : "FAILED", formatNumber(static_cast<double>(count) / calls, 2).c_str(),
                    zero ? "0" : "-", met.c_str());
    };

    const int calls = 1000;
    row("getEnvironmentVariable", N.getEnvironmentVariable.resolved(), calls, [&] {
        TestJni jni;
        jstring name = jni.string(environmentName);
        bool ok = true;
        for (int i = 0; i < calls; ++i) ok = N.getEnvironmentVariable(jni, name) != nullptr && ok;
        return ok;
    }, true);

    bool pipes = N.read.resolved() && N.write.resolved();
    for (int size : {64, 64 * 1024, 1024 * 1024}) {
        int count = size >= 1024 * 1024 ? 50 : calls;
        // write: the native writes each message, bare ReadFile takes it from the other end.
        row("write, " + sizeText(size), pipes, count, [&] {
            PipePair pipe;
            if (!pipe.ok()) return false;
            Endpoint native(Way::Native, size), peer(Way::Alone, size);
            bool ok = true;
            for (int i = 0; i < count && ok; ++i)
                ok = native.write(pipe.client, size) == size && peer.read(pipe.server, size) == size;
            return ok;
        }, true);
        // read: bare WriteFile puts each message in, the native reads it.
        row("read, " + sizeText(size), pipes, count, [&] {
            PipePair pipe;
            if (!pipe.ok()) return false;
            Endpoint native(Way::Native, size), peer(Way::Alone, size);
            bool ok = true;
            for (int i = 0; i < count && ok; ++i)
                ok = peer.write(pipe.client, size) == size && native.read(pipe.server, size) == size;
            return ok;
        }, true);
    }

    const int few = 100;
    row("keyGetValue, REG_BINARY of 64 KiB (allocates its data buffer by design)", N.keyGetValue.resolved(), few, [&] {
        TestJni jni;
        jstring path = jni.string(sandboxKey), name = jni.string(binaryValueName(binarySize));
        bool ok = true;
        for (int i = 0; i < few; ++i) ok = N.keyGetValue(jni, currentUser, path, name) != nullptr && ok;
        return ok;
    }, false);
    row("keySetValue, REG_BINARY of 64 KiB", N.keySetValue.resolved(), few, [&] {
        TestJni jni;
        jstring path = jni.string(sandboxKey), name = jni.string("setbin");
        jbyteArray value = jni.bytes(pattern(binarySize, 2));
        for (int i = 0; i < few; ++i) N.keySetValue(jni, currentUser, path, name, REG_BINARY, value, JNI_FALSE);
        return !jni.exceptionPending();
    }, false);
    row("keyExists", N.keyExists.resolved(), few, [&] {
        TestJni jni;
        jstring path = jni.string(sandboxKey);
        bool ok = true;
        for (int i = 0; i < few; ++i) ok = N.keyExists(jni, currentUser, path) && ok;
        return ok;
    }, false);
    std::printf("\n");
}

// ------------------------------------------------------------------- main

std::string architecture() { return sizeof(void*) == 8 ? "x64" : "x86"; }

}  // namespace

int main(int argc, char** argv)
{
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--reps") settings().repetitions = std::atoi(argv[i + 1]);
        else if (option == "--batch-ms") settings().batchSeconds = std::atof(argv[i + 1]) / 1000;
        else if (option == "--only") only = argv[i + 1];
        else {
            std::fprintf(stderr, "usage: bench.exe [--reps N] [--batch-ms MS] [--only SECTION]\n");
            return 2;
        }
    }
    double started = now();
    std::fprintf(stderr, "bench (%s): loading %s\n", architecture().c_str(), libraryName);
    if (!library()) {
        std::printf("%s did not load (error %lu)\n", libraryName, GetLastError());
        return 1;
    }
    if (!SetEnvironmentVariableA(environmentName, text31) || !createSandbox()) {
        std::printf("could not prepare the environment variable or the registry sandbox HKCU\\%s\n", sandboxKey);
        removeSandbox();
        return 1;
    }

    auto wanted = [&only](const char* section) {
        return only.empty() || ("," + only + ",").find("," + std::string(section) + ",") != std::string::npos;
    };
    if (wanted("compare")) {
        std::vector<Case> cases = comparisonCases();
        runComparisons(cases);
    }
    if (wanted("throughput")) runThroughput();
    if (wanted("arrays")) runArrays();
    if (wanted("pairs")) runPairs();
    if (wanted("growth")) runGrowth();
    if (wanted("allocations")) runAllocations();

    DeleteFileA(shortcutFile().c_str());
    bool removed = removeSandbox();

    // Lines for scripts/bench.sh, which gathers the targets of every run into one table.
    for (const TargetResult& result : targetResults)
        std::printf("@target %s | %s | %s | %s\n", architecture().c_str(), result.what.c_str(), result.measured.c_str(),
                    yesNo(result.met).c_str());
    std::printf("@run %s | sections %s | %d repetitions of about %s ms | %s s | sandbox HKCU\\%s %s\n",
                architecture().c_str(), only.empty() ? "all" : only.c_str(), settings().repetitions,
                formatNumber(settings().batchSeconds * 1000, 0).c_str(), formatNumber(now() - started, 0).c_str(),
                sandboxKey, removed ? "removed" : "NOT removed");
    return removed ? 0 : 1;
}
