// The kernel of the fast atan2: four lanes, equal in every bit to the C
// library's atan2, in five stages: reduction, table, series, sum and
// rounding test.
//
// Compiled with -mavx2 -mfma; FMA appears only where it forms an exact
// product or an exact division remainder, never to round a sum. Everything
// here runs only after fast_atan2_available(). This file instantiates no
// library templates, so that no AVX2 copy of a shared inline function can
// reach the portable code through the linker.
//
// Reduction. With a = |x| and b = |y|, the pair is reduced to the first
// octant: n = min(a, b), d = max(a, b), t = n / d in [0, 1]. Then
//
//   atan2(b, a) = atan(t)          when b <= a,
//               = pi/2 - atan(t)   when b > a,
//
// and for x < 0 the angle is pi minus that; the sign of y comes last. The
// octant angle is atan(t) = atan(c) + atan(s), with c = k/128 the nearest
// multiple of 1/128 to t.
//
// Table and series. atan(c) comes from a double-double table, and
//
//   s = (n - c d) / (d + c n),  |s| <= 1/256,
//
// computed as a double-double: c d and c n are split into exact products, and
// n - c d is exact in its leading part because n and c d are within a factor
// of two of each other (Sterbenz). atan(s) = s - s^3/3 + ... + s^9/9 leaves
// out less than s^11/11 < 2^-83 s.
//
// Sum. The pieces are summed into a double-double whose distance from the
// exact value stays below 2e-5 ULP of the result (at most 9.4e-6 ULP on
// 140,000 pairs measured against 300-bit arithmetic; the largest errors are
// rounding errors in the s^3 term for k = 0).
//
// Rounding test. The double-double is rounded to the nearest double R with an
// exact residual E. Where |E| is below half an ULP of R less a band, the
// exact value lies farther than the band less 2e-5 ULP from the midpoints on
// either side of R, and there the library returns R as well; every other
// lane goes to the library. The band is the library's own error bound for
// that region (fast_atan2_bounds.hpp) with a margin.
#define ZORV_SIM_ISA avx2_fma

#include "sim/fast_atan2_avx2.hpp"

#include <immintrin.h>

#include <cmath>
#include <cstdint>

#include "sim/fast_atan2_bounds.hpp"

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

// The band in which the lanes defer: the library's stated bound for the
// region (fast_atan2_bounds.hpp) times band_margin, plus the lanes' own error.
// Where the bound changes at a table step near 1/4, 1/2 or 3/4, the larger
// bound reaches step_slack beyond it, and the table's bound reaches
// series_slack below 1/16, where the library's u may round otherwise.
//
// Wrong roundings of the library found by `atan2_survey 20000000 3000` (per
// region: the largest distance from a rounding midpoint in ULP, and as a
// share of the bound; 2e7 pairs drawn in each region, 1.6e8 uniform pairs and
// the 1.7e6 link angles of 3,000 runs), glibc 2.36 with FMA / without
// (glibc.cpu.hwcaps=-FMA):
//
//   x > 0, |y| < |x|, u < 1/16        0.0042 ULP 0.53 / 0.0049 ULP 0.59
//   x > 0, |y| < |x|, u 1/16 to 1/4   0.0229 ULP 0.29 / 0.0294 ULP 0.39
//   x > 0, |y| < |x|, u 1/4 to 1/2    0.0131 ULP 0.37 / 0.0165 ULP 0.46
//   x > 0, |y| < |x|, u 1/2 to 3/4    0.0044 ULP 0.33 / 0.0061 ULP 0.45
//   x > 0, |y| < |x|, u 3/4 to 1      0.0026 ULP 0.42 / 0.0031 ULP 0.51
//   other octants, u < 1/16           0.0001 ULP 0.28 / 0.0001 ULP 0.28
//   other octants, u 1/16 to 1/2      0.0025 ULP 0.39 / 0.0025 ULP 0.40
//   other octants, u 1/2 to 1         0.0033 ULP 0.36 / 0.0040 ULP 0.41
//
// Sampled in slices of 1/256 of u around each step, the library's errors
// change within 1/128 above 1/4 and 3/4, well inside step_slack.
//
// The margin keeps every band above the bound and above twice the largest
// wrong rounding found, for both variants.
constexpr double band_margin = 1.25;
constexpr double own_error_ulp = 0x1p-15;  // above the 2e-5 ULP of the sum
constexpr double step_slack = 1.0 / 64;
constexpr double series_slack = 1.0 / 1024;

inline __m256d splat(double v) { return _mm256_set1_pd(v); }

// --- Reduction ----------------------------------------------------------------

struct Octant {
    __m256d applies;     // all ones where both components are in range
    __m256d swapped;     // |y| > |x|: the angle is pi/2 - atan(t)
    __m256d x_negative;  // x < 0: the angle is pi minus that
    __m256d right;       // x > 0 and |y| < |x|, where the library's bounds are relative
    __m256d n, d;        // min and max of |x| and |y|; 1 and 1 where not applying
    __m256d t;           // n / d
    __m256d k;           // the table index nearest 128 t
    __m256d c;           // k / 128
};

inline Octant reduce(__m256d y, __m256d x) {
    const __m256d sign_bit = splat(-0.0);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one = splat(1.0);
    const __m256d a = _mm256_andnot_pd(sign_bit, x);
    const __m256d b = _mm256_andnot_pd(sign_bit, y);
    Octant o;
    // Ordered comparisons: false for NaN, so NaN lanes never apply.
    o.applies =
        _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(a, splat(smallest), _CMP_GE_OQ),
                                    _mm256_cmp_pd(a, splat(largest), _CMP_LE_OQ)),
                      _mm256_and_pd(_mm256_cmp_pd(b, splat(smallest), _CMP_GE_OQ),
                                    _mm256_cmp_pd(b, splat(largest), _CMP_LE_OQ)));
    o.swapped = _mm256_cmp_pd(b, a, _CMP_GT_OQ);
    o.x_negative = _mm256_cmp_pd(x, zero, _CMP_LT_OQ);
    o.right = _mm256_and_pd(_mm256_cmp_pd(x, zero, _CMP_GT_OQ), _mm256_cmp_pd(b, a, _CMP_LT_OQ));
    // Lanes that do not apply compute on 1/1, so that they raise no division
    // by zero or invalid operation of their own.
    o.n = _mm256_blendv_pd(one, _mm256_blendv_pd(b, a, o.swapped), o.applies);
    o.d = _mm256_blendv_pd(one, _mm256_blendv_pd(a, b, o.swapped), o.applies);
    o.t = _mm256_div_pd(o.n, o.d);
    o.k = _mm256_round_pd(_mm256_mul_pd(o.t, splat(128.0)),
                          _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    o.c = _mm256_mul_pd(o.k, splat(1.0 / 128));
    return o;
}

// --- Table --------------------------------------------------------------------

struct DoubleDouble {
    __m256d hi, lo;
};

// atan(c) from the table. Four (hi, lo) loads beat a gather; lanes 0 and 2
// share one register and lanes 1 and 3 the other, so that unpacking puts
// them back in order.
inline DoubleDouble look_up(__m256d k) {
    const __m128i index = _mm256_cvtpd_epi32(k);
    const __m128d entry0 = _mm_load_pd(&atan_table[_mm_cvtsi128_si32(index)].hi);
    const __m128d entry1 = _mm_load_pd(&atan_table[_mm_extract_epi32(index, 1)].hi);
    const __m128d entry2 = _mm_load_pd(&atan_table[_mm_extract_epi32(index, 2)].hi);
    const __m128d entry3 = _mm_load_pd(&atan_table[_mm_extract_epi32(index, 3)].hi);
    const __m256d lanes02 = _mm256_set_m128d(entry2, entry0);
    const __m256d lanes13 = _mm256_set_m128d(entry3, entry1);
    return {_mm256_unpacklo_pd(lanes02, lanes13), _mm256_unpackhi_pd(lanes02, lanes13)};
}

// --- Series -------------------------------------------------------------------

// atan(s) as s.hi + tail, for s = (n - c d) / (d + c n) = s.hi + s.lo.
struct Series {
    __m256d s_hi;
    __m256d tail;  // atan(s) - s_hi
};

inline Series series(const Octant& o) {
    const __m256d c = o.c, n = o.n, d = o.d;
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
    __m256d poly = _mm256_add_pd(splat(-1.0 / 7), _mm256_mul_pd(z, splat(1.0 / 9)));
    poly = _mm256_add_pd(splat(1.0 / 5), _mm256_mul_pd(z, poly));
    poly = _mm256_add_pd(splat(-1.0 / 3), _mm256_mul_pd(z, poly));
    const __m256d tail =
        _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(s_hi, z), poly),
                      _mm256_sub_pd(s_lo, _mm256_mul_pd(s_lo, z)));
    return {s_hi, tail};
}

// --- Sum ----------------------------------------------------------------------

// The octant angle, rounded to the nearest double with an exact residual:
// value = nearest + residual.
struct Rounding {
    __m256d nearest;
    __m256d residual;
};

// angle = base + sign * (atan(c) + atan(s)), with base 0, pi/2 or pi and the
// sign negative for exactly one of "swapped" and "x < 0".
inline Rounding sum(const Octant& o, const DoubleDouble& table, const Series& atan_s) {
    const __m256d sign_bit = splat(-0.0);
    const __m256d flip = _mm256_xor_pd(_mm256_and_pd(o.swapped, sign_bit),
                                       _mm256_and_pd(o.x_negative, sign_bit));
    const __m256d base_hi = _mm256_blendv_pd(_mm256_and_pd(o.x_negative, splat(pi_hi)),
                                             splat(half_pi_hi), o.swapped);
    const __m256d base_lo = _mm256_blendv_pd(_mm256_and_pd(o.x_negative, splat(pi_lo)),
                                             splat(half_pi_lo), o.swapped);
    // Fast two-sums: |base| >= |atan(c)| unless base is 0, and the partial sum
    // is at least atan(1/128) > 1/256 >= |s| unless it is 0.
    const __m256d table_term = _mm256_xor_pd(table.hi, flip);
    const __m256d sum1 = _mm256_add_pd(base_hi, table_term);
    const __m256d error1 = _mm256_sub_pd(table_term, _mm256_sub_pd(sum1, base_hi));
    const __m256d s_term = _mm256_xor_pd(atan_s.s_hi, flip);
    const __m256d sum2 = _mm256_add_pd(sum1, s_term);
    const __m256d error2 = _mm256_sub_pd(s_term, _mm256_sub_pd(sum2, sum1));
    const __m256d low = _mm256_add_pd(
        _mm256_add_pd(_mm256_add_pd(base_lo, _mm256_xor_pd(table.lo, flip)),
                      _mm256_add_pd(error1, error2)),
        _mm256_xor_pd(atan_s.tail, flip));
    const __m256d nearest = _mm256_add_pd(sum2, low);
    const __m256d residual = _mm256_sub_pd(low, _mm256_sub_pd(nearest, sum2));
    return {nearest, residual};
}

// --- Rounding test ----------------------------------------------------------------

// The library's stated bound for the octant angle nearest, in absolute
// terms, with the larger bound on either side of an uncertain step.
inline __m256d library_bound(const Octant& o, __m256d nearest) {
    namespace bounds = atan2_bounds;
    const auto below = [&](double u) { return _mm256_cmp_pd(o.t, splat(u), _CMP_LT_OQ); };
    const __m256d in_series = below(bounds::table_from - series_slack);

    constexpr int right_pieces = sizeof bounds::right_table / sizeof bounds::right_table[0];
    __m256d right_per_angle = splat(bounds::right_table[right_pieces - 1].bound);
    for (int i = right_pieces - 2; i >= 0; --i) {
        right_per_angle = _mm256_blendv_pd(right_per_angle, splat(bounds::right_table[i].bound),
                                           below(bounds::right_table[i].below_u + step_slack));
    }
    const __m256d right = _mm256_blendv_pd(_mm256_mul_pd(right_per_angle, nearest),
                                           _mm256_mul_pd(splat(bounds::right_series_per_u), o.t),
                                           in_series);

    constexpr int other_pieces = sizeof bounds::other_table / sizeof bounds::other_table[0];
    __m256d other = splat(bounds::other_table[other_pieces - 1].bound);
    for (int i = other_pieces - 2; i >= 0; --i) {
        other = _mm256_blendv_pd(other, splat(bounds::other_table[i].bound),
                                 below(bounds::other_table[i].below_u + step_slack));
    }
    other = _mm256_blendv_pd(other, splat(bounds::other_series), in_series);
    return _mm256_blendv_pd(other, right, o.right);
}

// The largest |residual| at which nearest is far enough from a midpoint for
// the library to round the same way; negative where no residual is.
inline __m256d rounding_limit(const Octant& o, __m256d nearest) {
    // ulp(nearest) from its exponent bits; nearest is in (0, pi].
    const __m256d ulp =
        _mm256_mul_pd(_mm256_and_pd(nearest, _mm256_castsi256_pd(_mm256_set1_epi64x(
                                                 0x7ff0000000000000LL))),
                      splat(0x1p-52));
    const __m256d limit = _mm256_sub_pd(_mm256_mul_pd(ulp, splat(0.5 - own_error_ulp)),
                                        _mm256_mul_pd(splat(band_margin), library_bound(o, nearest)));
    // A power of two has a smaller ULP below it than above: no limit there.
    const __m256i mantissa = _mm256_and_si256(_mm256_castpd_si256(nearest),
                                              _mm256_set1_epi64x(0x000fffffffffffffLL));
    const __m256d power_of_two =
        _mm256_castsi256_pd(_mm256_cmpeq_epi64(mantissa, _mm256_setzero_si256()));
    return _mm256_andnot_pd(power_of_two, limit);
}

// --- The stages together --------------------------------------------------------

struct Rounded {
    __m256d nearest;   // the double nearest the double-double value
    __m256d residual;  // value - nearest, exact
    __m256d applies;   // all ones where the components are in range
    __m256d limit;     // |residual| below this: far enough from a midpoint
};

// n registers, stage by stage. Each stage is a chain of dependent operations
// (three divisions among them); with the chains of several registers side by
// side in the instruction stream, the processor works on one while another
// waits, which it cannot do across whole registers one after the other.
template <int n>
inline void evaluate(const __m256d* y, const __m256d* x, Rounded* out) {
    Octant o[n];
    DoubleDouble table[n];
    Series atan_s[n];
    Rounding r[n];
    for (int i = 0; i < n; ++i) o[i] = reduce(y[i], x[i]);
    // The table loads before the series, so that the series hides their
    // latency.
    for (int i = 0; i < n; ++i) table[i] = look_up(o[i].k);
    for (int i = 0; i < n; ++i) atan_s[i] = series(o[i]);
    for (int i = 0; i < n; ++i) r[i] = sum(o[i], table[i], atan_s[i]);
    for (int i = 0; i < n; ++i) {
        // The sign of y, which the octant angle left out.
        const __m256d y_sign = _mm256_and_pd(y[i], splat(-0.0));
        out[i] = {_mm256_xor_pd(r[i].nearest, y_sign), _mm256_xor_pd(r[i].residual, y_sign),
                  o[i].applies, rounding_limit(o[i], r[i].nearest)};
    }
}

inline Rounded evaluate(__m256d y, __m256d x) {
    Rounded r;
    evaluate<1>(&y, &x, &r);
    return r;
}

// The lanes of r that its own rounding does not settle: one bit per lane.
inline unsigned unsettled_lanes(const Rounded& r) {
    const __m256d magnitude = _mm256_andnot_pd(splat(-0.0), r.residual);
    const __m256d clear =
        _mm256_and_pd(r.applies, _mm256_cmp_pd(magnitude, r.limit, _CMP_LT_OQ));
    return static_cast<unsigned>(_mm256_movemask_pd(clear)) ^ 0xfu;
}

// How many registers go through the stages side by side: the five link
// angles of a step.
constexpr int side_by_side = 5;

// Rounds registers [from, from + n) into out and returns the bits of their
// lanes that the rounding does not settle, four per register, register 0 in
// the lowest.
template <int n>
inline std::uint64_t round_registers(const __m256d* y, const __m256d* x, __m256d* out,
                                     std::size_t from) {
    Rounded r[n];
    evaluate<n>(y + from, x + from, r);
    std::uint64_t unsettled = 0;
    for (int i = 0; i < n; ++i) {
        out[from + i] = r[i].nearest;
        unsettled |= std::uint64_t{unsettled_lanes(r[i])} << (4 * (from + i));
    }
    return unsettled;
}

// Rounds every register, then hands the lanes that are not clear to the C
// library. Returns their bits, four per register.
inline std::uint64_t round_or_defer(const __m256d* y, const __m256d* x, __m256d* out,
                                    std::size_t count) {
    std::uint64_t deferred = 0;
    std::size_t i = 0;
    for (; i + side_by_side <= count; i += side_by_side) {
        deferred |= round_registers<side_by_side>(y, x, out, i);
    }
    switch (count - i) {
    case 4: deferred |= round_registers<4>(y, x, out, i); break;
    case 3: deferred |= round_registers<3>(y, x, out, i); break;
    case 2: deferred |= round_registers<2>(y, x, out, i); break;
    case 1: deferred |= round_registers<1>(y, x, out, i); break;
    default: break;
    }
    if (deferred == 0) return 0;
    // Lane by lane, in place: mostly one or two, one loop whose exit the
    // branch predictor mostly expects.
    std::uint64_t left = deferred;
    do {
        const int bit = __builtin_ctzll(left);
        const int r = bit / 4, i = bit % 4;
        out[r][i] = std::atan2(y[r][i], x[r][i]);
        left &= left - 1;
    } while (left != 0);
    return deferred;
}

}  // namespace

void fast_atan2_avx2(const __m256d* y, const __m256d* x, __m256d* out, std::size_t count) {
    round_or_defer(y, x, out, count);
}

__m256d fast_atan2_avx2(__m256d y, __m256d x) {
    __m256d out;
    round_or_defer(&y, &x, &out, 1);
    return out;
}

unsigned fast_atan2_lanes(const double* y, const double* x, double* out) {
    const __m256d ys = _mm256_loadu_pd(y), xs = _mm256_loadu_pd(x);
    __m256d angles;
    const auto library_lanes = static_cast<unsigned>(round_or_defer(&ys, &xs, &angles, 1));
    _mm256_storeu_pd(out, angles);
    return library_lanes;
}

unsigned fast_atan2_before_rounding_lanes(const double* y, const double* x, double* nearest,
                                          double* residual) {
    const Rounded r = evaluate(_mm256_loadu_pd(y), _mm256_loadu_pd(x));
    const __m256d nan = splat(__builtin_nan(""));
    _mm256_storeu_pd(nearest, _mm256_blendv_pd(nan, r.nearest, r.applies));
    _mm256_storeu_pd(residual, _mm256_blendv_pd(nan, r.residual, r.applies));
    return static_cast<unsigned>(_mm256_movemask_pd(r.applies));
}

}  // namespace zorv::sim
