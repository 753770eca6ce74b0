#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdlib>

namespace platform {

namespace {
constexpr size_t kHugePage = size_t{2} << 20;
}  // namespace

void* AllocateLarge(size_t bytes) {
    if (bytes < kHugePage) return std::malloc(bytes == 0 ? 1 : bytes);
    const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    // Only advice: without huge pages the block works the same.
    if (p != nullptr) madvise(p, rounded, MADV_HUGEPAGE);
    return p;
}

void FreeLarge(void* block) {
    std::free(block);
}

}  // namespace platform
