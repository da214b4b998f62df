// The fast atan2: atan2 on four or eight lanes at once that returns, bit for
// bit, what the C library's atan2 returns.
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
// Its parts: the kernel (fast_atan2_kernel.hpp, one template over the
// register type, whose FMA instructions form exact products only), its
// register types of four lanes (fast_atan2_register4.hpp, the kernel on
// them in fast_atan2_avx2.cpp) and of eight (fast_atan2_avx512.hpp, taken
// inline by the eight-lane step; its entry for the check in
// fast_atan2_avx512.cpp), the inputs it is checked on
// (fast_atan2_inputs.hpp) and measured on (fast_atan2_survey.hpp, for the
// tests and benchmarks only), the library's bounds (fast_atan2_bounds.hpp)
// and the agreement check (fast_atan2_check.cpp) that decides whether a
// process may use it. Nothing declared here outside the inline namespace
// below may run before fast_atan2_available() has said yes for its width.
#pragma once

#include "sim/cpu_support.hpp"
#include "sim/isa.hpp"

namespace zorv::sim {

// Where a lane type takes its angles from. Both give the C library's bits;
// the fast atan2 only where its agreement check passed in this process.
enum class Atan2Source { c_library, fast_atan2 };

// out[i] = atan2(y[i], x[i]) for i = 0..3, equal to the C library's result in
// every bit (NaN payloads included: NaN lanes are the library's own). Returns
// one bit per lane, lane 0 in bit 0, set where the C library computed the
// lane. The arrays need no alignment; out may alias y or x.
unsigned fast_atan2_lanes(const double* y, const double* x, double* out);

// The same on eight lanes, with the AVX-512 kernel: one bit per lane.
unsigned fast_atan2_lanes8(const double* y, const double* x, double* out);

// The kernels: the same source on registers of four and of eight lanes.
enum class FastAtan2Width { four_lanes, eight_lanes };

// Compares the kernel of that width with reference on the hard inputs, their
// sign variants and a few thousand seeded random pairs. True when every
// result has the same bits. Only after fast_atan2_available(width).
bool fast_atan2_agrees_with_unchecked(double (*reference)(double, double),
                                      FastAtan2Width width = FastAtan2Width::four_lanes);

inline namespace ZORV_SIM_ISA {

// Whether this CPU (and its operating system) can run the kernel of that width.
inline bool fast_atan2_available(FastAtan2Width width = FastAtan2Width::four_lanes) {
    if (width == FastAtan2Width::eight_lanes) return avx512_support() == Avx512Support::usable;
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

// Whether the fast atan2 of that width can stand in for reference (normally
// the C library's atan2) in this process: false on CPUs that cannot run it,
// and false if any checked input gives other bits. Safe to call on any CPU.
inline bool fast_atan2_agrees_with(double (*reference)(double, double),
                                   FastAtan2Width width = FastAtan2Width::four_lanes) {
    return fast_atan2_available(width) && fast_atan2_agrees_with_unchecked(reference, width);
}

}  // namespace ZORV_SIM_ISA
}  // namespace zorv::sim
