// The pool of work-stealing worker threads and its fork-join: the jobs, the
// workers' deques (job_deque.hpp) and the shared queue for jobs handed in
// from outside. The process's one pool is built by pool_once.hpp.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <type_traits>

#include "pool/caller_latch.hpp"

namespace zorv::pool {

struct WorkerThread;

// One piece of fork-join work. It lives in the stack frame that created it,
// and that frame waits for it, so the queues hold plain pointers and no job
// costs an allocation.
class Job {
public:
    // `work(bool taken_over)` is told whether it runs on another thread than
    // the one that created the job.
    template <class Work>
    Job(Work& work, const void* creator)
        : call_(&call<Work>), work_(const_cast<void*>(static_cast<const void*>(&work))), creator_(creator) {}
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

private:
    friend class WorkerPool;

    template <class Work>
    static void call(void* work, bool taken_over) {
        (*static_cast<Work*>(work))(taken_over);
    }
    // Runs the work here; what it throws is kept in error_.
    void run() noexcept;

    void (*call_)(void*, bool);
    void* work_;
    const void* creator_;
    std::exception_ptr error_;
    std::atomic<bool> done_{false};        // set once a job run by a thief has finished
    CallerLatch* caller_latch_ = nullptr;  // set for a job handed in from outside the pool
    Job* next_shared_ = nullptr;           // link in the shared queue
};

class WorkerPool {
public:
    // Starts a detached thread running entry(argument); 0 or an errno value.
    using ThreadStarter = int (*)(void* (*entry)(void*), void* argument);
    // pthread_create with a 2 MiB stack.
    static int start_detached_thread(void* (*entry)(void*), void* argument);

    // Starts thread_count (>= 1) workers. If one cannot be started, those
    // already running are stopped, `error` tells why, and the result is null.
    static std::unique_ptr<WorkerPool> start(std::size_t thread_count, ThreadStarter starter, int& error);
    // A pool without threads of its own: a thread calling into it acts as its
    // only worker, so everything runs on the caller.
    static std::unique_ptr<WorkerPool> on_calling_thread();

    // Only with no work in flight: stops the workers and waits for them to exit.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t thread_count() const noexcept { return thread_count_; }
    bool has_own_threads() const noexcept { return has_own_threads_; }

    // Runs a(taken_over) and b(taken_over), in parallel where a worker is free,
    // and returns when both are done; then rethrows what a threw, else what b
    // threw. Called from outside the pool, the pair becomes one job on the
    // shared queue and the caller blocks until it is done.
    template <class A, class B>
    void join(A&& a, B&& b) {
        const void* creator = this_thread_marker();
        Job job_a(a, creator);
        Job job_b(b, creator);
        join_jobs(job_a, job_b, nullptr);
    }

    // The same; called from outside the pool, the caller waits on `latch`,
    // which a and b may tell that they are finishing soon. Called on a worker
    // the latch plays no part.
    template <class A, class B>
    void join(A&& a, B&& b, CallerLatch& latch) {
        const void* creator = this_thread_marker();
        Job job_a(a, creator);
        Job job_b(b, creator);
        join_jobs(job_a, job_b, &latch);
    }

    // Runs rest(taken_over) on the workers while the calling thread runs
    // own() itself, and returns when both are done; then rethrows what own
    // threw, else what rest threw. Only from outside this pool, which must
    // have threads of its own.
    template <class Own, class Rest>
    void run_beside_caller(Own&& own, Rest&& rest) {
        Job job(rest, this_thread_marker());
        run_beside_caller(job, [](void* own) { (*static_cast<std::remove_reference_t<Own>*>(own))(); },
                          static_cast<void*>(&own));
    }

    // Whether the calling thread is a worker of any pool.
    static bool current_thread_is_worker() noexcept;
    // Whether it is a worker of this pool.
    bool calling_thread_is_own_worker() const noexcept;

private:
    friend class Job;

    WorkerPool(std::size_t thread_count, bool has_own_threads);
    static const void* this_thread_marker() noexcept;
    static void* worker_main(void* worker);

    void join_jobs(Job& a, Job& b, CallerLatch* latch);
    void join_on_worker(WorkerThread& me, Job& a, Job& b) noexcept;
    void run_from_outside(Job& a, Job& b, CallerLatch* latch);
    void run_beside_caller(Job& rest, void (*own)(void*), void* context);
    void execute(Job& job) noexcept;
    void work_until(WorkerThread& me, const std::atomic<bool>& done) noexcept;
    Job* find_work(WorkerThread& me) noexcept;
    // `wake`: whether to wake a sleeping worker, unless one is looking for
    // work already, which will find the job.
    enum class Wake { always, unless_looking };
    void push_shared(Job& job, Wake wake = Wake::always);
    Job* pop_shared() noexcept;
    // Takes `job` off the shared queue if no worker has taken it yet.
    bool take_back_shared(Job& job) noexcept;
    void wake_one_sleeper();
    void wake_all_sleepers();

    const std::size_t thread_count_;
    const bool has_own_threads_;
    std::unique_ptr<WorkerThread[]> workers_;

    std::mutex shared_mutex_;
    Job* shared_head_ = nullptr;
    Job* shared_tail_ = nullptr;
    std::atomic<std::size_t> shared_count_{0};  // lets idle workers skip the lock

    std::mutex sleep_mutex_;
    std::condition_variable sleep_cv_;
    std::atomic<std::size_t> sleepers_{0};
    std::atomic<std::size_t> lookers_{0};  // idle workers still looking for work, awake
    std::atomic<bool> stopping_{false};
    std::size_t live_threads_ = 0;  // guarded by sleep_mutex_
    std::condition_variable exited_cv_;

    std::mutex borrow_mutex_;  // one caller at a time acts as worker of a pool without threads
};

}  // namespace zorv::pool
