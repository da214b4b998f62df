// One whole run: from a plan to its score, one plan at a time.
#pragma once

#include <array>
#include <cstddef>

#include "sim/body.hpp"
#include "sim/plan.hpp"
#include "sim/plan_cursor.hpp"
#include "support/shared_api.hpp"

namespace zorv::sim {

// Normalises `plan` in place (callers hand over a private copy), runs at most
// 200 steps and returns the head's x, also reporting how many steps it took.
// Pure, allocation-free, cannot fail. (_sim, scoring.hpp, runs a plan on the
// path this process chose; every path gives these bits.)
double _sim_counting_steps(Plan& plan, unsigned& steps_run);

// Where the body points are after every step of a run: x and y of each
// point in body-point order, one row of them per step.
inline constexpr std::size_t recorded_values_per_step = point_count * 2;
using RunRecording = std::array<double, max_steps * recorded_values_per_step>;

// The run of _sim_counting_steps, the same steps with the same bits, also
// writing the positions after each step into the first rows of `recording`.
// Returns the number of steps run; the head's x of the last row is the
// score.
ZORV_SHARED_API unsigned record_run(Plan& plan, RunRecording& recording);

// Scores the plans the cursor hands out until it has none left, each into
// its slot, one plan after another: the portable path. Returns how many
// scores this call put. Each plan is copied before it is normalised; the
// input is never written.
std::size_t score_plans_scalar(PlanCursor& cursor);

}  // namespace zorv::sim
