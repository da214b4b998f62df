// Ground rule, gravity, integration with ground contact and friction, and
// the end of a run.
#pragma once

#include "sim/state.hpp"

namespace zorv::sim {
inline namespace ZORV_ISA {

inline constexpr double time_step = 0.1;
inline constexpr double gravity = 0.1;

// A point at or below the ground line stands on it for this step and is
// lifted back to it; a NaN height is not on the ground.
template <class T>
void apply_ground_rule(RunnerState<T>& state) {
    for (std::size_t i = 0; i < point_count; ++i) {
        const auto on_ground = T(0.0) >= state.y[i];
        state.contact[i] = on_ground;
        state.y[i] = select(on_ground, T(0.0), state.y[i]);
    }
}

// The ground takes away downward speed, never gives any back, and the same
// amount of horizontal speed as friction, stopping at zero.
template <class T>
void apply_ground_contact(T& vx, T& vy) {
    const auto sinking = vy < 0.0;
    const T into_ground = select(sinking, -vy, T(0.0));
    vy = select(sinking, T(0.0), vy);
    const T sign = select(is_nan(vx), vx, unit_with_sign_of(vx));
    vx = select(vx * sign < into_ground, T(0.0), vx - sign * into_ground);
}

template <class T>
void integrate(RunnerState<T>& state) {
    for (std::size_t i = 0; i < point_count; ++i) {
        const double mass = body_points[i].mass;
        const double inv_mass = 1.0 / mass;
        state.fy[i] = state.fy[i] - mass * gravity;
        state.vx[i] = ((state.fx[i] * time_step) * inv_mass) + state.vx[i];
        state.vy[i] = ((state.fy[i] * time_step) * inv_mass) + state.vy[i];
        T vx = state.vx[i];
        T vy = state.vy[i];
        apply_ground_contact(vx, vy);
        state.vx[i] = select(state.contact[i], vx, state.vx[i]);
        state.vy[i] = select(state.contact[i], vy, state.vy[i]);
        state.x[i] = (state.vx[i] * time_step) + state.x[i];
        state.y[i] = (state.vy[i] * time_step) + state.y[i];
    }
}

// Heights from before the step: the step in which the hip or the head first
// reaches the ground still runs, the next one ends the run.
template <class T>
auto run_ends(T hip_height, T head_height) {
    return either(hip_height <= 0.0, head_height <= 0.0);
}

}  // namespace ZORV_ISA
}  // namespace zorv::sim
