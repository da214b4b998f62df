// The batch core on AVX2: the lane scheduler on four-lane registers, and on
// one lane with the fast atan2 for single plans. Compiled with -mavx2 (and
// without FMA); entered only after a run-time check of the CPU.
#define ZORV_SIM_ISA avx2

#include "sim/fast_atan2_avx2.hpp"
#include "sim/lane1.hpp"
#include "sim/lane_paths.hpp"
#include "sim/lane_scheduler.hpp"
#include "sim/lanes4_avx2.hpp"

namespace zorv::sim {

std::size_t score_plans_avx2(PlanCursor& cursor, bool fast_atan2) {
    if (fast_atan2) return score_on_lanes<Lanes4<Atan2Source::fast_atan2>>(cursor);
    return score_on_lanes<Lanes4<Atan2Source::c_library>>(cursor);
}

std::size_t score_plans_one_lane_avx2(PlanCursor& cursor) { return score_on_lanes<Lane1>(cursor); }

}  // namespace zorv::sim
