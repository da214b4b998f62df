#include "sim/scoring.hpp"

#include "sim/batch_path_choice.hpp"
#include "sim/run.hpp"

namespace zorv::sim {
namespace {

// The one-lane run with the fast atan2 that single plans take on `path`.
std::size_t score_one_lane(BatchPath path, PlanCursor& cursor) {
    return dispatch::instruction_sets()[path.lanes->single_plans].score_one_lane(cursor);
}

}  // namespace

double _sim(Plan& plan) {
    // About 1.5 times faster than the scalar run: its five calls of the C
    // library's atan2 a step cost more than the rest of the step.
    const BatchPath path = batch_path();
    if (path.angles == dispatch::Atan2Source::fast_atan2) {
        normalise_plan(plan);
        double score;
        PlanCursor cursor(&plan, &score, 1);
        score_one_lane(path, cursor);
        return score;
    }
    unsigned steps_run;
    return _sim_counting_steps(plan, steps_run);
}

std::size_t score_plans(PlanCursor& cursor) {
    const BatchPath path = batch_path();
    // A single plan would leave the other lanes idle.
    if (path.angles == dispatch::Atan2Source::fast_atan2 && cursor.count() < 2) {
        return score_one_lane(path, cursor);
    }
    return path.lanes->score_plans(cursor, path.angles);
}

}  // namespace zorv::sim
