// One plan as a lane type: scalar arithmetic, with the fast atan2 for the
// angles of a step, four to a register. This is how `sim` runs one plan on
// CPUs where the fast atan2 may stand in for the C library's, also on CPUs
// with AVX-512: the angles of one plan fill a register of eight, but its
// wider operations and gathers lengthen the chain one lane waits on (README,
// Performance).
//
// It offers the free functions of number.hpp with the scalar operations
// themselves. Its masks are compare results in a register, and a select is
// a blend, as in the wide lane types: the model's branches depend on the
// run, and as branches they would be mispredicted.
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

// All ones or all zeros in the low double. Left uninitialised by default,
// like Lane1, so that the step's arrays of them cost nothing to declare.
struct Mask1 {
    __m128d bits;

    friend Mask1 either(Mask1 a, Mask1 b) { return {_mm_or_pd(a.bits, b.bits)}; }
    friend unsigned lane_bits(Mask1 mask) {
        return static_cast<unsigned>(_mm_movemask_pd(mask.bits)) & 1u;
    }
};

struct Lane1 {
    static constexpr int width = 1;
    double v;

    Lane1() = default;
    Lane1(double value) : v(value) {}  // NOLINT: implicit on purpose, as for Lanes4
    explicit Lane1(const std::array<double, width>& values) : v(values[0]) {}

    friend Lane1 operator+(Lane1 a, Lane1 b) { return a.v + b.v; }
    friend Lane1 operator-(Lane1 a, Lane1 b) { return a.v - b.v; }
    friend Lane1 operator*(Lane1 a, Lane1 b) { return a.v * b.v; }
    friend Lane1 operator/(Lane1 a, Lane1 b) { return a.v / b.v; }
    friend Lane1 operator-(Lane1 a) { return -a.v; }

    // Ordered, quiet predicates: false for NaN, like the scalar comparisons.
    friend Mask1 operator<(Lane1 a, Lane1 b) { return compare<_CMP_LT_OQ>(a, b); }
    friend Mask1 operator<=(Lane1 a, Lane1 b) { return compare<_CMP_LE_OQ>(a, b); }
    friend Mask1 operator>(Lane1 a, Lane1 b) { return compare<_CMP_GT_OQ>(a, b); }
    friend Mask1 operator>=(Lane1 a, Lane1 b) { return compare<_CMP_GE_OQ>(a, b); }
    friend Mask1 is_nan(Lane1 a) { return compare<_CMP_UNORD_Q>(a, a); }

    friend Lane1 select(Mask1 mask, Lane1 if_true, Lane1 if_false) {
        return _mm_cvtsd_f64(_mm_blendv_pd(_mm_set_sd(if_false.v), _mm_set_sd(if_true.v), mask.bits));
    }

    friend Lane1 unit_with_sign_of(Lane1 a) { return std::copysign(1.0, a.v); }
    friend Lane1 square_root(Lane1 a) { return std::sqrt(a.v); }

    // The step's angles in registers of four, through the fast atan2; the
    // lanes past the last angle compute atan2(1, 1). The registers are built
    // from the values in registers: a wide load of narrow stores would wait
    // for them to reach the cache, on the chain that one lane waits on.
    template <std::size_t n>
    friend std::array<Lane1, n> angles_of(const std::array<Lane1, n>& dy,
                                          const std::array<Lane1, n>& dx) {
        constexpr std::size_t registers = (n + 3) / 4;
        static_assert(registers <= fast_atan2_avx2_max_registers);
        const auto four = [](const std::array<Lane1, n>& v, std::size_t first) {
            const auto at = [&](std::size_t i) { return i < n ? v[i].v : 1.0; };
            return _mm256_set_pd(at(first + 3), at(first + 2), at(first + 1), at(first));
        };
        __m256d y[registers], x[registers], out[registers];
        for (std::size_t r = 0; r < registers; ++r) {
            y[r] = four(dy, 4 * r);
            x[r] = four(dx, 4 * r);
        }
        fast_atan2_avx2(y, x, out, registers);
        std::array<Lane1, n> angle;
        for (std::size_t i = 0; i < n; ++i) angle[i] = out[i / 4][i % 4];
        return angle;
    }

    friend double lane(Lane1 a, int) { return a.v; }
    friend void set_lane(Lane1& a, int, double value) { a.v = value; }

private:
    template <int predicate>
    static Mask1 compare(Lane1 a, Lane1 b) {
        return {_mm_cmp_sd(_mm_set_sd(a.v), _mm_set_sd(b.v), predicate)};
    }
};

}  // namespace ZORV_SIM_ISA
}  // namespace zorv::sim
