// The eight-lane fast atan2 as the agreement check and the tests call it:
// the same kernel, register type and instructions as the eight-lane step
// (fast_atan2_avx512.hpp); entered only after
// fast_atan2_available(FastAtan2Width::eight_lanes).
#define ZORV_SIM_ISA avx512

#include "sim/fast_atan2_avx512.hpp"

namespace zorv::sim {

unsigned fast_atan2_lanes8(const double* y, const double* x, double* out) {
    const Register8 ys(_mm512_loadu_pd(y)), xs(_mm512_loadu_pd(x));
    Register8 angles;
    const auto library_lanes =
        static_cast<unsigned>(fast_atan2_kernel::round_or_defer(&ys, &xs, &angles, 1));
    _mm512_storeu_pd(out, angles.v);
    return library_lanes;
}

}  // namespace zorv::sim
