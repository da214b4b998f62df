// The wide types' family, and its scalar member: one double (and one 64-bit
// word) with the free functions that every wide type of every instruction
// set offers (avx2.hpp, avx512.hpp), so that the code written over them (the
// step, the fast atan2's kernel, the optimizer's normal samples) compiles
// for plain doubles too.
//
// Every function is, per lane, the one IEEE operation (or the one bit
// operation) that its name says, with the same rounding on every type:
// plain add, subtract, multiply, divide and square root, never fused (the
// exact products below are the one use of FMA, and exist only where the
// translation unit is compiled with it; the eight AVX-512 lanes' quotients,
// avx512.hpp, are FMA instructions proven to give the divider's bits);
// ordered comparisons that are false
// for NaN; a select for every branch. Masks are what the ordered comparisons
// return: bool here, a register in the wide types.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "simd/isa.hpp"

namespace zorv::simd {
inline namespace ZORV_ISA {

// --- The family -----------------------------------------------------------------

// How many lanes a number type has side by side.
template <class T>
inline constexpr int width_of = T::width;
template <>
inline constexpr int width_of<double> = 1;
template <>
inline constexpr int width_of<std::uint64_t> = 1;

// The mask type of a number type: what its ordered comparisons return.
template <class T>
using mask_of = decltype(T{} < T{});

// Two values per lane, as a look-up in a table of pairs returns them.
template <class T>
struct Pair {
    T first, second;
};

// width_of<T> doubles from p, lane 0 first, with no alignment needed; and
// one value per lane from an array. (Free functions, since a double has no
// members; the wide types forward to their own.)
template <class T>
T load(const double* p) {
    return T::load(p);
}
template <>
inline double load<double>(const double* p) {
    return *p;
}
template <class T>
T from_lanes(const std::array<double, width_of<T>>& values) {
    return T(values);
}
template <>
inline double from_lanes<double>(const std::array<double, 1>& values) {
    return values[0];
}

namespace bits {
inline constexpr std::uint64_t sign = 0x8000000000000000ULL;
inline constexpr std::uint64_t exponent = 0x7ff0000000000000ULL;
inline constexpr std::uint64_t mantissa = 0x000fffffffffffffULL;
}  // namespace bits

// --- Doubles --------------------------------------------------------------------

inline void store(double* p, double v) { *p = v; }

inline double select(bool mask, double if_true, double if_false) { return mask ? if_true : if_false; }
// The value where the mask holds, +0.0 elsewhere; and the other way round.
inline double where(bool mask, double a) { return mask ? a : 0.0; }
inline double where_not(bool mask, double a) { return mask ? 0.0 : a; }

// NaN is the only value that is unequal to itself.
inline bool is_nan(double v) { return v != v; }

inline double magnitude(double v) { return std::fabs(v); }
// -0.0 where the sign bit is set, +0.0 elsewhere.
inline double sign_of(double v) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) & bits::sign);
}
// v with its sign bit flipped where sign holds -0.0.
inline double sign_flipped(double v, double sign) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) ^ std::bit_cast<std::uint64_t>(sign));
}
// 1.0 or -1.0 from the sign bit alone, so that -0.0 gives -1.0.
inline double unit_with_sign_of(double v) { return std::copysign(1.0, v); }

inline double square_root(double v) { return std::sqrt(v); }
// Ties to even, as the processor rounds.
inline double nearest_integer(double v) { return std::nearbyint(v); }
// The ULP of a positive finite v, from its exponent bits.
inline double ulp_of_positive(double v) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) & bits::exponent) * 0x1p-52;
}
inline bool is_power_of_two(double v) { return (std::bit_cast<std::uint64_t>(v) & bits::mantissa) == 0; }

#ifdef __FMA__
// a b - p exactly, for p the rounded product a b.
inline double product_error(double a, double b, double p) { return std::fma(a, b, -p); }
// top - q under exactly, for q the rounded quotient top / under.
inline double division_remainder(double top, double q, double under) { return std::fma(-q, under, top); }
#endif

// --- Quotients -----------------------------------------------------------------
// The step and the fast atan2 divide through a Quotients object, which gives
// a / b, the IEEE quotient. Here it is the divider's; the eight AVX-512
// lanes, whose divider takes as long per lane as four lanes' does, have a
// sequence of FMA instructions instead (avx512.hpp) that settles almost
// every lane with the divider's bits and remembers the lanes it did not
// settle (an infinite operand, say; their values are then unspecified). A
// stage that divides runs through with_exact_quotients (below), which does
// its work again with DividerQuotients where a lane was not settled.
template <class T>
struct DividerQuotients {
    T operator()(T a, T b) const { return a / b; }
    T with_moderate_numerator(T a, T b) const { return a / b; }
    static constexpr bool all_settled() { return true; }
    mask_of<T> settled() const { return T(0.0) <= T(0.0); }
};

template <class T>
struct Quotients : DividerQuotients<T> {};

// Runs work(quotients), a stage that divides through the quotients it is
// given, and where they did not settle every lane, runs it again with the
// divider's. The stage writes its results anew each time.
template <class T, class Work>
inline void with_exact_quotients(Work&& work) {
    Quotients<T> quotients;
    work(quotients);
    if (!quotients.all_settled()) [[unlikely]] {
        DividerQuotients<T> divider;
        work(divider);
    }
}

// The pair at the whole-number index k of a table of pairs.
inline Pair<double> look_up(const double (*pairs)[2], double k) {
    const auto i = static_cast<std::size_t>(k);
    return {pairs[i][0], pairs[i][1]};
}

inline double lane(double v, int) { return v; }
inline void set_lane(double& v, int, double value) { v = value; }

// --- Masks ----------------------------------------------------------------------

inline bool either(bool a, bool b) { return a || b; }
inline bool both(bool a, bool b) { return a && b; }
inline bool exactly_one(bool a, bool b) { return a != b; }
// One bit per lane, lane 0 in bit 0.
inline unsigned lane_bits(bool mask) { return mask ? 1u : 0u; }

// --- 64-bit words ---------------------------------------------------------------
// Integer lanes for the optimizer's random numbers: wrapping adds, bit
// operations and shifts by a constant count.

template <int count>
std::uint64_t shift_left(std::uint64_t w) {
    return w << count;
}
template <int count>
std::uint64_t shift_right(std::uint64_t w) {
    return w >> count;
}
template <int count>
std::uint64_t rotate_left(std::uint64_t w) {
    return std::rotl(w, count);
}

// The value of a word below 2^53 as a double, exactly.
inline double as_double(std::uint64_t w) { return static_cast<double>(static_cast<std::int64_t>(w)); }
// The double whose bits are w.
inline double bits_as_double(std::uint64_t w) { return std::bit_cast<double>(w); }

// values[i] and values[i + 1].
inline Pair<double> look_up_neighbours(const double* values, std::uint64_t i) {
    return {values[i], values[i + 1]};
}

inline void store(std::uint64_t* p, std::uint64_t w) { *p = w; }

inline std::uint64_t lane(std::uint64_t w, int) { return w; }
inline void set_lane(std::uint64_t& w, int, std::uint64_t value) { w = value; }

}  // namespace ZORV_ISA
}  // namespace zorv::simd
