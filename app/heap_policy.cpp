#include "app/heap_policy.h"

#include <malloc.h>

namespace {
// Below the smallest real frame (about 300 KB) and above the buffers of ordinary objects.
constexpr int large_block_bytes = 256 * 1024;
}  // namespace

bool return_large_blocks_to_the_system() { return ::mallopt(M_MMAP_THRESHOLD, large_block_bytes) == 1; }
