// The work-stealing deque of one worker of the pool (worker_pool.cpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zorv::pool {

class Job;

// Cache lines kept apart: the deque's ends, which its owner and the thieves
// write.
inline constexpr std::size_t cache_line_bytes = 64;

// Chase-Lev work-stealing deque over a fixed ring. The owner pushes and pops
// at the bottom; thieves take from the top. A full ring refuses the push and
// the owner runs that job itself, so the ring never has to grow or be freed
// while a thief may still read it. Every operation on top_ and bottom_ that
// decides who gets the last job is seq_cst: the owner's pop is a store of
// bottom_ followed by a load of top_, a thief's steal is a load of top_
// followed by a load of bottom_, and only a single total order over all four
// keeps both from taking the same job or both missing it.
class JobDeque {
public:
    // Owner only. False when the ring is full.
    bool push(Job* job) noexcept {
        // Only the owner writes bottom_, so its own last value is current.
        const std::int64_t bottom = bottom_.load(std::memory_order_relaxed);
        // Acquire: pairs with the thieves' CAS on top_, so a thief has
        // finished reading a slot before we reuse it.
        const std::int64_t top = top_.load(std::memory_order_acquire);
        if (bottom - top >= capacity) return false;
        // Relaxed: published by the bottom_ store just below.
        slots_[bottom % capacity].store(job, std::memory_order_relaxed);
        // seq_cst: as a release it publishes the slot and the job to thieves;
        // being in the total order with the pusher's later sleepers_ check,
        // a worker about to sleep either sees this job or is seen asleep.
        bottom_.store(bottom + 1, std::memory_order_seq_cst);
        return true;
    }

    // Owner only. Null when empty or a thief got the last job.
    Job* pop() noexcept {
        const std::int64_t bottom = bottom_.load(std::memory_order_relaxed) - 1;
        // seq_cst store then seq_cst load: claims the bottom slot before
        // looking at top_, ordered against a thief's load pair in steal().
        bottom_.store(bottom, std::memory_order_seq_cst);
        std::int64_t top = top_.load(std::memory_order_seq_cst);
        if (top > bottom) {
            // Empty. Release: a thief reading this value must still see the
            // jobs the owner pushed before (a relaxed store would not carry
            // that happens-before).
            bottom_.store(bottom + 1, std::memory_order_release);
            return nullptr;
        }
        // Relaxed: the owner wrote this slot itself.
        Job* job = slots_[bottom % capacity].load(std::memory_order_relaxed);
        if (top == bottom) {
            // The last job: race the thieves for it on top_, as they race
            // each other. seq_cst keeps the CAS in the same total order.
            if (!top_.compare_exchange_strong(top, top + 1, std::memory_order_seq_cst,
                                              std::memory_order_relaxed)) {
                job = nullptr;
            }
            // Release, for the same reason as in the empty case.
            bottom_.store(bottom + 1, std::memory_order_release);
        }
        return job;
    }

    // Any thread. Null when empty; lost_race is set when another thread took
    // the job first, so the caller knows the deque may still hold work.
    Job* steal(bool& lost_race) noexcept {
        // seq_cst loads, top_ first: see the class comment. The bottom_ load
        // is also the acquire that makes the pushed job's contents visible.
        std::int64_t top = top_.load(std::memory_order_seq_cst);
        const std::int64_t bottom = bottom_.load(std::memory_order_seq_cst);
        if (top >= bottom) return nullptr;
        // Relaxed: if the owner reuses the slot meanwhile, top_ has moved
        // and the CAS below fails, dropping the stale value unused.
        Job* job = slots_[top % capacity].load(std::memory_order_relaxed);
        // seq_cst: in the total order with pop(); as a release it tells the
        // owner's acquire load in push() that this slot is no longer read.
        if (!top_.compare_exchange_strong(top, top + 1, std::memory_order_seq_cst,
                                          std::memory_order_relaxed)) {
            lost_race = true;
            return nullptr;
        }
        return job;
    }

private:
    // Nesting deeper than this on one worker is rare and merely runs the
    // extra halves without offering them.
    static constexpr std::int64_t capacity = 256;
    // Thieves hammer top_ while the owner works on bottom_: separate cache
    // lines keep them from invalidating each other.
    alignas(cache_line_bytes) std::atomic<std::int64_t> top_{0};
    alignas(cache_line_bytes) std::atomic<std::int64_t> bottom_{0};
    alignas(cache_line_bytes) std::atomic<Job*> slots_[capacity]{};
};

}  // namespace zorv::pool
