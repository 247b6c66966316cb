// The benchmark: each measured native, called as a JVM calls it (through its
// export, with the test JNI environment), against the same Win32 sequence
// called directly in the same run (direct.cpp), and against the bare Win32
// calls with no JNI at all; the text natives in unicode mode against ansi mode; how pipe throughput and keyGetValue time grow;
// and the heap allocations that the library itself makes in the natives that
// must make none. Prints Markdown tables on stdout, progress on stderr.
//
//   bench.exe [--reps N] [--batch-ms MS] [--only SECTION[,SECTION...]]
//   SECTION: compare, modes, throughput, arrays, pairs, growth, buffers, allocations (all by default)
// Lines that begin with @ are for scripts/bench.sh: the targets and the run.
//
// The sections live beside this file, one file per subsystem (sections.h).
#include "sections.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace testjni;
using namespace bench;

namespace {

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
        std::vector<Case> cases;
        for (auto subsystem : {sessionCases(), registryCases(), pipeCases(), desktopCases()}) {
            std::vector<Case> more = subsystem;
            cases.insert(cases.end(), more.begin(), more.end());
        }
        runComparisons(cases);
    }
    if (wanted("modes")) {
        std::vector<Case> ansi, unicode;
        for (auto subsystem : {sessionCases, registryCases, desktopCases}) {
            std::vector<Case> more = subsystem(natives());
            ansi.insert(ansi.end(), more.begin(), more.end());
            more = subsystem(unicodeNatives());
            unicode.insert(unicode.end(), more.begin(), more.end());
        }
        runTextModes(ansi, unicode);
    }
    if (wanted("throughput")) runThroughput();
    if (wanted("arrays")) runArrays();
    if (wanted("pairs")) runPairs();
    if (wanted("growth")) runGrowth();
    if (wanted("buffers")) runBuffers();
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
