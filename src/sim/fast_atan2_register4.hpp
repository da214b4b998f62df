// The kernel's register type of four lanes on AVX2 registers, for the files
// compiled for AVX2 with FMA (ZORV_SIM_ISA avx2_fma): the fast atan2 itself
// (fast_atan2_avx2.cpp) and the survey of its unrounded values, which the
// tests and benchmarks take (fast_atan2_survey_avx2.cpp).
#pragma once

#include <immintrin.h>

#include "sim/fast_atan2_avx2.hpp"
#include "sim/fast_atan2_kernel.hpp"
#include "sim/isa_file.hpp"

namespace zorv::sim {
inline namespace ZORV_SIM_ISA {

struct Mask4 {
    __m256d bits;

    friend Mask4 both(Mask4 a, Mask4 b) { return {_mm256_and_pd(a.bits, b.bits)}; }
    friend Mask4 exactly_one(Mask4 a, Mask4 b) { return {_mm256_xor_pd(a.bits, b.bits)}; }
    friend unsigned lane_bits(Mask4 m) { return static_cast<unsigned>(_mm256_movemask_pd(m.bits)); }
};

// The register type of the kernel: four doubles, the operations it needs.
// It may stand for any __m256d in memory, as __m256d itself may.
struct __attribute__((may_alias)) Register4 {
    using Mask = Mask4;
    static constexpr int width = 4;
    __m256d v;

    Register4() = default;
    Register4(double broadcast) : v(_mm256_set1_pd(broadcast)) {}  // NOLINT: implicit on purpose
    explicit Register4(__m256d value) : v(value) {}

    friend Register4 operator+(Register4 a, Register4 b) { return Register4(_mm256_add_pd(a.v, b.v)); }
    friend Register4 operator-(Register4 a, Register4 b) { return Register4(_mm256_sub_pd(a.v, b.v)); }
    friend Register4 operator*(Register4 a, Register4 b) { return Register4(_mm256_mul_pd(a.v, b.v)); }
    friend Register4 operator/(Register4 a, Register4 b) { return Register4(_mm256_div_pd(a.v, b.v)); }

    friend Mask4 operator<(Register4 a, Register4 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)}; }
    friend Mask4 operator<=(Register4 a, Register4 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)}; }
    friend Mask4 operator>(Register4 a, Register4 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
    friend Mask4 operator>=(Register4 a, Register4 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)}; }

    friend Register4 select(Mask4 m, Register4 if_true, Register4 if_false) {
        return Register4(_mm256_blendv_pd(if_false.v, if_true.v, m.bits));
    }
    // The value where m holds, +0.0 elsewhere; and the other way round.
    friend Register4 where(Mask4 m, Register4 a) { return Register4(_mm256_and_pd(m.bits, a.v)); }
    friend Register4 where_not(Mask4 m, Register4 a) { return Register4(_mm256_andnot_pd(m.bits, a.v)); }

    friend Register4 magnitude(Register4 a) { return Register4(_mm256_andnot_pd(_mm256_set1_pd(-0.0), a.v)); }
    friend Register4 sign_of(Register4 a) { return Register4(_mm256_and_pd(a.v, _mm256_set1_pd(-0.0))); }
    // a with its sign bit flipped where sign holds -0.0.
    friend Register4 sign_flipped(Register4 a, Register4 sign) { return Register4(_mm256_xor_pd(a.v, sign.v)); }

    // a b - p exactly, for p the rounded product a b.
    friend Register4 product_error(Register4 a, Register4 b, Register4 p) {
        return Register4(_mm256_fmsub_pd(a.v, b.v, p.v));
    }
    // top - q under exactly, for q the rounded quotient top / under.
    friend Register4 division_remainder(Register4 top, Register4 q, Register4 under) {
        return Register4(_mm256_fnmadd_pd(q.v, under.v, top.v));
    }
    friend Register4 nearest_integer(Register4 a) {
        return Register4(_mm256_round_pd(a.v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
    }
    // The ULP of a positive finite a, from its exponent bits.
    friend Register4 ulp_of_positive(Register4 a) {
        const __m256d exponent = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7ff0000000000000LL));
        return Register4(_mm256_and_pd(a.v, exponent)) * 0x1p-52;
    }
    friend Mask4 is_power_of_two(Register4 a) {
        const __m256i mantissa = _mm256_and_si256(_mm256_castpd_si256(a.v),
                                                  _mm256_set1_epi64x(0x000fffffffffffffLL));
        return {_mm256_castsi256_pd(_mm256_cmpeq_epi64(mantissa, _mm256_setzero_si256()))};
    }

    // The entries at the indices k. Four (hi, lo) loads beat a gather; lanes
    // 0 and 2 share one register and lanes 1 and 3 the other, so that
    // unpacking puts them back in order.
    template <class Entry>
    friend fast_atan2_kernel::TableEntry<Register4> look_up(const Entry* table, Register4 k) {
        const __m128i index = _mm256_cvtpd_epi32(k.v);
        const __m128d entry0 = _mm_load_pd(&table[_mm_cvtsi128_si32(index)].hi);
        const __m128d entry1 = _mm_load_pd(&table[_mm_extract_epi32(index, 1)].hi);
        const __m128d entry2 = _mm_load_pd(&table[_mm_extract_epi32(index, 2)].hi);
        const __m128d entry3 = _mm_load_pd(&table[_mm_extract_epi32(index, 3)].hi);
        const __m256d lanes02 = _mm256_set_m128d(entry2, entry0);
        const __m256d lanes13 = _mm256_set_m128d(entry3, entry1);
        return {Register4(_mm256_unpacklo_pd(lanes02, lanes13)),
                Register4(_mm256_unpackhi_pd(lanes02, lanes13))};
    }
};

static_assert(sizeof(Register4) == sizeof(__m256d));
static_assert(fast_atan2_avx2_max_registers == fast_atan2_kernel::max_registers<Register4>);

}  // namespace ZORV_SIM_ISA
}  // namespace zorv::sim
