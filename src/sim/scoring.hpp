// Scoring on the path this process chose (batch_path_choice.hpp): one plan,
// and the plans of a cursor. Every path gives the bits of the scalar run.
#pragma once

#include <cstddef>

#include "sim/plan.hpp"
#include "sim/plan_cursor.hpp"
#include "support/shared_api.hpp"

namespace zorv::sim {

// Normalises `plan` in place (callers hand over a private copy), runs at most
// 200 steps and returns the head's x. Pure, allocation-free, cannot fail.
// Runs on one lane with the fast atan2 where the batches take it, otherwise
// as the scalar run; both give the same bits.
ZORV_SHARED_API double _sim(Plan& plan);

// Scores the plans the cursor hands out until it has none left, each into
// its slot, and returns how many scores this call put. Several threads may
// score from one cursor at once; together they put every score once. Each
// plan is copied before it is normalised; the input is never written.
std::size_t score_plans(PlanCursor& cursor);

// Scores plans[i] into scores[i] for i in [0, count) on this thread.
inline void score_plans(const Plan* plans, double* scores, std::size_t count) {
    PlanCursor cursor(plans, scores, count);
    score_plans(cursor);
}

}  // namespace zorv::sim
