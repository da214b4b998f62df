// What the tests and the benchmarks measure the fast atan2 and the C
// library's atan2 with, beyond the agreement check's own inputs: every
// family of random pairs, special values, the library's regions and error
// bounds, and the unrounded value behind the lanes. Built into the tests and
// the benchmarks only (the zorv_core_testing library), not into the modules.
#pragma once

#include <span>

#include "fast_atan2/bounds.hpp"
#include "fast_atan2/inputs.hpp"
#include "fast_atan2/splitmix64.hpp"

namespace zorv::fast_atan2 {

// One random pair of the family, any family; the same generator state gives
// the same pair, and for the checked families the pair the check draws.
Atan2Input draw_atan2_input(Atan2Family family, SplitMix64& generator);

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

// The unrounded value behind fast_atan2_lanes: for each lane where the lane
// code applies (components in [2^-450, 2^450]), nearest[i] is its rounding
// and residual[i] what is left over, so the value is nearest[i] + residual[i]
// exactly, with |residual[i]| <= half an ULP of nearest[i]. Other lanes get
// NaN in both. Returns the bits of the lanes that apply. Only after
// fast_atan2_available().
unsigned fast_atan2_before_rounding_lanes(const double* y, const double* x, double* nearest,
                                          double* residual);

}  // namespace zorv::fast_atan2
