#pragma once
// How the process's allocator treats large blocks. Call once from main, before any thread.

// Frames pass through the heap as blocks of hundreds of KB: the encoder's output, LevelDB's
// write batch and its memtable entries, blocks read back by compactions. glibc's default
// raises its mmap threshold past such a block the first time one is freed, and from then on
// carves them from its per-thread arenas, whose free holes grow over a long recording and are
// never given back. With the threshold fixed below them, every such block is mapped on its
// own and returned to the system the moment it is freed. Returns false when the allocator
// refused the setting (the program runs on, with the default policy).
bool return_large_blocks_to_the_system();
