// The fast atan2 on AVX-512 registers, for files compiled for AVX-512.
#pragma once

#include <immintrin.h>

#include <cstddef>

#include "sim/fast_atan2.hpp"
#include "sim/isa_file.hpp"

namespace zorv::sim {

// fast_atan2_avx2's call on registers of eight lanes, count at most
// FastAtan2Avx512::max_registers. Only after fast_atan2_avx512_available().
void fast_atan2_avx512(const __m512d* y, const __m512d* x, __m512d* out, std::size_t count);

inline namespace ZORV_SIM_ISA {

// The call above as the lane types take it: its register, width and limit.
struct FastAtan2Avx512 {
    using Register = __m512d;
    static constexpr std::size_t width = 8;
    static constexpr std::size_t max_registers = 8;
    static Register load(const double* values) { return _mm512_loadu_pd(values); }
    static void angles(const Register* y, const Register* x, Register* out, std::size_t count) {
        fast_atan2_avx512(y, x, out, count);
    }
};

}  // namespace ZORV_SIM_ISA
}  // namespace zorv::sim
