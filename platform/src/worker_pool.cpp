#include "platform/worker_pool.h"

#include <algorithm>

namespace platform {

// One ParallelFor call: lives on the caller's stack until every slice is done.
// The counters are guarded by the pool's mutex.
struct WorkerPool::Loop {
    const std::function<void(int, int)>* body = nullptr;
    int count = 0;
    int sliceSize = 0;
    int slices = 0;
    int taken = 0;     // slices handed out
    int finished = 0;  // slices done
};

WorkerPool::WorkerPool(unsigned threads) {
    m_threads.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) m_threads.emplace_back([this] { WorkerMain(); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_work.notify_all();
    for (std::thread& t : m_threads) t.join();
}

WorkerPool& WorkerPool::Shared() {
    static WorkerPool pool([] {
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        return std::min(cores, 8u) - 1;
    }());
    return pool;
}

int WorkerPool::Claim(std::deque<Loop*>* queue, Loop* loop) {
    const int slice = loop->taken++;
    if (loop->taken == loop->slices) queue->erase(std::find(queue->begin(), queue->end(), loop));
    return slice;
}

void WorkerPool::RunSlice(const Loop& loop, int slice) {
    const int first = slice * loop.sliceSize;
    const int last = std::min(loop.count, first + loop.sliceSize);
    if (first < last) (*loop.body)(first, last);
}

void WorkerPool::WorkerMain() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty()) return;  // stopping, nothing left
        Loop* loop = m_queue.front();
        const int slice = Claim(&m_queue, loop);
        lock.unlock();
        RunSlice(*loop, slice);
        lock.lock();
        // After this the caller may return and the loop is gone.
        if (++loop->finished == loop->slices) m_finished.notify_all();
    }
}

void WorkerPool::ParallelFor(int count, int minParallel,
                             const std::function<void(int, int)>& body) {
    const int ways = static_cast<int>(m_threads.size()) + 1;
    if (count <= 0) return;
    if (count < minParallel || ways == 1) {
        body(0, count);
        return;
    }
    Loop loop;
    loop.body = &body;
    loop.count = count;
    loop.sliceSize = (count + ways - 1) / ways;
    loop.slices = (count + loop.sliceSize - 1) / loop.sliceSize;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_queue.push_back(&loop);
    m_work.notify_all();
    // The calling thread takes slices too, so the loop ends even when every
    // worker is busy with another caller's loop.
    while (loop.taken < loop.slices) {
        const int slice = Claim(&m_queue, &loop);
        lock.unlock();
        RunSlice(loop, slice);
        lock.lock();
        ++loop.finished;
    }
    m_finished.wait(lock, [&loop] { return loop.finished == loop.slices; });
}

}  // namespace platform
