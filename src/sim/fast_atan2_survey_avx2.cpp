// The unrounded value behind the four-lane fast atan2, for the tests and the
// benchmarks only (see fast_atan2_survey.hpp). Compiled as
// fast_atan2_avx2.cpp is, with -mavx2 -mfma, so that it works out the very
// values the lanes round.
#define ZORV_SIM_ISA avx2_fma

#include <immintrin.h>

#include "sim/fast_atan2_kernel.hpp"
#include "sim/fast_atan2_register4.hpp"
#include "sim/fast_atan2_survey.hpp"

namespace zorv::sim {

unsigned fast_atan2_before_rounding_lanes(const double* y, const double* x, double* nearest,
                                          double* residual) {
    Register4 n, r;
    const unsigned applies = fast_atan2_kernel::before_rounding(
        Register4(_mm256_loadu_pd(y)), Register4(_mm256_loadu_pd(x)), n, r);
    _mm256_storeu_pd(nearest, n.v);
    _mm256_storeu_pd(residual, r.v);
    return applies;
}

}  // namespace zorv::sim
