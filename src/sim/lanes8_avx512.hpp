// Eight doubles side by side in one AVX-512 register: a lane type of the
// step, with its masks in mask registers.
//
// It offers the free functions of the lane concept (lane_scheduler.hpp),
// each one IEEE operation per lane with the same rounding as the scalar
// operation: plain add, subtract, multiply, divide and square root (never
// fused), ordered comparisons that are false for NaN, and a select for every
// branch. Only files compiled for AVX-512 include it.
#pragma once

#include <immintrin.h>

#include <array>
#include <cmath>
#include <cstddef>

#include "sim/fast_atan2_avx512.hpp"
#include "sim/isa_file.hpp"
#include "sim/number.hpp"

namespace zorv::sim {
inline namespace ZORV_SIM_ISA {

// One bit per lane, lane 0 in bit 0.
struct Mask8 {
    __mmask8 bits = 0;
};

inline Mask8 either(Mask8 a, Mask8 b) { return {static_cast<__mmask8>(a.bits | b.bits)}; }
inline unsigned lane_bits(Mask8 mask) { return mask.bits; }

// The operators are hidden friends, so that a plain double on either side
// converts to the lane type, as constants do in the scalar code.
template <Atan2Source angles>
struct Lanes8 {
    static constexpr int width = 8;
    __m512d v;

    Lanes8() : v(_mm512_setzero_pd()) {}
    Lanes8(double broadcast) : v(_mm512_set1_pd(broadcast)) {}  // NOLINT: implicit on purpose
    explicit Lanes8(__m512d value) : v(value) {}
    // Lane i holds values[i]. Built in registers: the scheduler writes the
    // values one by one just before, and a wide load of narrow stores would
    // wait for them to reach the cache (about 3 % of a step here).
    explicit Lanes8(const std::array<double, width>& values)
        : v(_mm512_set_pd(values[7], values[6], values[5], values[4], values[3], values[2], values[1],
                          values[0])) {}

    friend Lanes8 operator+(Lanes8 a, Lanes8 b) { return Lanes8(_mm512_add_pd(a.v, b.v)); }
    friend Lanes8 operator-(Lanes8 a, Lanes8 b) { return Lanes8(_mm512_sub_pd(a.v, b.v)); }
    friend Lanes8 operator*(Lanes8 a, Lanes8 b) { return Lanes8(_mm512_mul_pd(a.v, b.v)); }
    friend Lanes8 operator/(Lanes8 a, Lanes8 b) { return Lanes8(_mm512_div_pd(a.v, b.v)); }
    // Flips the sign bit only, as scalar negation does (also for 0 and NaN).
    friend Lanes8 operator-(Lanes8 a) { return Lanes8(_mm512_xor_pd(a.v, _mm512_set1_pd(-0.0))); }

    // Ordered, quiet predicates: false for NaN, like the scalar comparisons.
    friend Mask8 operator<(Lanes8 a, Lanes8 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ)}; }
    friend Mask8 operator<=(Lanes8 a, Lanes8 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LE_OQ)}; }
    friend Mask8 operator>(Lanes8 a, Lanes8 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ)}; }
    friend Mask8 operator>=(Lanes8 a, Lanes8 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ)}; }
    friend Mask8 is_nan(Lanes8 a) { return {_mm512_cmp_pd_mask(a.v, a.v, _CMP_UNORD_Q)}; }

    friend Lanes8 select(Mask8 mask, Lanes8 if_true, Lanes8 if_false) {
        return Lanes8(_mm512_mask_blend_pd(mask.bits, if_false.v, if_true.v));
    }

    friend Lanes8 unit_with_sign_of(Lanes8 a) {
        const __m512d sign = _mm512_and_pd(a.v, _mm512_set1_pd(-0.0));
        return Lanes8(_mm512_or_pd(sign, _mm512_set1_pd(1.0)));
    }

    // The masked form names its pass-through value: GCC 12's unmasked form
    // warns about the undefined one it uses.
    friend Lanes8 square_root(Lanes8 a) { return Lanes8(_mm512_mask_sqrt_pd(a.v, 0xff, a.v)); }

    // The angles of a step: all its registers in one call of the fast atan2,
    // or every lane through the C library's atan2.
    template <std::size_t n>
    friend std::array<Lanes8, n> angles_of(const std::array<Lanes8, n>& dy,
                                           const std::array<Lanes8, n>& dx) {
        std::array<Lanes8, n> angle;
        if constexpr (angles == Atan2Source::fast_atan2) {
            static_assert(n <= fast_atan2_avx512_max_registers);
            __m512d y[n], x[n], out[n];
            for (std::size_t i = 0; i < n; ++i) {
                y[i] = dy[i].v;
                x[i] = dx[i].v;
            }
            fast_atan2_avx512(y, x, out, n);
            for (std::size_t i = 0; i < n; ++i) angle[i] = Lanes8(out[i]);
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                alignas(64) double y[width], x[width], a[width];
                _mm512_store_pd(y, dy[i].v);
                _mm512_store_pd(x, dx[i].v);
                for (int j = 0; j < width; ++j) a[j] = std::atan2(y[j], x[j]);
                angle[i] = Lanes8(_mm512_load_pd(a));
            }
        }
        return angle;
    }

    friend double lane(Lanes8 a, int i) { return a.v[i]; }

    friend void set_lane(Lanes8& a, int i, double value) {
        a.v = _mm512_mask_broadcastsd_pd(a.v, static_cast<__mmask8>(1u << i), _mm_set_sd(value));
    }
};

}  // namespace ZORV_SIM_ISA
}  // namespace zorv::sim
