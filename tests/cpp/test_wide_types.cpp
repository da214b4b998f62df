// Every wide type of src/simd agrees with the scalar type lane by lane, bit
// for bit: arithmetic, comparisons and their masks, selects, sign and bit
// operations, table look-ups and 64-bit words (wide_type_cases.hpp).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "exact_double.hpp"
#include "dispatch/cpu_support.hpp"
#include "wide_type_cases.hpp"

namespace zorv::test {

WideCaseResults wide_cases_scalar(const WideCaseInputs& in) { return run_wide_cases<double, std::uint64_t>(in); }

namespace {

WideCaseInputs inputs() {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double nan = std::nan("");
    return {
        .a = {1.0, -0.0, 0.0, 2.5, -3.5, inf, -inf, nan, 0x1p-1074, -1e300, 4.0, 0.5, -2.0, 1.0, 7.0, -nan},
        .b = {2.0, 0.0, -0.0, 2.5, 1.0, inf, 5.0, 1.0, 3.0, -1e-300, -4.0, nan, -2.0, 0.0, 1.5, 6.0},
        .words = {0, 1, 2, 3, 0xff, 0x100, 0xffffffffULL, 0x100000000ULL, (1ULL << 52) + 5, (1ULL << 53) - 1,
                  0x8000000000000000ULL, 0xffffffffffffffffULL, 0x0123456789abcdefULL, 0xfedcba9876543210ULL,
                  0x7ff8000000000000ULL, 42},
    };
}

void expect_same(const WideCaseResults& wide, const WideCaseResults& scalar) {
    for (int row = 0; row < case_count; ++row) {
        for (int i = 0; i < WideCaseInputs::count; ++i) {
            EXPECT_EQ(wide[row][i], scalar[row][i]) << "case " << row << ", input " << i;
        }
    }
}

TEST(WideTypes, FourAvx2LanesAgreeWithTheScalarType) {
    if (!__builtin_cpu_supports("avx2")) GTEST_SKIP() << "this CPU lacks AVX2";
    expect_same(wide_cases_avx2(inputs()), wide_cases_scalar(inputs()));
}

TEST(WideTypes, EightAvx512LanesAgreeWithTheScalarType) {
    if (dispatch::avx512_support() != dispatch::Avx512Support::usable) GTEST_SKIP() << "this CPU lacks AVX-512";
    expect_same(wide_cases_avx512(inputs()), wide_cases_scalar(inputs()));
}

// The scalar type is the reference above; a few of its rows against plain
// C++, so that it is not only compared with itself.
TEST(WideTypes, TheScalarTypeIsPlainArithmetic) {
    const WideCaseInputs in = inputs();
    const WideCaseResults scalar = wide_cases_scalar(in);
    for (int i = 0; i < WideCaseInputs::count; ++i) {
        EXPECT_EQ(scalar[selected][i], bits(in.a[i] < in.b[i] ? in.a[i] : in.b[i]));
        EXPECT_EQ(scalar[less][i], in.a[i] < in.b[i] ? 1u : 0u);
        EXPECT_EQ(scalar[flipped][i], bits(std::signbit(in.b[i]) ? -in.a[i] : in.a[i]));
        EXPECT_EQ(scalar[word_rotated][i], (in.words[i] << 45) | (in.words[i] >> 19));
        EXPECT_EQ(scalar[word_as_double][i], bits(static_cast<double>(in.words[i] >> 11)));
    }
}

}  // namespace
}  // namespace zorv::test
