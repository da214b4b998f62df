// The open-loop controller: from the plan, the segment and the step to the
// four joint targets. It never looks at the runner state.
#pragma once

#include "sim/body.hpp"
#include "sim/plan.hpp"

namespace zorv::sim {
inline namespace ZORV_ISA {

// The segment 0 blends from this pair instead of a previous segment's.
inline constexpr double start_hip_command = 0.5;
inline constexpr double start_knee_command = 0.0;

// Weight of the segment's own values in step k, sampled at the middle of the
// step. Computed from k every time, never accumulated.
inline double step_weight(unsigned k) { return static_cast<double>(k) * 0.1 + 0.05; }

// What the controller reads in one step: the pair of the previous segment,
// the pair of the current one and the step weight. A lane type carries one
// of these per lane, since lanes run plans at different steps.
template <class T>
struct CommandBlend {
    T prev_hip, hip;
    T prev_knee, knee;
    T weight;
};

inline CommandBlend<double> blend_at(const Plan& plan, unsigned s, unsigned k) {
    const bool first = s == 0;
    return {
        first ? start_hip_command : plan[2 * s - 2],
        plan[2 * s],
        first ? start_knee_command : plan[2 * s - 1],
        plan[2 * s + 1],
        step_weight(k),
    };
}

template <class T>
struct Commands {
    T hip;
    T knee;
};

template <class T>
Commands<T> step_commands(const CommandBlend<T>& blend) {
    const T w = blend.weight;
    const T u = 1.0 - w;
    return {
        blend.hip * w + blend.prev_hip * u,
        blend.prev_knee * u + w * blend.knee,
    };
}

inline Commands<double> step_commands(const Plan& plan, unsigned s, unsigned k) {
    return step_commands(blend_at(plan, s, k));
}

// In joint order. The hips swing in opposite senses from 2.8, the knees bend
// in opposite senses from 0.9; the knee bracket is formed before the product.
template <class T>
PerJoint<T> joint_targets(const Commands<T>& commands) {
    return {
        commands.hip + 2.8,
        (1.0 - commands.knee) * 0.9,
        2.8 - commands.hip,
        (commands.knee + 1.0) * 0.9,
    };
}

template <class T>
PerJoint<T> joint_targets(const CommandBlend<T>& blend) {
    return joint_targets(step_commands(blend));
}

inline PerJoint<double> joint_targets(const Plan& plan, unsigned s, unsigned k) {
    return joint_targets(blend_at(plan, s, k));
}

}  // namespace ZORV_ISA
}  // namespace zorv::sim
