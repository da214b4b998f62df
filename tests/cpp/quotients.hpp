// The eight AVX-512 lanes' quotients (src/simd/avx512.hpp), run over arrays
// of operand pairs by quotients_avx512.cpp, compiled as the lanes are, so
// that test_quotients.cpp can hold them against the divider.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv::test {

// How the numerator reaches the sequence: any value; one the caller knows
// to be moderate (with_moderate_numerator); a constant (the first pair's
// numerator, for every pair); by a constant divisor (the first pair's).
enum class QuotientForm { any, moderate, constant_numerator, constant_divisor };

// q[i] for every pair, and settled[i]: whether the lane was settled. Each
// register of eight pairs gets a Quotients of its own; count is a multiple
// of 8.
void quotients_avx512(QuotientForm form, const double* a, const double* b, double* q, std::uint8_t* settled,
                      std::size_t count);

// The fast atan2's stages over the pairs (y[i], x[i]), with the divider's
// quotients, checking each numerator they call moderate: +0 or in
// [2^-965, 2^1024) in size. Returns how many were not; first_immoderate
// describes the first. count is a multiple of 8.
std::size_t immoderate_atan2_numerators(const double* y, const double* x, std::size_t count,
                                        double& first_immoderate);

}  // namespace zorv::test
