#include "app/heap_policy.h"

#include <malloc.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitizer_allocator = true;  // replaces malloc; mallopt and mallinfo2 mean nothing there
#else
constexpr bool sanitizer_allocator = false;
#endif

// A recording's pattern: frame-sized blocks freed while small blocks allocated between them live
// on. Under glibc's default policy the freed frames stay in the heap as holes the small blocks
// pin (tens of MB here); under the program's they are unmapped as they are freed.
TEST(HeapPolicy, FreedFrameSizedBlocksLeaveNothingInTheHeap) {
    if (sanitizer_allocator) GTEST_SKIP() << "the sanitizer's allocator has no such policy";
    ASSERT_TRUE(return_large_blocks_to_the_system());
    std::make_unique<char[]>(300 * 1024).reset();  // what raises glibc's default threshold past a frame
    const std::size_t free_before = ::mallinfo2().fordblks;
    std::vector<std::unique_ptr<char[]>> frames;
    std::vector<std::unique_ptr<char[]>> pins;
    for (int i = 0; i < 64; ++i) {
        frames.push_back(std::make_unique<char[]>(300 * 1024));
        pins.push_back(std::make_unique<char[]>(64));
    }
    frames.clear();
    const std::size_t free_after = ::mallinfo2().fordblks;
    EXPECT_LT(free_after, free_before + (1u << 20)) << "freed: " << free_after - free_before << " bytes kept";
}

}  // namespace
