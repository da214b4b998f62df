// The fast atan2: atan2 on the lanes of a wide register that returns, bit
// for bit, what the C library's atan2 returns.
//
// The lanes work out atan2 as a double-double, good to 2e-5 ULP of the
// result, and round it themselves only where that value lies far enough from
// a rounding midpoint that the library rounds it the same way: the library's
// atan2 is not correctly rounded, but it states an error bound for the value
// it rounds, region by region (fast_atan2_bounds.hpp), and the lanes keep
// 1.25 times that bound from a midpoint (from 0.0002 ULP near the axes to
// 0.15 ULP where the library is least accurate). Every other lane is handed
// to the C library: values near a midpoint (about 2 to 3 lanes in 100),
// zeros, infinities, NaN, and components outside [2^-450, 2^450]
// (subnormals, huge values, and with them extreme ratios).
//
// Its parts: the kernel (fast_atan2_kernel.hpp, one template over the wide
// types of src/simd, whose FMA instructions form exact products only) and
// its table (fast_atan2_table.hpp); the step's angles through it
// (fast_atan2_angles.hpp), inline where the instruction set has FMA of its
// own (AVX-512, lanes_avx512.cpp), out of line in a file compiled with FMA
// where it is an extension (AVX2, fast_atan2_avx2.cpp); the inputs it is
// checked on (fast_atan2_inputs.hpp) and measured on (fast_atan2_survey.hpp,
// for the tests and benchmarks only), the library's bounds
// (fast_atan2_bounds.hpp) and the agreement check (fast_atan2_check.cpp)
// that decides whether a process may use the kernel of a width. Nothing
// declared here may run before fast_atan2_available() has said yes for its
// width.
#pragma once

#include <cstddef>

namespace zorv::sim {

struct LaneWidth;

// Where the lanes take their angles from. Both give the C library's bits;
// the fast atan2 only where its agreement check passed in this process.
enum class Atan2Source { c_library, fast_atan2 };

// out[i] = atan2(y[i], x[i]) for i = 0..3, equal to the C library's result in
// every bit (NaN payloads included: NaN lanes are the library's own). Returns
// one bit per lane, lane 0 in bit 0, set where the C library computed the
// lane. The arrays need no alignment; out may alias y or x.
unsigned fast_atan2_lanes(const double* y, const double* x, double* out);

// The same on eight lanes, with the AVX-512 kernel: one bit per lane.
unsigned fast_atan2_lanes8(const double* y, const double* x, double* out);

// The four-lane kernel on `count` registers' worth of lanes, four to a
// register and aligned like AVX registers, count at most 16; out must not
// overlap y or x. Every lane is worked out first, then the few that the lanes
// leave to the C library go to it together, so that a call in which none
// does costs one well-predicted test.
void fast_atan2_avx2(const double* y, const double* x, double* out, std::size_t count);

// Whether this CPU (and its operating system) can run the kernel of that
// width; false for a row without one (the portable path's).
bool fast_atan2_available(const LaneWidth& lanes);

// Compares the kernel of that width with reference on the hard inputs, their
// sign variants and a few thousand seeded random pairs. True when every
// result has the same bits. Only after fast_atan2_available(lanes).
bool fast_atan2_agrees_with_unchecked(double (*reference)(double, double), const LaneWidth& lanes);

// Whether the fast atan2 of that width can stand in for reference (normally
// the C library's atan2) in this process: false on CPUs that cannot run it,
// and false if any checked input gives other bits. Safe to call on any CPU.
bool fast_atan2_agrees_with(double (*reference)(double, double), const LaneWidth& lanes);

}  // namespace zorv::sim
