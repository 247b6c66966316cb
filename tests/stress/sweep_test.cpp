// Every native against bad arguments, failing JNI acquisitions and a long
// seeded random sequence of calls: no crash, the failure value or exception
// the native's rules give, nothing left outstanding in the JNI environment,
// no handle left open and no change under HKEY_CURRENT_USER outside the
// sandbox key.
#include "bed.h"

#include <cstdlib>
#include <random>

using namespace stress;
using testjni::Fn;

namespace {

// ZARN_TRACE=1 prints each call before it is made: the way to find a call that hangs.
const bool tracing = std::getenv("ZARN_TRACE") != nullptr;

std::string argsText(const std::vector<Arg>& args)
{
    std::string text;
    for (const Arg& a : args) text += (text.empty() ? "" : ", ") + (a.ref ? std::string("ref") : std::to_string(a.i));
    return text;
}

class WholeLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const Entry& e : nativeTable()) ASSERT_TRUE(e.resolved) << e.name << " is not exported";
    }
};

// One pass: each argument of each native replaced in turn by each value of its role.
void sweepOnce(Bed& bed)
{
    for (const Entry& e : nativeTable()) {
        for (size_t n = 0; n < e.roles.size(); ++n) {
            TestJni jni;
            for (const Arg& value : bed.variants(jni, e.roles[n])) {
                std::vector<Arg> args = bed.baseArgs(jni, e);
                args[n] = value;
                if (tracing) std::printf("%s(%s)\n", e.name.c_str(), argsText(args).c_str()), std::fflush(stdout);
                Outcome outcome = e.call(jni, args);
                bed.afterCall(jni, e, args, outcome, e.name + "(" + argsText(args) + ")");
            }
        }
        if (e.roles.empty()) {
            TestJni jni;
            Outcome outcome = e.call(jni, {});
            bed.afterCall(jni, e, {}, outcome, e.name + "()");
        }
    }
}

TEST_F(WholeLibrary, ArgumentSweepKeepsEveryRuleAndLeavesNothingBehind)
{
    std::string before = dumpCurrentUser();
    Bed bed;
    sweepOnce(bed);  // the first pass also opens what Windows keeps open once used
    DWORD handles = testjni::processHandleCount();
    sweepOnce(bed);
    EXPECT_EQ(testjni::processHandleCount(), handles);
    EXPECT_TRUE(dumpCurrentUser() == before) << "HKEY_CURRENT_USER changed outside the sandbox";
}

// Calls whose base arguments reach every JNI acquisition a native makes.
struct Scenario {
    std::string native;
    std::function<void(Bed&, TestJni&, std::vector<Arg>&)> adjust;  // may be empty
};

std::vector<Scenario> faultScenarios()
{
    std::vector<Scenario> scenarios;
    for (const Entry& e : nativeTable()) scenarios.push_back({e.name, nullptr});
    auto setValue = [](jint type, bool bytes) {
        return [type, bytes](Bed&, TestJni& jni, std::vector<Arg>& a) {
            a[3].i = type;
            a[4].ref = bytes ? static_cast<jobject>(jni.bytes(8, 3)) : jni.integer(9);
        };
    };
    scenarios.push_back({"Registry_keySetValue", setValue(REG_BINARY, true)});
    scenarios.push_back({"Registry_keySetValue", setValue(REG_DWORD, false)});
    for (const char* name : {"binary", "dword"})
        scenarios.push_back({"Registry_keyGetValue", [name](Bed&, TestJni& jni, std::vector<Arg>& a) {
                                 a[2].ref = jni.string(name);
                             }});
    return scenarios;
}

TEST_F(WholeLibrary, EachJniAcquisitionFailingInTurnGivesTheFailureValue)
{
    std::string before = dumpCurrentUser();
    Bed bed;
    // A live pipe, so that read and write reach their array's elements: a
    // message waits for every read, and whatever is written is drained.
    std::string pipeName = "\\\\.\\pipe\\zarn-stress-fault-" + std::to_string(GetCurrentProcessId());
    HANDLE server = CreateNamedPipeA(pipeName.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                                     1, 1 << 16, 1 << 16, 0, nullptr);
    HANDLE client = CreateFileA(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    auto drain = [](HANDLE h) {
        DWORD available = 0;
        char sink[1 << 16];
        while (PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr) && available) {
            DWORD got;
            if (!ReadFile(h, sink, sizeof sink, &got, nullptr) && GetLastError() != ERROR_MORE_DATA) break;
        }
    };

    auto run = [&](const Scenario& s, TestJni& jni) {
        const Entry& e = entry(s.native);
        std::vector<Arg> args = bed.baseArgs(jni, e);
        const bool reads = e.name == "WinPipe_read" || e.name == "WinPipe_readTimed";
        if (reads || e.name == "WinPipe_write") {
            args[0].i = static_cast<jint>(reinterpret_cast<intptr_t>(reads ? server : client));
            DWORD written, available = 0;
            PeekNamedPipe(server, nullptr, 0, nullptr, &available, nullptr);
            if (reads && !available) WriteFile(client, "0123456789abcdef", 16, &written, nullptr);
        }
        if (s.adjust) s.adjust(bed, jni, args);
        Outcome outcome = e.call(jni, args);
        if (e.name == "WinPipe_write") drain(server);
        return std::make_pair(args, outcome);
    };

    int faultsForced = 0;
    DWORD handles = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (const Scenario& s : faultScenarios()) {
            const Entry& e = entry(s.native);
            // Count the acquisitions of an undisturbed call.
            int count[static_cast<int>(Fn::Count)];
            {
                TestJni jni;
                auto [args, outcome] = run(s, jni);
                for (int f = 0; f < static_cast<int>(Fn::Count); ++f) count[f] = jni.calls(static_cast<Fn>(f));
                bed.afterCall(jni, e, args, outcome, e.name + " undisturbed");
            }
            for (int f = 0; f < static_cast<int>(Fn::Count); ++f) {
                for (int n = 1; n <= count[f]; ++n) {
                    TestJni jni;
                    jni.failNth(static_cast<Fn>(f), n);
                    auto [args, outcome] = run(s, jni);
                    SCOPED_TRACE(e.name + ": " + testjni::fnName(static_cast<Fn>(f)) + " #" + std::to_string(n) +
                                 " fails");
                    ++faultsForced;
                    EXPECT_TRUE(jni.clean());
                    std::string expected = static_cast<Fn>(f) == Fn::FindClass ? "java/lang/NoClassDefFoundError"
                                                                               : "java/lang/OutOfMemoryError";
                    EXPECT_EQ(jni.pendingClass(), expected) << "the JVM's error must stay pending, alone";
                    if (e.faultResult) {
                        EXPECT_TRUE(e.faultResult.holds(outcome))
                            << "got " << describe(outcome) << ", expected " << e.faultResult.what;
                    }
                    jni.clearException();
                    bed.afterCall(jni, e, args, outcome, "after the fault");
                }
            }
        }
        if (pass == 0) handles = testjni::processHandleCount();
    }
    // Unicode mode copies strings with GetStringRegion, which acquires nothing.
    EXPECT_GT(faultsForced, testjni::unicodeMode() ? 20 : 40);
    EXPECT_EQ(testjni::processHandleCount(), handles);
    CloseHandle(client);
    CloseHandle(server);
    EXPECT_TRUE(dumpCurrentUser() == before) << "HKEY_CURRENT_USER changed outside the sandbox";
}

bool slowByDesign(const Entry& e)
{
    for (const char* name : {"Registry_broadcastUpdate", "Window_showWindow", "Win32File_winCreateShortcut"}) {
        if (e.name == name) return true;
    }
    return false;
}

TEST_F(WholeLibrary, SeededRandomCallsKeepEveryRule)
{
    unsigned seed = 20261208;
    if (const char* chosen = std::getenv("ZARN_SEED")) seed = static_cast<unsigned>(std::strtoul(chosen, nullptr, 10));
    int calls = 100000;
    if (const char* chosen = std::getenv("ZARN_CALLS")) calls = std::atoi(chosen);
    std::printf("seed %u (replay with ZARN_SEED=%u), %d calls\n", seed, seed, calls);

    std::string before = dumpCurrentUser();
    Bed bed;
    std::mt19937 random(seed);
    const std::vector<Entry>& table = nativeTable();
    DWORD handles = 0;
    const int batch = 500;  // a fresh JNI environment per batch keeps its object table small
    for (int done = 0; done < calls && !HasFailure(); done += batch) {
        TestJni jni;
        for (int k = 0; k < batch && done + k < calls; ++k) {
            // A broadcast to every top-level window, a window mapped on the
            // screen or a shell link saved costs tens of milliseconds under
            // Wine, a hundred times most calls: such calls take one draw in 50.
            const Entry* drawn = &table[random() % table.size()];
            while (slowByDesign(*drawn) && random() % 50 != 0) drawn = &table[random() % table.size()];
            const Entry& e = *drawn;
            std::vector<Arg> args = bed.baseArgs(jni, e);
            for (size_t n = 0; n < args.size(); ++n) {
                if (random() % 2) continue;
                if (e.roles[n] == Role::Flag && random() % 50 != 0) continue;  // the broadcast flag: set once in 100
                std::vector<Arg> values = bed.variants(jni, e.roles[n]);
                args[n] = values[random() % values.size()];
            }
            if (tracing) std::printf("%lu %s(%s)\n", GetTickCount(), e.name.c_str(), argsText(args).c_str()), std::fflush(stdout);
            Outcome outcome = e.call(jni, args);
            bed.afterCall(jni, e, args, outcome,
                          "seed " + std::to_string(seed) + " call " + std::to_string(done + k) + ": " + e.name + "(" +
                              argsText(args) + ")");
            if (HasFailure()) break;
        }
        if (done == 0) handles = testjni::processHandleCount();
        else EXPECT_EQ(testjni::processHandleCount(), handles) << "seed " << seed << " by call " << done + batch;
    }
    EXPECT_TRUE(dumpCurrentUser() == before) << "HKEY_CURRENT_USER changed outside the sandbox";
}

}  // namespace
