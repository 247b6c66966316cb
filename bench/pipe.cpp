// The pipe subsystem: round trips of WinPipe.write and WinPipe.read against
// their element sequences, throughput by message size and with concurrent
// pairs, byte arrays as a copying and a pinning JVM hands them out.
#include "direct.h"
#include "sections.h"

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace testjni;

namespace bench {

namespace {

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

// The natives that read with a time-out and look ahead, from the same copy of the library.
const Native<jint(jint, jbyteArray, jint, jint)>& readTimed()
{
    static const Native<jint(jint, jbyteArray, jint, jint)> native(std::string(pipePackage) + "WinPipe_readTimed",
                                                                  natives().module);
    return native;
}

const Native<jint(jint)>& available()
{
    static const Native<jint(jint)> native(std::string(pipePackage) + "WinPipe_available", natives().module);
    return native;
}

// n messages of 64 bytes written to the client end by the native and read from
// the server end, by the read with a time-out of 5 s (answered at once: the
// message is there) or by the plain read.
double pipeTimedStream(bool timed, int n)
{
    PipePair pipe;
    if (!pipe.ok()) return -1;
    TestJni jni;
    jbyteArray out = jni.bytes(pattern(64, 3)), in = jni.bytes(64, 0);
    bool ok = true;
    double start = now();
    for (int i = 0; i < n && ok; ++i) {
        jint client = toJint(pipe.client), server = toJint(pipe.server);
        ok = natives().write(jni, client, out, 64) == 64 &&
             (timed ? readTimed()(jni, server, in, 64, 5000) : natives().read(jni, server, in, 64)) == 64;
    }
    double elapsed = now() - start;
    return ok && jni.clean() && jni.arrayBytes(in) == pattern(64, 3) ? elapsed : -1;
}

// n looks at a pipe with a 64-byte message waiting: by available, or by PeekNamedPipe itself.
double pipeLooks(Way way, int n)
{
    PipePair pipe;
    DWORD written = 0;
    if (!pipe.ok() || !WriteFile(pipe.client, pattern(64, 1).data(), 64, &written, nullptr)) return -1;
    TestJni jni;
    bool ok = true;
    double start = now();
    for (int i = 0; i < n && ok; ++i) {
        DWORD total = 0, left = 0;
        ok = way == Way::Native ? available()(jni, toJint(pipe.server)) == 64
                                : PeekNamedPipe(pipe.server, nullptr, 0, nullptr, &total, &left) && left == 64;
    }
    double elapsed = now() - start;
    return ok ? elapsed : -1;
}

unsigned long processors()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

std::vector<double> throughputs(const Side& side, double bytesPerOperation)
{
    std::vector<double> values;
    for (double seconds : side.perCall) values.push_back(bytesPerOperation / seconds / 1e6);
    return values;
}

}  // namespace

std::vector<Case> pipeCases()
{
    Natives& N = natives();
    std::vector<Case> cases;
    bool pipes = N.read.resolved() && N.write.resolved();
    for (int size : {64, 64 * 1024, 1024 * 1024}) {
        cases.push_back({"pipe round trip (write, read, write, read), " + sizeText(size), 1.10, pipes,
                         [size] { return checkRoundTrip(Way::Native, size); },
                         [size](int n) { return pipeRoundTrips(Way::Native, size, n); },
                         [size](int n) { return pipeRoundTrips(Way::Direct, size, n); },
                         [size](int n) { return pipeRoundTrips(Way::Alone, size, n); }});
    }
    bool looks = readTimed().resolved() && available().resolved();
    cases.push_back({"read with a time-out, answered (write, read), 64 B; direct: the plain read", 1.05, pipes && looks,
                     [] { return pipeTimedStream(true, 1) < 0 ? "the message did not come back whole" : ""; },
                     [](int n) { return pipeTimedStream(true, n); }, [](int n) { return pipeTimedStream(false, n); },
                     [](int n) { return pipeStream(Way::Alone, 64, n); }});
    cases.push_back({"available, a 64 B message waiting; direct: PeekNamedPipe", 1.10, looks,
                     [] { return pipeLooks(Way::Native, 1) < 0 ? "available did not give 64" : ""; },
                     [](int n) { return pipeLooks(Way::Native, n); }, [](int n) { return pipeLooks(Way::Direct, n); },
                     [](int n) { return pipeLooks(Way::Direct, n); }});
    return cases;
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

void pipeAllocations(const AllocationRow& row)
{
    Natives& N = natives();
    const int calls = 1000;
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
}

}  // namespace bench
