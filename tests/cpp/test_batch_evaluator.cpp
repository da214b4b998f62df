#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "batch/batch_evaluator.hpp"
#include "pool/pool_once.hpp"
#include "sim/plan_cursor.hpp"
#include "sim/scoring.hpp"

#ifdef __SANITIZE_THREAD__
// The fork tests have children start the pool's threads, which
// ThreadSanitizer refuses by default after a multi-threaded fork.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace zorv::batch {
namespace {

using pool::global_pool;

// Mostly in [-1, 1], with some values beyond it and some NaN, which the core
// clamps; different seeds give different plans.
std::vector<sim::Plan> make_plans(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(-1.3, 1.3);
    std::vector<sim::Plan> plans(count);
    for (sim::Plan& plan : plans) {
        for (double& v : plan) v = value(random);
        if (random() % 8 == 0) plan[random() % plan.size()] = std::numeric_limits<double>::quiet_NaN();
    }
    return plans;
}

std::vector<double> score_one_by_one(const std::vector<sim::Plan>& plans) {
    std::vector<double> scores(plans.size());
    sim::score_plans(plans.data(), scores.data(), plans.size());
    return scores;
}

// Bit for bit, so that -0.0 against 0.0 or one NaN against another counts.
std::size_t count_differences(const std::vector<double>& got, const std::vector<double>& want) {
    if (got.size() != want.size()) return std::max(got.size(), want.size());
    std::size_t differences = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        differences += std::bit_cast<std::uint64_t>(got[i]) != std::bit_cast<std::uint64_t>(want[i]);
    }
    return differences;
}

std::size_t thread_count_of_process() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
}

TEST(EvaluateBatch, ScoresEqualOneByOneScoringBitForBit) {
    for (const std::size_t count : {0, 1, 2, 3, 7, 64, 1000}) {
        const auto plans = make_plans(count, static_cast<std::uint32_t>(count) + 11);
        const auto want = score_one_by_one(plans);
        const auto got = evaluate_batch(plans);
        EXPECT_EQ(got.size(), count);
        EXPECT_EQ(count_differences(got, want), 0u) << count << " plans";
    }
}

TEST(EvaluateBatch, ScoresStayInInputOrder) {
    // Distinct plans, so that any swapped slot shows up.
    auto plans = make_plans(257, 5);
    const auto forward = evaluate_batch(plans);
    std::reverse(plans.begin(), plans.end());
    auto backward = evaluate_batch(plans);
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(count_differences(backward, forward), 0u);
    std::size_t distinct_neighbours = 0;
    for (std::size_t i = 1; i < forward.size(); ++i) distinct_neighbours += forward[i] != forward[i - 1];
    EXPECT_GT(distinct_neighbours, forward.size() / 2);
}

TEST(EvaluateBatch, SeveralCallersAtOnceNeverMixTheirSlots) {
    constexpr int callers = 4;
    std::vector<std::vector<sim::Plan>> plans;
    std::vector<std::vector<double>> want;
    for (int c = 0; c < callers; ++c) {
        plans.push_back(make_plans(100 + 37 * c, 1000 + c));
        want.push_back(score_one_by_one(plans.back()));
    }
    std::vector<std::size_t> differences(callers, 0);
    std::vector<std::thread> threads;
    for (int c = 0; c < callers; ++c) {
        threads.emplace_back([&, c] {
            for (int round = 0; round < 10; ++round) differences[c] += count_differences(evaluate_batch(plans[c]), want[c]);
        });
    }
    for (auto& t : threads) t.join();
    for (int c = 0; c < callers; ++c) EXPECT_EQ(differences[c], 0u) << "caller " << c;
}

TEST(PlanCursor, ThreadsScoringFromOneCursorPutEveryScoreOnce) {
    // Lane groups on several threads take from one cursor at once: each plan
    // must be scored by exactly one of them, into its own slot.
    for (const std::size_t threads : {2, 3, 7}) {
        for (const std::size_t count : {2, 5, 1001}) {
            const auto plans = make_plans(count, static_cast<std::uint32_t>(threads * 7919 + count));
            const auto want = score_one_by_one(plans);
            std::vector<double> got(count, std::numeric_limits<double>::quiet_NaN());
            sim::PlanCursor cursor(plans.data(), got.data(), count);
            std::atomic<bool> go{false};
            std::vector<std::size_t> written(threads, 0);
            std::vector<std::thread> scorers;
            for (std::size_t t = 0; t < threads; ++t) {
                scorers.emplace_back([&, t] {
                    while (!go.load()) std::this_thread::yield();
                    written[t] = sim::score_plans(cursor);
                });
            }
            go = true;
            for (auto& scorer : scorers) scorer.join();
            std::size_t total = 0;
            for (const std::size_t w : written) total += w;
            EXPECT_EQ(total, count) << threads << " threads, " << count << " plans";
            EXPECT_EQ(count_differences(got, want), 0u) << threads << " threads, " << count << " plans";
            // A dry cursor hands out nothing more.
            EXPECT_EQ(sim::score_plans(cursor), 0u);
        }
    }
}

// Runs `child` in a forked process and expects it to exit with 0 in time.
// alarm() kills a child that hangs.
template <class Child>
void expect_child_succeeds(Child child) {
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        alarm(20);
        _exit(child() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(EvaluateBatchAfterFork, AChildStartsFreshWorkersWithTheSameCount) {
    const auto plans = make_plans(300, 77);
    const auto want = score_one_by_one(plans);
    ASSERT_EQ(count_differences(evaluate_batch(plans), want), 0u);
    const std::size_t parent_thread_count = global_pool().thread_count();

    expect_child_succeeds([&] {
        const std::size_t before = thread_count_of_process();
        // Even an empty batch brings the pool back up.
        if (!evaluate_batch({}).empty()) return false;
        if (thread_count_of_process() != before + parent_thread_count) return false;
        if (global_pool().thread_count() != parent_thread_count) return false;
        return count_differences(evaluate_batch(plans), want) == 0 && count_differences(evaluate_batch(plans), want) == 0;
    });
    // The parent's pool is untouched by the child.
    EXPECT_EQ(count_differences(evaluate_batch(plans), want), 0u);
}

TEST(EvaluateBatchAfterFork, ForkWhileOtherThreadsRunBatches) {
    // Locks of the pool may be held at the moment of fork(); the child must
    // not depend on them.
    const auto plans = make_plans(200, 99);
    const auto want = score_one_by_one(plans);
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> differences{0};
    std::vector<std::thread> busy;
    for (int t = 0; t < 2; ++t) {
        busy.emplace_back([&] {
            while (!stop.load()) differences += count_differences(evaluate_batch(plans), want);
        });
    }
    for (int round = 0; round < 10; ++round) {
        expect_child_succeeds([&] { return count_differences(evaluate_batch(plans), want) == 0; });
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    stop = true;
    for (auto& t : busy) t.join();
    EXPECT_EQ(differences.load(), 0u);
}

}  // namespace
}  // namespace zorv::batch
