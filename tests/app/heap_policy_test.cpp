#include "app/heap_policy.h"

#include <malloc.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

// A recording's pattern: frame-sized blocks freed while small blocks allocated between them live
// on. glibc's default policy keeps the freed frames as holes the small blocks pin (20 MB here).
TEST(HeapPolicy, FreedFrameSizedBlocksLeaveNothingInTheHeap) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator has no such policy";
#endif
    ASSERT_TRUE(return_large_blocks_to_the_system());
    std::make_unique<char[]>(300 * 1024).reset();  // what raises glibc's default threshold past a frame
    const std::size_t free_before = ::mallinfo2().fordblks;
    std::vector<std::unique_ptr<char[]>> frames, pins;
    for (int i = 0; i < 64; ++i) {
        frames.push_back(std::make_unique<char[]>(300 * 1024));
        pins.push_back(std::make_unique<char[]>(64));
    }
    frames.clear();
    EXPECT_LT(::mallinfo2().fordblks, free_before + (1u << 20));
}
