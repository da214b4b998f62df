// The plan: 40 commands, a hip and a knee command for each of 20 segments of
// a run, and the clamping every plan goes through before it is run.
#pragma once

#include <array>
#include <cstddef>

#include "sim/number.hpp"

namespace zorv::sim {
inline namespace ZORV_ISA {

inline constexpr std::size_t plan_size = 40;
inline constexpr unsigned segment_count = 20;
inline constexpr unsigned steps_per_segment = 10;
inline constexpr unsigned max_steps = segment_count * steps_per_segment;

// Value 2s is the hip command and value 2s + 1 the knee command of segment s.
using Plan = std::array<double, plan_size>;

// Clamps every value to [-1, 1] in place. The comparison order makes a NaN
// become -1.0 and leaves -0.0 as it is.
inline void normalise_plan(Plan& plan) {
    for (double& v : plan) {
        const double at_least_minus_one = v > -1.0 ? v : -1.0;
        v = at_least_minus_one < 1.0 ? at_least_minus_one : 1.0;
    }
}

}  // namespace ZORV_ISA
}  // namespace zorv::sim
