// The kernel of the fast atan2, written once for every register width: the
// lanes of a register type R each get atan2(y, x) equal in every bit to the
// C library's, in five stages: reduction, table, series, sum and rounding
// test. A file compiled for an instruction set supplies R (its arithmetic,
// masks, exact products, rounding to an integer and the table lookup) and
// instantiates round_or_defer<R>; everything else is here.
//
// FMA appears only where it forms an exact product or an exact division
// remainder, never to round a sum. Everything here runs only after the
// instruction set's run-time check.
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
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "sim/fast_atan2_bounds.hpp"
#include "sim/isa_file.hpp"

namespace zorv::sim {
inline namespace ZORV_SIM_ISA {
namespace fast_atan2_kernel {

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
// bound reaches band_slack.step beyond it, and the table's bound reaches
// band_slack.series below 1/16, where the library's u may round otherwise.
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
// change within 1/128 above 1/4 and 3/4, well inside band_slack.step.
//
// The margin keeps every band above the bound and above twice the largest
// wrong rounding found, for both variants.
constexpr double band_margin = 1.25;
constexpr double own_error_ulp = 0x1p-15;  // above the 2e-5 ULP of the sum
constexpr atan2_bounds::Slack band_slack{.series = 1.0 / 1024, .step = 1.0 / 64};

// atan(c) from the table, for a register of indices k.
template <class R>
struct TableEntry {
    R hi, lo;
};


// --- Reduction ----------------------------------------------------------------

template <class R>
struct Octant {
    using Mask = typename R::Mask;
    Mask applies;     // both components are in range
    Mask swapped;     // |y| > |x|: the angle is pi/2 - atan(t)
    Mask x_negative;  // x < 0: the angle is pi minus that
    Mask right;       // x > 0 and |y| < |x|, where the library's bounds are relative
    R n, d;           // min and max of |x| and |y|; 1 and 1 where not applying
    R t;              // n / d
    R k;              // the table index nearest 128 t
    R c;              // k / 128
};

template <class R>
inline Octant<R> reduce(R y, R x) {
    const R a = magnitude(x);
    const R b = magnitude(y);
    Octant<R> o;
    // Ordered comparisons: false for NaN, so NaN lanes never apply.
    o.applies = both(both(a >= smallest, a <= largest), both(b >= smallest, b <= largest));
    o.swapped = b > a;
    o.x_negative = x < 0.0;
    o.right = both(x > 0.0, b < a);
    // Lanes that do not apply compute on 1/1, so that they raise no division
    // by zero or invalid operation of their own.
    o.n = select(o.applies, select(o.swapped, a, b), R(1.0));
    o.d = select(o.applies, select(o.swapped, b, a), R(1.0));
    o.t = o.n / o.d;
    o.k = nearest_integer(o.t * 128.0);
    o.c = o.k * (1.0 / 128);
    return o;
}

// --- Series -------------------------------------------------------------------

// atan(s) as s.hi + tail, for s = (n - c d) / (d + c n) = s.hi + s.lo.
template <class R>
struct Series {
    R s_hi;
    R tail;  // atan(s) - s_hi
};

template <class R>
inline Series<R> series(const Octant<R>& o) {
    const R c = o.c, n = o.n, d = o.d;
    // c d = cd + cd_error and c n = cn + cn_error exactly.
    const R cd = c * d;
    const R cd_error = product_error(c, d, cd);
    const R cn = c * n;
    const R cn_error = product_error(c, n, cn);
    // Numerator n - c d = top - cd_error, top exact.
    const R top = n - cd;
    // Denominator d + c n = under + under_lo (d >= c n, so the fast two-sum).
    const R under = d + cn;
    const R under_lo = ((d - under) + cn) + cn_error;
    // s = s_hi + s_lo; the remainder top - s_hi under is exact.
    const R s_hi = top / under;
    const R remainder = division_remainder(top, s_hi, under);
    const R s_lo = ((remainder - cd_error) - s_hi * under_lo) / under;

    // atan(s) - s_hi = s_lo (1 - s_hi^2) + s_hi^3 (-1/3 + z/5 - z^2/7 + z^3/9), z = s_hi^2.
    const R z = s_hi * s_hi;
    R poly = R(-1.0 / 7) + z * (1.0 / 9);
    poly = R(1.0 / 5) + z * poly;
    poly = R(-1.0 / 3) + z * poly;
    const R tail = ((s_hi * z) * poly) + (s_lo - s_lo * z);
    return {s_hi, tail};
}

// --- Sum ----------------------------------------------------------------------

// The octant angle, rounded to the nearest double with an exact residual:
// value = nearest + residual.
template <class R>
struct Rounding {
    R nearest;
    R residual;
};

// angle = base + sign * (atan(c) + atan(s)), with base 0, pi/2 or pi and the
// sign negative for exactly one of "swapped" and "x < 0".
template <class R>
inline Rounding<R> sum(const Octant<R>& o, const TableEntry<R>& table, const Series<R>& atan_s) {
    const R flip = where(exactly_one(o.swapped, o.x_negative), R(-0.0));
    const R base_hi = select(o.swapped, R(half_pi_hi), where(o.x_negative, R(pi_hi)));
    const R base_lo = select(o.swapped, R(half_pi_lo), where(o.x_negative, R(pi_lo)));
    // Fast two-sums: |base| >= |atan(c)| unless base is 0, and the partial sum
    // is at least atan(1/128) > 1/256 >= |s| unless it is 0.
    const R table_term = sign_flipped(table.hi, flip);
    const R sum1 = base_hi + table_term;
    const R error1 = table_term - (sum1 - base_hi);
    const R s_term = sign_flipped(atan_s.s_hi, flip);
    const R sum2 = sum1 + s_term;
    const R error2 = s_term - (sum2 - sum1);
    const R low = ((base_lo + sign_flipped(table.lo, flip)) + (error1 + error2)) +
                  sign_flipped(atan_s.tail, flip);
    const R nearest = sum2 + low;
    const R residual = low - (nearest - sum2);
    return {nearest, residual};
}

// --- Rounding test ----------------------------------------------------------------

// The largest |residual| at which nearest is far enough from a midpoint for
// the library to round the same way; zero where no residual is.
template <class R>
inline R rounding_limit(const Octant<R>& o, R nearest) {
    const R limit =
        ulp_of_positive(nearest) * (0.5 - own_error_ulp) -
        R(band_margin) * atan2_bounds::library_bound(o.right, o.t, nearest, band_slack);
    // A power of two has a smaller ULP below it than above: no limit there.
    return where_not(is_power_of_two(nearest), limit);
}

// --- The stages together --------------------------------------------------------

template <class R>
struct Rounded {
    R nearest;                  // the double nearest the double-double value
    R residual;                 // value - nearest, exact
    typename R::Mask applies;   // the components are in range
    R limit;                    // |residual| below this: far enough from a midpoint
};

// n registers, stage by stage. Each stage is a chain of dependent operations
// (three divisions among them); with the chains of several registers side by
// side in the instruction stream, the processor works on one while another
// waits, which it cannot do across whole registers one after the other.
template <class R, int n>
inline void evaluate(const R* y, const R* x, Rounded<R>* out) {
    Octant<R> o[n];
    TableEntry<R> table[n];
    Series<R> atan_s[n];
    Rounding<R> r[n];
    for (int i = 0; i < n; ++i) o[i] = reduce(y[i], x[i]);
    // The table loads before the series, so that the series hides their
    // latency.
    for (int i = 0; i < n; ++i) table[i] = look_up(atan_table, o[i].k);
    for (int i = 0; i < n; ++i) atan_s[i] = series(o[i]);
    for (int i = 0; i < n; ++i) r[i] = sum(o[i], table[i], atan_s[i]);
    for (int i = 0; i < n; ++i) {
        // The sign of y, which the octant angle left out.
        const R y_sign = sign_of(y[i]);
        out[i] = {sign_flipped(r[i].nearest, y_sign), sign_flipped(r[i].residual, y_sign),
                  o[i].applies, rounding_limit(o[i], r[i].nearest)};
    }
}

// The lanes of r that its own rounding does not settle: one bit per lane.
template <class R>
inline unsigned unsettled_lanes(const Rounded<R>& r) {
    const auto clear = both(r.applies, magnitude(r.residual) < r.limit);
    return lane_bits(clear) ^ ((1u << R::width) - 1u);
}

// How many registers go through the stages side by side: the five link
// angles of a step.
constexpr int side_by_side = 5;

// The most registers one call takes: one bit per lane in 64 bits.
template <class R>
inline constexpr std::size_t max_registers = 64 / R::width;

// Rounds registers [from, from + n) into out and returns the bits of their
// lanes that the rounding does not settle, R::width per register, register 0
// in the lowest.
template <class R, int n>
inline std::uint64_t round_registers(const R* y, const R* x, R* out, std::size_t from) {
    Rounded<R> r[n];
    evaluate<R, n>(y + from, x + from, r);
    std::uint64_t unsettled = 0;
    for (int i = 0; i < n; ++i) {
        out[from + i] = r[i].nearest;
        unsettled |= std::uint64_t{unsettled_lanes(r[i])} << (R::width * (from + i));
    }
    return unsettled;
}

// Rounds every register, then hands the lanes that are not clear to the C
// library. Returns their bits, R::width per register. count is at most
// max_registers<R>; out must not overlap y or x.
template <class R>
inline std::uint64_t round_or_defer(const R* y, const R* x, R* out, std::size_t count) {
    std::uint64_t deferred = 0;
    std::size_t i = 0;
    for (; i + side_by_side <= count; i += side_by_side) {
        deferred |= round_registers<R, side_by_side>(y, x, out, i);
    }
    switch (count - i) {
    case 4: deferred |= round_registers<R, 4>(y, x, out, i); break;
    case 3: deferred |= round_registers<R, 3>(y, x, out, i); break;
    case 2: deferred |= round_registers<R, 2>(y, x, out, i); break;
    case 1: deferred |= round_registers<R, 1>(y, x, out, i); break;
    default: break;
    }
    if (deferred == 0) return 0;
    // Lane by lane, in place: mostly one or two, one loop whose exit the
    // branch predictor mostly expects.
    std::uint64_t left = deferred;
    do {
        const int bit = __builtin_ctzll(left);
        const int r = bit / R::width, lane = bit % R::width;
        out[r].v[lane] = std::atan2(y[r].v[lane], x[r].v[lane]);
        left &= left - 1;
    } while (left != 0);
    return deferred;
}

// The unrounded value of one register's lanes, NaN where they do not apply;
// returns the lanes that apply.
template <class R>
inline unsigned before_rounding(R y, R x, R& nearest, R& residual) {
    Rounded<R> r;
    evaluate<R, 1>(&y, &x, &r);
    const R nan(__builtin_nan(""));
    nearest = select(r.applies, r.nearest, nan);
    residual = select(r.applies, r.residual, nan);
    return lane_bits(r.applies);
}

}  // namespace fast_atan2_kernel
}  // namespace ZORV_SIM_ISA
}  // namespace zorv::sim
