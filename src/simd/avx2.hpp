// The AVX2 members of the wide types' family (scalar.hpp says what every
// member offers): four doubles in one register, four 64-bit words, their
// masks, and one double in the low lane of a register for the one-lane run.
// Only files compiled for AVX2 include this.
//
// The exact products (product_error, division_remainder) are FMA
// instructions, which AVX2 processors need not have: they exist only in a
// translation unit compiled with FMA (-mfma), entered after a run-time check
// for it. Everywhere else nothing can be fused.
#pragma once

#include <immintrin.h>

#include <array>
#include <cmath>
#include <cstdint>

#include "simd/isa_file.hpp"
#include "simd/scalar.hpp"

namespace zorv::simd {
inline namespace ZORV_ISA {

// All ones or all zeros per lane, as comparisons return them.
struct Mask4 {
    __m256d bits;

    friend Mask4 either(Mask4 a, Mask4 b) { return {_mm256_or_pd(a.bits, b.bits)}; }
    friend Mask4 both(Mask4 a, Mask4 b) { return {_mm256_and_pd(a.bits, b.bits)}; }
    friend Mask4 exactly_one(Mask4 a, Mask4 b) { return {_mm256_xor_pd(a.bits, b.bits)}; }
    // One bit per lane, lane 0 in bit 0.
    friend unsigned lane_bits(Mask4 m) { return static_cast<unsigned>(_mm256_movemask_pd(m.bits)); }
};

// The operators are hidden friends, so that a plain double on either side
// converts to the wide type, as constants do in scalar code. An array of
// them may stand for any doubles in memory, as __m256d may.
struct __attribute__((may_alias)) Double4 {
    static constexpr int width = 4;
    __m256d v;

    Double4() = default;
    Double4(double broadcast) : v(_mm256_set1_pd(broadcast)) {}  // NOLINT: implicit on purpose
    explicit Double4(__m256d value) : v(value) {}
    // Lane i holds values[i]. Built in registers: where the values were just
    // written one by one, a wide load would wait for them to reach the cache.
    explicit Double4(const std::array<double, width>& values)
        : v(_mm256_set_pd(values[3], values[2], values[1], values[0])) {}
    static Double4 load(const double* p) { return Double4(_mm256_loadu_pd(p)); }
    friend void store(double* p, Double4 a) { _mm256_storeu_pd(p, a.v); }

    friend Double4 operator+(Double4 a, Double4 b) { return Double4(_mm256_add_pd(a.v, b.v)); }
    friend Double4 operator-(Double4 a, Double4 b) { return Double4(_mm256_sub_pd(a.v, b.v)); }
    friend Double4 operator*(Double4 a, Double4 b) { return Double4(_mm256_mul_pd(a.v, b.v)); }
    friend Double4 operator/(Double4 a, Double4 b) { return Double4(_mm256_div_pd(a.v, b.v)); }
    // Flips the sign bit only, as scalar negation does (also for 0 and NaN).
    friend Double4 operator-(Double4 a) { return Double4(_mm256_xor_pd(a.v, _mm256_set1_pd(-0.0))); }

    // Ordered, quiet predicates: false for NaN, like the scalar comparisons.
    friend Mask4 operator<(Double4 a, Double4 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)}; }
    friend Mask4 operator<=(Double4 a, Double4 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)}; }
    friend Mask4 operator>(Double4 a, Double4 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
    friend Mask4 operator>=(Double4 a, Double4 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)}; }
    friend Mask4 is_nan(Double4 a) { return {_mm256_cmp_pd(a.v, a.v, _CMP_UNORD_Q)}; }

    friend Double4 select(Mask4 m, Double4 if_true, Double4 if_false) {
        return Double4(_mm256_blendv_pd(if_false.v, if_true.v, m.bits));
    }
    friend Double4 where(Mask4 m, Double4 a) { return Double4(_mm256_and_pd(m.bits, a.v)); }
    friend Double4 where_not(Mask4 m, Double4 a) { return Double4(_mm256_andnot_pd(m.bits, a.v)); }

    friend Double4 magnitude(Double4 a) { return Double4(_mm256_andnot_pd(_mm256_set1_pd(-0.0), a.v)); }
    friend Double4 sign_of(Double4 a) { return Double4(_mm256_and_pd(a.v, _mm256_set1_pd(-0.0))); }
    friend Double4 sign_flipped(Double4 a, Double4 sign) { return Double4(_mm256_xor_pd(a.v, sign.v)); }
    friend Double4 unit_with_sign_of(Double4 a) {
        return Double4(_mm256_or_pd(sign_of(a).v, _mm256_set1_pd(1.0)));
    }

    friend Double4 square_root(Double4 a) { return Double4(_mm256_sqrt_pd(a.v)); }
    friend Double4 nearest_integer(Double4 a) {
        return Double4(_mm256_round_pd(a.v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
    }
    friend Double4 ulp_of_positive(Double4 a) {
        const __m256d exponent = _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(bits::exponent)));
        return Double4(_mm256_and_pd(a.v, exponent)) * 0x1p-52;
    }
    friend Mask4 is_power_of_two(Double4 a) {
        const __m256i mantissa = _mm256_and_si256(_mm256_castpd_si256(a.v), _mm256_set1_epi64x(static_cast<long long>(bits::mantissa)));
        return {_mm256_castsi256_pd(_mm256_cmpeq_epi64(mantissa, _mm256_setzero_si256()))};
    }

#ifdef __FMA__
    friend Double4 product_error(Double4 a, Double4 b, Double4 p) {
        return Double4(_mm256_fmsub_pd(a.v, b.v, p.v));
    }
    friend Double4 division_remainder(Double4 top, Double4 q, Double4 under) {
        return Double4(_mm256_fnmadd_pd(q.v, under.v, top.v));
    }
#endif

    // Four 16-byte loads of (first, second) beat a gather; the table's pairs
    // must be 16-byte aligned. Lanes 0 and 2 share one register and lanes 1
    // and 3 the other, so that unpacking puts them back in order.
    friend Pair<Double4> look_up(const double (*pairs)[2], Double4 k) {
        const __m128i index = _mm256_cvtpd_epi32(k.v);
        const __m128d pair0 = _mm_load_pd(pairs[_mm_cvtsi128_si32(index)]);
        const __m128d pair1 = _mm_load_pd(pairs[_mm_extract_epi32(index, 1)]);
        const __m128d pair2 = _mm_load_pd(pairs[_mm_extract_epi32(index, 2)]);
        const __m128d pair3 = _mm_load_pd(pairs[_mm_extract_epi32(index, 3)]);
        const __m256d lanes02 = _mm256_set_m128d(pair2, pair0);
        const __m256d lanes13 = _mm256_set_m128d(pair3, pair1);
        return {Double4(_mm256_unpacklo_pd(lanes02, lanes13)), Double4(_mm256_unpackhi_pd(lanes02, lanes13))};
    }

    friend double lane(Double4 a, int i) { return a.v[i]; }
    friend void set_lane(Double4& a, int i, double value) { a.v[i] = value; }
};

// Four 64-bit words side by side.
struct Words4 {
    static constexpr int width = 4;
    __m256i v;

    Words4() = default;
    Words4(std::uint64_t broadcast) : v(_mm256_set1_epi64x(static_cast<long long>(broadcast))) {}  // NOLINT
    explicit Words4(__m256i value) : v(value) {}

    friend Words4 operator+(Words4 a, Words4 b) { return Words4(_mm256_add_epi64(a.v, b.v)); }
    friend Words4 operator^(Words4 a, Words4 b) { return Words4(_mm256_xor_si256(a.v, b.v)); }
    friend Words4 operator&(Words4 a, Words4 b) { return Words4(_mm256_and_si256(a.v, b.v)); }
    template <int count>
    friend Words4 shift_left(Words4 a) {
        return Words4(_mm256_slli_epi64(a.v, count));
    }
    template <int count>
    friend Words4 shift_right(Words4 a) {
        return Words4(_mm256_srli_epi64(a.v, count));
    }
    template <int count>
    friend Words4 rotate_left(Words4 a) {
        return Words4(_mm256_or_si256(_mm256_slli_epi64(a.v, count), _mm256_srli_epi64(a.v, 64 - count)));
    }

    // Exact for words below 2^53: the high and the low 32 bits each become
    // a double exactly (as the low bits of 2^52's mantissa), and their sum,
    // which is the word itself, is a double too. (AVX2 has no conversion of
    // 64-bit integers.)
    friend Double4 as_double(Words4 a) {
        const __m256i two_52 = _mm256_set1_epi64x(0x4330000000000000LL);
        const __m256d high = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(_mm256_srli_epi64(a.v, 32), two_52)),
                                           _mm256_set1_pd(0x1p52));
        const __m256d low = _mm256_sub_pd(
            _mm256_castsi256_pd(_mm256_or_si256(_mm256_and_si256(a.v, _mm256_set1_epi64x(0xffffffffLL)), two_52)),
            _mm256_set1_pd(0x1p52));
        return Double4(_mm256_add_pd(_mm256_mul_pd(high, _mm256_set1_pd(0x1p32)), low));
    }
    friend Double4 bits_as_double(Words4 a) { return Double4(_mm256_castsi256_pd(a.v)); }

    // values[i] and values[i + 1] of each lane's i: four 16-byte loads.
    friend Pair<Double4> look_up_neighbours(const double* values, Words4 i) {
        const __m128d pair0 = _mm_loadu_pd(values + lane(i, 0));
        const __m128d pair1 = _mm_loadu_pd(values + lane(i, 1));
        const __m128d pair2 = _mm_loadu_pd(values + lane(i, 2));
        const __m128d pair3 = _mm_loadu_pd(values + lane(i, 3));
        const __m256d lanes02 = _mm256_set_m128d(pair2, pair0);
        const __m256d lanes13 = _mm256_set_m128d(pair3, pair1);
        return {Double4(_mm256_unpacklo_pd(lanes02, lanes13)), Double4(_mm256_unpackhi_pd(lanes02, lanes13))};
    }

    // The four words to p, lane 0 first, with no alignment needed.
    friend void store(std::uint64_t* p, Words4 a) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), a.v); }

    friend std::uint64_t lane(Words4 a, int i) { return static_cast<std::uint64_t>(a.v[i]); }
    friend void set_lane(Words4& a, int i, std::uint64_t value) { a.v[i] = static_cast<long long>(value); }
};

// --- One lane ----------------------------------------------------------------------
// One double in the low lane of a register: scalar arithmetic, with masks as
// compare results in a register and a select as a blend, as in the wide
// types: the run's branches depend on the run, and as branches they would
// be mispredicted. This is the number type of the one-lane run (the lane
// scheduler on one plan at a time).

// All ones or all zeros in the low double.
struct Mask1 {
    __m128d bits;

    friend Mask1 either(Mask1 a, Mask1 b) { return {_mm_or_pd(a.bits, b.bits)}; }
    friend unsigned lane_bits(Mask1 m) { return static_cast<unsigned>(_mm_movemask_pd(m.bits)) & 1u; }
};

struct Double1 {
    static constexpr int width = 1;
    double v;

    Double1() = default;
    Double1(double value) : v(value) {}  // NOLINT: implicit on purpose, as for Double4
    explicit Double1(const std::array<double, width>& values) : v(values[0]) {}
    static Double1 load(const double* p) { return *p; }
    friend void store(double* p, Double1 a) { *p = a.v; }

    friend Double1 operator+(Double1 a, Double1 b) { return a.v + b.v; }
    friend Double1 operator-(Double1 a, Double1 b) { return a.v - b.v; }
    friend Double1 operator*(Double1 a, Double1 b) { return a.v * b.v; }
    friend Double1 operator/(Double1 a, Double1 b) { return a.v / b.v; }
    friend Double1 operator-(Double1 a) { return -a.v; }

    // Ordered, quiet predicates: false for NaN, like the scalar comparisons.
    friend Mask1 operator<(Double1 a, Double1 b) { return compare<_CMP_LT_OQ>(a, b); }
    friend Mask1 operator<=(Double1 a, Double1 b) { return compare<_CMP_LE_OQ>(a, b); }
    friend Mask1 operator>(Double1 a, Double1 b) { return compare<_CMP_GT_OQ>(a, b); }
    friend Mask1 operator>=(Double1 a, Double1 b) { return compare<_CMP_GE_OQ>(a, b); }
    friend Mask1 is_nan(Double1 a) { return compare<_CMP_UNORD_Q>(a, a); }

    friend Double1 select(Mask1 m, Double1 if_true, Double1 if_false) {
        return _mm_cvtsd_f64(_mm_blendv_pd(_mm_set_sd(if_false.v), _mm_set_sd(if_true.v), m.bits));
    }

    friend Double1 unit_with_sign_of(Double1 a) { return std::copysign(1.0, a.v); }
    friend Double1 square_root(Double1 a) { return std::sqrt(a.v); }

    friend double lane(Double1 a, int) { return a.v; }
    friend void set_lane(Double1& a, int, double value) { a.v = value; }

private:
    template <int predicate>
    static Mask1 compare(Double1 a, Double1 b) {
        return {_mm_cmp_sd(_mm_set_sd(a.v), _mm_set_sd(b.v), predicate)};
    }
};

}  // namespace ZORV_ISA
}  // namespace zorv::simd
