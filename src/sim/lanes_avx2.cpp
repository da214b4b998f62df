// The batch core on AVX2: the lane scheduler on four AVX2 lanes, and on one
// lane for single plans, whose angles fill registers of four. Compiled with
// -mavx2 and without FMA, so that nothing in the step can be fused; the fast
// atan2's kernel, whose exact products are FMA instructions, is compiled
// with FMA in src/fast_atan2/kernel_avx2.cpp and entered out of line. Entered only
// after a run-time check of the CPU (src/dispatch/instruction_sets.cpp).
#define ZORV_ISA avx2

#include "dispatch/instruction_sets.hpp"
#include "fast_atan2/angles.hpp"
#include "sim/lane_scheduler.hpp"
#include "sim/library_atan2.hpp"
#include "simd/avx2.hpp"

namespace zorv::sim {

using FastAtan2OnAvx2 =
    fast_atan2::FastAtan2Angles<simd::Double4, fast_atan2::OutOfLineKernel<fast_atan2::fast_atan2_avx2>>;

std::size_t score_plans_avx2(PlanCursor& cursor, dispatch::Atan2Source angles) {
    if (angles == dispatch::Atan2Source::fast_atan2) {
        return score_on_lanes<simd::Double4, FastAtan2OnAvx2>(cursor);
    }
    return score_on_lanes<simd::Double4, LibraryAtan2>(cursor);
}

std::size_t score_plans_one_lane_avx2(PlanCursor& cursor) {
    return score_on_lanes<simd::Double1, FastAtan2OnAvx2>(cursor);
}

}  // namespace zorv::sim
