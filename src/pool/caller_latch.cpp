#include "pool/caller_latch.hpp"

#include <sched.h>

#include "pool/looking_for_work.hpp"

namespace zorv::pool {

void CallerLatch::finishing_soon() noexcept {
    // Relaxed: only picks the one caller that wakes the waiter; the mutex
    // orders the rest.
    if (told_soon_.load(std::memory_order_relaxed) || told_soon_.exchange(true, std::memory_order_relaxed)) return;
    std::lock_guard lock(mutex_);
    awake_ = true;
    cv_.notify_one();
}

void CallerLatch::wait(bool awake) noexcept {
    using clock = std::chrono::steady_clock;
    std::unique_lock lock(mutex_);
    if (!awake) cv_.wait(lock, [this] { return awake_; });
    lock.unlock();
    // Told that the job finishes soon, or complete: watch for the end awake,
    // but for no longer than a worker looks for work, in case "soon" was not.
    const clock::time_point give_up = clock::now() + look_after_short_work;
    // Acquire: pairs with the release in release(), for the job's results.
    while (!complete_.load(std::memory_order_acquire) && clock::now() < give_up) sched_yield();
    // Also when complete: release() writes complete_ under the lock, so
    // taking it once more waits until release() is done with the latch,
    // which the caller frees on return.
    lock.lock();
    cv_.wait(lock, [this] { return complete_.load(std::memory_order_relaxed); });
}

void CallerLatch::release() noexcept {
    // Everything under the lock and the notify too: the waiter cannot return
    // and free the latch before this is over.
    std::lock_guard lock(mutex_);
    awake_ = true;
    complete_.store(true, std::memory_order_release);
    cv_.notify_one();
}

}  // namespace zorv::pool
