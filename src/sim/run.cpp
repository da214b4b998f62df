#include "sim/run.hpp"

#include "sim/muscles.hpp"
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

unsigned record_steps(Plan& plan, StepRecord* rows) {
    unsigned steps_run = 0;
    const auto watch = [&](const RunnerState<double>& state, const PerJoint<double>& targets,
                           const PerLink<LinkTerms<double>>& terms,
                           const PerJoint<double>& torques) {
        StepRecord& row = rows[steps_run];
        for (std::size_t p = 0; p < point_count; ++p) row.contact[p] = state.contact[p] ? 1.0 : 0.0;
        for (std::size_t l = 0; l < link_count; ++l) {
            row.link_length[l] = terms[l].length;
            row.link_angle[l] = terms[l].angle;
        }
        for (std::size_t j = 0; j < joint_count; ++j) {
            row.target_angle[j] = -targets[j];
            row.joint_angle[j] = relative_angle(joints[j], terms);
            row.torque[j] = torques[j];
        }
    };
    run_plan(plan, [&](const RunnerState<double>& state) {
        StepRecord& row = rows[steps_run];
        row.x = state.x;
        row.y = state.y;
        row.vx = state.vx;
        row.vy = state.vy;
        ++steps_run;
    }, watch);
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
