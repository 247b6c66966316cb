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
// programs: a write one byte past a block, one just before it, and one into a
// freed block.
TEST(PageHeap, overrun)
{
    auto block = static_cast<volatile char*>(testjni::pageHeapMalloc(40));
    block[40] = 1;
}

TEST(PageHeap, slack)
{
    auto block = static_cast<char*>(testjni::pageHeapMalloc(40));
    block[-1] = 1;
    testjni::pageHeapFree(block);
}

TEST(PageHeap, freed)
{
    auto block = static_cast<volatile char*>(testjni::pageHeapMalloc(64));
    testjni::pageHeapFree(const_cast<char*>(block));
    block[16] = 1;
}

TEST(PageHeap, twiceFreed)
{
    void* block = testjni::pageHeapMalloc(64);
    testjni::pageHeapFree(block);
    testjni::pageHeapFree(block);
}

// Every block, of no bytes or of whole pages too, ends where the no-access page starts.
TEST(PageHeap, blocksEndAgainstANoAccessPage)
{
    for (size_t size : {0, 1, 15, 4095, 4096, 4097, 70000}) {
        SCOPED_TRACE(size);
        auto block = static_cast<BYTE*>(testjni::pageHeapMalloc(size));
        ASSERT_NE(block, nullptr);
        MEMORY_BASIC_INFORMATION after = {};
        ASSERT_NE(VirtualQuery(block + size, &after, sizeof after), 0u);
        EXPECT_EQ(after.BaseAddress, block + size);
        EXPECT_NE(after.State, static_cast<DWORD>(MEM_COMMIT));
        if (size) block[0] = block[size - 1] = 1;
        testjni::pageHeapFree(block);
    }
}

}  // namespace
