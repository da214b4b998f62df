// Four doubles side by side in one AVX2 register: a lane type of the step.
//
// It offers the free functions of the lane concept (lane_scheduler.hpp),
// each one IEEE operation per
// lane with the same rounding as the scalar operation: plain add, subtract,
// multiply, divide and square root (never fused), ordered comparisons that
// are false for NaN, and a select for every branch. For the lane scheduler
// it also offers its width, a constructor from one value per lane, lane
// access and the lane bits of a mask. Every intrinsic of the four-lane batch
// core is in this file; only files compiled for AVX2 include it.
#pragma once

#include <immintrin.h>

#include <array>
#include <cmath>
#include <cstddef>

#include "sim/fast_atan2_avx2.hpp"
#include "sim/isa_file.hpp"
#include "sim/number.hpp"

namespace zorv::sim {
inline namespace ZORV_SIM_ISA {

struct Mask4 {
    __m256d bits = _mm256_setzero_pd();
};

// The operators are hidden friends, so that a plain double on either side
// converts to the lane type, as constants do in the scalar code.
template <Atan2Source angles>
struct Lanes4 {
    static constexpr int width = 4;
    __m256d v;

    Lanes4() : v(_mm256_setzero_pd()) {}
    Lanes4(double broadcast) : v(_mm256_set1_pd(broadcast)) {}  // NOLINT: implicit on purpose
    explicit Lanes4(__m256d value) : v(value) {}
    // Lane i holds values[i].
    explicit Lanes4(const std::array<double, width>& values) : v(_mm256_loadu_pd(values.data())) {}

    friend Lanes4 operator+(Lanes4 a, Lanes4 b) { return Lanes4(_mm256_add_pd(a.v, b.v)); }
    friend Lanes4 operator-(Lanes4 a, Lanes4 b) { return Lanes4(_mm256_sub_pd(a.v, b.v)); }
    friend Lanes4 operator*(Lanes4 a, Lanes4 b) { return Lanes4(_mm256_mul_pd(a.v, b.v)); }
    friend Lanes4 operator/(Lanes4 a, Lanes4 b) { return Lanes4(_mm256_div_pd(a.v, b.v)); }
    // Flips the sign bit only, as scalar negation does (also for 0 and NaN).
    friend Lanes4 operator-(Lanes4 a) { return Lanes4(_mm256_xor_pd(a.v, _mm256_set1_pd(-0.0))); }

    // Ordered, quiet predicates: false for NaN, like the scalar comparisons.
    friend Mask4 operator<(Lanes4 a, Lanes4 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)}; }
    friend Mask4 operator<=(Lanes4 a, Lanes4 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)}; }
    friend Mask4 operator>(Lanes4 a, Lanes4 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
    friend Mask4 operator>=(Lanes4 a, Lanes4 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)}; }

    friend Lanes4 select(Mask4 mask, Lanes4 if_true, Lanes4 if_false) {
        return Lanes4(_mm256_blendv_pd(if_false.v, if_true.v, mask.bits));
    }

    friend Mask4 is_nan(Lanes4 a) { return {_mm256_cmp_pd(a.v, a.v, _CMP_UNORD_Q)}; }

    friend Lanes4 unit_with_sign_of(Lanes4 a) {
        const __m256d sign = _mm256_and_pd(a.v, _mm256_set1_pd(-0.0));
        return Lanes4(_mm256_or_pd(sign, _mm256_set1_pd(1.0)));
    }

    friend Lanes4 square_root(Lanes4 a) { return Lanes4(_mm256_sqrt_pd(a.v)); }

    // The angles of a step. The fast atan2 takes all the registers of a step
    // in one call, which leaves the few lanes it hands to the C library to a
    // single test; otherwise every lane takes the C library's atan2 bits.
    template <std::size_t n>
    friend std::array<Lanes4, n> angles_of(const std::array<Lanes4, n>& dy,
                                           const std::array<Lanes4, n>& dx) {
        std::array<Lanes4, n> angle;
        if constexpr (angles == Atan2Source::fast_atan2) {
            static_assert(n <= fast_atan2_avx2_max_registers);
            __m256d y[n], x[n], out[n];
            for (std::size_t i = 0; i < n; ++i) {
                y[i] = dy[i].v;
                x[i] = dx[i].v;
            }
            fast_atan2_avx2(y, x, out, n);
            for (std::size_t i = 0; i < n; ++i) angle[i] = Lanes4(out[i]);
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                alignas(32) double y[width], x[width], a[width];
                _mm256_store_pd(y, dy[i].v);
                _mm256_store_pd(x, dx[i].v);
                for (int j = 0; j < width; ++j) a[j] = std::atan2(y[j], x[j]);
                angle[i] = Lanes4(_mm256_load_pd(a));
            }
        }
        return angle;
    }

    friend double lane(Lanes4 a, int i) {
        alignas(32) double values[width];
        _mm256_store_pd(values, a.v);
        return values[i];
    }

    friend void set_lane(Lanes4& a, int i, double value) {
        alignas(32) double values[width];
        _mm256_store_pd(values, a.v);
        values[i] = value;
        a.v = _mm256_load_pd(values);
    }
};

inline Mask4 either(Mask4 a, Mask4 b) { return {_mm256_or_pd(a.bits, b.bits)}; }

// One bit per lane, lane 0 in bit 0.
inline unsigned lane_bits(Mask4 mask) { return static_cast<unsigned>(_mm256_movemask_pd(mask.bits)); }

}  // namespace ZORV_SIM_ISA
}  // namespace zorv::sim
