// The state of one run: where every body point is, how fast it moves, the
// force on it and whether it stands on the ground.
#pragma once

#include "sim/body.hpp"

namespace zorv::sim {
inline namespace ZORV_ISA {

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

}  // namespace ZORV_ISA
}  // namespace zorv::sim
