// The fast atan2 on four lanes: the kernel of fast_atan2_kernel.hpp on AVX2
// registers. Compiled with -mavx2 -mfma, whose FMA instructions appear only
// in Register4's product_error and division_remainder
// (fast_atan2_register4.hpp); entered only after fast_atan2_available().
#define ZORV_SIM_ISA avx2_fma

#include "sim/fast_atan2_avx2.hpp"

#include <immintrin.h>

#include "sim/fast_atan2_kernel.hpp"
#include "sim/fast_atan2_register4.hpp"

namespace zorv::sim {

void fast_atan2_avx2(const __m256d* y, const __m256d* x, __m256d* out, std::size_t count) {
    fast_atan2_kernel::round_or_defer(reinterpret_cast<const Register4*>(y),
                                      reinterpret_cast<const Register4*>(x),
                                      reinterpret_cast<Register4*>(out), count);
}

unsigned fast_atan2_lanes(const double* y, const double* x, double* out) {
    const Register4 ys(_mm256_loadu_pd(y)), xs(_mm256_loadu_pd(x));
    Register4 angles;
    const auto library_lanes =
        static_cast<unsigned>(fast_atan2_kernel::round_or_defer(&ys, &xs, &angles, 1));
    _mm256_storeu_pd(out, angles.v);
    return library_lanes;
}

}  // namespace zorv::sim
