// The batch core on AVX2: the lane scheduler on four-lane registers, and on
// one lane with the fast atan2 for single plans. Compiled with -mavx2 (and
// without FMA); entered only after a run-time check of the CPU.
#define ZORV_SIM_ISA avx2

#include "sim/fast_atan2_avx2.hpp"
#include "sim/lane1.hpp"
#include "sim/lanes4_avx2.hpp"
#include "sim/lane_scheduler.hpp"
#include "sim/run.hpp"

namespace zorv::sim {

void score_plans_avx2(const Plan* plans, double* scores, std::size_t count, bool fast_atan2) {
    if (fast_atan2) {
        score_on_lanes<Lanes4<Atan2Source::fast_atan2>>(plans, scores, count);
    } else {
        score_on_lanes<Lanes4<Atan2Source::c_library>>(plans, scores, count);
    }
}

void score_plans_one_lane_avx2(const Plan* plans, double* scores, std::size_t count) {
    score_on_lanes<Lane1>(plans, scores, count);
}

}  // namespace zorv::sim
