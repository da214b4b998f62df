// The kernel of the fast atan2, written once for every width: the lanes of a
// wide type R (src/simd: its arithmetic, masks, exact products, rounding to
// an integer and the table look-up) each get atan2(y, x) equal in every bit
// to the C library's, in five stages: reduction, table, series, sum and
// rounding test. A file compiled for an instruction set with FMA
// instantiates round_or_defer<R>, directly or through the link angles of
// its step (angles.hpp).
//
// FMA appears only where it forms an exact product or an exact division
// remainder (product_error, division_remainder), never to round a sum, and
// in the quotients of eight AVX-512 lanes, which give the divider's bits
// (src/simd/avx512.hpp); registers whose quotients they do not all settle
// are worked again with the divider. Everything here runs only after the
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
// that region (bounds.hpp) with a margin.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "fast_atan2/bounds.hpp"
#include "fast_atan2/table.hpp"
#include "simd/isa_file.hpp"

namespace zorv::fast_atan2 {
inline namespace ZORV_ISA {
namespace kernel {

using simd::lane;
using simd::lane_bits;
using simd::mask_of;
using simd::select;
using simd::set_lane;
using simd::store;
using simd::width_of;

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
// region (bounds.hpp) times band_margin, plus the lanes' own error.
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
    using Mask = mask_of<R>;
    Mask applies;     // both components are in range
    Mask swapped;     // |y| > |x|: the angle is pi/2 - atan(t)
    Mask x_negative;  // x < 0: the angle is pi minus that
    Mask right;       // x > 0 and |y| < |x|, where the library's bounds are relative
    R n, d;           // min and max of |x| and |y|; 1 and 1 where not applying
    R t;              // n / d
    R k;              // the table index nearest 128 t
    R c;              // k / 128
};

template <class R, class Q>
inline Octant<R> reduce(R y, R x, Q& quotients) {
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
    // n lies in [smallest, largest] or is 1: a moderate numerator.
    o.t = quotients.with_moderate_numerator(o.n, o.d);
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

template <class R, class Q>
inline Series<R> series(const Octant<R>& o, Q& quotients) {
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
    // s = s_hi + s_lo; the remainder top - s_hi under is exact. n, d and
    // c d are whole multiples of 2^-509 (n, d >= 2^-450, c = k / 128), so
    // top is +0 or at least 2^-509 in size: a moderate numerator.
    const R s_hi = quotients.with_moderate_numerator(top, under);
    const R remainder = division_remainder(top, s_hi, under);
    // s_lo's numerator is +0 or at least 2^-632 in size: a moderate one.
    // Where k = 0, it is the remainder n - s_hi d, a multiple of
    // ulp(s_hi) ulp(d) >= 2^-556 (s_hi d is n within a factor 2). Where
    // k >= 1, every term is a multiple of 2^-509 but the remainder and the
    // product: top is +0 or at least 2^-509, so s_hi is a zero or at least
    // 2^-511 / d; the remainder is a multiple of ulp(s_hi) ulp(under)
    // >= 2^-615, and so is its difference with cd_error; under_lo is zero or
    // at least ulp(c n) / 2 >= 2^-69 d (t >= 1/256, so c n >= 2^-15 d),
    // which makes s_hi * under_lo a zero or at least 2^-580. The numerator,
    // a difference of a multiple of 2^-615 and a double of at least 2^-580,
    // is a zero or at least 2^-632; and never -0, since the remainder is
    // not (n > 0 makes top nonzero or +0).
    const R s_lo = quotients.with_moderate_numerator((remainder - cd_error) - s_hi * under_lo, under);

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
    mask_of<R> applies;         // the components are in range
    R limit;                    // |residual| below this: far enough from a midpoint
};

// n registers, stage by stage. Each stage is a chain of dependent operations
// (three divisions among them); with the chains of several registers side by
// side in the instruction stream, the processor works on one while another
// waits, which it cannot do across whole registers one after the other. The
// quotients of all n registers go through `quotients`, which keeps the lanes
// it settled: their values are meaningful only there.
template <class R, int n, class Quotients>
inline void evaluate(const R* y, const R* x, Rounded<R>* out, Quotients& quotients) {
    Octant<R> o[n];
    TableEntry<R> table[n];
    Series<R> atan_s[n];
    Rounding<R> r[n];
#pragma GCC unroll 16
    for (int i = 0; i < n; ++i) o[i] = reduce(y[i], x[i], quotients);
    // The table loads before the series, so that the series hides their
    // latency.
    for (int i = 0; i < n; ++i) {
        const simd::Pair<R> entry = look_up(fast_atan2_table, o[i].k);
        table[i] = {entry.first, entry.second};
    }
#pragma GCC unroll 16
    for (int i = 0; i < n; ++i) atan_s[i] = series(o[i], quotients);
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
    return lane_bits(clear) ^ ((1u << width_of<R>) - 1u);
}

// How many registers go through the stages side by side: the five link
// angles of a step.
constexpr int side_by_side = 5;

// The most registers one call takes: one bit per lane in 64 bits.
template <class R>
inline constexpr std::size_t max_registers = 64 / width_of<R>;

// Rounds registers [from, from + n) into out and returns the bits of their
// lanes that the rounding does not settle, width_of<R> per register, register 0
// in the lowest.
template <class R, int n>
inline std::uint64_t round_registers(const R* y, const R* x, R* out, std::size_t from) {
    Rounded<R> r[n];
    // Rarely (a quotient within 2^-100 of a rounding boundary, say), a lane's
    // quotients are not all settled: the registers are worked again with
    // the divider, so that every lane rounds as it would have with it.
    simd::with_exact_quotients<R>([&](auto& quotients) { evaluate<R, n>(y + from, x + from, r, quotients); });
    std::uint64_t unsettled = 0;
    for (int i = 0; i < n; ++i) {
        out[from + i] = r[i].nearest;
        unsettled |= std::uint64_t{unsettled_lanes(r[i])} << (width_of<R> * (from + i));
    }
    return unsettled;
}

// Rounds every register, then hands the lanes that are not clear to the C
// library. Returns their bits, width_of<R> per register. count is at most
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
        const int r = bit / width_of<R>, at = bit % width_of<R>;
        set_lane(out[r], at, std::atan2(lane(y[r], at), lane(x[r], at)));
        left &= left - 1;
    } while (left != 0);
    return deferred;
}

// The unrounded value of one register's lanes, NaN where they do not apply;
// returns the lanes that apply.
template <class R>
inline unsigned before_rounding(R y, R x, R& nearest, R& residual) {
    Rounded<R> r;
    simd::with_exact_quotients<R>([&](auto& quotients) { evaluate<R, 1>(&y, &x, &r, quotients); });
    const R nan(__builtin_nan(""));
    nearest = select(r.applies, r.nearest, nan);
    residual = select(r.applies, r.residual, nan);
    return lane_bits(r.applies);
}

// One register's worth of angles, from and to memory, for the agreement
// check; returns the lanes left to the C library.
template <class R>
inline unsigned one_register(const double* y, const double* x, double* out) {
    const R ys = R::load(y), xs = R::load(x);
    R angles;
    const auto library_lanes = static_cast<unsigned>(round_or_defer(&ys, &xs, &angles, 1));
    store(out, angles);
    return library_lanes;
}

}  // namespace kernel
}  // namespace ZORV_ISA
}  // namespace zorv::fast_atan2
