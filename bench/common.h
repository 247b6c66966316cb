// What the sections of the benchmark share: the natives as a JVM finds them,
// the fixed test data and the registry sandbox, batches of JNI calls, and the
// targets that every section adds to.
#ifndef ZARN_BENCH_COMMON_H
#define ZARN_BENCH_COMMON_H

#include "harness.h"
#include "natives.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// ---- The natives, resolved in a copy of the library by their exported names.
struct Natives {
    explicit Natives(HMODULE library) : module(library) {}
    HMODULE module;
    testjni::Native<jstring(jstring)> getEnvironmentVariable{
        std::string(testjni::win32Package) + "Environment_getEnvironmentVariable", module};
    testjni::Native<jobject(jint, jstring, jstring)> keyGetValue{std::string(testjni::win32Package) + "Registry_keyGetValue",
                                                                 module};
    testjni::Native<void(jint, jstring, jstring, jint, jobject, jboolean)> keySetValue{
        std::string(testjni::win32Package) + "Registry_keySetValue", module};
    testjni::Native<jboolean(jint, jstring)> keyExists{std::string(testjni::win32Package) + "Registry_keyExists", module};
    testjni::Native<jobjectArray(jint, jstring)> keyGetSubKeys{std::string(testjni::win32Package) + "Registry_keyGetSubKeys",
                                                               module};
    testjni::Native<jint()> watchEvent{std::string(testjni::win32Package) + "Registry_watchEvent", module};
    testjni::Native<jint(jint, jstring, jboolean, jint)> watchOpen{std::string(testjni::win32Package) + "Registry_watchOpen",
                                                                   module};
    testjni::Native<jint(jint, jint, jboolean, jint)> watchAwait{std::string(testjni::win32Package) + "Registry_watchAwait",
                                                                 module};
    testjni::Native<void(jint, jint)> watchClose{std::string(testjni::win32Package) + "Registry_watchClose", module};
    testjni::Native<jint(jint, jbyteArray, jint)> read{std::string(testjni::pipePackage) + "WinPipe_read", module};
    testjni::Native<jint(jint, jbyteArray, jint)> write{std::string(testjni::pipePackage) + "WinPipe_write", module};
    testjni::Native<jint(jstring, jstring, jint, jint, jint, jint, jint, jint)> createWindow{
        std::string(testjni::win32Package) + "Window_createWindow", module};
    testjni::Native<void(jint)> destroyWindow{std::string(testjni::win32Package) + "Window_destroyWindow", module};
    testjni::Native<jint(jstring, jstring, jstring, jstring, jstring, jint)> winCreateShortcut{
        std::string(testjni::win32Package) + "Win32File_winCreateShortcut", module};
};
// The library as the benchmark loads it: in the default (ansi) text mode.
Natives& natives();
// A copy of the library under another file name, loaded beside it with
// zarnwin32.text=unicode: its natives in unicode mode, in the same run.
Natives& unicodeNatives();

// How an operation is made: by the native, by its direct sequence, or by the
// bare Win32 calls.
enum class Way { Native, Direct, Alone };

template <typename Handle>
jint toJint(Handle handle)
{
    return static_cast<jint>(reinterpret_cast<intptr_t>(handle));
}

// ---- Fixed test data.
const jint currentUser = static_cast<jint>(0x80000001);
const char* const sandboxKey = "Software\\ZarnwinBench";
const char* const environmentName = "ZARN_BENCH_VALUE";
const char* const text31 = "0123456789abcdefghijklmnopqrstu";  // 31 characters: 32 bytes with the NUL
const int binarySize = 64 * 1024;
// The sandbox's key of listSize sub-keys, named by subKeyName(0) to subKeyName(listSize - 1).
const char* const listKey = "Software\\ZarnwinBench\\list";
const int listSize = 1000;
std::string subKeyName(int i);
// Large enough for a 1 MiB message, so that a write completes without a reader waiting.
const DWORD pipeBufferSize = 2 * 1024 * 1024;
const char* const windowClass = "ZarnBenchWindow";

std::vector<uint8_t> pattern(size_t size, unsigned seed);
std::string binaryValueName(int size);
// The REG_BINARY sizes of the growth section: 16 B to 1 MiB by fours.
std::vector<int> growthSizes();
std::string sizeText(int size);

// The sandbox key HKCU\sandboxKey with the values that the sections read.
bool createSandbox();
// True when the sandbox key is gone afterwards.
bool removeSandbox();

// ---- Batches and results.

// One operation of the comparison table: the native, its direct sequence and
// the bare Win32 calls.
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
// Every section's targets, printed at the end for scripts/bench.sh.
extern std::vector<TargetResult> targetResults;

std::string yesNo(bool met);

// Times a loop of n calls of call(jni) with a fresh test JNI environment; the
// last call's outcome must pass ok, or the batch counts as failed.
template <typename Prepare, typename Call, typename Ok>
double jniBatch(int n, Prepare prepare, Call call, Ok ok)
{
    testjni::TestJni jni;
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

// A native side (none when the native is not available) and a direct side.
std::vector<Side> twoSides(bool available, Batch native, Batch direct);

// One row of the allocation table: the library's allocations while run() makes
// calls calls of the native; zero: the native must make none.
using AllocationRow =
    std::function<void(const std::string& what, bool available, int calls, const std::function<bool()>& run, bool zero)>;

}  // namespace bench

#endif
