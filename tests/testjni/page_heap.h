// A page heap for the library's C runtime allocations in the test programs.
//
// Wine 8.0 does not implement Windows' full page heap (FLG_HEAP_PAGE_ALLOCS),
// and heap validation after a test cannot see a block that was damaged and
// freed within one call. Here every block the library takes with malloc,
// calloc or realloc gets pages of its own, its last byte against a page that
// is never committed, and a freed block's pages stay no-access while the next
// 1,024 blocks are freed. An access one byte past a block or into a freed one
// faults at the instruction; a write into the bytes before a block in its
// first page is found when the block is freed. Either report starts
// "page heap:", names the running test, and ends the process.
#ifndef ZARN_TEST_PAGE_HEAP_H
#define ZARN_TEST_PAGE_HEAP_H

#include <windows.h>

#include <cstddef>

namespace testjni {

// Points module's malloc, calloc, realloc and free (the imports from
// msvcrt.dll) at the page heap. A block that the module took before, from the
// C runtime's heap, is given back to that heap. The patch is never undone: the
// module may be unloaded while blocks of the page heap are still in use.
void usePageHeap(HMODULE module);

// The page heap's own functions, for tests of the page heap itself.
void* __cdecl pageHeapMalloc(size_t size);
void __cdecl pageHeapFree(void* block);

}  // namespace testjni

#endif
