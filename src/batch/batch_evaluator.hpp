// Scoring many plans at once on the process-wide worker pool.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/plan.hpp"

namespace zorv::batch {

// A broken invariant of the module's own code, or a pool that cannot be
// built. The module entry turns it into the Python-level internal-failure
// exception, with what() as its text.
class InternalFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Scores every plan with the simulation core and returns the scores in input
// order; score i is bit for bit what one run of plans[i] returns, whatever
// the number of threads. Builds the pool on first use, even for no plans.
// Takes ownership of the plans and frees them when done.
// Throws InternalFailure (pool build failure, consistency checks) and
// std::bad_alloc.
std::vector<double> evaluate_batch(std::vector<sim::Plan> plans);

}  // namespace zorv::batch
