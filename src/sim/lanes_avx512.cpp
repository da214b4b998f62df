// The batch core on AVX-512: the lane scheduler on eight AVX-512 lanes, with
// the fast atan2's kernel inline (single plans take the one-lane AVX2 run,
// src/dispatch/instruction_sets.hpp says why), and the kernel on one
// register for the agreement check. Compiled for AVX-512 F, DQ, BW and VL and without -mfma: the
// kernel's exact products name AVX-512 F's own FMA instructions, and with
// -ffp-contract=off nothing else is fused. Entered only after
// avx512_support() said usable.
#define ZORV_ISA avx512

#include "dispatch/instruction_sets.hpp"
#include "fast_atan2/angles.hpp"
#include "sim/lane_scheduler.hpp"
#include "sim/library_atan2.hpp"
#include "simd/avx512.hpp"

namespace zorv::sim {

using simd::Double8;

std::size_t score_plans_avx512(PlanCursor& cursor, dispatch::Atan2Source angles) {
    if (angles == dispatch::Atan2Source::fast_atan2) {
        return score_on_lanes<Double8, fast_atan2::FastAtan2Angles<Double8>>(cursor);
    }
    return score_on_lanes<Double8, LibraryAtan2>(cursor);
}

}  // namespace zorv::sim

namespace zorv::fast_atan2 {

unsigned fast_atan2_lanes8(const double* y, const double* x, double* out) {
    return kernel::one_register<simd::Double8>(y, x, out);
}

}  // namespace zorv::fast_atan2
