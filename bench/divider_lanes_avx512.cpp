// The eight AVX-512 lanes with every quotient from the divider (vdivpd), as
// the batch core divided before the FMA sequence: compiled like
// src/sim/lanes_avx512.cpp, in an instruction-set namespace of its own, so
// that none of its inline code is shared with the core's.
#define ZORV_ISA avx512_divider
#define ZORV_DIVIDER_QUOTIENTS

#include "divider_lanes.hpp"
#include "fast_atan2/angles.hpp"
#include "sim/lane_scheduler.hpp"
#include "sim/library_atan2.hpp"
#include "simd/avx512.hpp"

std::size_t score_plans_avx512_divider(zorv::sim::PlanCursor& cursor, zorv::dispatch::Atan2Source angles) {
    using zorv::simd::Double8;
    if (angles == zorv::dispatch::Atan2Source::fast_atan2) {
        return zorv::sim::score_on_lanes<Double8, zorv::fast_atan2::FastAtan2Angles<Double8>>(cursor);
    }
    return zorv::sim::score_on_lanes<Double8, zorv::sim::LibraryAtan2>(cursor);
}
