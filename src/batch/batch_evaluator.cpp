#include "batch/batch_evaluator.hpp"

#include <algorithm>

#include "batch/worker_pool.hpp"
#include "sim/run.hpp"

namespace zorv::batch {

namespace {

// These texts are part of the module's interface: callers and stored logs
// match them, so they are never reworded.
constexpr const char* too_many_values = "too many values pushed to consumer";
constexpr const char* expected_writes = "expected ";
constexpr const char* writes_but_got = " total writes, but got ";

// A run of plans and the output slots reserved for their scores.
struct Piece {
    const sim::Plan* plans;
    std::size_t plan_count;
    double* slots;
    std::size_t slot_count;
};

// The slots a piece has filled: always one contiguous run.
struct Written {
    double* first;
    std::size_t count;
};

// Adjacent runs add up. A gap could only come from a broken split; then the
// right run is not counted, and the total check of the batch reports it.
Written join_written(Written left, Written right) {
    if (left.first + left.count == right.first) return {left.first, left.count + right.count};
    return left;
}

struct Batch {
    WorkerPool& pool;
    std::size_t thread_count;
};

Written score_sequentially(const Piece& piece) {
    if (piece.plan_count > piece.slot_count) throw InternalFailure(too_many_values);
    sim::score_plans(piece.plans, piece.slots, piece.plan_count);
    return {piece.slots, piece.plan_count};
}

// `budget` bounds how often the piece may still be split. A piece that was
// taken over shows that some worker ran out of work, so it gets at least a
// full round of splits again.
Written score_piece(const Batch& batch, const Piece& piece, std::size_t budget, bool taken_over) {
    if (piece.plan_count < 2) return score_sequentially(piece);
    std::size_t half_budget = 0;
    if (taken_over) {
        half_budget = std::max(batch.thread_count, budget / 2);
    } else if (budget == 0) {
        return score_sequentially(piece);
    } else {
        half_budget = budget / 2;
    }
    const std::size_t left_count = piece.plan_count / 2;
    const Piece left{piece.plans, left_count, piece.slots, std::min(left_count, piece.slot_count)};
    const Piece right{piece.plans + left_count, piece.plan_count - left_count, piece.slots + left.slot_count,
                      piece.slot_count - left.slot_count};
    Written left_written{};
    Written right_written{};
    batch.pool.join([&](bool left_taken_over) { left_written = score_piece(batch, left, half_budget, left_taken_over); },
                    [&](bool right_taken_over) {
                        right_written = score_piece(batch, right, half_budget, right_taken_over);
                    });
    return join_written(left_written, right_written);
}

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
    const Batch batch{pool, pool.thread_count()};
    // On the calling thread, which is no worker: fewer than two plans are
    // scored right here, anything more is split once and the pair handed to
    // the pool as one job.
    const Written written = score_piece(batch, Piece{plans.data(), count, scores.data(), count},
                                        batch.thread_count, false);
    if (written.count != count) {
        throw InternalFailure(expected_writes + std::to_string(count) + writes_but_got +
                              std::to_string(written.count));
    }
    return scores;
}

}  // namespace zorv::batch
