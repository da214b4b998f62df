#include "pool/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <utility>

#include "pool/job_deque.hpp"
#include "pool/looking_for_work.hpp"

namespace zorv::pool {

namespace {

constexpr std::size_t worker_stack_bytes = 2 * 1024 * 1024;

// Initial-exec: in the static TLS block, set up with each thread. In a
// library loaded at run time, the default model allocates a thread's copy
// on its first use, and glibc aborts the process when that allocation
// fails ("cannot allocate memory for thread-local data"), as it can just
// when a pool's threads have taken the address space.
[[gnu::tls_model("initial-exec")]] thread_local WorkerThread* current_worker = nullptr;
// Only its address matters: one distinct address per thread.
[[gnu::tls_model("initial-exec")]] thread_local const char thread_marker = 0;

}  // namespace

struct WorkerThread {
    WorkerPool* pool = nullptr;
    std::size_t index = 0;
    std::uint64_t random_state = 1;
    JobDeque deque;

    // xorshift64: only has to spread the thieves over their victims.
    std::size_t random_below(std::size_t bound) noexcept {
        random_state ^= random_state << 13;
        random_state ^= random_state >> 7;
        random_state ^= random_state << 17;
        return static_cast<std::size_t>(random_state % bound);
    }
};

void Job::run() noexcept {
    try {
        call_(work_, WorkerPool::this_thread_marker() != creator_);
    } catch (...) {
        error_ = std::current_exception();
    }
}

WorkerPool::WorkerPool(std::size_t thread_count, bool has_own_threads)
    : thread_count_(std::max<std::size_t>(thread_count, 1)),
      has_own_threads_(has_own_threads),
      workers_(new WorkerThread[thread_count_]) {
    for (std::size_t i = 0; i < thread_count_; ++i) {
        workers_[i].pool = this;
        workers_[i].index = i;
        workers_[i].random_state = 0x9E3779B97F4A7C15ULL * (i + 1);
    }
}

WorkerPool::~WorkerPool() {
    stopping_.store(true, std::memory_order_seq_cst);
    std::unique_lock lock(sleep_mutex_);
    sleep_cv_.notify_all();
    exited_cv_.wait(lock, [this] { return live_threads_ == 0; });
}

int WorkerPool::start_detached_thread(void* (*entry)(void*), void* argument) {
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error != 0) return error;
    error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (error == 0) error = pthread_attr_setstacksize(&attributes, worker_stack_bytes);
    pthread_t thread;
    if (error == 0) error = pthread_create(&thread, &attributes, entry, argument);
    pthread_attr_destroy(&attributes);
    return error;
}

std::unique_ptr<WorkerPool> WorkerPool::start(std::size_t thread_count, ThreadStarter starter, int& error) {
    std::unique_ptr<WorkerPool> pool(new WorkerPool(thread_count, true));
    error = 0;
    for (std::size_t i = 0; i < pool->thread_count_; ++i) {
        {
            std::lock_guard lock(pool->sleep_mutex_);
            ++pool->live_threads_;
        }
        error = starter(&worker_main, &pool->workers_[i]);
        if (error != 0) {
            {
                std::lock_guard lock(pool->sleep_mutex_);
                --pool->live_threads_;
            }
            return nullptr;  // the destructor stops and awaits the started ones
        }
    }
    return pool;
}

std::unique_ptr<WorkerPool> WorkerPool::on_calling_thread() {
    return std::unique_ptr<WorkerPool>(new WorkerPool(1, false));
}

bool WorkerPool::current_thread_is_worker() noexcept { return current_worker != nullptr; }

bool WorkerPool::calling_thread_is_own_worker() const noexcept {
    return current_worker != nullptr && current_worker->pool == this;
}

const void* WorkerPool::this_thread_marker() noexcept { return &thread_marker; }

void* WorkerPool::worker_main(void* worker) {
    WorkerThread& me = *static_cast<WorkerThread*>(worker);
    WorkerPool& pool = *me.pool;
    current_worker = &me;
    pool.work_until(me, pool.stopping_);
    current_worker = nullptr;
    // The last touch of the pool: once the count reaches 0 and the lock is
    // released, the destructor may free everything.
    std::lock_guard lock(pool.sleep_mutex_);
    if (--pool.live_threads_ == 0) pool.exited_cv_.notify_all();
    return nullptr;
}

void WorkerPool::join_jobs(Job& a, Job& b, CallerLatch* latch) {
    WorkerThread* me = current_worker;
    if (me != nullptr && me->pool == this) {
        join_on_worker(*me, a, b);
    } else {
        run_from_outside(a, b, latch);
    }
    if (a.error_) std::rethrow_exception(a.error_);
    if (b.error_) std::rethrow_exception(b.error_);
}

void WorkerPool::join_on_worker(WorkerThread& me, Job& a, Job& b) noexcept {
    if (!me.deque.push(&b)) {
        a.run();
        if (!a.error_) b.run();
        return;
    }
    wake_one_sleeper();
    a.run();
    // Acquire: a thief's done_ store releases b's results.
    while (!b.done_.load(std::memory_order_acquire)) {
        Job* job = me.deque.pop();
        if (job == &b) {
            // Nobody took b. If a failed the pair fails anyway, and b, now
            // out of every queue, can simply be dropped.
            if (!a.error_) b.run();
            return;
        }
        if (job == nullptr) {
            // b was stolen and the own deque is empty: help elsewhere until
            // the thief is done, since b lives in this very stack frame.
            work_until(me, b.done_);
            return;
        }
        // b was stolen; this job belongs to an older frame of this thread.
        execute(*job);
    }
}

void WorkerPool::run_from_outside(Job& a, Job& b, CallerLatch* latch) {
    if (!has_own_threads_) {
        std::lock_guard borrow(borrow_mutex_);
        WorkerThread* outer = std::exchange(current_worker, &workers_[0]);
        join_on_worker(workers_[0], a, b);
        current_worker = outer;
        return;
    }
    auto run_pair = [this, &a, &b](bool) { join_on_worker(*current_worker, a, b); };
    Job pair(run_pair, this_thread_marker());
    CallerLatch own_latch;
    CallerLatch& waiting_on = latch != nullptr ? *latch : own_latch;
    pair.caller_latch_ = &waiting_on;
    push_shared(pair);
    waiting_on.wait();
}

void WorkerPool::run_beside_caller(Job& rest, void (*own)(void*), void* context) {
    CallerLatch latch;
    rest.caller_latch_ = &latch;
    // A worker still looking takes the job within microseconds; waking a
    // second one as well would leave it looking, on a processor that the
    // calling thread and the first worker need.
    push_shared(rest, Wake::unless_looking);
    std::exception_ptr own_error;
    try {
        own(context);
    } catch (...) {
        own_error = std::current_exception();
    }
    if (take_back_shared(rest)) {
        // No worker came in time (all busy, or asleep): done here instead.
        rest.run();
    } else {
        // Always: rest lives in the caller's frame until it is done.
        latch.wait(true);
    }
    if (own_error) std::rethrow_exception(own_error);
    if (rest.error_) std::rethrow_exception(rest.error_);
}

void WorkerPool::execute(Job& job) noexcept {
    CallerLatch* latch = job.caller_latch_;
    job.run();
    if (latch != nullptr) {
        latch->release();
        return;
    }
    // From here on the joining frame may return and free `job`.
    // seq_cst: a release of the results, and in the total order with the
    // sleepers_ check below, so a joiner going to sleep sees done_ or is seen.
    job.done_.store(true, std::memory_order_seq_cst);
    // The joiner of this job may be among the sleepers; which one is unknown.
    wake_all_sleepers();
}

void WorkerPool::work_until(WorkerThread& me, const std::atomic<bool>& done) noexcept {
    using clock = std::chrono::steady_clock;
    bool idle = false;
    clock::time_point busy_since = clock::now();
    clock::time_point idle_since;
    clock::duration look{};
    // seq_cst loads of done: they take part in the sleep handshake below.
    while (!done.load(std::memory_order_seq_cst)) {
        if (Job* job = find_work(me)) {
            if (idle) {
                idle = false;
                lookers_.fetch_sub(1, std::memory_order_relaxed);
                busy_since = clock::now();
            }
            execute(*job);
            continue;
        }
        const clock::time_point now = clock::now();
        if (!idle) {
            idle = true;
            idle_since = now;
            // Relaxed: a hint for pushers, who wake a sleeper when it is 0;
            // what keeps a job from going unseen is the sleep handshake below.
            lookers_.fetch_add(1, std::memory_order_relaxed);
            look = now - busy_since < long_work ? clock::duration(look_after_short_work)
                                                : clock::duration(look_after_long_work);
        }
        if (now - idle_since < look) {
            sched_yield();
            continue;
        }
        Job* job = nullptr;
        {
            std::unique_lock lock(sleep_mutex_);
            // Announce, then look once more. Whoever adds work or sets a done
            // flag does so (seq_cst) before checking sleepers_ (seq_cst); so
            // either that check sees us, and its notify waits for our lock
            // until we are in wait(), or this look sees its work.
            sleepers_.fetch_add(1, std::memory_order_seq_cst);
            // seq_cst, after joining the sleepers: a pusher that still counts
            // this worker as looking, and so wakes nobody, published its job
            // before this, and the look just below finds it.
            lookers_.fetch_sub(1, std::memory_order_seq_cst);
            if (!done.load(std::memory_order_seq_cst) && (job = find_work(me)) == nullptr) {
                sleep_cv_.wait(lock);
            }
            sleepers_.fetch_sub(1, std::memory_order_seq_cst);
        }
        // Woken or given work: a new stretch begins.
        idle = false;
        busy_since = clock::now();
        if (job != nullptr) execute(*job);
    }
    if (idle) lookers_.fetch_sub(1, std::memory_order_relaxed);  // done while looking
}

Job* WorkerPool::find_work(WorkerThread& me) noexcept {
    if (Job* job = me.deque.pop()) return job;
    const std::size_t count = thread_count_;
    if (count > 1) {
        bool lost_race = true;
        while (lost_race) {
            lost_race = false;
            const std::size_t first = me.random_below(count);
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t victim = (first + i) % count;
                if (victim == me.index) continue;
                if (Job* job = workers_[victim].deque.steal(lost_race)) return job;
            }
        }
    }
    return pop_shared();
}

void WorkerPool::push_shared(Job& job, Wake wake) {
    {
        std::lock_guard lock(shared_mutex_);
        job.next_shared_ = nullptr;
        (shared_tail_ != nullptr ? shared_tail_->next_shared_ : shared_head_) = &job;
        shared_tail_ = &job;
        // seq_cst: the "work added" side of the sleep handshake.
        shared_count_.fetch_add(1, std::memory_order_seq_cst);
    }
    // seq_cst: after the job's publication in the total order, against a
    // looker's leaving for sleep (see work_until): either it is still
    // counted here, and looks once more after leaving, or it is a sleeper.
    if (wake == Wake::unless_looking && lookers_.load(std::memory_order_seq_cst) != 0) return;
    wake_one_sleeper();
}

bool WorkerPool::take_back_shared(Job& job) noexcept {
    std::lock_guard lock(shared_mutex_);
    Job* before = nullptr;
    for (Job* queued = shared_head_; queued != nullptr; before = queued, queued = queued->next_shared_) {
        if (queued != &job) continue;
        (before != nullptr ? before->next_shared_ : shared_head_) = job.next_shared_;
        if (shared_tail_ == &job) shared_tail_ = before;
        // Relaxed: a hint, as in pop_shared().
        shared_count_.fetch_sub(1, std::memory_order_relaxed);
        return true;
    }
    return false;
}

Job* WorkerPool::pop_shared() noexcept {
    // seq_cst: the sleeper's side of the handshake with push_shared().
    if (shared_count_.load(std::memory_order_seq_cst) == 0) return nullptr;
    std::lock_guard lock(shared_mutex_);
    Job* job = shared_head_;
    if (job == nullptr) return nullptr;
    shared_head_ = job->next_shared_;
    if (shared_head_ == nullptr) shared_tail_ = nullptr;
    // Relaxed: the count is only a hint; the list under the lock is the truth.
    shared_count_.fetch_sub(1, std::memory_order_relaxed);
    return job;
}

void WorkerPool::wake_one_sleeper() {
    // seq_cst: follows the caller's seq_cst publication of the work.
    if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
    std::lock_guard lock(sleep_mutex_);
    sleep_cv_.notify_one();
}

void WorkerPool::wake_all_sleepers() {
    if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
    std::lock_guard lock(sleep_mutex_);
    sleep_cv_.notify_all();
}

}  // namespace zorv::pool
