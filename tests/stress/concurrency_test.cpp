// Eight threads at once, for a bounded time, each mixing registry writes,
// reads and deletes (on keys of its own and on one shared key), a pipe echo
// on a pipe of its own, timed reads racing the next thread's cancels and
// closes, environment reads, and windows made and destroyed on its own
// thread: nothing lost or corrupted, no thread stuck, no handle left.
#include "bed.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace stress;
using testjni::Native;
using testjni::TestJni;

namespace {

const std::string win32 = testjni::win32Package;
const std::string pipes = testjni::pipePackage;

struct Natives {
    Native<void(jint, jstring, jstring, jint, jobject, jboolean)> keySetValue{win32 + "Registry_keySetValue"};
    Native<jobject(jint, jstring, jstring)> keyGetValue{win32 + "Registry_keyGetValue"};
    Native<void(jint, jstring, jstring, jboolean)> keyDeleteValue{win32 + "Registry_keyDeleteValue"};
    Native<jint(jint, jstring, jboolean)> keyDelete{win32 + "Registry_keyDelete"};
    Native<jobjectArray(jint, jstring)> keyGetValueNames{win32 + "Registry_keyGetValueNames"};
    Native<jstring(jstring)> getEnvironmentVariable{win32 + "Environment_getEnvironmentVariable"};
    Native<jint(jstring, jint, jint, jint, jint, jint)> createNamedPipe{pipes + "WinPipe_createNamedPipe"};
    Native<jint(jint)> connectNamedPipe{pipes + "WinPipe_connectNamedPipe"};
    Native<jint(jstring, jint)> createFile{pipes + "WinPipe_createFile"};
    Native<jint(jint, jbyteArray, jint)> read{pipes + "WinPipe_read"};
    Native<jint(jint, jbyteArray, jint)> write{pipes + "WinPipe_write"};
    Native<jint(jint)> closeHandle{pipes + "WinPipe_closeHandle"};
    Native<jint(jint, jbyteArray, jint, jint)> readTimed{pipes + "WinPipe_readTimed"};
    Native<jint(jint)> available{pipes + "WinPipe_available"};
    Native<jboolean(jint)> cancel{pipes + "WinPipe_cancel"};
    Native<jint(jstring, jstring, jint, jint, jint, jint, jint, jint)> createWindow{win32 + "Window_createWindow"};
    Native<void(jint)> destroyWindow{win32 + "Window_destroyWindow"};
};

struct Worker {
    int id = 0;
    int rounds = 0;
    std::vector<std::string> errors;
    void fail(const std::string& what)
    {
        if (errors.size() < 5) errors.push_back("thread " + std::to_string(id) + ": " + what);
    }
};

// A value only thread `id` writes in round `round`: any mix of two writes shows.
// Every stamp has the same length: a shared value that grew between
// keyGetValue's size and data queries would fail the read, as it should.
std::string stamp(int id, int round)
{
    char head[16];
    std::snprintf(head, sizeof head, "t%dr%06d-", id, round);
    return head + std::string(40, char('a' + id));
}

bool wellFormed(const std::string& value)
{
    // "t<id>r<round>-" then 40 copies of the letter of <id>.
    size_t dash = value.find('-');
    if (value.size() < 3 || value[0] != 't' || dash == std::string::npos) return false;
    int id = std::atoi(value.c_str() + 1);
    return value.substr(dash + 1) == std::string(40, char('a' + id));
}

// Each thread's pipe that lives for the whole run, whose reads the next thread
// cancels, and the client end of its echo pipe, which the next thread takes
// out (exchange) and closes while a timed read waits on the server end.
std::atomic<jint> longServers[8], looseClients[8];

const bool tracing = std::getenv("ZARN_TRACE") != nullptr;
#define STEP(what) \
    if (tracing) std::printf("thread %d round %d: %s\n", w.id, round, what), std::fflush(stdout)

void work(const Natives& n, Worker& w, DWORD deadline)
{
    const jint hkcu = hkeyCurrentUser;
    std::string own = std::string(sandboxPath) + "\\thread" + std::to_string(w.id);
    std::string shared = std::string(sandboxPath) + "\\shared";
    std::string pipeName = "\\\\.\\pipe\\zarn-stress-" + std::to_string(GetCurrentProcessId()) + "-t" + std::to_string(w.id);
    SetEnvironmentVariableA(("ZARN_STRESS_" + std::to_string(w.id)).c_str(), stamp(w.id, 0).c_str());
    // The natives write values into keys that exist; the keys are made here.
    for (const std::string& key : {own, shared}) {
        HKEY made = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, nullptr) !=
            ERROR_SUCCESS)
            w.fail("key " + key + " not made");
        else
            RegCloseKey(made);
    }

    TestJni longJni;
    jstring longName = longJni.string(pipeName + "-long");
    jint longServer = n.createNamedPipe(longJni, longName, PIPE_ACCESS_DUPLEX, 1, 1 << 16, 1 << 16, 0);
    jint longClient = n.createFile(longJni, longName, static_cast<jint>(GENERIC_READ | GENERIC_WRITE));
    if (longServer == -1 || longClient == -1 || n.connectNamedPipe(longJni, longServer) == 0)
        w.fail("long pipe not set up");
    longServers[w.id % 8] = longServer;
    const int following = (w.id + 1) % 8;
    for (int round = 0; GetTickCount() < deadline; ++round, ++w.rounds) {
        TestJni jni;
        std::string mine = stamp(w.id, round);
        // A registry call that should succeed left no exception; one that did is reported and cleared.
        auto noException = [&](const char* call) {
            if (!jni.exceptionPending()) return true;
            w.fail(std::string(call) + " raised \"" + jni.pendingMessage() + "\" in round " + std::to_string(round));
            jni.clearException();
            return false;
        };
        STEP("registry");
        // Registry: own key written, read back and deleted; the shared key written and read.
        n.keySetValue(jni, hkcu, jni.string(own), jni.string("v"), REG_SZ, jni.string(mine), false);
        noException("keySetValue of its own key");
        n.keySetValue(jni, hkcu, jni.string(shared), jni.string("v"), REG_SZ, jni.string(mine), false);
        noException("keySetValue of the shared key");
        jobject back = n.keyGetValue(jni, hkcu, jni.string(own), jni.string("v"));
        if (noException("keyGetValue of its own key") && (!back || jni.utf8Bytes(back) != mine))
            w.fail("own value lost or changed in round " + std::to_string(round));
        jobject common = n.keyGetValue(jni, hkcu, jni.string(shared), jni.string("v"));
        if (noException("keyGetValue of the shared key") && (!common || !wellFormed(jni.utf8Bytes(common))))
            w.fail("shared value corrupted in round " + std::to_string(round));
        n.keyDeleteValue(jni, hkcu, jni.string(own), jni.string("v"), false);
        noException("keyDeleteValue");
        // A value that is gone cannot be read: null, with the exception that says so.
        if (n.keyGetValue(jni, hkcu, jni.string(own), jni.string("v")) || !jni.exceptionPending())
            w.fail("deleted value still read in round " + std::to_string(round));
        jni.clearException();
        // The next thread's key, whose value that thread sets and deletes meanwhile, lists it at most once.
        std::string next = std::string(sandboxPath) + "\\thread" + std::to_string((w.id + 1) % 8);
        jobjectArray names = n.keyGetValueNames(jni, hkcu, jni.string(next));
        if (jni.exceptionPending()) jni.clearException();  // the key may not be made yet
        else if (jni.arrayElements(names).size() > 1 || (names && !jni.arrayElements(names).empty() && jni.utf8Bytes(jni.arrayElements(names)[0]) != "v"))
            w.fail("listing of a changing key gave " + std::to_string(jni.arrayElements(names).size()) + " names in round " + std::to_string(round));

        STEP("pipe");
        // Pipe echo: the client's message comes back whole through the server.
        jint server = n.createNamedPipe(jni, jni.string(pipeName), PIPE_ACCESS_DUPLEX, 1, 1 << 16, 1 << 16, 0);
        jint client = n.createFile(jni, jni.string(pipeName), static_cast<jint>(GENERIC_READ | GENERIC_WRITE));
        if (server == -1 || client == -1 || n.connectNamedPipe(jni, server) == 0) {
            w.fail("pipe not set up");
        } else {
            std::vector<uint8_t> message(1 + (round * 7919) % 8192);
            for (size_t k = 0; k < message.size(); ++k) message[k] = static_cast<uint8_t>(k * 31 + w.id + round);
            jbyteArray out = jni.bytes(message);
            jbyteArray in = jni.bytes(message.size(), 0);
            jbyteArray back = jni.bytes(message.size(), 0);
            jint size = static_cast<jint>(message.size());
            if (n.write(jni, client, out, size) != size || n.read(jni, server, in, size) != size ||
                n.write(jni, server, in, size) != size || n.read(jni, client, back, size) != size ||
                jni.arrayBytes(back) != message)
                w.fail("pipe message lost or changed in round " + std::to_string(round));
        }
        // Timed out, or broken by the previous thread's close: nothing else.
        looseClients[w.id % 8] = client;
        jint raced = n.readTimed(jni, server, jni.bytes(16, 0), 16, 3);
        if (raced != -2 && raced != -1) w.fail("a timed read on an idle pipe gave " + std::to_string(raced));
        for (jint loose : {looseClients[w.id % 8].exchange(-1), looseClients[(w.id + 7) % 8].exchange(-1)})
            if (loose != -1 && loose != 0) n.closeHandle(jni, loose);
        if (server != -1) n.closeHandle(jni, server);

        STEP("time-outs");
        // Messages through this thread's long pipe, read with time-outs of 0
        // to 2 ms while the previous thread cancels its reads: each whole and
        // in order, none lost, none twice.
        const int count = 1 + round % 4;
        for (int k = 0; k < count; ++k) {
            std::vector<uint8_t> m(1 + (round * 31 + k * 977) % 3000, static_cast<uint8_t>(k + round + w.id));
            n.write(jni, longClient, jni.bytes(m), static_cast<jint>(m.size()));
        }
        jbyteArray in = jni.bytes(4096, 0);
        int got = 0;
        for (int tries = 0; got < count && tries < 1000; ++tries) {
            jint r = n.readTimed(jni, longServer, in, 4096, tries % 3);
            if (r == -2 || (r == -1 && n.available(jni, longServer) >= 0)) continue;
            std::vector<uint8_t> m(1 + (round * 31 + got * 977) % 3000, static_cast<uint8_t>(got + round + w.id));
            std::vector<uint8_t> bytes = jni.arrayBytes(in);
            if (r != static_cast<jint>(m.size()) || !std::equal(m.begin(), m.end(), bytes.begin())) break;
            ++got;
        }
        if (got < count || n.readTimed(jni, longServer, in, 4096, 0) >= 0)
            w.fail("timed reads lost, changed or repeated a message in round " + std::to_string(round));
        n.cancel(jni, longServers[following]);

        STEP("environment");
        // Environment: this thread's variable as it set it.
        jstring value = n.getEnvironmentVariable(jni, jni.string("ZARN_STRESS_" + std::to_string(w.id)));
        if (!value || jni.utf8Bytes(value) != stamp(w.id, 0)) w.fail("environment value changed");

        STEP("window");
        // A window made and destroyed on this thread, of a class of its own: with
        // one class name for all threads, the 32-bit Wine run under qemu-i386
        // now and then answers CreateWindowExA with ERROR_CLASS_DOES_NOT_EXIST
        // for a class registered long before (never the 64-bit one).
        jint window = n.createWindow(jni, jni.string("stress"), jni.string("ZarnStressThread" + std::to_string(w.id)),
                                     0, 0, 0, 0, 50, 50);
        if (window == 0 || window == -1) w.fail("no window, error " + std::to_string(GetLastError()));
        else n.destroyWindow(jni, window);
        if (window && window != -1 && IsWindow(reinterpret_cast<HWND>(static_cast<intptr_t>(window))))
            w.fail("window outlived destroyWindow");

        STEP("checks");
        if (!jni.clean()) w.fail("JNI environment left unclean");
    }
    longServers[w.id % 8] = 0;
    n.closeHandle(longJni, longClient);
    n.closeHandle(longJni, longServer);
}

TEST(Concurrency, EightThreadsMixingEveryKindOfCallLoseNothing)
{
    Natives natives;
    Bed bed;
    const int threads = 8;
    const DWORD runMs = 6000, graceMs = 30000;

    // One warm-up round opens what Windows keeps open once used.
    std::vector<Worker> workers(threads + 1);
    workers[threads].id = threads;
    work(natives, workers[threads], GetTickCount() + 1);
    DWORD handles = testjni::processHandleCount();
    if (tracing) std::printf("warm-up done\n");

    DWORD deadline = GetTickCount() + runMs;
    {
        // Wine's X11 driver closes a thread's display connection when the thread
        // ends, and that can deadlock with window calls on other threads (seen
        // with 32-bit Wine 8: XCloseDisplay waiting for libX11's lock while the
        // others wait for the driver's). The workers therefore end together,
        // once every one of them has made its last call; Windows needs no such care.
        std::atomic<int> finished{0};
        std::vector<std::unique_ptr<testjni::TestThread>> running;
        for (int t = 0; t < threads; ++t) {
            workers[t].id = t;
            running.push_back(std::make_unique<testjni::TestThread>([&, t] {
                work(natives, workers[t], deadline);
                ++finished;
                while (finished < threads && GetTickCount() < deadline + graceMs) Sleep(10);
            }));
        }
        for (int t = 0; t < threads; ++t)
            EXPECT_TRUE(running[t]->join(runMs + graceMs)) << "thread " << t << " did not finish in time";
    }
    int rounds = 0;
    for (const Worker& w : workers) {
        rounds += w.rounds;
        for (const std::string& e : w.errors) ADD_FAILURE() << e;
    }
    std::printf("%d rounds in %lu ms over %d threads\n", rounds, runMs, threads);
    EXPECT_GT(rounds, threads);
    EXPECT_EQ(testjni::processHandleCount(), handles);
}

}  // namespace
