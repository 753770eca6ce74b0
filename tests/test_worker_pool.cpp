// The shared worker pool: every index of a loop runs exactly once, from one or
// many callers at a time, nested, and with no workers at all.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/memory.h"
#include "platform/worker_pool.h"

namespace {

// Runs a loop of `count` and checks that each index was visited exactly once.
void ExpectEachIndexOnce(platform::WorkerPool& pool, int count) {
    std::vector<std::atomic<int>> visits(static_cast<size_t>(count));
    pool.ParallelFor(count, 4, [&](int first, int last) {
        ASSERT_LE(0, first);
        ASSERT_LE(first, last);
        ASSERT_LE(last, count);
        for (int i = first; i < last; ++i) visits[static_cast<size_t>(i)].fetch_add(1);
    });
    for (int i = 0; i < count; ++i) ASSERT_EQ(visits[static_cast<size_t>(i)].load(), 1) << i;
}

}  // namespace

TEST(WorkerPool, EveryIndexOnceForAnyCountAndSize) {
    for (unsigned threads : {0u, 1u, 3u}) {
        platform::WorkerPool pool(threads);
        EXPECT_EQ(pool.Threads(), threads);
        for (int count : {0, 1, 3, 4, 5, 7, 64, 1001}) ExpectEachIndexOnce(pool, count);
    }
}

TEST(WorkerPool, ShortLoopsStayOnTheCallingThread) {
    platform::WorkerPool pool(2);
    const std::thread::id self = std::this_thread::get_id();
    bool elsewhere = false;
    pool.ParallelFor(31, 32, [&](int, int) { elsewhere = std::this_thread::get_id() != self; });
    EXPECT_FALSE(elsewhere);
}

TEST(WorkerPool, ManyCallersAndNestedLoopsAllFinish) {
    platform::WorkerPool pool(2);
    std::atomic<long> total{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&] {
            for (int round = 0; round < 50; ++round) {
                pool.ParallelFor(40, 4, [&](int first, int last) {
                    // A loop inside a slice: the pool must not wait on itself.
                    pool.ParallelFor(last - first, 2, [&](int a, int b) { total += b - a; });
                });
            }
        });
    }
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(total.load(), 4L * 50 * 40);
}

TEST(WorkerPool, SharedPoolLeavesOneWayForTheCaller) {
    platform::WorkerPool& pool = platform::WorkerPool::Shared();
    EXPECT_EQ(&pool, &platform::WorkerPool::Shared());
    EXPECT_LT(pool.Threads(), 8u);
    ExpectEachIndexOnce(pool, 333);
}

// Large blocks: a freed block serves the next request of about its size, a
// much larger request gets a fresh one, and many threads at once never share
// a block.
TEST(WorkerPool, LargeBlocksAreKeptForTheNextPictureOnly) {
    platform::TrimLarge();
    const size_t mb = size_t{1} << 20;
    void* a = platform::AllocateLarge(7 * mb);
    ASSERT_NE(a, nullptr);
    static_cast<char*>(a)[7 * mb - 1] = 1;
    platform::FreeLarge(a, 7 * mb);
    void* b = platform::AllocateLarge(6 * mb);
    EXPECT_EQ(b, a);
    platform::FreeLarge(b, 6 * mb);
    void* c = platform::AllocateLarge(40 * mb);  // would not fit in the kept one
    EXPECT_NE(c, a);
    platform::FreeLarge(c, 40 * mb);
    platform::WorkerPool pool(3);
    pool.ParallelFor(32, 1, [&](int first, int last) {
        for (int i = first; i < last; ++i) {
            void* p = platform::AllocateLarge(3 * mb);
            std::memset(p, i, 3 * mb);
            EXPECT_EQ(static_cast<unsigned char*>(p)[3 * mb - 1], static_cast<unsigned char>(i));
            platform::FreeLarge(p, 3 * mb);
        }
    });
    platform::TrimLarge();
}
