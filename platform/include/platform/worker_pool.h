// A fixed set of worker threads, started once, that runs the slices of
// parallel loops: the photo stitch and the per-frame stitch of the export use
// the shared pool instead of starting threads for every picture.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

class WorkerPool {
  public:
    // Starts `threads` workers (0 is allowed: every loop then runs on the
    // calling thread).
    explicit WorkerPool(unsigned threads);
    ~WorkerPool();  // finishes the queued loops, then joins the workers
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // The process's pool: one worker less than the cores (at most 8 in all),
    // since the calling thread takes part. Started on first use.
    static WorkerPool& Shared();

    unsigned Threads() const { return static_cast<unsigned>(m_threads.size()); }

    // Runs body(first, last) over [0, count) in contiguous slices, one per
    // worker and one for the calling thread, and returns when every slice is
    // done. Counts below minParallel run at once on the calling thread. Safe
    // to call from several threads at the same time.
    void ParallelFor(int count, int minParallel, const std::function<void(int, int)>& body);

  private:
    struct Loop;
    void WorkerMain();
    // Takes the next slice of a queued loop; the mutex must be held.
    static int Claim(std::deque<Loop*>* queue, Loop* loop);
    static void RunSlice(const Loop& loop, int slice);

    std::mutex m_mutex;                  // guards m_queue, m_stop and every queued Loop's counters
    std::condition_variable m_work;      // a loop was queued, or the pool stops
    std::condition_variable m_finished;  // a slice was finished
    std::deque<Loop*> m_queue;           // loops with slices left to take
    bool m_stop = false;
    std::vector<std::thread> m_threads;  // set up in the constructor, joined in the destructor
};

}  // namespace platform
