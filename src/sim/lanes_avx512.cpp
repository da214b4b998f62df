// The batch core on AVX-512: the lane scheduler on eight-lane registers
// (single plans take the one-lane AVX2 path, see run.cpp). Compiled for
// AVX-512 F, DQ, BW and VL (without -mfma, and with -ffp-contract=off no
// fused operation is formed); entered only after avx512_support() said
// usable.
#define ZORV_SIM_ISA avx512

#include "sim/fast_atan2_avx512.hpp"
#include "sim/lane_paths.hpp"
#include "sim/lane_scheduler.hpp"
#include "sim/lanes8_avx512.hpp"

namespace zorv::sim {

std::size_t score_plans_avx512(PlanCursor& cursor, bool fast_atan2) {
    if (fast_atan2) return score_on_lanes<Lanes8<Atan2Source::fast_atan2>>(cursor);
    return score_on_lanes<Lanes8<Atan2Source::c_library>>(cursor);
}

}  // namespace zorv::sim
