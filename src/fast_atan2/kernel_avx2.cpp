// The fast atan2's kernel on four AVX2 lanes. Compiled with -mavx2 -mfma:
// FMA is an extension of AVX2, so the kernel's exact products (the wide
// type's product_error and division_remainder exist only where the file is
// compiled with FMA) live in this file of their own, apart from the AVX2
// step (src/sim/lanes_avx2.cpp), which is compiled without FMA and calls the kernel
// out of line. Nothing else here is ever fused (-ffp-contract=off). Entered
// only after the run-time check for AVX2 and FMA.
#define ZORV_ISA avx2_fma

#include "fast_atan2/kernel.hpp"
#include "fast_atan2/fast_atan2.hpp"
#include "simd/avx2.hpp"

namespace zorv::fast_atan2 {

using simd::Double4;

void fast_atan2_avx2(const double* y, const double* x, double* out, std::size_t count) {
    kernel::round_or_defer(reinterpret_cast<const Double4*>(y), reinterpret_cast<const Double4*>(x),
                           reinterpret_cast<Double4*>(out), count);
}

unsigned fast_atan2_lanes(const double* y, const double* x, double* out) {
    return kernel::one_register<Double4>(y, x, out);
}

}  // namespace zorv::fast_atan2
