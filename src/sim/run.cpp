#include "sim/run.hpp"

#include "sim/run_loop.hpp"

namespace zorv::sim {

double _sim_counting_steps(Plan& plan, unsigned& steps_run) {
    steps_run = 0;
    return run_plan(plan, [&](const RunnerState<double>&) { ++steps_run; }).x[head];
}

unsigned record_run(Plan& plan, RunRecording& recording) {
    unsigned steps_run = 0;
    run_plan(plan, [&](const RunnerState<double>& state) {
        double* row = recording.data() + std::size_t{steps_run} * recorded_values_per_step;
        for (std::size_t p = 0; p < point_count; ++p) {
            row[2 * p] = state.x[p];
            row[2 * p + 1] = state.y[p];
        }
        ++steps_run;
    });
    return steps_run;
}

std::size_t score_plans_scalar(PlanCursor& cursor) {
    std::size_t written = 0;
    const Plan* plan;
    std::size_t slot;
    while (cursor.take(plan, slot)) {
        Plan copy = *plan;
        unsigned steps_run;
        cursor.put_score(slot, _sim_counting_steps(copy, steps_run));
        ++written;
    }
    return written;
}

}  // namespace zorv::sim
