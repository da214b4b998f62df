#include "sim/run.hpp"

#include <cmath>
#include <cstdlib>

#include "sim/fast_atan2.hpp"
#include "sim/run_loop.hpp"

namespace zorv::sim {

double _sim_counting_steps(Plan& plan, unsigned& steps_run) {
    steps_run = 0;
    return run_plan(plan, [&](const RunnerState<double>&) { ++steps_run; }).x[head];
}

double _sim(Plan& plan) {
    // About 1.5 times faster than the scalar run: its five calls of the C
    // library's atan2 a step cost more than the rest of the step.
    if (batch_path() == BatchPath::lanes_with_fast_atan2) {
        normalise_plan(plan);
        double score;
        PlanCursor cursor(&plan, &score, 1);
        score_plans_one_lane_avx2(cursor);
        return score;
    }
    unsigned steps_run;
    return _sim_counting_steps(plan, steps_run);
}

}  // namespace zorv::sim

namespace zorv::sim {

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

namespace {

// These names are part of the module's interface: callers' environments and
// stored logs use them, so they are never renamed.
constexpr const char* no_simd_variable = "ZORV_FAST_NO_SIMD";
constexpr const char* library_atan2_variable = "ZORV_FAST_LIBRARY_ATAN2";

bool switched_on(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value;
}

// Called through a pointer, so that it is the library's atan2 and not a
// compile-time evaluation that the check compares against.
double library_atan2(double y, double x) { return std::atan2(y, x); }

}  // namespace

BatchPathChoice batch_path_choice() {
    static const BatchPathChoice choice = []() -> BatchPathChoice {
        __builtin_cpu_init();
        if (!__builtin_cpu_supports("avx2")) return {BatchPath::scalar, BatchPathReason::no_avx2};
        if (switched_on(no_simd_variable)) return {BatchPath::scalar, BatchPathReason::simd_switched_off};
        if (switched_on(library_atan2_variable)) {
            return {BatchPath::lanes, BatchPathReason::library_atan2_switched_on};
        }
        if (!fast_atan2_available()) return {BatchPath::lanes, BatchPathReason::no_fma};
        if (!fast_atan2_agrees_with_unchecked(library_atan2)) {
            return {BatchPath::lanes, BatchPathReason::fast_atan2_disagrees};
        }
        return {BatchPath::lanes_with_fast_atan2, BatchPathReason::fast_atan2_agrees};
    }();
    return choice;
}

BatchPath batch_path() { return batch_path_choice().path; }

std::size_t score_plans(PlanCursor& cursor) {
    const BatchPath path = batch_path();
    const bool fast_atan2 = path == BatchPath::lanes_with_fast_atan2;
    // A single plan would leave three lanes idle.
    if (cursor.count() < 2 && fast_atan2) return score_plans_one_lane_avx2(cursor);
    if (cursor.count() < 2 || path == BatchPath::scalar) return score_plans_scalar(cursor);
    return score_plans_avx2(cursor, fast_atan2);
}

void score_plans(const Plan* plans, double* scores, std::size_t count) {
    PlanCursor cursor(plans, scores, count);
    score_plans(cursor);
}

}  // namespace zorv::sim
