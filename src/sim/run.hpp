// One whole run: from a plan to its score.
#pragma once

#include "sim/plan.hpp"
#include "sim/plan_cursor.hpp"

namespace zorv::sim {

// Normalises `plan` in place (callers hand over a private copy), runs at most
// 200 steps and returns the head's x. Pure, allocation-free, cannot fail.
// Runs on one lane with the fast atan2 where the batch core may use it
// (batch_path()), otherwise as the scalar run; both give the same bits.
double _sim(Plan& plan);

// The same run, also reporting how many steps it took.
double _sim_counting_steps(Plan& plan, unsigned& steps_run);

}  // namespace zorv::sim

namespace zorv::sim {

// Scores the plans the cursor hands out until it has none left, each into
// its slot, and returns how many scores this call put. Several threads may
// score from one cursor at once; together they put every score once. Each
// plan is copied before it is normalised; the input is never written.
// Picks the fastest path this CPU supports; every path gives the same bits.
std::size_t score_plans(PlanCursor& cursor);

// Scores plans[i] into scores[i] for i in [0, count) on this thread.
void score_plans(const Plan* plans, double* scores, std::size_t count);

// The paths themselves, for tests and benchmarks; each as score_plans.
std::size_t score_plans_scalar(PlanCursor& cursor);
// CPUs with AVX2 only; with the fast atan2, also FMA.
std::size_t score_plans_avx2(PlanCursor& cursor, bool fast_atan2);
// One plan after another on a single lane with the fast atan2, for single
// plans: CPUs with AVX2 and FMA, after the fast atan2's agreement check.
std::size_t score_plans_one_lane_avx2(PlanCursor& cursor);

enum class BatchPath { scalar, lanes, lanes_with_fast_atan2 };

// The path score_plans takes, settled on first use and kept for the process:
// lanes where the CPU has AVX2, with the fast atan2 where the CPU has
// FMA too and the fast atan2 agrees bit for bit with the C library on a set
// of hard inputs (a check of this process's C library, not just of the CPU).
// Switches for tests and comparisons, not needed otherwise: the environment
// variable "ZORV_FAST_NO_SIMD" set to anything non-empty keeps the scalar
// path, "ZORV_FAST_LIBRARY_ATAN2" keeps the C library's atan2 in the lanes.
BatchPath batch_path();

// Why batch_path() takes its path, in the order the conditions are tested.
enum class BatchPathReason {
    no_avx2,                    // scalar: the CPU lacks AVX2
    simd_switched_off,          // scalar: ZORV_FAST_NO_SIMD is set
    library_atan2_switched_on,  // lanes: ZORV_FAST_LIBRARY_ATAN2 is set
    no_fma,                     // lanes: the CPU lacks FMA, which the fast atan2 needs
    fast_atan2_disagrees,       // lanes: an input of the check gave other bits
    fast_atan2_agrees,          // lanes with the fast atan2
};
struct BatchPathChoice {
    BatchPath path;
    BatchPathReason reason;
};
// batch_path() with its reason: the same choice, made once.
BatchPathChoice batch_path_choice();

}  // namespace zorv::sim
