// The paths score_plans (run.hpp) chooses between, one by one. score_plans
// and _sim call them inside the core; nothing outside the core library
// calls them there, since a module must take the path this process chose.
// The C++ tests and benchmarks, which link the core's objects statically,
// run each path on its own through these.
#pragma once

#include <cstddef>

#include "sim/plan.hpp"
#include "sim/plan_cursor.hpp"

namespace zorv::sim {

// Each as score_plans, on its own path.
std::size_t score_plans_scalar(PlanCursor& cursor);
// CPUs with AVX2 only; with the fast atan2, also FMA.
std::size_t score_plans_avx2(PlanCursor& cursor, bool fast_atan2);
// One plan after another on a single lane with the four-lane fast atan2, for
// single plans (on CPUs with AVX-512 too): CPUs with AVX2 and FMA, after the
// four-lane fast atan2's agreement check.
std::size_t score_plans_one_lane_avx2(PlanCursor& cursor);
// The same on eight lanes: only where avx512_support() is usable (and, with
// the fast atan2, after its agreement check on eight lanes).
std::size_t score_plans_avx512(PlanCursor& cursor, bool fast_atan2);

}  // namespace zorv::sim
