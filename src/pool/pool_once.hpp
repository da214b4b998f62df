// The process's one worker pool: built on first use, once, and kept; a
// child of fork() builds its own.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "pool/worker_pool.hpp"

namespace zorv::pool {

// Builds a pool the first time it is asked for and keeps it for good; a failed
// build is remembered and not retried. Concurrent first callers wait for the
// one build.
class PoolOnce {
public:
    PoolOnce(std::size_t (*choose_thread_count)(), WorkerPool::ThreadStarter starter);
    PoolOnce(const PoolOnce&) = delete;
    PoolOnce& operator=(const PoolOnce&) = delete;

    // Throws InternalFailure when the pool cannot be built, now or before.
    WorkerPool& get();
    // The same without throwing: null when the pool cannot be built. A build
    // that fails here throws nothing now; the next get() reports that
    // failure in full, as if it had been the one to try.
    WorkerPool* get_if_built() noexcept;

    // fork() handlers: no build may straddle a fork, and a child, which has
    // none of the workers, forgets the pool (its locks may be held by threads
    // that do not exist there) so that its next get() starts fresh workers,
    // as many as before.
    void before_fork();
    void after_fork_in_parent();
    void after_fork_in_child();

private:
    // With guard_ held: the pool, built now if need be, or null when it
    // cannot be, its failure then in build_failure_.
    WorkerPool* build_locked();

    std::size_t (*const choose_thread_count_)();
    const WorkerPool::ThreadStarter starter_;
    std::mutex guard_;
    std::unique_ptr<WorkerPool> pool_;
    bool failed_ = false;
    std::string build_failure_;     // why the build failed, until get() has said so
    bool failure_reported_ = false;
    std::size_t thread_count_ = 0;  // 0 until decided; kept across fork
};

// The process's pool, sized by thread_count_from_environment() on first use.
WorkerPool& global_pool();

// The same pool for work besides sim_batch's (the optimizer's array work),
// built here if nothing has built it yet; null when it cannot be built, and
// the failure is then left for sim_batch to report.
WorkerPool* global_pool_if_built() noexcept;

}  // namespace zorv::pool
