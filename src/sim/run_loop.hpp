// The course of one run: its clock through the plan's segments, and the loop
// of steps that the scalar run, the trace and the lanes all follow.
#pragma once

#include <utility>

#include "sim/controller.hpp"
#include "sim/plan.hpp"
#include "sim/state.hpp"
#include "sim/step.hpp"

namespace zorv::sim {
inline namespace ZORV_ISA {

// Where a run is in its plan: the segment, and the step within it.
struct RunClock {
    unsigned segment = 0;
    unsigned step_in_segment = 0;

    // Moves on by one step; false once the last segment has run out.
    bool advance() {
        if (++step_in_segment == steps_per_segment) {
            step_in_segment = 0;
            ++segment;
        }
        return segment < segment_count;
    }
};

inline CommandBlend<double> blend_at(const Plan& plan, RunClock clock) {
    return blend_at(plan, clock.segment, clock.step_in_segment);
}

// Normalises `plan` in place (callers hand over a private copy) and runs it
// from the start state until the run ends, at most max_steps steps.
// after_step(state) sees the state after every step, and watch the stages
// of every step (see step()); the head's x in the state returned is the
// score.
template <class AfterStep, class Watch = NoWatch>
RunnerState<double> run_plan(Plan& plan, AfterStep&& after_step, const Watch& watch = {}) {
    normalise_plan(plan);
    RunnerState<double> state = start_state<double>();
    RunClock clock;
    for (;;) {
        const bool ends = step(state, blend_at(plan, clock), watch);
        after_step(std::as_const(state));
        if (ends || !clock.advance()) return state;
    }
}

}  // namespace ZORV_ISA
}  // namespace zorv::sim
