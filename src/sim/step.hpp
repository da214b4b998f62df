// One step of the runner, in the order the model runs its stages.
#pragma once

#include <utility>

#include "sim/controller.hpp"
#include "sim/integrator.hpp"
#include "sim/links.hpp"
#include "sim/muscles.hpp"
#include "sim/plan.hpp"
#include "sim/state.hpp"

namespace zorv::sim {
inline namespace ZORV_ISA {

// The watch of the scoring paths: it is shown nothing, and its call compiles
// to nothing, so their steps and their speed stay as they are.
struct NoWatch {
    template <class... Stages>
    void operator()(const Stages&...) const {}
};

// Advances the state by one step and answers whether the run ends after it.
// The link angles come from Angles: the C library's atan2 unless the lanes
// take the fast atan2 (src/fast_atan2/angles.hpp); both give the same bits.
// watch(state, targets, terms, torques) is shown the stages' own values
// before the forces are accumulated: the contacts that the ground rule set
// (in the state), the joint targets, the link terms and the torques. A
// recorder keeps what it needs of them; it changes nothing.
template <class Angles = LibraryAtan2, class T, class Watch = NoWatch>
auto step(RunnerState<T>& state, const CommandBlend<T>& blend, const Watch& watch = {}) {
    const T hip_height = state.y[hip];
    const T head_height = state.y[head];
    apply_ground_rule(state);
    const PerJoint<T> targets = joint_targets(blend);
    const PerLink<LinkTerms<T>> terms = measure_links<Angles>(state);
    const PerJoint<T> torques = joint_torques(terms, targets);
    watch(std::as_const(state), targets, terms, torques);
    accumulate_link_forces(terms, torques, state);
    integrate(state);
    return run_ends(hip_height, head_height);
}

}  // namespace ZORV_ISA
}  // namespace zorv::sim
