// The fast atan2 on AVX2 registers, for files compiled for AVX2.
#pragma once

#include <immintrin.h>

#include <cstddef>

#include "sim/fast_atan2.hpp"
#include "sim/isa_file.hpp"

namespace zorv::sim {

// The most registers one call of the form below takes.
inline constexpr std::size_t fast_atan2_avx2_max_registers = 16;

// out[i] = atan2(y[i], x[i]) for count registers of four lanes, count at
// most fast_atan2_avx2_max_registers; out must not overlap y or x. Every lane
// is worked out first, then the few that the lanes leave to the C library go
// to it together, so that a call in which none does costs one well-predicted
// test. Only after fast_atan2_available().
void fast_atan2_avx2(const __m256d* y, const __m256d* x, __m256d* out, std::size_t count);

}  // namespace zorv::sim
