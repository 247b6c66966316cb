#include "page_heap.h"

#include "import_patch.h"
#include "natives.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>

namespace testjni {

namespace {

constexpr size_t pageSize = 4096;
// Freed blocks whose pages stay no-access; the oldest goes back to use when
// another is freed.
constexpr size_t quarantineBlocks = 1024;
// The bytes of a block's first page before the block, checked when it is freed.
constexpr unsigned char slackFill = 0xA5;
// A new block's own bytes: not zero, so that text read past what a native
// wrote is not taken for a terminator that happens to be there.
constexpr unsigned char blockFill = 0xCD;

// A block: its run of pages starts with the pages that hold it and ends with
// one page that is never committed; the block's end is that page's start. Its
// start is then aligned only as far as its size is (malloc gives 8 or 16
// bytes): x86 and x64 code reads and writes unaligned data all the same, and
// an exact end makes a one-byte overrun fault.
struct Block {
    BYTE* run;
    size_t pages;  // committed pages, the no-access page not counted
    size_t size;
    BYTE* start() const { return run + pages * pageSize - size; }
    BYTE* end() const { return run + pages * pageSize; }
};

using CrtMalloc = void*(__cdecl*)(size_t);
using CrtFree = void(__cdecl*)(void*);
using CrtRealloc = void*(__cdecl*)(void*, size_t);

// All blocks lie in one reserved range of address space, so that a pointer
// and a faulting address are told apart at once from the C runtime's.
struct State {
    CRITICAL_SECTION lock;
    BYTE* arena = nullptr;
    size_t arenaPages = 0;
    std::map<BYTE*, size_t> unused;  // runs of reserved pages: start, pages (adjacent runs merged)
    BYTE* rover = nullptr;           // where the search for a run goes on (next fit)
    std::map<BYTE*, Block> live;     // by the block's start
    std::deque<Block> quarantine;
    CrtMalloc crtMalloc = nullptr;
    CrtFree crtFree = nullptr;
    CrtRealloc crtRealloc = nullptr;
    bool fullReported = false;
};

State& state();

class Locked {
public:
    Locked() { EnterCriticalSection(&state().lock); }
    ~Locked() { LeaveCriticalSection(&state().lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

bool inArena(const void* address)
{
    const State& s = state();
    auto byte = static_cast<const BYTE*>(address);
    return byte >= s.arena && byte < s.arena + s.arenaPages * pageSize;
}

// "module+0xoffset" for a code address, to read back with addr2line.
void describePlace(const void* address, char* out, size_t size)
{
    HMODULE module = nullptr;
    char path[MAX_PATH] = "?";
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCSTR>(address), &module))
        GetModuleFileNameA(module, path, sizeof path);
    const char* name = strrchr(path, '\\') ? strrchr(path, '\\') + 1 : path;
    snprintf(out, size, "%p (%s+0x%lx)", address, name,
             static_cast<unsigned long>(static_cast<const BYTE*>(address) - reinterpret_cast<BYTE*>(module)));
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
    char line[1024];
    int length = snprintf(line, sizeof line, "page heap: %s, in %s%s%s\n", text, test ? test->test_suite_name() : "no test",
                          test ? "." : "", test ? test->name() : "");
    fflush(stdout);
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(length), &written, nullptr);
    TerminateProcess(GetCurrentProcess(), 3);
    for (;;) Sleep(INFINITE);
}

void giveBack(BYTE* run, size_t pages)
{
    State& s = state();
    auto next = s.unused.lower_bound(run);
    if (next != s.unused.begin()) {
        auto previous = std::prev(next);
        if (previous->first + previous->second * pageSize == run) {
            run = previous->first;
            pages += previous->second;
            s.unused.erase(previous);
        }
    }
    if (next != s.unused.end() && run + pages * pageSize == next->first) {
        pages += next->second;
        s.unused.erase(next);
    }
    s.unused[run] = pages;
}

BYTE* takeRun(size_t pages)
{
    State& s = state();
    auto fits = [pages](const std::pair<BYTE* const, size_t>& run) { return run.second >= pages; };
    auto found = std::find_if(s.unused.lower_bound(s.rover), s.unused.end(), fits);
    if (found == s.unused.end()) found = std::find_if(s.unused.begin(), s.unused.end(), fits);
    if (found == s.unused.end()) return nullptr;
    BYTE* run = found->first;
    size_t left = found->second - pages;
    s.unused.erase(found);
    if (left) s.unused[run + pages * pageSize] = left;
    s.rover = run + pages * pageSize;
    return run;
}

void* allocate(size_t size)
{
    State& s = state();
    if (size > s.arenaPages / 2 * pageSize) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t pages = size ? (size + pageSize - 1) / pageSize : 1;
    {
        Locked locked;
        BYTE* run = takeRun(pages + 1);
        if (run && VirtualAlloc(run, pages * pageSize, MEM_COMMIT, PAGE_READWRITE)) {
            Block block{run, pages, size};
            memset(run, slackFill, static_cast<size_t>(block.start() - run));
            memset(block.start(), blockFill, size);
            s.live[block.start()] = block;
            return block.start();
        }
        if (run) giveBack(run, pages + 1);
        if (s.fullReported) return s.crtMalloc(size);
        s.fullReported = true;
    }
    printf("page heap: no room for a block of %lu bytes; the C runtime's heap serves it and those that do not fit\n",
           static_cast<unsigned long>(size));
    return s.crtMalloc(size);
}

// Takes a block out of use: checks the bytes before it and makes its pages
// no-access. The caller holds the lock.
// The block in use that starts at start; reports a pointer that is none. The
// caller holds the lock.
const Block& blockInUse(BYTE* start, const char* call)
{
    State& s = state();
    auto found = s.live.find(start);
    if (found != s.live.end()) return found->second;
    for (const Block& freed : s.quarantine)
        if (freed.start() == start)
            report("%s of the block of %lu bytes at %p, which was freed before", call,
                   static_cast<unsigned long>(freed.size), start);
    report("%s of %p, which is not the start of a block in use", call, start);
}

void release(BYTE* start, const char* call)
{
    State& s = state();
    Block block = blockInUse(start, call);
    for (BYTE* byte = block.run; byte < start; ++byte) {
        if (*byte == slackFill) continue;
        report("%s of the block of %lu bytes at %p: its byte %ld (before its start) was overwritten", call,
               static_cast<unsigned long>(block.size), start, -static_cast<long>(start - byte));
    }
    s.live.erase(start);
    VirtualFree(block.run, block.pages * pageSize, MEM_DECOMMIT);
    s.quarantine.push_back(block);
    if (s.quarantine.size() > quarantineBlocks) {
        const Block& oldest = s.quarantine.front();
        giveBack(oldest.run, oldest.pages + 1);
        s.quarantine.pop_front();
    }
}

void* __cdecl heapCalloc(size_t count, size_t size)
{
    if (size && count > static_cast<size_t>(-1) / size) {
        errno = ENOMEM;
        return nullptr;
    }
    void* block = pageHeapMalloc(count * size);
    if (block) memset(block, 0, count * size);
    return block;
}

// As msvcrt's realloc: a null block is a malloc, a size of 0 frees the block.
// A block of the page heap always moves, so that a pointer kept to its old
// place faults.
void* __cdecl heapRealloc(void* block, size_t size)
{
    if (!block) return pageHeapMalloc(size);
    if (!inArena(block)) return state().crtRealloc(block, size);
    if (!size) {
        pageHeapFree(block);
        return nullptr;
    }
    size_t oldSize;
    {
        Locked locked;
        oldSize = blockInUse(static_cast<BYTE*>(block), "realloc").size;
    }
    void* moved = pageHeapMalloc(size);
    if (!moved) return nullptr;
    memcpy(moved, block, oldSize < size ? oldSize : size);
    Locked locked;
    release(static_cast<BYTE*>(block), "realloc");
    return moved;
}

// Where an access violation in the arena fell, told from the blocks around it.
void describeFault(BYTE* address, char* out, size_t size)
{
    State& s = state();
    Locked locked;
    auto after = s.live.upper_bound(address);
    if (after != s.live.begin()) {
        const Block& block = std::prev(after)->second;
        if (address >= block.end() && address < block.end() + pageSize) {
            snprintf(out, size, "byte %lu past the end of the block of %lu bytes at %p",
                     static_cast<unsigned long>(address - block.end()), static_cast<unsigned long>(block.size),
                     block.start());
            return;
        }
    }
    for (auto freed = s.quarantine.rbegin(); freed != s.quarantine.rend(); ++freed) {
        if (address < freed->run || address >= freed->end() + pageSize) continue;
        snprintf(out, size, "byte %ld from the start of the freed block of %lu bytes at %p", static_cast<long>(address - freed->start()),
                 static_cast<unsigned long>(freed->size), freed->start());
        return;
    }
    snprintf(out, size, "%p, in no block", address);
}

LONG CALLBACK onException(EXCEPTION_POINTERS* exception)
{
    const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
    char place[MAX_PATH + 64];
    if (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record.NumberParameters >= 2) {
        auto address = reinterpret_cast<BYTE*>(record.ExceptionInformation[1]);
        if (!inArena(address)) return EXCEPTION_CONTINUE_SEARCH;
        char where[256];
        describeFault(address, where, sizeof where);
        describePlace(record.ExceptionAddress, place, sizeof place);
        report("%s of %s, by the instruction at %s", record.ExceptionInformation[0] ? "a write" : "a read", where, place);
    }
    // 32-bit Wine under qemu-i386 user emulation raises an access violation as
    // an illegal instruction without the address: only the place can be named.
    if (record.ExceptionCode == EXCEPTION_ILLEGAL_INSTRUCTION) {
        describePlace(record.ExceptionAddress, place, sizeof place);
        report("an illegal instruction at %s (an access violation when 32-bit code runs under emulation)", place);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

State& state()
{
    static State* s = [] {
        auto made = new State;  // never destroyed: blocks may be freed while the process ends
        InitializeCriticalSection(&made->lock);
        // As large a range as the address space gives, down to 64 MiB.
        for (size_t bytes = sizeof(void*) == 8 ? size_t(8) << 30 : size_t(512) << 20; bytes >= size_t(64) << 20;
             bytes /= 2) {
            made->arena = static_cast<BYTE*>(VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS));
            if (!made->arena) continue;
            made->arenaPages = bytes / pageSize;
            break;
        }
        made->rover = made->arena;
        if (made->arena) made->unused[made->arena] = made->arenaPages;
        HMODULE crt = GetModuleHandleA("msvcrt.dll");
        made->crtMalloc = reinterpret_cast<CrtMalloc>(reinterpret_cast<void*>(GetProcAddress(crt, "malloc")));
        made->crtFree = reinterpret_cast<CrtFree>(reinterpret_cast<void*>(GetProcAddress(crt, "free")));
        made->crtRealloc = reinterpret_cast<CrtRealloc>(reinterpret_cast<void*>(GetProcAddress(crt, "realloc")));
        AddVectoredExceptionHandler(1, onException);
        return made;
    }();
    return *s;
}

}  // namespace

void* __cdecl pageHeapMalloc(size_t size)
{
    return state().arena ? allocate(size) : state().crtMalloc(size);
}

void __cdecl pageHeapFree(void* block)
{
    if (!block) return;
    if (!inArena(block)) return state().crtFree(block);
    Locked locked;
    release(static_cast<BYTE*>(block), "free");
}

void usePageHeap(HMODULE module)
{
    const struct {
        const char* name;
        void* function;
    } served[] = {
        {"malloc", reinterpret_cast<void*>(pageHeapMalloc)},
        {"calloc", reinterpret_cast<void*>(heapCalloc)},
        {"realloc", reinterpret_cast<void*>(heapRealloc)},
        {"free", reinterpret_cast<void*>(pageHeapFree)},
    };
    state();
    for (const auto& function : served) new ImportPatch(module, function.name, function.function);  // never undone
}

// Linked into every test program (zarn_test): each load of the library that
// the test programs make through callOnLoad, as the JVM's first call into it,
// serves its allocations from here.
const bool servesEveryLoad = (onLibraryLoad = usePageHeap, true);

}  // namespace testjni
