// The AVX-512 members of the wide types' family (scalar.hpp says what every
// member offers): eight doubles in one register, eight 64-bit words, and
// their masks in mask registers. Only files compiled for AVX-512 F, DQ, BW
// and VL include this.
//
// AVX-512 F has FMA instructions of its own: the exact products
// (product_error, division_remainder) and the quotients' sequence (below)
// name them, and since every file is compiled with -ffp-contract=off (and
// without -mfma), no other operation is ever fused.
#pragma once

#include <immintrin.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

#include "simd/isa_file.hpp"
#include "simd/scalar.hpp"

namespace zorv::simd {
inline namespace ZORV_ISA {

// One bit per lane, lane 0 in bit 0.
struct Mask8 {
    __mmask8 bits;

    friend Mask8 either(Mask8 a, Mask8 b) { return {static_cast<__mmask8>(a.bits | b.bits)}; }
    friend Mask8 both(Mask8 a, Mask8 b) { return {static_cast<__mmask8>(a.bits & b.bits)}; }
    friend Mask8 exactly_one(Mask8 a, Mask8 b) { return {static_cast<__mmask8>(a.bits ^ b.bits)}; }
    friend unsigned lane_bits(Mask8 m) { return m.bits; }
};

// The operators are hidden friends, so that a plain double on either side
// converts to the wide type, as constants do in scalar code. An array of
// them may stand for any doubles in memory, as __m512d may. The masked forms
// of some intrinsics below name their pass-through value: GCC 12's unmasked
// forms warn about the undefined one they use.
struct __attribute__((may_alias)) Double8 {
    static constexpr int width = 8;
    __m512d v;

    Double8() = default;
    Double8(double broadcast) : v(_mm512_set1_pd(broadcast)) {}  // NOLINT: implicit on purpose
    explicit Double8(__m512d value) : v(value) {}
    // Lane i holds values[i]. Built in registers: where the values were just
    // written one by one, a wide load would wait for them to reach the cache
    // (about 3 % of a step of the lane scheduler).
    explicit Double8(const std::array<double, width>& values)
        : v(_mm512_set_pd(values[7], values[6], values[5], values[4], values[3], values[2], values[1],
                          values[0])) {}
    static Double8 load(const double* p) { return Double8(_mm512_loadu_pd(p)); }
    friend void store(double* p, Double8 a) { _mm512_storeu_pd(p, a.v); }

    friend Double8 operator+(Double8 a, Double8 b) { return Double8(_mm512_add_pd(a.v, b.v)); }
    friend Double8 operator-(Double8 a, Double8 b) { return Double8(_mm512_sub_pd(a.v, b.v)); }
    friend Double8 operator*(Double8 a, Double8 b) { return Double8(_mm512_mul_pd(a.v, b.v)); }
    friend Double8 operator/(Double8 a, Double8 b) { return Double8(_mm512_div_pd(a.v, b.v)); }
    // Flips the sign bit only, as scalar negation does (also for 0 and NaN).
    friend Double8 operator-(Double8 a) { return Double8(_mm512_xor_pd(a.v, _mm512_set1_pd(-0.0))); }

    // Ordered, quiet predicates: false for NaN, like the scalar comparisons.
    friend Mask8 operator<(Double8 a, Double8 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ)}; }
    friend Mask8 operator<=(Double8 a, Double8 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LE_OQ)}; }
    friend Mask8 operator>(Double8 a, Double8 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ)}; }
    friend Mask8 operator>=(Double8 a, Double8 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ)}; }
    friend Mask8 is_nan(Double8 a) { return {_mm512_cmp_pd_mask(a.v, a.v, _CMP_UNORD_Q)}; }

    friend Double8 select(Mask8 m, Double8 if_true, Double8 if_false) {
        return Double8(_mm512_mask_blend_pd(m.bits, if_false.v, if_true.v));
    }
    friend Double8 where(Mask8 m, Double8 a) { return Double8(_mm512_maskz_mov_pd(m.bits, a.v)); }
    friend Double8 where_not(Mask8 m, Double8 a) {
        return Double8(_mm512_maskz_mov_pd(static_cast<__mmask8>(~m.bits), a.v));
    }

    friend Double8 magnitude(Double8 a) { return Double8(_mm512_abs_pd(a.v)); }
    friend Double8 sign_of(Double8 a) { return Double8(_mm512_and_pd(a.v, _mm512_set1_pd(-0.0))); }
    friend Double8 sign_flipped(Double8 a, Double8 sign) { return Double8(_mm512_xor_pd(a.v, sign.v)); }
    friend Double8 unit_with_sign_of(Double8 a) {
        return Double8(_mm512_or_pd(sign_of(a).v, _mm512_set1_pd(1.0)));
    }

    friend Double8 square_root(Double8 a) { return Double8(_mm512_mask_sqrt_pd(a.v, 0xff, a.v)); }
    friend Double8 nearest_integer(Double8 a) {
        return Double8(_mm512_mask_roundscale_pd(a.v, 0xff, a.v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
    }
    friend Double8 ulp_of_positive(Double8 a) {
        const __m512d exponent = _mm512_castsi512_pd(_mm512_set1_epi64(static_cast<long long>(bits::exponent)));
        return Double8(_mm512_and_pd(a.v, exponent)) * 0x1p-52;
    }
    friend Mask8 is_power_of_two(Double8 a) {
        return {_mm512_testn_epi64_mask(_mm512_castpd_si512(a.v),
                                        _mm512_set1_epi64(static_cast<long long>(bits::mantissa)))};
    }

    friend Double8 product_error(Double8 a, Double8 b, Double8 p) { return Double8(_mm512_fmsub_pd(a.v, b.v, p.v)); }
    friend Double8 division_remainder(Double8 top, Double8 q, Double8 under) {
        return Double8(_mm512_fnmadd_pd(q.v, under.v, top.v));
    }

    // Two gathers, of the first and the second of each pair.
    friend Pair<Double8> look_up(const double (*pairs)[2], Double8 k) {
        const __m256i pair = _mm512_maskz_cvtpd_epi32(0xff, k.v);
        const __m256i index = _mm256_add_epi32(pair, pair);
        const __m512d none = _mm512_setzero_pd();
        return {Double8(_mm512_mask_i32gather_pd(none, 0xff, index, &pairs[0][0], 8)),
                Double8(_mm512_mask_i32gather_pd(none, 0xff, index, &pairs[0][1], 8))};
    }

    friend double lane(Double8 a, int i) { return a.v[i]; }
    friend void set_lane(Double8& a, int i, double value) {
        a.v = _mm512_mask_broadcastsd_pd(a.v, static_cast<__mmask8>(1u << i), _mm_set_sd(value));
    }
};

// --- Quotients without the divider -----------------------------------------------
//
// The divider takes as long for eight lanes as for four twice over (about
// 16 cycles a register on Intel's cores), while the FMA unit starts one or
// two instructions a cycle. So eight lanes divide by a sequence of FMA
// instructions that gives the divider's bits (round to nearest, ties to
// even) in every lane it settles; the caller gives the few others to the
// divider (scalar.hpp says how). Below, RN is rounding to nearest, ties to
// even; each FMA rounds its exact value once. A rounding's relative error is
// at most 2^-53 where the result is normal, and 2^-51 where it is a
// subnormal of at least 2^-1024 (1/b's size for |b| > 2^1022).
//
// Once per divisor b (quotients by the same b share it), one estimate and
// one third-order step, biased low:
//
//   y0 = rcp14(b)                      e = 1 - b y0, |e| < 2^-14
//   g  = (1 - 2^-40) - b y0            e - 2^-40, rounded
//   y  = y0 + y0 (g + g g)             1 - 2^-39.67 < b y < 1 - 2^-40.41
//   y' = y (1 + 2^-38)                 1 + 2^-38.54 < b y' < 1 + 2^-38.29
//
// With g = e - 2^-40 exactly, b y = (1 - e)(1 + g + g^2)
// = 1 - g^3 - 2^-40 (1 + g + g^2) before the roundings: |g^3| < 2^-41.99
// and the bias is 2^-40 within a factor 1 +- 2^-13.9, so b y lies within
// 0.2501 2^-40 of 1 - 2^-40; the roundings of g and g + g g move it by
// less than 2^-65, that of y by 2^-53 (2^-51 where y is subnormal): in
// all, within 0.2507 2^-40, the bounds above. y' lies above 1/b by far
// more than its own rounding takes. (Two Newton steps would reach the
// same bounds with one more FMA instruction on the path.)
// Then, for a numerator a and x = a / b exactly, with a product and three
// FMA instructions:
//
//   q0 = RN(a y),  r = RN(a - q0 b),  s = RN(q0 + r y),  s' = RN(q0 + r y')
//
// Claim: where s = s' and r is within 2^-52 of a - q0 b relatively (or
// exact), RN(x) = s'. Proof: a - q0 b = b (x - q0), so r y = (x - q0) P and
// r y' = (x - q0) P' with P = (1 + d) b y < 1 < P' = (1 + d) b y'
// (|d| <= 2^-52). Hence q0 + r y - x = (x - q0)(P - 1) and
// q0 + r y' - x = (x - q0)(P' - 1) have opposite signs or are both zero: x
// lies between the two exact sums. RN is monotone, so where both round to
// the same double, x rounds to it too: also where that double is a
// subnormal, a zero or an infinity. No midpoint, tie or sign rule enters.
// (Where y' overflows, |b| < 2^-1023.99, s' is NaN or the infinity on the
// side of x from q0 + r y; s equals it only where q0 + r y itself rounds
// to it, and x lies beyond.) A rounding boundary lies between the two sums
// (at most 2^-77 |x| apart where q0 is normal: |x - q0| < 2^-39.6 |x|) in
// about one quotient in 2^24.
//
// When r is that close: where it is a normal number (then its exact value
// is at least 2^-1022 - 2^-1075); and wherever a is a double of at least
// 2^-965 in size. For then a and q0 b are whole multiples of 2^-1074 (q0 b
// is one of ulp(q0) ulp(b), at least 2^-1074 since |q0 b| is |a| within a
// factor 1 +- 2^-39, or where q0 or b is subnormal, since the other is
// then at least 2^57 in size), so a - q0 b is exact where it is subnormal or zero
// and rounded relatively elsewhere.
//
// A zero numerator: for b finite, nonzero and not tiny, y and y' are finite
// with b's sign, q0 = RN(a y) is the zero the divider gives (the sign of a
// times that of b), r = +0, and s = s' = a zero whose sign follows the rule
// for sums of zeros, wrong for a = -0 and b > 0. So a zero numerator's
// result takes q0's sign. That changes no other settled lane: there q0 and
// s' both round values of x's sign (where q0 is nonzero, it has x's sign
// and |x - q0| <= |x|, so q0 + r y' lies within 2^-77 |x| of x; where q0
// is a zero, q0 + r y' = a y'). With a = +0 that
// rule already gives q0's sign, so +0 is a moderate numerator too.
//
// A lane is settled where s = s' as an ordered comparison (false for NaN)
// and r is normal, or a is a zero, or a is known to be moderate (+0 or in
// [2^-965, 2^1024) in size). Infinite and NaN operands, zero divisors,
// quotients that overflow in q0, and zero or subnormal r with a nonzero
// numerator fail (every non-finite operand makes s or s' NaN, and so does a
// zero divisor) and take the divider. (The sequence raises other
// floating-point flags than the divider would; nothing here reads them.)
//
// The core benchmark's copy of the lanes with the divider alone
// (bench/divider_lanes_avx512.cpp, in an instruction-set namespace of its
// own) defines ZORV_DIVIDER_QUOTIENTS and keeps scalar.hpp's Quotients.
#ifndef ZORV_DIVIDER_QUOTIENTS
template <>
struct Quotients<Double8> {
    Double8 operator()(Double8 a, Double8 b) { return divide(a, b, true); }
    // A numerator that is +0 or lies in [2^-965, 2^1024) in size in every
    // lane (the caller knows: a constant, or a value it has bounded) needs
    // no look at r.
    Double8 with_moderate_numerator(Double8 a, Double8 b) { return divide(a, b, false); }
    Double8 operator()(double a, Double8 b) {
        const double size = std::fabs(a);
        return divide(Double8(a), b, !(size >= 0x1p-965 && size <= 0x1.fffffffffffffp+1023));
    }
    // By a power of two with a double for reciprocal (the legs' rest
    // length 0.5), the product with that reciprocal, which rounds the same
    // exact value once; it folds into one product where b is a constant, as
    // the compiler folds such a division.
    Double8 operator()(Double8 a, double b) { return by_constant(a, b, true); }
    Double8 with_moderate_numerator(Double8 a, double b) { return by_constant(a, b, false); }

    bool all_settled() const { return _kortestc_mask8_u8(settled_.bits, settled_.bits) != 0; }
    Mask8 settled() const { return settled_; }

private:
    Mask8 settled_{0xff};

    Double8 by_constant(Double8 a, double b, bool look_at_r) {
        const std::uint64_t b_bits = std::bit_cast<std::uint64_t>(b);
        const std::uint64_t exponent = b_bits & bits::exponent;
        if ((b_bits & bits::mantissa) == 0 && exponent != 0 && exponent != bits::exponent) return a * (1.0 / b);
        return divide(a, Double8(b), look_at_r);
    }

    Double8 divide(Double8 a, Double8 b, bool look_at_r) {
        const __m512d y0 = _mm512_maskz_rcp14_pd(0xff, b.v);
        const __m512d g = _mm512_fnmadd_pd(b.v, y0, _mm512_set1_pd(1.0 - 0x1p-40));
        const __m512d y = _mm512_fmadd_pd(y0, _mm512_fmadd_pd(g, g, g), y0);
        const __m512d y_above = _mm512_mul_pd(y, _mm512_set1_pd(1.0 + 0x1p-38));
        const __m512d q0 = _mm512_mul_pd(a.v, y);
        const __m512d r = _mm512_fnmadd_pd(q0, b.v, a.v);
        const __m512d below = _mm512_fmadd_pd(r, y, q0);
        const __m512d above = _mm512_fmadd_pd(r, y_above, q0);
        settled_.bits = _mm512_mask_cmp_pd_mask(settled_.bits, below, above, _CMP_EQ_OQ);
        if (!look_at_r) return Double8(above);
        // A lane whose r is not a normal number (a NaN, an infinity, a zero
        // or subnormal) stays unsettled unless a is a zero; a zero's sign
        // is q0's.
        constexpr int not_normal = 0x01 | 0x02 | 0x04 | 0x08 | 0x10 | 0x20 | 0x80;
        const __mmask8 nonzero = _mm512_cmp_pd_mask(a.v, _mm512_setzero_pd(), _CMP_NEQ_UQ);
        settled_.bits = _kandn_mask8(_mm512_mask_fpclass_pd_mask(nonzero, r, not_normal), settled_.bits);
        // Bits of above where the sign mask is clear, of q0 where it is set.
        constexpr int sign_from_q0 = 0xd8;
        return Double8(_mm512_castsi512_pd(_mm512_ternarylogic_epi64(
            _mm512_castpd_si512(above), _mm512_castpd_si512(q0),
            _mm512_set1_epi64(static_cast<long long>(bits::sign)), sign_from_q0)));
    }
};
#endif

// Eight 64-bit words side by side.
struct Words8 {
    static constexpr int width = 8;
    __m512i v;

    Words8() = default;
    Words8(std::uint64_t broadcast) : v(_mm512_set1_epi64(static_cast<long long>(broadcast))) {}  // NOLINT
    explicit Words8(__m512i value) : v(value) {}

    friend Words8 operator+(Words8 a, Words8 b) { return Words8(_mm512_add_epi64(a.v, b.v)); }
    friend Words8 operator^(Words8 a, Words8 b) { return Words8(_mm512_xor_si512(a.v, b.v)); }
    friend Words8 operator&(Words8 a, Words8 b) { return Words8(_mm512_and_si512(a.v, b.v)); }
    template <int count>
    friend Words8 shift_left(Words8 a) {
        return Words8(_mm512_slli_epi64(a.v, count));
    }
    template <int count>
    friend Words8 shift_right(Words8 a) {
        return Words8(_mm512_srli_epi64(a.v, count));
    }
    template <int count>
    friend Words8 rotate_left(Words8 a) {
        return Words8(_mm512_rol_epi64(a.v, count));
    }

    // Exact for words below 2^53.
    friend Double8 as_double(Words8 a) { return Double8(_mm512_cvtepi64_pd(a.v)); }
    friend Double8 bits_as_double(Words8 a) { return Double8(_mm512_castsi512_pd(a.v)); }

    // values[i] and values[i + 1] of each lane's i: eight loads of both at
    // once, which on some CPUs take less time than two gathers.
    friend Pair<Double8> look_up_neighbours(const double* values, Words8 i) {
        alignas(64) std::uint64_t at[width];
        _mm512_store_si512(at, i.v);
        __m256d quarter[4];
        for (int q = 0; q < 4; ++q) {
            quarter[q] = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(values + at[2 * q])),
                                              _mm_loadu_pd(values + at[2 * q + 1]), 1);
        }
        const __m512d low = _mm512_insertf64x4(_mm512_castpd256_pd512(quarter[0]), quarter[1], 1);
        const __m512d high = _mm512_insertf64x4(_mm512_castpd256_pd512(quarter[2]), quarter[3], 1);
        return {Double8(_mm512_permutex2var_pd(low, _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14), high)),
                Double8(_mm512_permutex2var_pd(low, _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15), high))};
    }

    // The eight words to p, lane 0 first, with no alignment needed.
    friend void store(std::uint64_t* p, Words8 a) { _mm512_storeu_si512(p, a.v); }

    friend std::uint64_t lane(Words8 a, int i) { return static_cast<std::uint64_t>(a.v[i]); }
    friend void set_lane(Words8& a, int i, std::uint64_t value) {
        a.v = _mm512_mask_set1_epi64(a.v, static_cast<__mmask8>(1u << i), static_cast<long long>(value));
    }
};

}  // namespace ZORV_ISA
}  // namespace zorv::simd
