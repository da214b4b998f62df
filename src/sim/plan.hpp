// The plan, the body points of the runner and the state of one run.
#pragma once

#include <array>
#include <cstddef>

#include "sim/number.hpp"

namespace zorv::sim {
inline namespace ZORV_SIM_ISA {

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

inline constexpr std::size_t point_count = 6;

enum BodyPoint : std::size_t { hip, knee_a, foot_a, knee_b, foot_b, head };

struct BodyPointSpec {
    double mass;
    double start_x;
    double start_y;
};

inline constexpr std::array<BodyPointSpec, point_count> body_points{{
    {30.0, 0.0, 1.0},    // hip
    {10.0, 0.0, 0.5},    // knee_a
    {5.0, -0.25, 0.0},   // foot_a
    {10.0, 0.25, 0.5},   // knee_b
    {5.0, 0.25, 0.0},    // foot_b
    {10.0, 0.15, 1.9},   // head
}};

template <class T>
using PerPoint = std::array<T, point_count>;

template <class T>
struct RunnerState {
    PerPoint<T> x, y;
    PerPoint<T> vx, vy;
    PerPoint<T> fx, fy;
    PerPoint<mask_of<T>> contact;
};

template <class T>
RunnerState<T> start_state() {
    RunnerState<T> state{};
    for (std::size_t i = 0; i < point_count; ++i) {
        state.x[i] = T(body_points[i].start_x);
        state.y[i] = T(body_points[i].start_y);
        state.vx[i] = T(0.0);
        state.vy[i] = T(0.0);
        state.fx[i] = T(0.0);
        state.fy[i] = T(0.0);
        state.contact[i] = mask_of<T>{};
    }
    return state;
}

}  // namespace ZORV_SIM_ISA
}  // namespace zorv::sim
