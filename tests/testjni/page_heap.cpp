#include "page_heap.h"

#include "import_patch.h"
#include "natives.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

namespace testjni {

namespace {

constexpr size_t pageSize = 4096;
constexpr size_t none = static_cast<size_t>(-1);
// Freed blocks whose pages stay no-access; the oldest goes back to use when
// another is freed.
constexpr size_t quarantined = 1024;
// The bytes of a block's first page before the block, checked when it is freed.
constexpr unsigned char slackFill = 0xA5;
// A new block's own bytes: not zero, so that text read past what a native
// wrote is not taken for a terminator that happens to be there.
constexpr unsigned char blockFill = 0xCD;

// A block: its run of pages holds it and ends with one page that is never
// committed; the block's end is that page's start. Its start is then aligned
// only as far as its size is (malloc gives 8 or 16 bytes): x86 and x64 code
// reads and writes unaligned data all the same, and an exact end makes a
// one-byte overrun fault.
struct Block {
    BYTE* run;
    size_t pages;  // committed pages, the no-access page not counted
    size_t size;
    bool freed;
    BYTE* start() const { return end() - size; }
    BYTE* end() const { return run + pages * pageSize; }
};

// All blocks lie in one reserved range of address space, so that a pointer
// and a faulting address are told apart at once from the C runtime's. Never
// destroyed: the library may free blocks while the process ends.
struct Heap {
    Heap();
    SRWLOCK lock = SRWLOCK_INIT;
    BYTE* arena = nullptr;
    std::vector<bool> used;         // per page of the arena
    size_t rover = 0;               // the page where the search for a run goes on (next fit)
    std::map<BYTE*, Block> blocks;  // in use or in the quarantine, by start
    std::deque<BYTE*> quarantine;   // the freed blocks' starts, oldest first
    bool full = false;
};
Heap& heap = *new Heap;

class Locked {
public:
    Locked() { AcquireSRWLockExclusive(&heap.lock); }
    ~Locked() { ReleaseSRWLockExclusive(&heap.lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

bool inArena(const void* address)
{
    auto byte = static_cast<const BYTE*>(address);
    return byte >= heap.arena && byte < heap.arena + heap.used.size() * pageSize;
}

unsigned long ul(size_t n) { return static_cast<unsigned long>(n); }

// "module+0xoffset" for a code address, to read back with addr2line.
void describePlace(const void* address, char* out, size_t size)
{
    HMODULE module = nullptr;
    char path[MAX_PATH] = "?";
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCSTR>(address), &module))
        GetModuleFileNameA(module, path, sizeof path);
    const char* name = strrchr(path, '\\') ? strrchr(path, '\\') + 1 : path;
    snprintf(out, size, "%p (%s+0x%lx)", address, name, ul(static_cast<const BYTE*>(address) - reinterpret_cast<BYTE*>(module)));
}

// Prints the report with the running test's name and ends the process: after
// a damaged block nothing that the test would check can be trusted.
[[noreturn]] void report(const char* format, ...)
{
    char text[768];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    printf("page heap: %s, in %s%s%s\n", text, test ? test->test_suite_name() : "no test", test ? "." : "",
           test ? test->name() : "");
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    for (;;) Sleep(INFINITE);
}

// The first of pages free pages at or after page from, or none.
size_t freeRun(size_t from, size_t pages)
{
    for (size_t page = from, free = 0; page < heap.used.size(); ++page) {
        free = heap.used[page] ? 0 : free + 1;
        if (free == pages) return page + 1 - pages;
    }
    return none;
}

// The functions below that take no lock run with the caller's.
void* allocate(size_t size)
{
    size_t pages = size ? (size - 1) / pageSize + 1 : 1;
    size_t first = freeRun(heap.rover, pages + 1);
    if (first == none) first = freeRun(0, pages + 1);
    if (first == none) {
        if (!heap.full)
            printf("page heap: no room for a block of %lu bytes; the C runtime's heap serves it and those that do not fit\n",
                   ul(size));
        heap.full = true;
        return malloc(size);
    }
    std::fill_n(heap.used.begin() + first, pages + 1, true);
    heap.rover = first + pages + 1;
    Block block{heap.arena + first * pageSize, pages, size, false};
    if (!VirtualAlloc(block.run, pages * pageSize, MEM_COMMIT, PAGE_READWRITE)) report("no memory for %lu pages", ul(pages));
    memset(block.run, slackFill, block.start() - block.run);
    memset(block.start(), blockFill, size);
    heap.blocks[block.start()] = block;
    return block.start();
}

// The block in use that starts at start; a pointer that is none is reported.
Block& blockInUse(void* start, const char* call)
{
    auto found = heap.blocks.find(static_cast<BYTE*>(start));
    if (found == heap.blocks.end()) report("%s of %p, which is not the start of a block in use", call, start);
    if (found->second.freed)
        report("%s of the block of %lu bytes at %p, which was freed before", call, ul(found->second.size), start);
    return found->second;
}

// Checks the bytes before the block, makes its pages no-access and puts it in
// the quarantine, whose oldest block's pages go back to use.
void release(void* start, const char* call)
{
    Block& block = blockInUse(start, call);
    for (BYTE* byte = block.run; byte < block.start(); ++byte)
        if (*byte != slackFill)
            report("%s of the block of %lu bytes at %p: its byte %ld (before its start) was overwritten", call,
                   ul(block.size), start, -static_cast<long>(block.start() - byte));
    VirtualFree(block.run, block.pages * pageSize, MEM_DECOMMIT);
    block.freed = true;
    heap.quarantine.push_back(block.start());
    if (heap.quarantine.size() <= quarantined) return;
    const Block& oldest = heap.blocks.at(heap.quarantine.front());
    std::fill_n(heap.used.begin() + (oldest.run - heap.arena) / pageSize, oldest.pages + 1, false);
    heap.blocks.erase(heap.quarantine.front());
    heap.quarantine.pop_front();
}

void* __cdecl heapCalloc(size_t count, size_t size)
{
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) return calloc(count, size);  // which fails as msvcrt's does
    void* block = pageHeapMalloc(bytes);
    if (block) memset(block, 0, bytes);
    return block;
}

// As msvcrt's realloc: a null block is a malloc, a size of 0 frees the block.
// A block of the page heap always moves, so that a pointer kept to its old
// place faults.
void* __cdecl heapRealloc(void* block, size_t size)
{
    if (!block) return pageHeapMalloc(size);
    if (!inArena(block)) return realloc(block, size);
    if (!size) {
        pageHeapFree(block);
        return nullptr;
    }
    Locked locked;
    size_t oldSize = blockInUse(block, "realloc").size;
    void* moved = allocate(size);
    if (!moved) return nullptr;
    memcpy(moved, block, std::min(oldSize, size));
    release(block, "realloc");
    return moved;
}

LONG CALLBACK onException(EXCEPTION_POINTERS* exception)
{
    const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
    auto address = reinterpret_cast<BYTE*>(record.ExceptionInformation[1]);
    bool ours = record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && inArena(address);
    if (!ours && record.ExceptionCode != EXCEPTION_ILLEGAL_INSTRUCTION) return EXCEPTION_CONTINUE_SEARCH;
    char place[MAX_PATH + 64];
    describePlace(record.ExceptionAddress, place, sizeof place);
    // 32-bit Wine under qemu-i386 user emulation raises an access violation as
    // an illegal instruction without the address: only the place can be named.
    if (!ours) report("an illegal instruction at %s (an access violation when 32-bit code runs under emulation)", place);
    const char* access = record.ExceptionInformation[0] ? "a write" : "a read";
    Locked locked;
    for (const auto& entry : heap.blocks) {
        const Block& block = entry.second;
        if (address < block.run || address >= block.end() + pageSize) continue;
        if (block.freed)
            report("%s of byte %ld from the start of the freed block of %lu bytes at %p, by the instruction at %s", access,
                   static_cast<long>(address - block.start()), ul(block.size), block.start(), place);
        report("%s of byte %lu past the end of the block of %lu bytes at %p, by the instruction at %s", access,
               ul(address - block.end()), ul(block.size), block.start(), place);
    }
    report("%s of %p, in no block, by the instruction at %s", access, address, place);
}

// Points module's malloc, calloc, realloc and free at the page heap. A block
// that the module took before, from the C runtime's heap, is given back to
// that heap. Never undone: the module may be unloaded while blocks of the page
// heap are still in use.
void usePageHeap(HMODULE module)
{
    new ImportPatch(module, "malloc", reinterpret_cast<void*>(pageHeapMalloc));
    new ImportPatch(module, "calloc", reinterpret_cast<void*>(heapCalloc));
    new ImportPatch(module, "realloc", reinterpret_cast<void*>(heapRealloc));
    new ImportPatch(module, "free", reinterpret_cast<void*>(pageHeapFree));
}

Heap::Heap()
{
    // As large a range as the address space gives.
    size_t bytes = sizeof(void*) == 8 ? size_t(8) << 30 : size_t(512) << 20;
    while (!(arena = static_cast<BYTE*>(VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS)))) bytes /= 2;
    used.resize(bytes / pageSize);
    AddVectoredExceptionHandler(1, onException);
    // Linked into every test program (zarn_test): each load of the library
    // that they make through callOnLoad serves its allocations from here.
    onLibraryLoad = usePageHeap;
}

}  // namespace

void* __cdecl pageHeapMalloc(size_t size)
{
    Locked locked;
    return allocate(size);
}

void __cdecl pageHeapFree(void* block)
{
    if (!block) return;
    if (!inArena(block)) return free(block);
    Locked locked;
    release(block, "free");
}

}  // namespace testjni
