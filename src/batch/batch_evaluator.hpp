// Scoring many plans at once on the process-wide worker pool.
#pragma once

#include <vector>

#include "sim/plan.hpp"
#include "support/internal_failure.hpp"
#include "support/shared_api.hpp"

namespace zorv::batch {

// Scores every plan with the simulation core and returns the scores in input
// order; score i is bit for bit what one run of plans[i] returns, whatever
// the number of threads. Builds the pool on first use, even for no plans.
// Takes ownership of the plans and frees them when done.
// Throws InternalFailure (pool build failure, consistency checks) and
// std::bad_alloc.
ZORV_SHARED_API std::vector<double> evaluate_batch(std::vector<sim::Plan> plans);

}  // namespace zorv::batch
