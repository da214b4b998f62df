// The unrounded value behind the four-lane fast atan2, for the tests and the
// benchmarks only (see fast_atan2_survey.hpp). Compiled as
// fast_atan2_avx2.cpp is, with -mavx2 -mfma, so that it works out the very
// values the lanes round.
#define ZORV_ISA avx2_fma

#include "fast_atan2/kernel.hpp"
#include "fast_atan2_survey.hpp"
#include "simd/avx2.hpp"

namespace zorv::fast_atan2 {

using simd::Double4;

unsigned fast_atan2_before_rounding_lanes(const double* y, const double* x, double* nearest,
                                          double* residual) {
    Double4 n, r;
    const unsigned applies = kernel::before_rounding(Double4::load(y), Double4::load(x), n, r);
    store(nearest, n);
    store(residual, r);
    return applies;
}

}  // namespace zorv::fast_atan2
