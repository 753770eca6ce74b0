// The shared worker pool: every index of a loop runs exactly once, from one or
// many callers at a time, nested, and with no workers at all.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

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
