// The error bounds of the C library's atan2, region by region, and the one
// function that reads them: for a single angle (surveys, tests) and for a
// register of angles (the fast atan2's bands).
//
// glibc's atan2 (2.35 and later) returns the value of the first stage of its
// algorithm, a double-double rounded by one addition, and keeps the error
// bounds derived for that stage. With u = min(|x|, |y|) / max(|x|, |y|),
// the library rounds the exact angle correctly wherever it lies farther than
// the bound from a rounding midpoint. The bounds change with u at the table
// steps of the library, which lie near 1/4, 1/2 and 3/4 rather than on them.
#pragma once

#include <cstddef>

#include "simd/scalar.hpp"

namespace zorv::fast_atan2::atan2_bounds {

// Below this u the library evaluates a series, above it a table and a series.
inline constexpr double table_from = 1.0 / 16;

// A part of the plane in which the library states one bound: u from from_u
// up to below u_below (the last region of a side takes every u up to 1).
struct Region {
    double from_u;
    double u_below;
    double bound;
    const char* name;
};

// x > 0 and |y| < |x| ("right"): the series region's bound is `bound` times
// u, every table region's `bound` times |angle|.
inline constexpr Region right_regions[] = {
    {0.0, table_from, 9.377e-19, "x>0,|y|<|x|, u<1/16"},
    {table_from, 0.25, 1.301e-17, "x>0,|y|<|x|, u 1/16..1/4"},
    {0.25, 0.5, 4.008e-18, "x>0,|y|<|x|, u 1/4..1/2"},
    {0.5, 0.75, 1.562e-18, "x>0,|y|<|x|, u 1/2..3/4"},
    {0.75, 1.0, 1.009e-18, "x>0,|y|<|x|, u 3/4..1"},
};

// Every other octant (x <= 0, or |x| <= |y|): absolute bounds.
inline constexpr Region other_regions[] = {
    {0.0, table_from, 8.584e-20, "other, u<1/16"},
    {table_from, 0.5, 1.416e-18, "other, u 1/16..1/2"},
    {0.5, 1.0, 1.081e-18, "other, u 1/2..1"},
};

inline constexpr int right_region_count = sizeof right_regions / sizeof right_regions[0];
inline constexpr int region_count =
    right_region_count + static_cast<int>(sizeof other_regions / sizeof other_regions[0]);

// Regions by number: the right ones first, then the others.
constexpr const Region& region(int index) {
    return index < right_region_count ? right_regions[index]
                                      : other_regions[index - right_region_count];
}

// Where a bound's region is uncertain, the larger bound may reach a little
// across the cut: step_slack above a table step, series_slack below 1/16.
struct Slack {
    double series = 0.0;
    double step = 0.0;
};

inline namespace ZORV_ISA {

using simd::select;

// The table regions' bounds of one side, chosen by u.
template <class T, std::size_t n>
T table_bound(const Region (&regions)[n], T u, Slack slack) {
    T bound = T(regions[n - 1].bound);
    for (std::size_t i = n - 1; i-- > 1;) {
        bound = select(u < regions[i].u_below + slack.step, T(regions[i].bound), bound);
    }
    return bound;
}

// The library's stated bound, in absolute terms, for an angle of magnitude
// `angle` with reduced ratio u, on the right side where `right` holds. T is
// double or a register type; masks and selects as in the step.
template <class T, class Mask>
T library_bound(Mask right, T u, T angle, Slack slack = {}) {
    const auto in_series = u < table_from - slack.series;
    const T right_bound = select(in_series, T(right_regions[0].bound) * u,
                                 table_bound(right_regions, u, slack) * angle);
    const T other_bound = select(in_series, T(other_regions[0].bound),
                                 table_bound(other_regions, u, slack));
    return select(right, right_bound, other_bound);
}

}  // namespace ZORV_ISA
}  // namespace zorv::fast_atan2::atan2_bounds
