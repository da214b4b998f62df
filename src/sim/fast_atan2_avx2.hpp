// The fast atan2 in a register, for files compiled for AVX2.
#pragma once

#include <immintrin.h>

#include "sim/fast_atan2.hpp"
#include "sim/isa_file.hpp"

namespace zorv::sim {

// fast_atan2_lanes on a register. Only after fast_atan2_available().
__m256d fast_atan2_avx2(__m256d y, __m256d x);

}  // namespace zorv::sim
