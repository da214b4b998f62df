// One step of the runner, in the order the model runs its stages.
#pragma once

#include "sim/controller.hpp"
#include "sim/integrator.hpp"
#include "sim/links.hpp"
#include "sim/muscles.hpp"
#include "sim/plan.hpp"
#include "sim/state.hpp"

namespace zorv::sim {
inline namespace ZORV_ISA {

// Advances the state by one step and answers whether the run ends after it.
// The link angles come from Angles: the C library's atan2 unless the lanes
// take the fast atan2 (src/fast_atan2/angles.hpp); both give the same bits.
template <class Angles = LibraryAtan2, class T>
auto step(RunnerState<T>& state, const CommandBlend<T>& blend) {
    const T hip_height = state.y[hip];
    const T head_height = state.y[head];
    apply_ground_rule(state);
    const PerJoint<T> targets = joint_targets(blend);
    const PerLink<LinkTerms<T>> terms = measure_links<Angles>(state);
    const PerJoint<T> torques = joint_torques(terms, targets);
    accumulate_link_forces(terms, torques, state);
    integrate(state);
    return run_ends(hip_height, head_height);
}

}  // namespace ZORV_ISA
}  // namespace zorv::sim
