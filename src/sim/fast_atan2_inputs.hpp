// Inputs for checking and measuring the fast atan2: the fixed hard pairs,
// special values, and seeded random pairs by named family. The agreement
// check, its tests and its benchmark all draw from here.
#pragma once

#include <span>

#include "sim/fast_atan2_bounds.hpp"
#include "sim/splitmix64.hpp"

namespace zorv::sim {

struct Atan2Input {
    double y;
    double x;
};

enum class Atan2Family {
    uniform,          // both components uniform in [-1, 1]
    link,             // link vectors: length 0.01 to 2, any direction
    weak,             // x > 0, |y/x| in [1/16, 1/2): the library's least accurate region
    near_axis,        // one component 2^-1 to 2^-70 times the other
    tiny,             // small components, subnormals among them
    wide,             // any exponent for either component
    special,          // a special value with a random one, or two special values
    power_of_two,     // angles just below and above 2^k, where the ULP changes
    near_horizontal,  // |y| at most 1e-3 |x|, like a foot on the ground
};

// One random pair of the family; the same generator state gives the same pair.
Atan2Input draw_atan2_input(Atan2Family family, SplitMix64& generator);

// Pairs whose exact atan2 lies within a few hundredths of an ULP of a
// rounding midpoint (among them pairs the C library here rounds the wrong
// way), pairs just outside the band in which the fast atan2 defers to the
// library, and special values.
std::span<const Atan2Input> fast_atan2_hard_inputs();

// Values that are not ordinary doubles, and the edges of the range the fast
// atan2 computes itself.
std::span<const double> fast_atan2_special_values();

// The regions of the plane in which the C library's atan2 states one error
// bound (atan2_bounds::region(i)): surveys and the benchmark report by them.
// The region of a pair whose components are nonzero and finite.
int atan2_region(double y, double x);

// The error bound that the C library states for the unrounded value behind
// its atan2(y, x) (its first stage), in absolute terms, given the rounded
// angle. The library rounds that value, so it can round the wrong way only
// where the exact angle lies within this bound of a rounding midpoint.
double atan2_library_bound(double y, double x, double angle);

}  // namespace zorv::sim
