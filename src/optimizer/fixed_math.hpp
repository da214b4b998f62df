// exp and log from the four operations in a fixed order, so that their bits
// are the same on every CPU and C library (the C library's own pick
// CPU-specific code). Accurate to a few units in the last place, which is
// all the optimizer needs; what matters is that they never vary.
#pragma once

#include <cmath>

namespace zorv::optimizer {

// ln 2 in two parts: the first has trailing zero bits, so that k * high is
// exact for every exponent k of a double.
inline constexpr double ln2_high = 0x1.62e42feep-1;
inline constexpr double ln2_low = 0x1.a39ef35793c76p-33;
inline constexpr double log2_e = 0x1.71547652b82fep0;

inline double fixed_exp(double x) {
    if (!(x == x)) return x;
    if (x > 709.78) return HUGE_VAL;
    if (x < -745.2) return 0.0;
    // x = k ln 2 + r with |r| <= ln 2 / 2; e^r by its Taylor series to the
    // 13th power (the remainder is below 1e-17 relative).
    const double k = std::nearbyint(x * log2_e);
    const double r = (x - k * ln2_high) - k * ln2_low;
    constexpr double inverse_factorials[] = {
        1.0 / 6227020800.0, 1.0 / 479001600.0, 1.0 / 39916800.0, 1.0 / 3628800.0,
        1.0 / 362880.0,     1.0 / 40320.0,     1.0 / 5040.0,      1.0 / 720.0,
        1.0 / 120.0,        1.0 / 24.0,        1.0 / 6.0,         0.5,
        1.0,                1.0};
    double sum = inverse_factorials[0];
    for (int i = 1; i < 14; ++i) sum = sum * r + inverse_factorials[i];
    return std::ldexp(sum, static_cast<int>(k));  // exact: a power of two
}

inline double fixed_log(double x) {
    if (!(x > 0.0)) return x == 0.0 ? -HUGE_VAL : NAN;
    if (x == HUGE_VAL) return x;
    int exponent = 0;
    double m = std::frexp(x, &exponent);  // exact, m in [1/2, 1)
    if (m < 0x1.6a09e667f3bcdp-1) {       // below sqrt(1/2): into [sqrt(1/2), sqrt(2))
        m *= 2.0;
        exponent -= 1;
    }
    // log m = 2 atanh(s), s = (m - 1) / (m + 1), |s| < 0.172: odd powers of s
    // to the 23rd (m - 1 is exact).
    const double s = (m - 1.0) / (m + 1.0);
    const double s2 = s * s;
    double series = 1.0 / 23.0;
    for (int k = 21; k >= 1; k -= 2) series = series * s2 + 1.0 / k;
    const double e = exponent;
    return e * ln2_high + (e * ln2_low + 2.0 * s * series);
}

}  // namespace zorv::optimizer
