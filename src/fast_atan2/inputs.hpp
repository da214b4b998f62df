// The inputs the agreement check of the fast atan2 runs on: the fixed hard
// pairs and seeded random pairs by named family. The check runs in every
// process that may take the fast atan2, so these are built into the core;
// the families and tables that only the tests and the benchmarks use are in
// tests/cpp/support/fast_atan2_survey.hpp.
#pragma once

#include <bit>
#include <cstdint>
#include <span>

#include "fast_atan2/splitmix64.hpp"

namespace zorv::fast_atan2 {

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

// The families the agreement check draws its random pairs from, lane by
// lane: the link vectors the scores are made of, and the regions where a
// library that rounds differently would show it first.
inline constexpr Atan2Family checked_atan2_families[] = {
    Atan2Family::uniform, Atan2Family::link, Atan2Family::weak, Atan2Family::near_axis,
    Atan2Family::power_of_two,
};

// One random pair of a family of checked_atan2_families; the same generator
// state gives the same pair. (draw_atan2_input, for every family, draws the
// same pairs from these.)
Atan2Input draw_checked_atan2_input(Atan2Family family, SplitMix64& generator);

// Pairs whose exact atan2 lies within a few hundredths of an ULP of a
// rounding midpoint (among them pairs the C library here rounds the wrong
// way), pairs just outside the band in which the fast atan2 defers to the
// library, and special values.
std::span<const Atan2Input> fast_atan2_hard_inputs();

// The pieces random pairs are made of, shared by the checked families and
// the survey's.
inline namespace ZORV_ISA {
namespace atan2_draws {

// [1, 2) with all 52 mantissa bits random.
inline double one_to_two(SplitMix64& r) {
    return std::bit_cast<double>(0x3ff0000000000000ULL | (r.next() >> 12));
}

inline double random_sign(SplitMix64& r, double v) { return (r.next() & 1) ? -v : v; }

inline int between(SplitMix64& r, int lo, int hi) {
    return lo + static_cast<int>(r.next() % static_cast<std::uint64_t>(hi - lo + 1));
}

// Length 0.01 to 2.
inline double link_length(SplitMix64& r) { return 0.01 + 1.99 * r.unit(); }

// (a, b) or (b, a), at random.
inline Atan2Input one_of_two_ways(SplitMix64& r, double a, double b) {
    return (r.next() & 1) ? Atan2Input{a, b} : Atan2Input{b, a};
}

}  // namespace atan2_draws
}  // namespace ZORV_ISA
}  // namespace zorv::fast_atan2
