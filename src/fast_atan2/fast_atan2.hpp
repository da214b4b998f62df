// The fast atan2: atan2 on the lanes of a wide register that returns, bit
// for bit, what the C library's atan2 returns.
//
// The lanes work out atan2 as a double-double, good to 2e-5 ULP of the
// result, and round it themselves only where that value lies far enough from
// a rounding midpoint that the library rounds it the same way: the library's
// atan2 is not correctly rounded, but it states an error bound for the value
// it rounds, region by region (bounds.hpp), and the lanes keep
// 1.25 times that bound from a midpoint (from 0.0002 ULP near the axes to
// 0.15 ULP where the library is least accurate). Every other lane is handed
// to the C library: values near a midpoint (about 2 to 3 lanes in 100),
// zeros, infinities, NaN, and components outside [2^-450, 2^450]
// (subnormals, huge values, and with them extreme ratios).
//
// Its parts, in src/fast_atan2: the kernel (kernel.hpp, one template over
// the wide types of src/simd, whose FMA instructions form exact products
// only) and its table (table.hpp); the step's angles through it
// (angles.hpp), inline where the instruction set has FMA of its own
// (AVX-512, src/sim/lanes_avx512.cpp), out of line in a file compiled with
// FMA where it is an extension (AVX2, kernel_avx2.cpp); the library's bounds
// (bounds.hpp), the inputs it is checked on (inputs.hpp) and the agreement
// check (check.cpp) that decides whether a process may use the kernel of a
// width. Nothing declared here may run before the CPU has been found to run
// the kernel of its width (the table of instruction sets,
// src/dispatch/instruction_sets.hpp).
#pragma once

#include <cstddef>

namespace zorv::fast_atan2 {

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

// The kernel on one register, out[i] = atan2(y[i], x[i]) for each of its
// lanes: fast_atan2_lanes, fast_atan2_lanes8.
using RegisterKernel = unsigned (*)(const double* y, const double* x, double* out);

// Compares the kernel, on registers of `width` lanes, with reference on the
// hard inputs, their sign variants and a few thousand seeded random pairs.
// True when every result has the same bits. Only where the CPU runs the
// kernel.
bool agrees_with(double (*reference)(double, double), RegisterKernel kernel, int width);

}  // namespace zorv::fast_atan2
