#include "sim/run.hpp"

#include "sim/step.hpp"

#include <cstdlib>

namespace zorv::sim {

double _sim_counting_steps(Plan& plan, unsigned& steps_run) {
    normalise_plan(plan);
    RunnerState<double> state = start_state<double>();
    steps_run = 0;
    for (unsigned s = 0; s < segment_count; ++s) {
        for (unsigned k = 0; k < steps_per_segment; ++k) {
            ++steps_run;
            if (step(state, blend_at(plan, s, k))) return state.x[head];
        }
    }
    return state.x[head];
}

double _sim(Plan& plan) {
    unsigned steps_run;
    return _sim_counting_steps(plan, steps_run);
}

}  // namespace zorv::sim

namespace zorv::sim {

void score_plans_scalar(const Plan* plans, double* scores, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        Plan copy = plans[i];
        scores[i] = _sim(copy);
    }
}

bool simd_lanes_enabled() {
    static const bool enabled = [] {
        const char* switch_off = std::getenv("ZORV_FAST_NO_SIMD");
        return __builtin_cpu_supports("avx2") && !(switch_off && *switch_off);
    }();
    return enabled;
}

void score_plans(const Plan* plans, double* scores, std::size_t count) {
    // A single plan would leave three lanes idle.
    if (count >= 2 && simd_lanes_enabled()) {
        score_plans_avx2(plans, scores, count);
    } else {
        score_plans_scalar(plans, scores, count);
    }
}

}  // namespace zorv::sim
