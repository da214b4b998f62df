// The small set of free functions the physics is written in.
//
// The step is a template over its number type. `double` runs one plan; the
// lane types (the concept LaneType in lane_scheduler.hpp) run several plans
// side by side and offer exactly the same functions, each of which performs per lane the one IEEE operation
// that the scalar version performs. Branches of the model are written as a
// mask and a select, so every width executes the same operations in the same
// order and round identically.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sim/isa.hpp"

namespace zorv::sim {
inline namespace ZORV_SIM_ISA {

// The mask type of a number type: what its ordered comparisons return.
template <class T>
using mask_of = decltype(T{} < T{});

inline double select(bool mask, double if_true, double if_false) {
    return mask ? if_true : if_false;
}

inline bool either(bool a, bool b) { return a || b; }

// NaN is the only value that is unequal to itself.
inline bool is_nan(double v) { return v != v; }

// 1.0 or -1.0 from the sign bit alone, so that -0.0 gives -1.0.
inline double unit_with_sign_of(double v) { return std::copysign(1.0, v); }

inline double square_root(double v) { return std::sqrt(v); }

// The C library's atan2: its results are part of every score.
inline double angle_of(double dy, double dx) { return std::atan2(dy, dx); }

// Every angle of a step at once, for number types that gain from computing
// them together; the others take them one by one.
template <class T, std::size_t n>
std::array<T, n> angles_of(const std::array<T, n>& dy, const std::array<T, n>& dx) {
    std::array<T, n> angle;
    for (std::size_t i = 0; i < n; ++i) angle[i] = angle_of(dy[i], dx[i]);
    return angle;
}

}  // namespace ZORV_SIM_ISA
}  // namespace zorv::sim
