// The latch of a job handed to the pool from outside (worker_pool.hpp).
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace zorv::pool {

class WorkerPool;

// Where a thread outside the pool waits, asleep, for the job it handed in.
// Waking a thread that sleeps in the kernel takes tens of microseconds, a
// large share of a job of a millisecond. A job that can tell, a little before
// it completes, that it is about to, calls finishing_soon(): the waiter wakes
// then and waits out the rest awake, yielding the processor on every round,
// so that its wake-up overlaps the job's last stretch instead of following it.
class CallerLatch {
public:
    CallerLatch() = default;
    CallerLatch(const CallerLatch&) = delete;
    CallerLatch& operator=(const CallerLatch&) = delete;

    // From any thread while the job runs; only the first call wakes the waiter.
    void finishing_soon() noexcept;

private:
    friend class WorkerPool;

    // `awake`: the waiter has been working beside the job and expects it to
    // end about now, so it watches awake from the start instead of sleeping
    // first.
    void wait(bool awake = false) noexcept;
    // Called once, when the job is complete.
    void release() noexcept;

    std::mutex mutex_;
    std::condition_variable cv_;
    bool awake_ = false;                // guarded by mutex_: finishing soon, or complete
    std::atomic<bool> told_soon_{false};
    std::atomic<bool> complete_{false};  // written under mutex_, read by the waiter awake
};

}  // namespace zorv::pool
