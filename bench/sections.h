// The sections of the benchmark, one source file per subsystem of the library
// (session.cpp, registry.cpp, pipe.cpp, desktop.cpp) and one for the two
// tables that gather every subsystem (tables.cpp). Each prints Markdown on
// stdout, its progress on stderr, and adds its targets to targetResults.
#ifndef ZARN_BENCH_SECTIONS_H
#define ZARN_BENCH_SECTIONS_H

#include "common.h"

#include <string>
#include <vector>

namespace bench {

// ---- Rows of the comparison table (native, direct, Win32 alone), by subsystem.
std::vector<Case> sessionCases(Natives& N = natives());   // getEnvironmentVariable
// keyGetValue (also through a view), keySetValue, keyExists, keyGetSubKeys, a watch's await
std::vector<Case> registryCases(Natives& N = natives());
std::vector<Case> pipeCases();      // round trips of write and read
std::vector<Case> desktopCases(Natives& N = natives());   // createWindow with destroyWindow, winCreateShortcut

// ---- Rows of the allocation table, by subsystem.
void sessionAllocations(const AllocationRow& row, Natives& N = natives());
void pipeAllocations(const AllocationRow& row);
void registryAllocations(const AllocationRow& row, Natives& N = natives());

// ---- The sections ("--only" names in brackets).
void runComparisons(std::vector<Case>& cases);  // [compare]
// Each text native in unicode mode against ansi mode: the rows of both case lists, pair by pair.
void runTextModes(std::vector<Case>& ansi, std::vector<Case>& unicode);  // [modes]
void runThroughput();                           // [throughput]
void runArrays();                               // [arrays]
void runPairs();                                // [pairs]
void runGrowth();                               // [growth]
void runBuffers();                              // [buffers]
void runAllocations();                          // [allocations]

// The file that winCreateShortcut writes, removed at the end of the run.
std::string shortcutFile();

}  // namespace bench

#endif
