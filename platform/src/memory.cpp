#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdlib>
#include <mutex>

namespace platform {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr int kKept = 4;                         // blocks kept at most
constexpr size_t kKeptBytes = size_t{96} << 20;  // and bytes

struct Kept {
    void* p = nullptr;
    size_t size = 0;  // rounded to whole huge pages
};

std::mutex g_mutex;  // guards g_kept
Kept g_kept[kKept];

size_t Rounded(size_t bytes) {
    return (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

}  // namespace

void* AllocateLarge(size_t bytes) {
    if (bytes < kHugePage) return std::malloc(bytes == 0 ? 1 : bytes);
    const size_t rounded = Rounded(bytes);
    {
        // A kept block that fits without wasting more than its own size.
        std::lock_guard<std::mutex> lock(g_mutex);
        for (Kept& k : g_kept) {
            if (k.p != nullptr && k.size >= rounded && k.size <= 2 * rounded) {
                void* p = k.p;
                k = Kept{};
                return p;
            }
        }
    }
    void* p = std::aligned_alloc(kHugePage, rounded);
    // Only advice: without huge pages the block works the same.
    if (p != nullptr) madvise(p, rounded, MADV_HUGEPAGE);
    return p;
}

void FreeLarge(void* block, size_t bytes) {
    if (block == nullptr) return;
    if (bytes < kHugePage) {
        std::free(block);
        return;
    }
    const size_t rounded = Rounded(bytes);
    void* drop = block;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        size_t total = rounded;
        for (const Kept& k : g_kept) total += k.size;
        for (Kept& k : g_kept) {
            if (k.p == nullptr && total <= kKeptBytes) {
                k = Kept{block, rounded};
                drop = nullptr;
                break;
            }
        }
    }
    std::free(drop);
}

void TrimLarge() {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (Kept& k : g_kept) {
        std::free(k.p);
        k = Kept{};
    }
}

}  // namespace platform
