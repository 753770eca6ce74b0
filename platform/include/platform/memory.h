// Large picture buffers: one block for a whole picture, asked of the system
// in huge pages where it offers them, so that touching a fresh 20 MB buffer
// costs a few page faults instead of thousands.
#pragma once

#include <cstddef>

namespace platform {

// A block of at least `bytes` bytes, not cleared; null when out of memory.
// Release it with FreeLarge.
void* AllocateLarge(size_t bytes);
void FreeLarge(void* block);

}  // namespace platform
