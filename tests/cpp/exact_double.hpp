// Bit-for-bit comparison of doubles for the unit tests.
//
// Scores and every intermediate of the runner are defined to the last bit,
// so the tests compare the IEEE representation: 0.0 and -0.0 differ, and a
// NaN matches only a NaN with the same payload. Failures print both values
// with 17 significant digits and their bit patterns.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace zorv::test {

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

inline std::string describe(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g (0x%016llx)", v,
                  static_cast<unsigned long long>(bits(v)));
    return buf;
}

inline ::testing::AssertionResult SameDouble(const char* actual_expr, const char* expected_expr,
                                             double actual, double expected) {
    if (bits(actual) == bits(expected)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << actual_expr << " is " << describe(actual) << "\n  expected " << expected_expr
           << " = " << describe(expected);
}

inline ::testing::AssertionResult IsNaN(const char* expr, double v) {
    if (std::isnan(v)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << expr << " is " << describe(v) << ", not a NaN";
}

}  // namespace zorv::test

// Same bits, so the sign of a zero counts.
#define EXPECT_SAME_DOUBLE(actual, expected) \
    EXPECT_PRED_FORMAT2(::zorv::test::SameDouble, actual, expected)
#define ASSERT_SAME_DOUBLE(actual, expected) \
    ASSERT_PRED_FORMAT2(::zorv::test::SameDouble, actual, expected)
#define EXPECT_IS_NAN(v) EXPECT_PRED_FORMAT1(::zorv::test::IsNaN, v)
