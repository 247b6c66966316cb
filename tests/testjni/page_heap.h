// A page heap for the library's C runtime allocations in the test programs.
//
// Wine 8.0 has no full page heap (FLG_HEAP_PAGE_ALLOCS), and heap validation
// after a test cannot see a block damaged and freed within one call. So each
// load of the library through callOnLoad has its malloc, calloc, realloc and
// free served from here: every block ends against a page never committed, the
// bytes before it in its first page are checked when it is freed, and a freed
// block's pages stay no-access while the next 1,024 blocks are freed. Each
// fault is reported on a line that starts "page heap:" and names the running
// test, and ends the process.
#ifndef ZARN_TEST_PAGE_HEAP_H
#define ZARN_TEST_PAGE_HEAP_H

#include <cstddef>

namespace testjni {

// The page heap's own functions, for tests of the page heap itself.
void* __cdecl pageHeapMalloc(size_t size);
void __cdecl pageHeapFree(void* block);

}  // namespace testjni

#endif
