#include "pool/pool_once.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "pool/processor_count.hpp"
#include "support/internal_failure.hpp"

namespace zorv::pool {

PoolOnce::PoolOnce(std::size_t (*choose_thread_count)(), WorkerPool::ThreadStarter starter)
    : choose_thread_count_(choose_thread_count), starter_(starter) {}

namespace {

// These texts are part of the module's interface: callers and stored logs
// match them, so they are never reworded.
constexpr const char* not_initialized = "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: ";

// What a platform without threads answers; running out of resources is not it.
bool platform_lacks_threads(int error) { return error == ENOSYS || error == ENOTSUP; }

}  // namespace

WorkerPool* PoolOnce::build_locked() {
    if (pool_) return pool_.get();
    if (failed_) return nullptr;
    if (thread_count_ == 0) thread_count_ = std::clamp<std::size_t>(choose_thread_count_(), 1, max_thread_count);
    int error = 0;
    pool_ = WorkerPool::start(thread_count_, starter_, error);
    if (!pool_ && platform_lacks_threads(error) && !WorkerPool::current_thread_is_worker()) {
        pool_ = WorkerPool::on_calling_thread();
    }
    if (!pool_) {
        failed_ = true;
        char buffer[256];
        // The GNU strerror_r: returns the text, thread-safe unlike strerror.
        const char* text = strerror_r(error, buffer, sizeof buffer);
        build_failure_ = std::string(not_initialized) + "IOError(" + text + ") }";
    }
    return pool_.get();
}

WorkerPool& PoolOnce::get() {
    std::lock_guard lock(guard_);
    if (WorkerPool* pool = build_locked()) return *pool;
    if (failure_reported_) throw InternalFailure(std::string(not_initialized) + "GlobalPoolAlreadyInitialized }");
    failure_reported_ = true;
    throw InternalFailure(std::move(build_failure_));
}

WorkerPool* PoolOnce::get_if_built() noexcept {
    try {
        std::lock_guard lock(guard_);
        return build_locked();
    } catch (...) {
        // Out of memory while building or telling why: no pool for this call.
        return nullptr;
    }
}

void PoolOnce::before_fork() { guard_.lock(); }

void PoolOnce::after_fork_in_parent() { guard_.unlock(); }

void PoolOnce::after_fork_in_child() {
    // Leaked on purpose: its threads are gone, its locks may be held forever.
    static_cast<void>(pool_.release());
    guard_.unlock();
}

namespace {

// Read by the fork handlers, which may run on another thread than the one
// that built the pool. The C library orders the handlers' registration
// before any fork that runs them, but through a lock of its own that race
// detectors do not see; release and acquire state that order where they can.
std::atomic<PoolOnce*> process_pool_once{nullptr};

PoolOnce& pool_once_for_fork() { return *process_pool_once.load(std::memory_order_acquire); }

PoolOnce& the_pool_once() {
    static PoolOnce* const once = [] {
        // Never destroyed: workers may still run while the process exits.
        auto* built = new PoolOnce(&thread_count_from_environment, &WorkerPool::start_detached_thread);
        process_pool_once.store(built, std::memory_order_release);
        pthread_atfork([] { pool_once_for_fork().before_fork(); }, [] { pool_once_for_fork().after_fork_in_parent(); },
                       [] { pool_once_for_fork().after_fork_in_child(); });
        return built;
    }();
    return *once;
}

}  // namespace

WorkerPool& global_pool() { return the_pool_once().get(); }

WorkerPool* global_pool_if_built() noexcept {
    try {
        return the_pool_once().get_if_built();
    } catch (...) {
        return nullptr;  // the PoolOnce itself could not be allocated
    }
}

}  // namespace zorv::pool
