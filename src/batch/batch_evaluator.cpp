#include "batch/batch_evaluator.hpp"

#include <algorithm>
#include <cstddef>
#include <string>

#include "pool/pool_once.hpp"
#include "sim/plan_cursor.hpp"
#include "sim/batch_path_choice.hpp"
#include "sim/scoring.hpp"

namespace zorv::batch {

namespace {

using pool::CallerLatch;
using pool::global_pool;
using pool::WorkerPool;

// These texts are part of the module's interface: callers and stored logs
// match them, so they are never reworded.
constexpr const char* too_many_values = "too many values pushed to consumer";
constexpr const char* expected_writes = "expected ";
constexpr const char* writes_but_got = " total writes, but got ";

struct Batch {
    WorkerPool& pool;
    sim::PlanCursor& cursor;
    CallerLatch& latch;
};

// The scores that two groups of shares put together. More than the batch has
// slots could only come from a cursor that handed out a plan twice.
std::size_t add_written(std::size_t left, std::size_t right, std::size_t slot_count) {
    if (left > slot_count || right > slot_count - left) throw InternalFailure(too_many_values);
    return left + right;
}

// Runs `shares` lane groups on the batch's one cursor, as a tree of joins, so
// that every worker that finds one of them scores from the same plans. A
// share that starts after the batch has run dry ends at once; one that starts
// late, on a worker that was busy or asleep, still finds work as long as any
// plan is left. So the batch is never split up front: no worker can be left
// with a piece of its own while another idles, and no lane idles while the
// batch still has plans no lane has taken.
std::size_t score_shares(const Batch& batch, std::size_t shares, bool from_caller) {
    if (shares < 2) return sim::score_plans(batch.cursor);
    std::size_t left = 0;
    std::size_t right = 0;
    auto score_left = [&](bool) { left = score_shares(batch, shares / 2, false); };
    auto score_right = [&](bool) { right = score_shares(batch, shares - shares / 2, false); };
    if (from_caller) {
        batch.pool.join(score_left, score_right, batch.latch);
    } else {
        batch.pool.join(score_left, score_right);
    }
    return add_written(left, right, batch.cursor.count());
}

void tell_caller_finishing_soon(void* latch) noexcept { static_cast<CallerLatch*>(latch)->finishing_soon(); }

}  // namespace

std::vector<double> evaluate_batch(std::vector<sim::Plan> plans) {
    const std::size_t count = plans.size();
    // Sized up front: every slot is overwritten exactly once, and the scores
    // only leave this function after the write count has been checked.
    std::vector<double> scores(count);
    // Settles the scoring path, with its check of the fast atan2 against the
    // C library, before the pool's workers first score anything.
    sim::batch_path();
    WorkerPool& pool = global_pool();
    // The calling thread sleeps while the workers score a batch; it is woken
    // when the last plan is taken, so that its wake-up overlaps the last runs.
    CallerLatch latch;
    const sim::PlanCursorNotice last_plan_taken =
        count < 2 ? sim::PlanCursorNotice{} : sim::PlanCursorNotice{&tell_caller_finishing_soon, &latch, count - 1};
    sim::PlanCursor cursor(plans.data(), scores.data(), count, last_plan_taken);
    std::size_t written = 0;
    if (count < 2) {
        // Not worth waking a worker: scored right here, on the calling thread.
        written = sim::score_plans(cursor);
    } else {
        // One share for each worker, but no more than there are plans, and at
        // least one pair, so that the batch goes to the pool as one job even
        // on a single worker and the calling thread only waits.
        const std::size_t shares = std::clamp<std::size_t>(pool.thread_count(), 2, count);
        written = score_shares(Batch{pool, cursor, latch}, shares, true);
    }
    if (written != count) {
        throw InternalFailure(expected_writes + std::to_string(count) + writes_but_got + std::to_string(written));
    }
    return scores;
}

}  // namespace zorv::batch
