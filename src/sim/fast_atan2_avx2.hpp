// The fast atan2 on AVX2 registers, for files compiled for AVX2.
#pragma once

#include <immintrin.h>

#include <cstddef>

#include "sim/fast_atan2.hpp"
#include "sim/isa_file.hpp"

namespace zorv::sim {

// out[i] = atan2(y[i], x[i]) for count registers of four lanes, count at
// most FastAtan2Avx2::max_registers; out must not overlap y or x. Every lane
// is worked out first, then the few that the lanes leave to the C library go
// to it together, so that a call in which none does costs one well-predicted
// test. Only after fast_atan2_available().
void fast_atan2_avx2(const __m256d* y, const __m256d* x, __m256d* out, std::size_t count);

inline namespace ZORV_SIM_ISA {

// The call above as the lane types take it: its register, width and limit.
struct FastAtan2Avx2 {
    using Register = __m256d;
    static constexpr std::size_t width = 4;
    static constexpr std::size_t max_registers = 16;
    static Register load(const double* values) { return _mm256_loadu_pd(values); }
    static void angles(const Register* y, const Register* x, Register* out, std::size_t count) {
        fast_atan2_avx2(y, x, out, count);
    }
};

}  // namespace ZORV_SIM_ISA
}  // namespace zorv::sim
