// atan2 on four lanes, equal in every bit to the C library's atan2.
//
// Compiled with -mavx2 -mfma; FMA appears only where it forms an exact
// product or an exact division remainder, never to round a sum. Everything
// here runs only after fast_atan2_available(). This file instantiates no
// library templates, so that no AVX2 copy of a shared inline function can
// reach the portable code through the linker.
//
// The value. With a = |x| and b = |y|, the pair is reduced to the first
// octant: n = min(a, b), d = max(a, b), t = n / d in [0, 1]. Then
//
//   atan2(b, a) = atan(t)          when b <= a,
//               = pi/2 - atan(t)   when b > a,
//
// and for x < 0 the angle is pi minus that; the sign of y comes last. The
// octant angle is atan(t) = atan(c) + atan(s), with c = k/128 the nearest
// multiple of 1/128 to t, atan(c) from a double-double table, and
//
//   s = (n - c d) / (d + c n),  |s| <= 1/256,
//
// computed as a double-double: c d and c n are split into exact products, and
// n - c d is exact in its leading part because n and c d are within a factor
// of two of each other (Sterbenz). atan(s) = s - s^3/3 + ... + s^9/9 leaves
// out less than s^11/11 < 2^-83 s. The pieces are summed into a double-double
// whose distance from the exact value stays below 2e-5 ULP of the result
// (at most 9.4e-6 ULP on 140,000 pairs measured against 300-bit arithmetic;
// the largest errors are rounding errors in the s^3 term for k = 0).
//
// The rounding. The double-double is rounded to the nearest double R with an
// exact residual E. Where |E| is below (1/2 - band) ULP of R, the exact value
// is more than band - 2e-5 ULP from the midpoints on either side of R, and
// there the library returns R as well; every other lane goes to the library.
#define ZORV_SIM_ISA avx2_fma

#include "sim/fast_atan2.hpp"
#include "sim/splitmix64.hpp"

#include <immintrin.h>

#include <cmath>
#include <cstdint>

namespace zorv::sim {
namespace {

// atan(k/128), k = 0..128, as hi + lo with |lo| <= ulp(hi)/2, side by side
// so that one 16-byte load fetches both.
struct AtanEntry {
    double hi, lo;
};
alignas(64) constexpr AtanEntry atan_table[129] = {
    {0x0.0p+0, 0x0.0p+0}, {0x1.fffd555bbba97p-8, 0x1.68062351fbbe6p-63},
    {0x1.fff555bbb729bp-7, -0x1.220c39d4dff50p-61}, {0x1.7fee0184a5c36p-6, -0x1.43189fc0a354bp-60},
    {0x1.ffd55bba97625p-6, -0x1.5ec431444912cp-60}, {0x1.3fd65f169c9d9p-5, 0x1.7230a716461b5p-61},
    {0x1.7fb818430da2ap-5, -0x1.86ef8f794f105p-63}, {0x1.bf8ddf139c444p-5, -0x1.89fe34b2a7fa8p-59},
    {0x1.ff55bb72cfdeap-5, -0x1.c934d86d23f1dp-60}, {0x1.1f86dbf082d59p-4, -0x1.095dc7732ef81p-59},
    {0x1.3f59f0e7c559dp-4, 0x1.ac4ce285df847p-58}, {0x1.5f2324fd2d7b2p-4, 0x1.8a8da4401318ep-58},
    {0x1.7ee182602f10fp-4, -0x1.cfb654c0c3d98p-58}, {0x1.9e94153cfdcf1p-4, 0x1.a332e1d69c47ep-58},
    {0x1.be39ebe6f07c3p-4, 0x1.f7b8f29a05987p-58}, {0x1.ddd21701eba6ep-4, 0x1.94effcd76fe58p-58},
    {0x1.fd5ba9aac2f6ep-4, -0x1.cd37686760c17p-59}, {0x1.0e6adccf40882p-3, -0x1.d71a31bb98d0dp-57},
    {0x1.1e1fafb043727p-3, -0x1.b485914dacf8cp-59}, {0x1.2dcbdb2fba1ffp-3, 0x1.8f28705561534p-58},
    {0x1.3d6eee8c6626cp-3, 0x1.61a3b0ce9281bp-57}, {0x1.4d087a9da4f17p-3, 0x1.1f323f1adf158p-57},
    {0x1.5c9811e3ec26ap-3, -0x1.054ab2c010f3dp-58}, {0x1.6c1d4898933d9p-3, -0x1.2954a7603c427p-58},
    {0x1.7b97b4bce5b02p-3, 0x1.347b0b4f881cap-58}, {0x1.8b06ee2879c29p-3, -0x1.118cd30308c4fp-57},
    {0x1.9a6a8e96c8626p-3, 0x1.cf601e7b4348ep-59}, {0x1.a9c231b403279p-3, 0x1.0e8bbe89cca85p-57},
    {0x1.b90d7529260a2p-3, 0x1.17b10d2e0e5abp-61}, {0x1.c84bf8a742e6ep-3, -0x1.95bdd0682ea26p-58},
    {0x1.d77d5df205736p-3, 0x1.c648d1534597ep-57}, {0x1.e6a148e96ec4dp-3, 0x1.866b22029f765p-57},
    {0x1.f5b75f92c80ddp-3, 0x1.8ab6e3cf7afbdp-57}, {0x1.025fa510665b6p-2, -0x1.672df6832fa48p-56},
    {0x1.09dc597d86362p-2, 0x1.62e47390cb865p-56}, {0x1.1151a362431cap-2, -0x1.4dc8dc9077b9fp-56},
    {0x1.18bf5a30bf178p-2, 0x1.30ca4748b1bf9p-57}, {0x1.2025567e47c96p-2, -0x1.1832328f4290ep-57},
    {0x1.278372057ef46p-2, -0x1.077cdd36dfc81p-56}, {0x1.2ed987a823cfep-2, 0x1.b91258ea012cap-57},
    {0x1.362773707ebccp-2, -0x1.963a544b672d8p-57}, {0x1.3d6d129271134p-2, 0x1.137ca41cc958ap-56},
    {0x1.44aa436c2af0ap-2, -0x1.5d5e43c55b3bap-56}, {0x1.4bdee586890e7p-2, -0x1.e4dc77c22a757p-57},
    {0x1.530ad9951cd4ap-2, -0x1.2566480884082p-57}, {0x1.5a2e0175e0f4ep-2, 0x1.13b7a8f82e457p-56},
    {0x1.614840309cfe2p-2, -0x1.a725715711f00p-56}, {0x1.685979f5fa6fep-2, -0x1.257814d1ada9cp-59},
    {0x1.6f61941e4def1p-2, -0x1.c63aae6f6e918p-56}, {0x1.7660752817502p-2, -0x1.dd11791cc7600p-59},
    {0x1.7d5604b63b3f7p-2, 0x1.69c885c2b249ap-56}, {0x1.84422b8df95d7p-2, 0x1.d76a0299b41b6p-56},
    {0x1.8b24d394a1b25p-2, 0x1.b6d0ba3748fa8p-56}, {0x1.91fde7cd0c662p-2, 0x1.1074188054b53p-56},
    {0x1.98cd5454d6b18p-2, 0x1.9e6c988fd0a77p-56}, {0x1.9f93066168002p-2, -0x1.c827047c9439ap-56},
    {0x1.a64eec3cc23fdp-2, -0x1.24dec1b50b7ffp-56}, {0x1.ad00f5422058bp-2, 0x1.fc4c33891d2e8p-56},
    {0x1.b3a911da65c6cp-2, 0x1.ae187b1ca5040p-56}, {0x1.ba473378624a5p-2, 0x1.519a1b46e4affp-56},
    {0x1.c0db4c94ec9f0p-2, -0x1.cc1ce70934c34p-56}, {0x1.c76550aad71f9p-2, -0x1.74b8bff7043e4p-56},
    {0x1.cde53432c1351p-2, -0x1.a2cfa4418f1adp-56}, {0x1.d45aec9ec862bp-2, 0x1.89421163ef92dp-57},
    {0x1.dac670561bb4fp-2, 0x1.a2b7f222f65e2p-56}, {0x1.e127b6b0744b0p-2, -0x1.2b0986398d4abp-58},
    {0x1.e77eb7f175a34p-2, 0x1.0e53dc1bf3435p-56}, {0x1.edcb6d43f8435p-2, -0x1.fc976330884e4p-58},
    {0x1.f40dd0b541418p-2, -0x1.a3992dc382a23p-57}, {0x1.fa45dd3029259p-2, -0x1.ca563dc28d8b5p-56},
    {0x1.0039c73c1a40cp-1, -0x1.b32c949c9d593p-55}, {0x1.034b709250488p-1, 0x1.8f9b38d855410p-56},
    {0x1.0657e94db30d0p-1, -0x1.d5b495f6349e6p-56}, {0x1.095f30861a590p-1, -0x1.121b20a15a9f3p-56},
    {0x1.0c6145b5b43dap-1, 0x1.974fa13b5404fp-58}, {0x1.0f5e28b67e295p-1, 0x1.311b17ec990d0p-65},
    {0x1.1255d9bfbd2a9p-1, -0x1.2bdaee1c0ee35p-58}, {0x1.154859637646ap-1, -0x1.4ba7c548bf3c3p-55},
    {0x1.1835a88be7c13p-1, 0x1.c621cec00c301p-55}, {0x1.1b1dc87904285p-1, -0x1.21e8c8aef8f29p-57},
    {0x1.1e00babdefeb4p-1, -0x1.928df287a668fp-58}, {0x1.20de813e823b2p-1, -0x1.791d753ebb744p-55},
    {0x1.23b71e2cc9e6ap-1, 0x1.c421c9f38224ep-57}, {0x1.268a940696da6p-1, 0x1.d1348a04c73ccp-58},
    {0x1.2958e59308e31p-1, -0x1.09e73b0c6c087p-56}, {0x1.2c2215e024466p-1, -0x1.4b810da3a4be1p-59},
    {0x1.2ee628406cbcap-1, 0x1.c5d5e9ff0cf8dp-55}, {0x1.31a52048874bep-1, 0x1.40cab87a7ac24p-55},
    {0x1.345f01cce37bbp-1, 0x1.1021137c71102p-55}, {0x1.3713d0df6c504p-1, -0x1.4f789e031606dp-58},
    {0x1.39c391cd4171ap-1, -0x1.2304331d8bf46p-55}, {0x1.3c6e491c78dc5p-1, -0x1.e145094fd0ba7p-55},
    {0x1.3f13fb89e96f4p-1, 0x1.ecf8b492644f0p-56}, {0x1.41b4ae06fea41p-1, 0x1.3d60a53277652p-57},
    {0x1.445065b795b56p-1, -0x1.f76d0163f79c8p-56}, {0x1.46e727efe4716p-1, -0x1.39b9b1b844cc9p-57},
    {0x1.4978fa3269ee1p-1, 0x1.2419a87f2a458p-56}, {0x1.4c05e22de94e5p-1, -0x1.c0ac1f09f2edfp-55},
    {0x1.4e8de5bb6ec04p-1, 0x1.4a33dbeb3796cp-55}, {0x1.51110adc5ed81p-1, 0x1.23dcd6832a63ep-56},
    {0x1.538f57b89061fp-1, -0x1.1bb74abda520cp-55}, {0x1.5608d29c70c34p-1, 0x1.9939cf0de8088p-55},
    {0x1.587d81f732fbbp-1, -0x1.5e5c9d8c5a950p-56}, {0x1.5aed6c5909517p-1, 0x1.7312f714a9436p-55},
    {0x1.5d58987169b18p-1, 0x1.0028e4bc5e7cap-57}, {0x1.5fbf0d0d5cc4ap-1, -0x1.b4cfd000b7158p-58},
    {0x1.6220d115d7b8ep-1, -0x1.2b785350ee8c1p-57}, {0x1.647deb8e20b90p-1, -0x1.eca04023a51cfp-58},
    {0x1.66d663923e087p-1, -0x1.6ea6febe8bbbap-56}, {0x1.692a40556fb6ap-1, 0x1.d94b95a8ea2ccp-55},
    {0x1.6b798920b3d99p-1, -0x1.a80386188c50ep-55}, {0x1.6dc44551553afp-1, -0x1.bf8863573828ep-58},
    {0x1.700a7c5784634p-1, -0x1.8c34d25aadef6p-56}, {0x1.724c35b4fae7bp-1, 0x1.948b32db3499bp-58},
    {0x1.748978fba8e0fp-1, 0x1.7b2a6165884a1p-59}, {0x1.76c24dcc6c6c0p-1, 0x1.1952551adc83dp-55},
    {0x1.78f6bbd5d315ep-1, 0x1.406a089803740p-55}, {0x1.7b26cad2e50fep-1, -0x1.ce80df30411fbp-55},
    {0x1.7d528289fa093p-1, 0x1.560821e2f3aa9p-55}, {0x1.7f79eacb97898p-1, 0x1.fd5ca80ead221p-55},
    {0x1.819d0b7158a4dp-1, -0x1.bf76229d3b917p-56}, {0x1.83bbec5cdee22p-1, 0x1.3107104ffc6c3p-57},
    {0x1.85d69576cc2c5p-1, 0x1.6b66e7fc8b8c3p-57}, {0x1.87ed0eadc5a2ap-1, 0x1.0af5ad957f4bcp-56},
    {0x1.89ff5ff57f1f8p-1, -0x1.55b9a5e177a1bp-55}, {0x1.8c0d9145cf49dp-1, 0x1.bea4076dc4333p-55},
    {0x1.8e17aa99cc05ep-1, -0x1.ec182ab042f61p-56}, {0x1.901db3eeef187p-1, 0x1.68665e5603c8fp-55},
    {0x1.921fb54442d18p-1, 0x1.1a62633145c07p-55},
};

constexpr double half_pi_hi = 0x1.921fb54442d18p+0;
constexpr double half_pi_lo = 0x1.1a62633145c07p-54;
constexpr double pi_hi = 0x1.921fb54442d18p+1;
constexpr double pi_lo = 0x1.1a62633145c07p-53;

// Components outside [smallest, largest] go to the library. Inside, every
// product, remainder and residual below stays a normal number (results are at
// least 2^-900), and nothing overflows.
constexpr double smallest = 0x1p-450;
constexpr double largest = 0x1p450;

// How far (in ULP of the result) the value must lie from a rounding midpoint
// for the lanes to round it themselves. Sampled over about 2.5e9 pairs, the
// library's wrong roundings lie within 0.0231 ULP of a midpoint for x > 0 and
// |y| < |x| with |y/x| in [1/16, 1/2), the widest close below 1/8, and within
// 0.0041 ULP everywhere else; its variant without FMA (picked on CPUs without
// it) reaches 0.0301 and 0.0052. That region gets the wider band.
constexpr double band = 0.04;
constexpr double weak_band = 0.07;
constexpr double weak_from = 1.0 / 16;
constexpr double weak_to = 0.5;

struct Rounded {
    __m256d nearest;   // the double nearest the double-double value
    __m256d residual;  // value - nearest, exact
    __m256d applies;   // all ones where the components are in range
    __m256d limit;     // |residual| below this: far enough from a midpoint
};

inline __m256d splat(double v) { return _mm256_set1_pd(v); }

inline Rounded evaluate(__m256d y, __m256d x) {
    const __m256d sign_bit = splat(-0.0);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one = splat(1.0);
    const __m256d a = _mm256_andnot_pd(sign_bit, x);
    const __m256d b = _mm256_andnot_pd(sign_bit, y);
    // Ordered comparisons: false for NaN, so NaN lanes never apply.
    const __m256d applies =
        _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(a, splat(smallest), _CMP_GE_OQ),
                                    _mm256_cmp_pd(a, splat(largest), _CMP_LE_OQ)),
                      _mm256_and_pd(_mm256_cmp_pd(b, splat(smallest), _CMP_GE_OQ),
                                    _mm256_cmp_pd(b, splat(largest), _CMP_LE_OQ)));
    const __m256d swapped = _mm256_cmp_pd(b, a, _CMP_GT_OQ);
    const __m256d x_negative = _mm256_cmp_pd(x, zero, _CMP_LT_OQ);
    // Lanes that do not apply compute on 1/1, so that they raise no division
    // by zero or invalid operation of their own.
    const __m256d n = _mm256_blendv_pd(one, _mm256_blendv_pd(b, a, swapped), applies);
    const __m256d d = _mm256_blendv_pd(one, _mm256_blendv_pd(a, b, swapped), applies);

    const __m256d t = _mm256_div_pd(n, d);
    const __m256d k = _mm256_round_pd(_mm256_mul_pd(t, splat(128.0)),
                                      _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256d c = _mm256_mul_pd(k, splat(1.0 / 128));
    // Four (hi, lo) loads beat a gather; lanes 0 and 2 share one register and
    // lanes 1 and 3 the other, so that unpacking puts them back in order.
    const __m128i index = _mm256_cvtpd_epi32(k);
    const __m128d entry0 = _mm_load_pd(&atan_table[_mm_cvtsi128_si32(index)].hi);
    const __m128d entry1 = _mm_load_pd(&atan_table[_mm_extract_epi32(index, 1)].hi);
    const __m128d entry2 = _mm_load_pd(&atan_table[_mm_extract_epi32(index, 2)].hi);
    const __m128d entry3 = _mm_load_pd(&atan_table[_mm_extract_epi32(index, 3)].hi);
    const __m256d lanes02 = _mm256_set_m128d(entry2, entry0);
    const __m256d lanes13 = _mm256_set_m128d(entry3, entry1);
    const __m256d table_hi = _mm256_unpacklo_pd(lanes02, lanes13);
    const __m256d table_lo = _mm256_unpackhi_pd(lanes02, lanes13);

    // c d = cd + cd_error and c n = cn + cn_error exactly.
    const __m256d cd = _mm256_mul_pd(c, d);
    const __m256d cd_error = _mm256_fmsub_pd(c, d, cd);
    const __m256d cn = _mm256_mul_pd(c, n);
    const __m256d cn_error = _mm256_fmsub_pd(c, n, cn);
    // Numerator n - c d = top - cd_error, top exact.
    const __m256d top = _mm256_sub_pd(n, cd);
    // Denominator d + c n = under + under_lo (d >= c n, so the fast two-sum).
    const __m256d under = _mm256_add_pd(d, cn);
    const __m256d under_lo =
        _mm256_add_pd(_mm256_add_pd(_mm256_sub_pd(d, under), cn), cn_error);
    // s = s_hi + s_lo; the remainder top - s_hi under is exact.
    const __m256d s_hi = _mm256_div_pd(top, under);
    const __m256d remainder = _mm256_fnmadd_pd(s_hi, under, top);
    const __m256d s_lo = _mm256_div_pd(
        _mm256_sub_pd(_mm256_sub_pd(remainder, cd_error), _mm256_mul_pd(s_hi, under_lo)), under);

    // atan(s) - s_hi = s_lo (1 - s_hi^2) + s_hi^3 (-1/3 + z/5 - z^2/7 + z^3/9), z = s_hi^2.
    const __m256d z = _mm256_mul_pd(s_hi, s_hi);
    __m256d series = _mm256_add_pd(splat(-1.0 / 7), _mm256_mul_pd(z, splat(1.0 / 9)));
    series = _mm256_add_pd(splat(1.0 / 5), _mm256_mul_pd(z, series));
    series = _mm256_add_pd(splat(-1.0 / 3), _mm256_mul_pd(z, series));
    const __m256d tail =
        _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(s_hi, z), series),
                      _mm256_sub_pd(s_lo, _mm256_mul_pd(s_lo, z)));

    // angle = base + sign * (atan(c) + atan(s)), with base 0, pi/2 or pi and the
    // sign negative for exactly one of "swapped" and "x < 0".
    const __m256d flip =
        _mm256_xor_pd(_mm256_and_pd(swapped, sign_bit), _mm256_and_pd(x_negative, sign_bit));
    const __m256d base_hi = _mm256_blendv_pd(_mm256_and_pd(x_negative, splat(pi_hi)),
                                             splat(half_pi_hi), swapped);
    const __m256d base_lo = _mm256_blendv_pd(_mm256_and_pd(x_negative, splat(pi_lo)),
                                             splat(half_pi_lo), swapped);
    // Fast two-sums: |base| >= |atan(c)| unless base is 0, and the partial sum
    // is at least atan(1/128) > 1/256 >= |s| unless it is 0.
    const __m256d table_term = _mm256_xor_pd(table_hi, flip);
    const __m256d sum1 = _mm256_add_pd(base_hi, table_term);
    const __m256d error1 = _mm256_sub_pd(table_term, _mm256_sub_pd(sum1, base_hi));
    const __m256d s_term = _mm256_xor_pd(s_hi, flip);
    const __m256d sum2 = _mm256_add_pd(sum1, s_term);
    const __m256d error2 = _mm256_sub_pd(s_term, _mm256_sub_pd(sum2, sum1));
    const __m256d low = _mm256_add_pd(
        _mm256_add_pd(_mm256_add_pd(base_lo, _mm256_xor_pd(table_lo, flip)),
                      _mm256_add_pd(error1, error2)),
        _mm256_xor_pd(tail, flip));
    const __m256d nearest = _mm256_add_pd(sum2, low);
    const __m256d residual = _mm256_sub_pd(low, _mm256_sub_pd(nearest, sum2));

    // ulp(nearest) from its exponent bits; nearest is in (0, pi].
    const __m256d ulp =
        _mm256_mul_pd(_mm256_and_pd(nearest, _mm256_castsi256_pd(_mm256_set1_epi64x(
                                                 0x7ff0000000000000LL))),
                      splat(0x1p-52));
    const __m256d weak = _mm256_andnot_pd(
        _mm256_or_pd(swapped, x_negative),
        _mm256_and_pd(_mm256_cmp_pd(t, splat(weak_from), _CMP_GE_OQ),
                      _mm256_cmp_pd(t, splat(weak_to), _CMP_LT_OQ)));
    const __m256d share = _mm256_blendv_pd(splat(0.5 - band), splat(0.5 - weak_band), weak);
    // A power of two has a smaller ULP below it than above: no limit there.
    const __m256i mantissa = _mm256_and_si256(_mm256_castpd_si256(nearest),
                                              _mm256_set1_epi64x(0x000fffffffffffffLL));
    const __m256d power_of_two =
        _mm256_castsi256_pd(_mm256_cmpeq_epi64(mantissa, _mm256_setzero_si256()));
    const __m256d limit = _mm256_andnot_pd(power_of_two, _mm256_mul_pd(ulp, share));

    // The sign of y, which the octant angle left out.
    const __m256d y_sign = _mm256_and_pd(y, sign_bit);
    return {_mm256_xor_pd(nearest, y_sign), _mm256_xor_pd(residual, y_sign), applies, limit};
}

// Evaluates, then hands the lanes that are not clear to the C library.
inline __m256d exact(__m256d y, __m256d x, unsigned* library_lanes) {
    const Rounded r = evaluate(y, x);
    const __m256d magnitude = _mm256_andnot_pd(splat(-0.0), r.residual);
    const __m256d clear =
        _mm256_and_pd(r.applies, _mm256_cmp_pd(magnitude, r.limit, _CMP_LT_OQ));
    const unsigned rest = static_cast<unsigned>(_mm256_movemask_pd(clear)) ^ 0xfu;
    *library_lanes = rest;
    if (rest == 0) return r.nearest;
    alignas(32) double ys[4], xs[4], out[4];
    _mm256_store_pd(ys, y);
    _mm256_store_pd(xs, x);
    _mm256_store_pd(out, r.nearest);
    // Mostly a single lane: one pass, whose exit the branch predictor expects.
    unsigned left = rest;
    do {
        const int i = __builtin_ctz(left);
        out[i] = std::atan2(ys[i], xs[i]);
        left &= left - 1;
    } while (left != 0);
    return _mm256_load_pd(out);
}

// The fixed inputs of the agreement check. The first three groups were found
// by sampling 1.4e8 pairs (uniform, link-like, wide exponents, small ratios,
// near the diagonal and near the table points) against each variant of the
// library, and their distance from a midpoint confirmed with 300-bit
// arithmetic.
constexpr double inf = __builtin_inf();
constexpr double nan = __builtin_nan("");
constexpr Atan2Input hard_inputs[] = {
    // Rounded the wrong way by the C library here (with FMA, without, or both):
    // within 0.03 ULP of a midpoint, so the lanes must defer on every one.
    {-0x1.a6d55c56bc93ep-6, 0x1.dc8ffea84eb80p+0},
    {0x1.2c18e8bcc5e80p-7, 0x1.6276d38e4416ap-1},
    {-0x1.843a97cc37f82p-6, 0x1.8de9a5c982042p+0},
    {0x1.19603203c6141p+121, 0x1.2ddfe2440f2fcp+126},
    {-0x1.8fb4dbe490950p-5, 0x1.8fb4e465d0860p+0},
    {0x1.6feda4ca45467p-5, 0x1.6feda603aa336p+0},
    {-0x1.ad7e78fbb1770p-6, 0x1.b540d4274d812p-2},
    {0x1.b1df5d0c5f440p-5, 0x1.c5c0ed562a85ap-1},
    {0x1.ea0d9fe8aa308p-4, 0x1.ea0d9fef994eap+0},
    {0x1.dfee66515d487p-4, 0x1.e6a76c9038645p-1},
    {-0x1.5a2508aaa9289p-3, 0x1.5f00e3737c5aep+0},
    {-0x1.960f2ac528a49p-4, 0x1.d785f1614d5ddp-1},
    {0x1.a8b1041b7dd90p-3, 0x1.a8b1041b7dd7cp+0},
    {0x1.2fcbb02871c7dp-3, 0x1.2fcbab32d8250p+0},
    {-0x1.23b315d3aeaecp-3, 0x1.23b315cb65e88p+0},
    {-0x1.ccac4ce957219p-3, 0x1.c9967a26a04e1p-1},
    {-0x1.86c6490bb9945p-2, 0x1.842261f426668p+0},
    {0x1.58e1958722820p-2, 0x1.54fd7e71e9b90p+0},
    {-0x1.a37c89587a42cp-2, 0x1.83986cecdf644p-1},
    {0x1.0534622e393ccp-1, 0x1.edbd7e35cb27ap-1},
    {-0x1.f30f10d047700p-2, 0x1.ca1e7389023d0p-1},
    {-0x1.5f5c9e146b24cp-1, 0x1.b3f6ea98d5480p-7},
    {-0x1.2b726bf120d3fp+0, 0x1.2b6e3f055df82p-4},
    {-0x1.16cacbfc60930p-2, 0x1.f17debdb7e200p-7},
    {-0x1.d16526922655fp+0, 0x1.7b3cfc48b0d8fp-4},
    {0x1.5b288dbda7febp+0, 0x1.3757d8e4f015ep-3},
    {-0x1.7651f13bbf55ap-1, 0x1.587e1e98617e0p-4},
    {-0x1.c0e6584fd7e2fp+0, 0x1.ab42b76b0381ap-3},
    {0x1.e182feb41b430p-1, 0x1.c6b50fadb1ed0p-3},
    {0x1.b251aec180bf4p-1, 0x1.40deeb7acacf8p-3},
    {-0x1.694b933df50c8p-1, 0x1.4a00b5414cab0p-3},
    {0x1.83a3b0a12cc8cp-2, 0x1.8b555cef14f03p-4},
    {0x1.fcb22c41d77a0p-4, 0x1.1d19ced207f20p-5},
    {-0x1.a51c55d15c58fp-1, 0x1.f6f25c44cb0e8p-3},
    {-0x1.27665158c2c1ap-1, 0x1.11dada362f0dap-1},
    {-0x1.e87b035b378b4p-1, 0x1.add621ff934b1p-1},
    {0x1.7312cf98871d4p+0, 0x1.696392a38ebe1p+0},
    {-0x1.a5bec6dd62f4cp-1, -0x1.2a74ac50ec500p-7},
    {-0x1.a561fb75eaec1p+0, -0x1.8dd98a58ba902p-4},
    {-0x1.727fb8ceeb323p+0, -0x1.707879ce59dc3p-4},
    {0x1.f5fa2e48213d4p-1, -0x1.ecfb4fc124c20p-5},
    {0x1.8a2970b44be7cp-1, -0x1.15e4e97114ca0p-4},
    {-0x1.bb943bf0afeb4p-1, -0x1.34a382e41f200p-4},
    {-0x1.8f401f0e8870fp-2, -0x1.7f07b577da691p-5},
    {-0x1.51b1173d8ff99p+0, -0x1.75efaf464a851p-3},
    {-0x1.48d556b7ac0d0p+0, -0x1.40b6386debe78p-2},
    {0x1.19f85fa413c73p-5, -0x1.014e36b3e5edbp-7},
    {0x1.a0a480e911a49p-2, -0x1.f1a6a47d94915p-4},
    {0x1.2686d2bafacbap-1, -0x1.887e4b568ccc8p-3},
    {0x1.e154f227a63aap-1, -0x1.2f85820a2a890p-2},
    {0x1.9cca3120ef366p-1, -0x1.f89b7b8e71ff9p-2},
    {-0x1.8cb7e237307d2p+0, -0x1.e202131bbaf18p-1},
    {0x1.e62a38fe86a4cp-1, -0x1.5513e64dc9d1ap-1},
    {0x1.f917029c177f5p-5, -0x1.1cc7d20b6d59ap+0},
    {0x1.9777e70639a60p-5, -0x1.bac91b701261cp-1},
    {-0x1.1900468004949p-6, -0x1.c308d9dd870d7p-2},
    {0x1.4dff1800c1720p-4, -0x1.83919bd762a3cp-1},
    {0x1.21d97a84c2f80p-4, -0x1.af67eee648e0ep-1},
    {-0x1.acd5b9df53f1ap-5, -0x1.74d55588f35a0p-1},
    {0x1.482a707a57053p-3, -0x1.551d3f37e6894p-1},
    {-0x1.13b21dba64adbp-3, -0x1.3d6dd13994e03p-1},
    {0x1.ba7b82b407b00p-6, -0x1.e2566eda91760p-4},
    {0x1.ba14959ffa7adp-3, -0x1.722db7d4aef9ap-1},
    {-0x1.d623e032f6f78p-3, -0x1.afa84a2f35afep-1},
    {0x1.2d481ce399f68p-3, -0x1.187d38ca6e3c8p-1},
    {0x1.d9b11b9b5b684p-2, -0x1.cc96a2e1607f0p-1},
    {-0x1.e1d8396bbf794p-1, -0x1.f67a6de25e1a8p-1},
    {-0x1.01d024895f830p+0, -0x1.09548d3462d2ap+0},
    {-0x1.e22ceb496e663p-9, 0x1.81be1d8d65824p+0},
    {0x1.52af4abd38728p-4, 0x1.52af4abd38758p+0},
    {0x1.9842d50fc4ec3p-5, 0x1.b718baa088fa7p-1},
    {0x1.79ef3b4194954p-6, 0x1.8df791e45391bp-2},
    {-0x1.a31e6dce90d8ep-3, 0x1.b88099c7062dbp+0},
    {-0x1.64dd03a8f0789p-4, 0x1.8247bc5df0f2cp-1},
    {0x1.1b5ae8085e99fp-3, 0x1.1f2eb0e4e771ep+0},
    {0x1.5cf5f2b972c24p-3, 0x1.92e548b9deff4p-1},
    {0x1.474e9c6bdbb02p-2, 0x1.79da52c2fb718p+0},
    {0x1.0d5bedaddb4d0p-2, 0x1.63ef35e58b6a2p+0},
    {-0x1.e3e5f20a042cfp-2, 0x1.e09b556b04038p+0},
    {-0x1.c2e00f9a0d67ep-2, 0x1.bfb961a6fad5ep+0},
    {0x1.7526cfc3c82b4p-3, 0x1.6de5fa4f0920ep-1},
    {-0x1.9de1c93e334f0p-3, 0x1.9250599b08040p-2},
    {0x1.09e5d6c673642p-1, 0x1.f687d2266dcb6p-1},
    {0x1.e5049783f422cp-2, 0x1.cd57edeacde66p-1},
    {-0x1.5d0be3c38bce2p-1, 0x1.13f3e404fbcd0p-4},
    {0x1.9ce7a05422dc2p+0, 0x1.7faa1cc44fb13p-3},
    {0x1.99bed63404fe4p+0, 0x1.1b7fe78b21665p-2},
    {0x1.c278afef808e8p-1, 0x1.37ca1ff57c1c8p-3},
    {0x1.52cbaa35ea2f2p-1, 0x1.a3d285d8b3118p-3},
    {-0x1.13b6309159594p-2, 0x1.3317fa74c99a0p-4},
    {-0x1.c6ec615415b42p-1, 0x1.dfd0b387097d0p-3},
    {0x1.f9c6392510e78p-1, 0x1.4f0f31483eaf2p-1},
    {0x1.00ea66b6d0082p-1, 0x1.5625a9f611770p-2},
    {0x1.35a0423e4469dp+0, 0x1.9a40208331c85p-1},
    {0x1.609e9316a5aa9p-4, -0x1.24aa4760b196dp-7},
    {0x1.2e906afa9b665p-1, -0x1.f3ef30baa07a3p-5},
    {-0x1.9df696016ee51p-5, -0x1.5659300f16ee4p-8},
    {0x1.19c363da8c49cp-2, -0x1.8885ae1717060p-5},
    {0x1.2ded556c1ef80p-1, -0x1.7b61c1f30ae50p-3},
    {0x1.adfe2e9a04ef6p+0, -0x1.0b58760a9222ap-1},
    {-0x1.8355287820434p-5, -0x1.0575ae362d284p-6},
    {0x1.7749b60375b4ap-1, -0x1.5ab40eb7574ebp-1},
    {-0x1.40121ba2b5d0fp+0, -0x1.2f2db02074959p+0},
    {0x1.851a95356454ap-1, -0x1.ccd55d7b9b870p-2},
    {0x1.ced853376b742p-4, -0x1.be089b16ca514p+0},
    {0x1.d01eacf62fec0p-4, -0x1.f259111fbf4f0p-2},
    {-0x1.1c0a650dfeeb0p-4, -0x1.d95fb550ed3e0p-2},
    {-0x1.2bd07bf8d0379p-1, -0x1.9e77ecbe15e92p+0},
    {-0x1.17cc8e007ccfcp-2, -0x1.b72b332a909a8p-1},
    {-0x1.7623e01579388p-1, -0x1.8b4a40c10504ep-1},
    {0x1.43ba6f2d85305p-1, -0x1.11a88c69ab693p+0},
    {0x1.3837e7a9c616cp-1, -0x1.c96580dd42ac6p-1},
    // Between 0.04 and 0.075 ULP from a midpoint: rounded by the lanes, and
    // the first to differ if a library rounds a little less accurately.
    {0x1.8582904de7000p-12, 0x1.cddd3769c9158p-2},
    {0x1.4f6cc50c48000p-14, 0x1.28e59e0fa8afcp-2},
    {0x1.0831842ff7400p-10, 0x1.d43bfe0a45a90p-1},
    {-0x1.d2aac91a39000p-11, 0x1.961c485f9c2e8p-1},
    {-0x1.4157b25350e00p-9, 0x1.9098fd7160cfcp-1},
    {0x1.558aaa80a0800p-9, 0x1.921b19656312ap-1},
    {-0x1.16bf44d522700p-8, 0x1.96584b3d6ffd4p-1},
    {0x1.d09ee518ae800p-9, 0x1.a3594b3e5284cp-1},
    {0x1.61b461e2b3b80p-7, 0x1.f71ba90fc0414p-1},
    {-0x1.18afaaf935380p-7, 0x1.367a0e78211aep-1},
    {0x1.84e5237a60a00p-6, 0x1.e4158844443e0p-1},
    {0x1.27210633664c0p-6, 0x1.a5c11a95ce780p-1},
    {0x1.c9f16ff0a0500p-6, 0x1.64aad1df5685ap-1},
    {0x1.41dcc802cc6a0p-5, 0x1.a8f2d1157c016p-1},
    {0x1.95935b31f6c00p-5, 0x1.75cad1ce67efap-1},
    {-0x1.49c6693591fd0p-4, 0x1.5b61b33cd869cp-1},
    {0x1.30cf70ed5a870p-3, 0x1.c27a8876702f0p-1},
    {0x1.0221eb2777e28p-3, 0x1.1500afdb507e8p-1},
    {0x1.3e4967887a5d8p-2, 0x1.c2d2c6e51022ap-1},
    {-0x1.2152e4e6cc14cp-2, 0x1.7cc69c461e61cp-1},
    {0x1.d6cf7657ea510p-4, 0x1.b5554bef5ebf0p-3},
    {0x1.3a7d20195b52ep-1, 0x1.a6d1a4c9d523cp-1},
    {0x1.665b6e1569374p-2, 0x1.6d6a7e1d60000p-15},
    {0x1.e8f80183e209ap-1, 0x1.1969d60c83000p-12},
    {-0x1.f8bcf7c0c72c0p-2, 0x1.3bcd71a132000p-11},
    {0x1.fd80dd6100c24p-2, 0x1.c634779e5d800p-11},
    {0x1.3ae21aa92b248p-1, 0x1.5c855fbffbc00p-10},
    {0x1.ef0e166a068c6p-1, 0x1.75d544504da00p-9},
    {-0x1.6488b02753ee8p-1, 0x1.0950ca26e2400p-8},
    {-0x1.b67f80e9da9b8p-3, 0x1.60fa48496dc00p-10},
    {0x1.0cc620b49105cp-1, 0x1.3d1d4254a0e00p-8},
    {-0x1.fcc2f8f474368p-1, 0x1.c652a83172480p-7},
    {-0x1.645acc15145cep-1, 0x1.2684767791b00p-6},
    {0x1.9a681aa3f18e0p-2, 0x1.29a63555faf00p-7},
    {0x1.c7f89cdf38630p-1, 0x1.9debbdcde4440p-5},
    {0x1.548eada33e9dep-1, 0x1.3ac1950a71a60p-5},
    {0x1.2f67b2d544e7cp-1, 0x1.9afdf80215720p-5},
    {0x1.a01d4d9f552ecp-1, 0x1.40cab73202970p-4},
    {-0x1.81da8ccb0d77ap-1, 0x1.16061b339bb18p-3},
    {-0x1.b56374426f4f8p-2, 0x1.e2f50ffa23820p-5},
    {-0x1.ec9aeb109ffa4p-1, 0x1.abd327a27b550p-2},
    {0x1.f1c0f95fc4884p-1, 0x1.05c6d2c2d3a90p-2},
    {0x1.7010e34c539a0p-2, 0x1.6bef91c704818p-2},
    {0x1.77836931fc22ap-1, 0x1.a9ba46f84ac40p-2},
    {0x1.ae994238526a4p-2, -0x1.6e73db2274000p-12},
    {-0x1.fd740af5509c2p-1, -0x1.0a1697920c000p-13},
    {-0x1.5464941bcbdc6p-1, -0x1.08b2b9a0c0c00p-10},
    {0x1.d76fb73a1609ep-1, -0x1.5d433ea4a6000p-10},
    {0x1.fd2ef848dc346p-1, -0x1.14344e668a400p-9},
    {-0x1.2dfb91ba2b9d0p-1, -0x1.a834522a5c000p-10},
    {0x1.f1c70d19a467ap-1, -0x1.5196d4ef6b600p-8},
    {0x1.87af75d2468e0p-4, -0x1.0a75520936000p-11},
    {0x1.3ebcf565e9544p-1, -0x1.8fa6a2d9ad100p-8},
    {-0x1.609515b6833d6p-1, -0x1.44781542ea300p-7},
    {-0x1.cabd2e5288bf0p-1, -0x1.9069fd69ea200p-6},
    {-0x1.b5d5ec97a2cd8p-1, -0x1.af35b048240c0p-6},
    {-0x1.e2f96b2a9fb72p-1, -0x1.4e8c7da757280p-5},
    {0x1.00b674dc44e32p-1, -0x1.f79bab4627180p-6},
    {-0x1.d53f7f74a4640p-1, -0x1.2af587ace6100p-4},
    {0x1.ca0db7248db74p-2, -0x1.b6e7a52afd5a0p-5},
    {-0x1.08ff1ae0458a6p-1, -0x1.018b11b767e70p-3},
    {-0x1.a507144844e86p-1, -0x1.2671842013540p-3},
    {-0x1.cc2b9a4a864e0p-1, -0x1.ae24ef5df4708p-2},
    {0x1.97e7e3ea13574p-1, -0x1.88f4a94b12d90p-2},
    {0x1.8e92583e098e0p-1, -0x1.d69b6346c8d20p-2},
    {0x1.7cc471ec395eep-1, -0x1.31fc009b9756cp-1},
    {0x1.7f50de0440800p-11, -0x1.9e9de5074e6d2p-1},
    {0x1.3398bba9f0000p-12, -0x1.974b19be51d48p-2},
    {-0x1.f2477af029400p-10, -0x1.f766618621576p-1},
    {0x1.491f826f65800p-11, -0x1.848ba90665228p-2},
    {0x1.311a51f162200p-9, -0x1.7061fa0aeccb2p-1},
    {0x1.e84d73cb59400p-10, -0x1.b9deb5547107ap-1},
    {-0x1.9aab2bf0b3200p-9, -0x1.9b50230ce52c8p-2},
    {-0x1.4bb2ade930400p-10, -0x1.4a6daa93001a4p-2},
    {0x1.3dce79807a780p-7, -0x1.4a26509ffafe2p-1},
    {0x1.c1f82cb19c100p-8, -0x1.fdf2d27abca54p-2},
    {0x1.5ab2956510500p-7, -0x1.96afbc942cd70p-2},
    {-0x1.976bf0b1728c0p-6, -0x1.f2087a80a3772p-1},
    {-0x1.f89c758ce7940p-6, -0x1.83ed1f57c79fap-1},
    {0x1.fa2d4a8b6de40p-6, -0x1.81f4430e3f278p-1},
    {0x1.89af1fb518810p-4, -0x1.f3be7f12274bep-1},
    {-0x1.c64cd90018a60p-5, -0x1.3bc2e22130b48p-1},
    {0x1.4457f4dfb1fc0p-3, -0x1.b8b5569076d78p-1},
    {-0x1.b49a6f9972ee0p-4, -0x1.ae7fa1eed7a94p-1},
    {-0x1.798fed82ac62cp-2, -0x1.9e5aeb5c3ea2cp-1},
    {-0x1.64605cd8930ccp-2, -0x1.b40bdaf076a5ap-1},
    {0x1.03b8804eb4fb8p-1, -0x1.78e72efb99f1cp-1},
    {-0x1.79fc2ac482128p-1, -0x1.f35ae2d7d73f4p-1},
    // Within 1e-4 ULP of a midpoint.
    {0x1.70e2c0da3b000p-11, 0x1.f56b601f66e82p-1},
    {-0x1.00bbb86d71341p-15, 0x1.55fa75e692525p-6},
    {0x1.4c2916bd53800p-10, 0x1.360a1d30ef568p-1},
    {-0x1.2af01a84f1600p-9, 0x1.d7f0a034494b4p-2},
    {0x1.ae6da194b2900p-8, 0x1.d84bf94ac0d4cp-2},
    {-0x1.9f66f8d5e1200p-8, 0x1.55b3b4848e108p-2},
    {0x1.4973015553440p-5, 0x1.7748a924f87fep-1},
    {0x1.5ae02daf12150p-4, 0x1.be11954a38c18p-1},
    {0x1.0b56def20f7c8p-3, 0x1.b33e21a03322cp-1},
    {-0x1.825cb51e8dd08p-2, 0x1.ebad616d303fep-1},
    {-0x1.937343fc87258p-3, 0x1.13a9640d72366p-1},
    {0x1.c53d14cdda398p-1, 0x1.d72d54e587a12p-1},
    {0x1.c9c209091caa0p-1, 0x1.ae39e703a5000p-12},
    {-0x1.d22a0cdf8a82cp+0, 0x1.4fbc09334442dp-9},
    {-0x1.9fa47ca24d072p-1, 0x1.72ee5ef9e7200p-9},
    {-0x1.b8593ce93586cp-1, 0x1.af0cfdf82dd00p-8},
    {0x1.1e1be8ae20990p-1, 0x1.e5288142ac000p-8},
    {0x1.87f319cf60f84p-2, 0x1.4de5933cb4880p-7},
    {-0x1.73dd6c8d6a458p-1, 0x1.67fb339a3fca0p-5},
    {-0x1.4a3f6cd062ee8p-1, 0x1.cf76cc1bf4600p-5},
    {0x1.467d9059f8b2ap-1, 0x1.9ba1d9d4ff180p-4},
    {0x1.231f9f3a38750p-1, 0x1.9aa8ed302bf40p-3},
    {0x1.f3e7ce80a4caap-1, 0x1.fb9ecfd4947c4p-2},
    {-0x1.89267610b9084p-1, -0x1.5b75188622000p-12},
    {-0x1.3a32341d8c8a0p-2, -0x1.0fccc52fde179p-11},
    {-0x1.2385ccc1a4548p-1, -0x1.3bd76be5a5800p-10},
    {0x1.21f2dfbd2b540p-1, -0x1.fc2fdf952e800p-9},
    {-0x1.f88c633ae836ep-1, -0x1.fb83575ff6d00p-8},
    {-0x1.efcb691e3fb08p-1, -0x1.53193a7f78640p-6},
    {0x1.1fdb3ea32b684p-1, -0x1.c995e25b3cb00p-6},
    {-0x1.f88aaec25d63ap-1, -0x1.edca8314d4d00p-4},
    {0x1.e4ea50c34cce4p-1, -0x1.1e44cf4adc238p-3},
    {0x1.7f46c4907fca6p-1, -0x1.07df7dc2a1e38p-2},
    {0x1.9ad9521b4542cp-2, -0x1.92d3c3487dcb8p-3},
    {0x1.b1a4d09d5e442p-1, -0x1.d761cfde79d2cp-2},
    {0x1.400e416160000p-12, -0x1.f2632c0364690p-1},
    {-0x1.1dc1c93ac1319p-10, -0x1.715f73ff0d576p-1},
    {0x1.ebaef8f50a800p-11, -0x1.edd86fc392938p-3},
    {0x1.6be4c84a5c600p-9, -0x1.e63e4f41ce8f4p-2},
    {-0x1.5f252cd410800p-11, -0x1.5beb1b4b5a4c0p-4},
    {-0x1.0d00482156d00p-8, -0x1.ef36b77d51088p-3},
    {0x1.6cbc9b36102e0p-5, -0x1.7277ee8376f6ap-1},
    {-0x1.5c2fe8b35c820p-5, -0x1.9534000de1248p-2},
    {-0x1.f88b8da38aa70p-4, -0x1.7bc71f620bed8p-1},
    {0x1.563ac92c8bb38p-3, -0x1.d3751264885bcp-2},
    {-0x1.cf381f73c8578p-2, -0x1.c755b2f3a61fap-1},
    {0x1.78d83adf4fc06p-1, -0x1.c142d80864452p-1},
    // Special values and the edges of the range the lanes handle themselves.
    {0.0, 0.0}, {-0.0, 0.0}, {0.0, -0.0}, {-0.0, -0.0},
    {1.0, 0.0}, {-1.0, -0.0}, {0.0, 1.0}, {-0.0, -1.0}, {0.0, -1.0}, {-0.0, 1.0},
    {inf, inf}, {inf, -inf}, {-inf, inf}, {-inf, -inf},
    {inf, 1.0}, {-inf, -1.0}, {1.0, inf}, {1.0, -inf}, {-1.0, -inf},
    {nan, 1.0}, {1.0, nan}, {nan, nan}, {-nan, 0.0}, {0.0, -nan}, {nan, inf},
    {0x1p-1074, 1.0}, {1.0, 0x1p-1074}, {0x1p-1074, -0x1p-1074}, {-0x1.8p-1030, -0x1p-1060},
    {0x1p-1022, 0x1.fffffffffffffp1023}, {0x1.fffffffffffffp1023, 0x1p-1022},
    {0x1.fffffffffffffp1023, 0x1.fffffffffffffp1023}, {-0x1.fffffffffffffp1023, -0x1.fffffffffffffp1023},
    {0x1p-450, 0x1p450}, {-0x1p450, 0x1p-450}, {0x1p-450, -0x1p-450}, {0x1p450, 0x1p450},
    {0x1.fffffffffffffp-451, 1.0}, {1.0, 0x1.0000000000001p450}, {0x1.8p-300, -0x1.4p300},
    {1.0, 1.0}, {-1.0, -1.0}, {1.0, -1.0}, {3.0, 4.0}, {-4.0, 3.0}, {0x1p-60, 1.0},
    {1.0, 128.0}, {3.0, 128.0}, {64.0, 128.0}, {127.0, -128.0}, {-0x1.0000000000001p0, 1.0},
};

double from_bits(std::uint64_t bits) {
    double v;
    __builtin_memcpy(&v, &bits, sizeof v);
    return v;
}

std::uint64_t to_bits(double v) {
    std::uint64_t bits;
    __builtin_memcpy(&bits, &v, sizeof bits);
    return bits;
}

// Uniform in [1, 2), every mantissa bit random.
double one_to_two(SplitMix64& m) { return from_bits(0x3ff0000000000000ULL | (m.next() >> 12)); }

// 2^e for -1022 <= e <= 1023.
double power_of_two(int e) { return from_bits(static_cast<std::uint64_t>(1023 + e) << 52); }

double random_sign(SplitMix64& m, double v) { return (m.next() & 1) ? -v : v; }

// One random pair; kind picks uniform, link-like, the library's least accurate
// region, wide exponents or a near-axis pair.
Atan2Input random_input(SplitMix64& m, int kind) {
    switch (kind) {
    case 0:
        return {random_sign(m, one_to_two(m) - 1.0), random_sign(m, one_to_two(m) - 1.0)};
    case 1:
        return {random_sign(m, one_to_two(m) * power_of_two(-static_cast<int>(m.next() % 8))),
                random_sign(m, one_to_two(m) * power_of_two(-static_cast<int>(m.next() % 8)))};
    case 2: {
        const double x = one_to_two(m);
        return {random_sign(m, x * (1.0 / 16 + (7.0 / 16) * (one_to_two(m) - 1.0))), x};
    }
    case 3:
        return {random_sign(m, one_to_two(m) * power_of_two(static_cast<int>(m.next() % 121) - 60)),
                random_sign(m, one_to_two(m) * power_of_two(static_cast<int>(m.next() % 121) - 60))};
    default: {
        const double big = random_sign(m, one_to_two(m));
        const double small =
            random_sign(m, one_to_two(m) * power_of_two(-20 - static_cast<int>(m.next() % 41)));
        return (m.next() & 1) ? Atan2Input{big, small} : Atan2Input{small, big};
    }
    }
}

constexpr int random_inputs = 4096;

bool lanes_agree(const double (&y)[4], const double (&x)[4],
                 double (*reference)(double, double)) {
    double out[4];
    exact_atan2_lanes(y, x, out);
    for (int i = 0; i < 4; ++i) {
        if (to_bits(out[i]) != to_bits(reference(y[i], x[i]))) return false;
    }
    return true;
}

}  // namespace

__m256d exact_atan2_avx2(__m256d y, __m256d x) {
    unsigned library_lanes;
    return exact(y, x, &library_lanes);
}

unsigned exact_atan2_lanes(const double* y, const double* x, double* out) {
    unsigned library_lanes;
    const __m256d v = exact(_mm256_loadu_pd(y), _mm256_loadu_pd(x), &library_lanes);
    _mm256_storeu_pd(out, v);
    return library_lanes;
}

unsigned atan2_before_rounding_lanes(const double* y, const double* x, double* nearest,
                                     double* residual) {
    const Rounded r = evaluate(_mm256_loadu_pd(y), _mm256_loadu_pd(x));
    const __m256d nan = splat(__builtin_nan(""));
    _mm256_storeu_pd(nearest, _mm256_blendv_pd(nan, r.nearest, r.applies));
    _mm256_storeu_pd(residual, _mm256_blendv_pd(nan, r.residual, r.applies));
    return static_cast<unsigned>(_mm256_movemask_pd(r.applies));
}

const Atan2Input* atan2_hard_inputs(std::size_t* count) {
    *count = sizeof hard_inputs / sizeof hard_inputs[0];
    return hard_inputs;
}

bool exact_atan2_agrees_with_unchecked(double (*reference)(double, double)) {
    // Four lanes at a time: each fixed input with the signs of y and x in all
    // four combinations, then the random pairs.
    for (const Atan2Input& in : hard_inputs) {
        if (!lanes_agree({in.y, -in.y, in.y, -in.y}, {in.x, in.x, -in.x, -in.x}, reference)) {
            return false;
        }
    }
    SplitMix64 m{0x5eed0a7a2ULL};
    for (int n = 0; n < random_inputs; n += 4) {
        double y[4], x[4];
        for (int i = 0; i < 4; ++i) {
            const Atan2Input in = random_input(m, (n / 4 + i) % 5);
            y[i] = in.y;
            x[i] = in.x;
        }
        if (!lanes_agree(y, x, reference)) return false;
    }
    return true;
}

}  // namespace zorv::sim
