// Deliberate heap damage, which the test bed's heap checking must report.
// Only the output's err:heap line tells whether it did (see CMakeLists.txt).
#include "natives.h"
#include "page_heap.h"

#include <cstring>

namespace {

// An 8-byte overrun of a 40-byte block that is still allocated.
TEST(HeapDamage, tail)
{
    auto block = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, 40));
    ASSERT_NE(block, nullptr);
    memset(block, 0x11, 48);
    testjni::processHeapsValid();
}

// A write into a block after it was freed.
TEST(HeapDamage, freed)
{
    auto block = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, 64));
    ASSERT_NE(block, nullptr);
    HeapFree(GetProcessHeap(), 0, block);
    memset(block + 16, 0x22, 16);
    testjni::processHeapsValid();
}

// The page heap, which serves the library's malloc and free in the test
// programs: each fault ends the process with its report (see CMakeLists.txt).
volatile char* pageBlock(size_t size) { return static_cast<volatile char*>(testjni::pageHeapMalloc(size)); }
void pageFree(volatile char* block) { testjni::pageHeapFree(const_cast<char*>(block)); }

TEST(PageHeap, overrun) { pageBlock(40)[40] = 1; }

TEST(PageHeap, slack)
{
    volatile char* block = pageBlock(40);
    block[-1] = 1;
    pageFree(block);
}

TEST(PageHeap, freed)
{
    volatile char* block = pageBlock(64);
    pageFree(block);
    block[16] = 1;
}

TEST(PageHeap, twiceFreed)
{
    volatile char* block = pageBlock(64);
    pageFree(block);
    pageFree(block);
}

// Every block, of no bytes or of whole pages too, ends where a no-access page starts.
TEST(PageHeap, layout)
{
    for (size_t size : {0, 1, 15, 4095, 4096, 4097, 70000}) {
        auto block = static_cast<BYTE*>(testjni::pageHeapMalloc(size));
        MEMORY_BASIC_INFORMATION after = {};
        ASSERT_NE(VirtualQuery(block + size, &after, sizeof after), 0u) << size;
        EXPECT_EQ(after.BaseAddress, block + size) << size;
        EXPECT_NE(after.State, static_cast<DWORD>(MEM_COMMIT)) << size;
        if (size) block[0] = block[size - 1] = 1;
        testjni::pageHeapFree(block);
    }
}

}  // namespace
