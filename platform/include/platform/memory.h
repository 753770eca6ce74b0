// Large picture buffers: one block for a whole picture, asked of the system
// in huge pages where it offers them, so that touching a fresh 20 MB buffer
// costs a few page faults instead of thousands. A few freed blocks are kept
// for the next picture of a batch, which then touches no fresh memory at all.
#pragma once

#include <cstddef>

namespace platform {

// A block of at least `bytes` bytes, not cleared; null when out of memory.
// Release it with FreeLarge and the same size. Safe from any thread.
void* AllocateLarge(size_t bytes);
void FreeLarge(void* block, size_t bytes);

// Frees the kept blocks (tests; the process's end frees them anyway).
void TrimLarge();

}  // namespace platform
