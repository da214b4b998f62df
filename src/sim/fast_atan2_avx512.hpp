// The fast atan2 on AVX-512 registers, for files compiled for AVX-512: the
// kernel's register type and the kernel on it, which the eight-lane step
// takes inline. Both eight-lane files compile for the same instructions;
// AVX-512 F's FMA instructions appear only where product_error and
// division_remainder name them, since -ffp-contract=off forms no others (the
// step with the C library's atan2 has none).
#pragma once

#include <immintrin.h>

#include <cstddef>

#include "sim/fast_atan2.hpp"
#include "sim/fast_atan2_kernel.hpp"
#include "sim/isa_file.hpp"

namespace zorv::sim {
inline namespace ZORV_SIM_ISA {

struct RegisterMask8 {
    __mmask8 bits;

    friend RegisterMask8 both(RegisterMask8 a, RegisterMask8 b) { return {static_cast<__mmask8>(a.bits & b.bits)}; }
    friend RegisterMask8 exactly_one(RegisterMask8 a, RegisterMask8 b) { return {static_cast<__mmask8>(a.bits ^ b.bits)}; }
    friend unsigned lane_bits(RegisterMask8 m) { return m.bits; }
};

// The register type of the kernel: eight doubles, the operations it needs.
// It may stand for any __m512d in memory, as __m512d itself may.
struct __attribute__((may_alias)) Register8 {
    using Mask = RegisterMask8;
    static constexpr int width = 8;
    __m512d v;

    Register8() = default;
    Register8(double broadcast) : v(_mm512_set1_pd(broadcast)) {}  // NOLINT: implicit on purpose
    explicit Register8(__m512d value) : v(value) {}

    friend Register8 operator+(Register8 a, Register8 b) { return Register8(_mm512_add_pd(a.v, b.v)); }
    friend Register8 operator-(Register8 a, Register8 b) { return Register8(_mm512_sub_pd(a.v, b.v)); }
    friend Register8 operator*(Register8 a, Register8 b) { return Register8(_mm512_mul_pd(a.v, b.v)); }
    friend Register8 operator/(Register8 a, Register8 b) { return Register8(_mm512_div_pd(a.v, b.v)); }

    friend RegisterMask8 operator<(Register8 a, Register8 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ)}; }
    friend RegisterMask8 operator<=(Register8 a, Register8 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LE_OQ)}; }
    friend RegisterMask8 operator>(Register8 a, Register8 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ)}; }
    friend RegisterMask8 operator>=(Register8 a, Register8 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ)}; }

    friend Register8 select(RegisterMask8 m, Register8 if_true, Register8 if_false) {
        return Register8(_mm512_mask_blend_pd(m.bits, if_false.v, if_true.v));
    }
    // The value where m holds, +0.0 elsewhere; and the other way round.
    friend Register8 where(RegisterMask8 m, Register8 a) { return Register8(_mm512_maskz_mov_pd(m.bits, a.v)); }
    friend Register8 where_not(RegisterMask8 m, Register8 a) {
        return Register8(_mm512_maskz_mov_pd(static_cast<__mmask8>(~m.bits), a.v));
    }

    friend Register8 magnitude(Register8 a) { return Register8(_mm512_abs_pd(a.v)); }
    friend Register8 sign_of(Register8 a) { return Register8(_mm512_and_pd(a.v, _mm512_set1_pd(-0.0))); }
    // a with its sign bit flipped where sign holds -0.0.
    friend Register8 sign_flipped(Register8 a, Register8 sign) { return Register8(_mm512_xor_pd(a.v, sign.v)); }

    // a b - p exactly, for p the rounded product a b.
    friend Register8 product_error(Register8 a, Register8 b, Register8 p) {
        return Register8(_mm512_fmsub_pd(a.v, b.v, p.v));
    }
    // top - q under exactly, for q the rounded quotient top / under.
    friend Register8 division_remainder(Register8 top, Register8 q, Register8 under) {
        return Register8(_mm512_fnmadd_pd(q.v, under.v, top.v));
    }
    friend Register8 nearest_integer(Register8 a) {
        // The masked forms of this and the gather and the conversion below
        // name their pass-through value: GCC 12's unmasked forms warn about
        // the undefined one they use.
        return Register8(_mm512_mask_roundscale_pd(a.v, 0xff, a.v,
                                                   _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
    }
    // The ULP of a positive finite a, from its exponent bits.
    friend Register8 ulp_of_positive(Register8 a) {
        const __m512d exponent = _mm512_castsi512_pd(_mm512_set1_epi64(0x7ff0000000000000LL));
        return Register8(_mm512_and_pd(a.v, exponent)) * 0x1p-52;
    }
    friend RegisterMask8 is_power_of_two(Register8 a) {
        return {_mm512_testn_epi64_mask(_mm512_castpd_si512(a.v),
                                        _mm512_set1_epi64(0x000fffffffffffffLL))};
    }

    // The entries at the indices k: two gathers, of the high and the low
    // parts, in steps of a double.
    template <class Entry>
    friend fast_atan2_kernel::TableEntry<Register8> look_up(const Entry* table, Register8 k) {
        static_assert(sizeof(Entry) == 2 * sizeof(double));
        const __m256i entry = _mm512_maskz_cvtpd_epi32(0xff, k.v);
        const __m256i index = _mm256_add_epi32(entry, entry);
        const __m512d none = _mm512_setzero_pd();
        return {Register8(_mm512_mask_i32gather_pd(none, 0xff, index, &table->hi, 8)),
                Register8(_mm512_mask_i32gather_pd(none, 0xff, index, &table->lo, 8))};
    }
};

static_assert(sizeof(Register8) == sizeof(__m512d));

// The most registers one call of the form below takes: one bit per lane of
// the library's lanes in 64 bits.
inline constexpr std::size_t fast_atan2_avx512_max_registers = 8;
static_assert(fast_atan2_avx512_max_registers == fast_atan2_kernel::max_registers<Register8>);

// out[i] = atan2(y[i], x[i]) for count registers of eight lanes, count at
// most fast_atan2_avx512_max_registers; out must not overlap y or x. Only
// after fast_atan2_available(FastAtan2Width::eight_lanes).
inline void fast_atan2_avx512(const __m512d* y, const __m512d* x, __m512d* out, std::size_t count) {
    fast_atan2_kernel::round_or_defer(reinterpret_cast<const Register8*>(y),
                                      reinterpret_cast<const Register8*>(x),
                                      reinterpret_cast<Register8*>(out), count);
}

}  // namespace ZORV_SIM_ISA
}  // namespace zorv::sim
