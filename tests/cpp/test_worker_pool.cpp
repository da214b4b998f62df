#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pool/pool_once.hpp"
#include "pool/run_pieces.hpp"
#include "pool/worker_pool.hpp"
#include "support/internal_failure.hpp"

namespace zorv::pool {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<WorkerPool> start_pool(std::size_t thread_count) {
    int error = -1;
    auto pool = WorkerPool::start(thread_count, &WorkerPool::start_detached_thread, error);
    EXPECT_EQ(error, 0);
    EXPECT_NE(pool, nullptr);
    return pool;
}

// Polls instead of blocking so that a broken pool fails the test, not hangs it.
// The limit only ends a wait that would never end: a busy machine delays a
// thread by milliseconds, not minutes.
template <class Condition>
bool wait_for(Condition condition, std::chrono::milliseconds limit = 120s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// Calls leaf(i) for every i in [first, last) through a balanced join tree.
template <class Leaf>
void for_each_index(WorkerPool& pool, std::size_t first, std::size_t last, const Leaf& leaf) {
    if (last - first < 2) {
        if (last > first) leaf(first);
        return;
    }
    const std::size_t middle = first + (last - first) / 2;
    pool.join([&](bool) { for_each_index(pool, first, middle, leaf); },
              [&](bool) { for_each_index(pool, middle, last, leaf); });
}

std::set<std::string> thread_ids_of_process() {
    std::set<std::string> ids;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ids.insert(task.path().filename());
    return ids;
}

// A pool of `thread_count` workers, and the ids of the threads it started.
std::unique_ptr<WorkerPool> start_pool(std::size_t thread_count, std::vector<std::string>& worker_ids) {
    const auto before = thread_ids_of_process();
    auto pool = start_pool(thread_count);
    for (const auto& id : thread_ids_of_process()) {
        if (before.count(id) == 0) worker_ids.push_back(id);
    }
    return pool;
}

// Whether every one of these threads sleeps (waits in the kernel): an idle
// worker looks for work, yielding but runnable, for a moment, then sleeps.
bool all_asleep(const std::vector<std::string>& thread_ids) {
    for (const auto& id : thread_ids) {
        std::ifstream stat("/proc/self/task/" + id + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto name_end = line.rfind(')');
        if (name_end == std::string::npos || line.compare(name_end, 3, ") S") != 0) return false;
    }
    return true;
}

TEST(WorkerPool, JoinTreesVisitEveryLeafExactlyOnce) {
    for (const std::size_t threads : {1, 2, 3, 8}) {
        auto pool = start_pool(threads);
        ASSERT_EQ(pool->thread_count(), threads);
        constexpr std::size_t leaves = 1 << 14;
        std::vector<std::atomic<int>> visits(leaves);
        for_each_index(*pool, 0, leaves, [&](std::size_t i) { visits[i].fetch_add(1, std::memory_order_relaxed); });
        std::size_t wrong = 0;
        for (const auto& v : visits) wrong += v.load() != 1;
        EXPECT_EQ(wrong, 0u) << threads << " threads";
    }
}

TEST(WorkerPool, ManyTinyJoinsAndManySmallCallsFromOutside) {
    std::vector<std::string> workers;
    auto pool = start_pool(4, workers);
    std::atomic<std::size_t> sum{0};
    for_each_index(*pool, 0, 200000, [&](std::size_t i) { sum.fetch_add(i, std::memory_order_relaxed); });
    EXPECT_EQ(sum.load(), std::size_t{200000} * 199999 / 2);

    // Each call wakes sleeping workers and waits on its latch: lost wake-ups
    // would hang here.
    for (std::size_t size = 0; size < 300; ++size) {
        std::atomic<std::size_t> count{0};
        for_each_index(*pool, 0, size % 37, [&](std::size_t) { count.fetch_add(1, std::memory_order_relaxed); });
        ASSERT_EQ(count.load(), size % 37);
        if (size % 50 == 0) ASSERT_TRUE(wait_for([&] { return all_asleep(workers); }));
    }
}

TEST(WorkerPool, TakenOverTellsWhetherTheJobRunsOffItsCreatorThread) {
    auto pool = start_pool(3);
    std::atomic<int> mismatches{0};
    std::atomic<int> taken_over_count{0};
    const auto creator = std::this_thread::get_id();
    bool a_taken_over = false;
    bool b_taken_over = false;
    std::thread::id a_thread;
    std::thread::id b_thread;
    // Both halves of a pair handed in from outside were created by the caller.
    pool->join(
        [&](bool taken_over) {
            a_taken_over = taken_over;
            a_thread = std::this_thread::get_id();
        },
        [&](bool taken_over) {
            b_taken_over = taken_over;
            b_thread = std::this_thread::get_id();
        });
    EXPECT_TRUE(a_taken_over);
    EXPECT_TRUE(b_taken_over);
    EXPECT_NE(a_thread, creator);
    EXPECT_NE(b_thread, creator);

    // Inside the pool a job is taken over exactly when it runs elsewhere.
    struct Tree {
        WorkerPool& pool;
        std::atomic<int>& mismatches;
        std::atomic<int>& taken_over_count;
        void grow(int depth) const {
            if (depth == 0) {
                // A leaf holds its thread until another worker has taken
                // over a job: with three, one must.
                wait_for([&] { return taken_over_count.load() > 0; });
                return;
            }
            const auto here = std::this_thread::get_id();
            auto half = [&](bool taken_over) {
                if (taken_over != (std::this_thread::get_id() != here)) mismatches.fetch_add(1);
                if (taken_over) taken_over_count.fetch_add(1);
                grow(depth - 1);
            };
            pool.join(half, half);
        }
    };
    pool->join([&](bool) { Tree{*pool, mismatches, taken_over_count}.grow(10); }, [](bool) {});
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_GT(taken_over_count.load(), 0);
}

TEST(WorkerPool, AnIdleWorkerIsWokenToStealTheOfferedHalf) {
    std::vector<std::string> workers;
    auto pool = start_pool(2, workers);
    ASSERT_TRUE(wait_for([&] { return all_asleep(workers); }));
    std::atomic<bool> b_ran{false};
    std::thread::id a_thread;
    std::thread::id b_thread;
    bool a_saw_b = false;
    pool->join(
        [&](bool) {
            a_thread = std::this_thread::get_id();
            // Only another worker can run b while this one is busy here.
            a_saw_b = wait_for([&] { return b_ran.load(); });
        },
        [&](bool) {
            b_thread = std::this_thread::get_id();
            b_ran = true;
        });
    EXPECT_TRUE(a_saw_b);
    EXPECT_NE(a_thread, b_thread);
}

TEST(WorkerPool, AJoinerWaitingForAStolenHalfRunsOtherWork) {
    auto pool = start_pool(2);
    std::atomic<bool> b_started{false};
    std::atomic<bool> d_ran{false};
    std::thread::id a_thread;
    std::thread::id d_thread;
    bool a_saw_b = false;
    bool c_saw_d = false;
    pool->join(
        [&](bool) {
            a_thread = std::this_thread::get_id();
            a_saw_b = wait_for([&] { return b_started.load(); });
            // Returning now leaves this worker waiting for the stolen b.
        },
        [&](bool) {
            b_started = true;
            pool->join([&](bool) { c_saw_d = wait_for([&] { return d_ran.load(); }); },
                       [&](bool) {
                           d_thread = std::this_thread::get_id();
                           d_ran = true;
                       });
        });
    EXPECT_TRUE(a_saw_b);
    EXPECT_TRUE(c_saw_d);
    EXPECT_EQ(d_thread, a_thread);
}

TEST(WorkerPool, SeveralOutsideCallersAtOnceEachGetTheirOwnResults) {
    auto pool = start_pool(3);
    constexpr int callers = 6;
    constexpr std::size_t slots = 3000;
    std::vector<std::vector<std::size_t>> results(callers, std::vector<std::size_t>(slots));
    std::vector<int> wrong(callers, 0);
    std::vector<std::thread> threads;
    for (int c = 0; c < callers; ++c) {
        threads.emplace_back([&, c] {
            for (std::size_t round = 1; round <= 20; ++round) {
                auto& mine = results[c];
                for_each_index(*pool, 0, slots, [&](std::size_t i) { mine[i] = c * 1000000 + round * 10000 + i; });
                for (std::size_t i = 0; i < slots; ++i) wrong[c] += mine[i] != c * 1000000 + round * 10000 + i;
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int c = 0; c < callers; ++c) EXPECT_EQ(wrong[c], 0) << "caller " << c;
}

TEST(WorkerPool, ACallerToldTheJobFinishesSoonStillWaitsForItsEnd) {
    // The caller wakes early and waits the rest out awake, or asleep again
    // once that takes long; either way it returns only after both halves,
    // with their results.
    auto pool = start_pool(2);
    for (const auto rest : {0us, 200us, 5000us}) {
        for (int round = 0; round < 20; ++round) {
            CallerLatch latch;
            std::size_t a_result = 0;
            std::size_t b_result = 0;
            pool->join(
                [&](bool) {
                    latch.finishing_soon();
                    std::this_thread::sleep_for(rest);
                    a_result = 1;
                },
                [&](bool) {
                    latch.finishing_soon();
                    std::this_thread::sleep_for(rest / 2);
                    b_result = 2;
                },
                latch);
            ASSERT_EQ(a_result + b_result, 3u) << rest.count() << " us, round " << round;
        }
    }
}

TEST(WorkerPool, DeeperNestingThanTheDequeHoldsStillCompletes) {
    auto pool = start_pool(2);
    std::atomic<int> halves{0};
    struct Chain {
        WorkerPool& pool;
        std::atomic<int>& halves;
        void link(int depth) const {
            if (depth == 0) return;
            pool.join([&](bool) { link(depth - 1); }, [&](bool) { halves.fetch_add(1); });
        }
    };
    pool->join([&](bool) { Chain{*pool, halves}.link(600); }, [](bool) {});
    EXPECT_EQ(halves.load(), 600);
}

TEST(WorkerPool, ExceptionsReachTheJoinerAfterBothHalvesFinished) {
    auto pool = start_pool(2);
    // a fails while a thief still runs b: the join must not return before b.
    std::atomic<bool> b_started{false};
    std::atomic<bool> b_finished{false};
    try {
        pool->join(
            [&](bool) {
                wait_for([&] { return b_started.load(); });
                throw std::runtime_error("a failed");
            },
            [&](bool) {
                b_started = true;
                std::this_thread::sleep_for(50ms);
                b_finished = true;
            });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "a failed");
        EXPECT_TRUE(b_finished.load());
    }

    // b fails, stolen or not; when both fail, a's exception wins.
    EXPECT_THROW(pool->join([](bool) {}, [](bool) { throw std::logic_error("b"); }), std::logic_error);
    EXPECT_THROW(pool->join([](bool) { throw std::logic_error("a"); }, [](bool) { throw std::range_error("b"); }),
                 std::logic_error);

    // A failure deep inside a tree, from outside and from a worker.
    auto failing_tree = [&] {
        for_each_index(*pool, 0, 1000, [](std::size_t i) {
            if (i == 777) throw std::out_of_range("leaf 777");
        });
    };
    EXPECT_THROW(failing_tree(), std::out_of_range);
    bool caught_inside = false;
    pool->join(
        [&](bool) {
            try {
                failing_tree();
            } catch (const std::out_of_range&) {
                caught_inside = true;
            }
        },
        [](bool) {});
    EXPECT_TRUE(caught_inside);

    // The pool still works afterwards.
    std::atomic<int> count{0};
    for_each_index(*pool, 0, 500, [&](std::size_t) { count.fetch_add(1); });
    EXPECT_EQ(count.load(), 500);
}

TEST(WorkerPool, WorkersAreDetachedWithTwoMebibyteStacks) {
    auto pool = start_pool(2);
    std::size_t stack_size = 0;
    int detach_state = -1;
    pool->join(
        [&](bool) {
            pthread_attr_t attributes;
            ASSERT_EQ(pthread_getattr_np(pthread_self(), &attributes), 0);
            pthread_attr_getstacksize(&attributes, &stack_size);
            pthread_attr_getdetachstate(&attributes, &detach_state);
            pthread_attr_destroy(&attributes);
        },
        [](bool) {});
    EXPECT_EQ(stack_size, 2097152u);
    EXPECT_EQ(detach_state, PTHREAD_CREATE_DETACHED);
}

TEST(WorkerPool, DestroyingAPoolStopsItsThreads) {
    // Some runtimes (ThreadSanitizer's) start a helper thread of their own
    // with the first thread a program creates; let that happen first.
    std::thread([] {}).join();
    // Its own threads, by id: threads of earlier tests' pools may still be
    // leaving the kernel's list meanwhile.
    std::vector<std::string> workers;
    auto pool = start_pool(4, workers);
    EXPECT_EQ(workers.size(), 4u);
    pool.reset();
    EXPECT_TRUE(wait_for([&] {
        const auto now = thread_ids_of_process();
        for (const auto& id : workers) {
            if (now.count(id) != 0) return false;
        }
        return true;
    }));
}

TEST(WorkerPool, PoolWithoutThreadsRunsEverythingOnTheCaller) {
    auto pool = WorkerPool::on_calling_thread();
    EXPECT_EQ(pool->thread_count(), 1u);
    EXPECT_FALSE(pool->has_own_threads());
    const auto caller = std::this_thread::get_id();
    std::atomic<int> elsewhere{0};
    std::atomic<int> taken_over{0};
    std::atomic<int> leaves{0};
    struct Tree {
        WorkerPool& pool;
        std::thread::id caller;
        std::atomic<int>& elsewhere;
        std::atomic<int>& taken_over;
        std::atomic<int>& leaves;
        void grow(int depth) const {
            if (depth == 0) {
                leaves.fetch_add(1);
                return;
            }
            auto half = [&](bool t) {
                elsewhere += std::this_thread::get_id() != caller;
                taken_over += t;
                grow(depth - 1);
            };
            pool.join(half, half);
        }
    };
    Tree{*pool, caller, elsewhere, taken_over, leaves}.grow(8);
    EXPECT_EQ(leaves.load(), 256);
    EXPECT_EQ(elsewhere.load(), 0);
    EXPECT_EQ(taken_over.load(), 0);
    EXPECT_FALSE(WorkerPool::current_thread_is_worker());
    EXPECT_THROW(pool->join([](bool) {}, [](bool) { throw std::logic_error("b"); }), std::logic_error);
}

// Thread starters that fail on purpose, counting the threads they started.
std::atomic<int> starts_left{0};
std::atomic<int> running_started_threads{0};
int failure_errno = 0;

struct Trampoline {
    void* (*entry)(void*);
    void* argument;
};
void* run_and_count(void* raw) {
    const Trampoline trampoline = *static_cast<Trampoline*>(raw);
    delete static_cast<Trampoline*>(raw);
    trampoline.entry(trampoline.argument);
    running_started_threads.fetch_sub(1);
    return nullptr;
}
int start_until_failure(void* (*entry)(void*), void* argument) {
    if (starts_left.fetch_sub(1) <= 0) return failure_errno;
    running_started_threads.fetch_add(1);
    return WorkerPool::start_detached_thread(&run_and_count, new Trampoline{entry, argument});
}

std::atomic<int> thread_count_choices{0};
std::size_t choose_five() {
    thread_count_choices.fetch_add(1);
    return 5;
}

std::string failure_text(const std::function<void()>& call) {
    try {
        call();
    } catch (const InternalFailure& failure) {
        return failure.what();
    }
    return "no failure";
}

TEST(PoolOnce, ABuildThatCannotStartAThreadFailsForGood) {
    starts_left = 2;
    failure_errno = EAGAIN;
    PoolOnce once(&choose_five, &start_until_failure);
    EXPECT_EQ(failure_text([&] { once.get(); }),
              std::string("The global thread pool has not been initialized.: ThreadPoolBuildError { kind: IOError(") +
                  std::strerror(EAGAIN) + ") }");
    // The two threads that did start were told to stop.
    EXPECT_TRUE(wait_for([] { return running_started_threads.load() == 0; }));
    starts_left = 100;
    EXPECT_EQ(failure_text([&] { once.get(); }),
              "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
              "GlobalPoolAlreadyInitialized }");
    EXPECT_EQ(failure_text([&] { once.get(); }),
              "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
              "GlobalPoolAlreadyInitialized }");
}

TEST(PoolOnce, ABuildThatFailsWithoutThrowingLeavesItsFailureForTheNextGet) {
    starts_left = 1;
    failure_errno = EAGAIN;
    PoolOnce once(&choose_five, &start_until_failure);
    EXPECT_EQ(once.get_if_built(), nullptr);
    EXPECT_EQ(once.get_if_built(), nullptr);
    EXPECT_TRUE(wait_for([] { return running_started_threads.load() == 0; }));
    EXPECT_EQ(failure_text([&] { once.get(); }),
              std::string("The global thread pool has not been initialized.: ThreadPoolBuildError { kind: IOError(") +
                  std::strerror(EAGAIN) + ") }");
    EXPECT_EQ(failure_text([&] { once.get(); }),
              "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
              "GlobalPoolAlreadyInitialized }");
    EXPECT_EQ(once.get_if_built(), nullptr);
}

TEST(PoolOnce, GetIfBuiltBuildsTheOnePoolThatGetReturns) {
    PoolOnce once(&choose_five, &WorkerPool::start_detached_thread);
    WorkerPool* pool = once.get_if_built();
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(&once.get(), pool);
    EXPECT_EQ(once.get_if_built(), pool);
}

TEST(PoolOnce, APlatformWithoutThreadsGetsASingleWorkerOnTheCaller) {
    starts_left = 3;
    failure_errno = ENOSYS;
    PoolOnce once(&choose_five, &start_until_failure);
    WorkerPool& pool = once.get();
    EXPECT_EQ(&once.get(), &pool);
    EXPECT_EQ(pool.thread_count(), 1u);
    EXPECT_FALSE(pool.has_own_threads());
    EXPECT_TRUE(wait_for([] { return running_started_threads.load() == 0; }));
    const auto caller = std::this_thread::get_id();
    std::thread::id ran_on;
    pool.join([](bool) {}, [&](bool) { ran_on = std::this_thread::get_id(); });
    EXPECT_EQ(ran_on, caller);
}

TEST(PoolOnce, NoSingleWorkerFallbackWhenTheCallerIsAWorker) {
    auto outer = start_pool(1);
    starts_left = 0;
    failure_errno = ENOSYS;
    PoolOnce once(&choose_five, &start_until_failure);
    std::string text;
    outer->join([&](bool) { text = failure_text([&] { once.get(); }); }, [](bool) {});
    EXPECT_EQ(text, std::string("The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
                                "IOError(") +
                        std::strerror(ENOSYS) + ") }");
}

TEST(PoolOnce, ConcurrentFirstCallersShareOneBuild) {
    thread_count_choices = 0;
    PoolOnce once(&choose_five, &WorkerPool::start_detached_thread);
    constexpr int callers = 8;
    std::vector<WorkerPool*> seen(callers);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < callers; ++c) {
        threads.emplace_back([&, c] {
            while (!go.load()) std::this_thread::yield();
            seen[c] = &once.get();
        });
    }
    go = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(thread_count_choices.load(), 1);
    for (WorkerPool* pool : seen) EXPECT_EQ(pool, seen[0]);
    EXPECT_EQ(seen[0]->thread_count(), 5u);
    EXPECT_TRUE(seen[0]->has_own_threads());
}

TEST(RunPieces, EveryPieceRunsOnceOnTheWorkersFromOutsideAndFromAWorker) {
    auto pool = start_pool(3);
    for (std::size_t pieces : {1, 2, 3, 17}) {
        std::vector<std::atomic<int>> runs(pieces);
        std::vector<std::thread::id> ran_on(pieces);
        struct Context {
            std::vector<std::atomic<int>>& runs;
            std::vector<std::thread::id>& ran_on;
        } context{runs, ran_on};
        const auto piece = [](void* raw, std::size_t p) {
            auto& c = *static_cast<Context*>(raw);
            c.runs[p].fetch_add(1);
            c.ran_on[p] = std::this_thread::get_id();
        };
        run_pieces(*pool, pieces, piece, &context);
        // From outside, the caller runs piece 0 (and any that no worker took).
        EXPECT_EQ(ran_on[0], std::this_thread::get_id());
        for (std::size_t p = 0; p < pieces; ++p) EXPECT_EQ(runs[p].load(), 1);
        pool->join([&](bool) { run_pieces(*pool, pieces, piece, &context); }, [](bool) {});
        for (std::size_t p = 0; p < pieces; ++p) EXPECT_EQ(runs[p].load(), 2);
    }
}

TEST(RunPieces, TheCallerDoesTheWorkersPiecesWhenNoneIsFreeAndFailuresComeAfterEveryPiece) {
    auto pool = start_pool(1);
    const auto piece = [](void* raw, std::size_t p) {
        auto& ran = *static_cast<std::vector<std::atomic<int>>*>(raw);
        ran[p].fetch_add(1);
    };
    // The only worker is held by another caller's job until this caller is
    // done: run_pieces must not wait for it, and takes back the piece that
    // it offered. (Had it waited, the holder would have given up first.)
    std::atomic<bool> held{false}, release{false};
    bool held_until_released = false;
    std::thread holder([&] {
        pool->join(
            [&](bool) {
                held = true;
                held_until_released = wait_for([&] { return release.load(); });
            },
            [](bool) {});
    });
    ASSERT_TRUE(wait_for([&] { return held.load(); }));
    std::vector<std::atomic<int>> ran(2);
    run_pieces(*pool, ran.size(), piece, &ran);
    for (const auto& count : ran) EXPECT_EQ(count.load(), 1);
    release = true;
    holder.join();
    EXPECT_TRUE(held_until_released);

    // The caller's own piece fails while a worker's still runs: the failure
    // reaches the caller only once that piece is done; the caller's wins.
    std::atomic<bool> other_started{false}, other_finished{false};
    bool saw_other_start = false;
    struct Failing {
        std::atomic<bool>& other_started;
        std::atomic<bool>& other_finished;
        bool& saw_other_start;
    } failing{other_started, other_finished, saw_other_start};
    const auto failing_piece = [](void* raw, std::size_t p) {
        auto& f = *static_cast<Failing*>(raw);
        if (p == 0) {
            f.saw_other_start = wait_for([&] { return f.other_started.load(); });
            throw std::runtime_error("piece 0");
        }
        f.other_started = true;
        std::this_thread::sleep_for(30ms);
        f.other_finished = true;
        throw std::logic_error("piece 1");
    };
    try {
        run_pieces(*pool, 2, failing_piece, &failing);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "piece 0");
        EXPECT_TRUE(saw_other_start);
        EXPECT_TRUE(other_finished.load());
    }
}

}  // namespace
}  // namespace zorv::pool
