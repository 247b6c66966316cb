// The tables that gather every subsystem: each native against its direct Win32
// sequence, each text native in unicode mode against ansi mode, and the heap
// allocations of the library's own.
#include "iat_hook.h"
#include "sections.h"

#include <cstdio>

using namespace testjni;

namespace bench {

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

void runTextModes(std::vector<Case>& ansi, std::vector<Case>& unicode)
{
    std::printf("### Text modes: each native in unicode mode against ansi mode\n\n");
    std::printf("The rows of the comparison table that take or give text, made by the library loaded in ansi mode "
                "and by a second copy of it, loaded beside it in the same process with zarnwin32.text=unicode. "
                "Time per call in microseconds: median over the repetitions, (min-max); the ratio is unicode/ansi, "
                "repetition by repetition, the two sides run back to back in rotating order.\n\n");
    std::printf("| Operation | Ansi | Unicode | Unicode / ansi | Target | Met |\n|---|---|---|---|---|---|\n");
    for (size_t i = 0; i < ansi.size() && i < unicode.size(); ++i) {
        Case& a = ansi[i];
        Case& u = unicode[i];
        std::fprintf(stderr, "  %s, both modes\n", a.operation.c_str());
        std::string problem = !a.available || !u.available ? "not available (not exported)" : "";
        for (Case* c : {&a, &u}) {
            std::string wrong = problem.empty() ? c->check() : "";
            if (!wrong.empty()) problem = "FAILED: " + wrong;
        }
        std::vector<Side> sides = {{"ansi", problem.empty() ? a.native : Batch(), {}, false},
                                   {"unicode", problem.empty() ? u.native : Batch(), {}, false}};
        int n = problem.empty() ? calibrate(a.native) : 0;
        if (n > 0) measure(sides, n);
        if (problem.empty() && (sides[0].failed || sides[1].failed)) problem = "FAILED during the run";
        Stats ratio = pairedRatio(sides[1], sides[0]);
        bool ok = problem.empty() && ratio.valid && ratio.median <= 1.05;
        targetResults.push_back({a.operation + ": unicode/ansi <= 1.05", ratio.valid ? formatStats(ratio, 1, 3) : problem, ok});
        std::printf("| %s | %s | %s | %s | <= 1.05 | %s |\n", a.operation.c_str(),
                    problem.empty() ? formatStats(statsOf(sides[0].perCall), 1e6).c_str() : problem.c_str(),
                    problem.empty() ? formatStats(statsOf(sides[1].perCall), 1e6).c_str() : "-",
                    formatStats(ratio, 1, 3).c_str(), yesNo(ok).c_str());
        std::fflush(stdout);
    }
    std::printf("\n");
}

void runAllocations()
{
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

    AllocationCounter unicodeCounter(unicodeNatives().module);
    AllocationCounter* counting = &counter;
    std::string suffix;
    auto row = [&](const std::string& label, bool available, int calls, const std::function<bool()>& run, bool zero) {
        const std::string what = label + suffix;
        if (!available) {
            std::printf("| %s | - | not available | - | %s | - |\n", what.c_str(), zero ? "0" : "-");
            return;
        }
        counting->reset();
        bool ran = run();
        long count = counting->count();
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

    sessionAllocations(row);
    pipeAllocations(row);
    registryAllocations(row);
    // The text natives of the copy loaded in unicode mode: text of ordinary length takes no heap either.
    counting = &unicodeCounter;
    suffix = " (unicode)";
    sessionAllocations(row, unicodeNatives());
    registryAllocations(row, unicodeNatives());
    std::printf("\n");
}

}  // namespace bench
