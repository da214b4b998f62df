#include "sim/run.hpp"

#include <cmath>
#include <cstdlib>

#include "sim/fast_atan2.hpp"
#include "sim/lane_paths.hpp"
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

double _sim(Plan& plan) {
    // About 1.5 times faster than the scalar run: its five calls of the C
    // library's atan2 a step cost more than the rest of the step.
    const BatchPath path = batch_path();
    if (path.angles == Atan2Source::fast_atan2) {
        normalise_plan(plan);
        double score;
        PlanCursor cursor(&plan, &score, 1);
        lane_widths()[path.lanes->single_plans].score_one_lane(cursor);
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

bool switched_on(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value;
}

// Called through a pointer, so that it is the library's atan2 and not a
// compile-time evaluation that the check compares against.
double library_atan2(double y, double x) { return std::atan2(y, x); }

bool fast_atan2_agrees_here(const LaneWidth& lanes) {
    return fast_atan2_agrees_with_unchecked(library_atan2, lanes);
}

BatchPathInputs inputs_of_this_process() {
    BatchPathInputs in;
#ifdef ZORV_X86_LANES
    __builtin_cpu_init();
    in.avx2 = __builtin_cpu_supports("avx2");
    in.fma = __builtin_cpu_supports("fma");
#endif
    in.avx512 = avx512_support();
    in.no_simd = switched_on(no_simd_switch);
    in.no_avx512 = switched_on(no_avx512_switch);
    in.library_atan2 = switched_on(library_atan2_switch);
    return in;
}

}  // namespace

const BatchPathInputs& batch_path_inputs() {
    static const BatchPathInputs inputs = inputs_of_this_process();
    return inputs;
}

BatchPathChoice choose_batch_path(const BatchPathInputs& in,
                                  bool (*fast_atan2_agrees)(const LaneWidth& lanes)) {
    Avx512Reason avx512 = Avx512Reason::taken;
    if (in.avx512 == Avx512Support::cpu_lacks) avx512 = Avx512Reason::cpu_lacks;
    else if (in.avx512 == Avx512Support::system_lacks) avx512 = Avx512Reason::system_lacks;
    else if (in.no_avx512) avx512 = Avx512Reason::switched_off;

    const std::span<const LaneWidth> rows = lane_widths();
    const LaneWidth* widest = &widest_lanes(in);
    const BatchPath portable{&rows[0]};
    if (widest == &rows[0]) return {portable, BatchPathReason::no_avx2, Avx512Reason::no_lanes};
    if (in.no_simd) return {portable, BatchPathReason::simd_switched_off, Avx512Reason::no_lanes};
    const BatchPath library_lanes{widest, Atan2Source::c_library};
    if (in.library_atan2) return {library_lanes, BatchPathReason::library_atan2_switched_on, avx512};
    // Single plans run on one lane with the kernel of their row (lane_paths.hpp
    // says why), also where the batches take wider lanes: that kernel is
    // checked in every process that takes the fast atan2, the batches' too
    // where it is another.
    const LaneWidth& single = rows[widest->single_plans];
    if (!widest->runs_fast_atan2(in) || !single.runs_fast_atan2(in)) {
        return {library_lanes, BatchPathReason::no_fma, avx512};
    }
    if (!fast_atan2_agrees(single) || (widest != &single && !fast_atan2_agrees(*widest))) {
        return {library_lanes, BatchPathReason::fast_atan2_disagrees, avx512};
    }
    return {{widest, Atan2Source::fast_atan2}, BatchPathReason::fast_atan2_agrees, avx512};
}

BatchPathChoice batch_path_choice() {
    static const BatchPathChoice choice =
        choose_batch_path(batch_path_inputs(), fast_atan2_agrees_here);
    return choice;
}

BatchPath batch_path() { return batch_path_choice().path; }

std::size_t score_plans(PlanCursor& cursor) {
    const BatchPath path = batch_path();
    // A single plan would leave the other lanes idle.
    if (path.angles == Atan2Source::fast_atan2 && cursor.count() < 2) {
        return lane_widths()[path.lanes->single_plans].score_one_lane(cursor);
    }
    return path.lanes->score_plans(cursor, path.angles);
}

std::vector<BatchPath> batch_paths() {
    std::vector<BatchPath> paths;
    for (const LaneWidth& row : lane_widths()) {
        paths.push_back({&row, Atan2Source::c_library});
        if (row.fast_atan2.name != nullptr) paths.push_back({&row, Atan2Source::fast_atan2});
    }
    return paths;
}

namespace {

const PathText& text_of(BatchPath path) {
    return path.angles == Atan2Source::fast_atan2 ? path.lanes->fast_atan2 : path.lanes->library_atan2;
}

}  // namespace

const char* batch_path_name(BatchPath path) { return text_of(path).name; }

const char* batch_path_description(BatchPath path) { return text_of(path).description; }

const char* batch_path_reason_name(BatchPathReason reason) {
    switch (reason) {
    case BatchPathReason::no_avx2: return "no_avx2";
    case BatchPathReason::simd_switched_off: return "simd_switched_off";
    case BatchPathReason::library_atan2_switched_on: return "library_atan2_switched_on";
    case BatchPathReason::no_fma: return "no_fma";
    case BatchPathReason::fast_atan2_disagrees: return "fast_atan2_disagrees";
    case BatchPathReason::fast_atan2_agrees: return "fast_atan2_agrees";
    }
    return "unknown";
}

const char* batch_path_reason_description(BatchPathReason reason) {
    switch (reason) {
    case BatchPathReason::no_avx2: return "this CPU has no AVX2";
    case BatchPathReason::simd_switched_off: return "ZORV_FAST_NO_SIMD is set";
    case BatchPathReason::library_atan2_switched_on: return "ZORV_FAST_LIBRARY_ATAN2 is set";
    case BatchPathReason::no_fma: return "this CPU has no FMA, which the fast atan2 needs";
    case BatchPathReason::fast_atan2_disagrees:
        return "the fast atan2 gave other bits than this C library's on a checked input";
    case BatchPathReason::fast_atan2_agrees:
        return "the fast atan2 gave this C library's bits on every checked input";
    }
    return "unknown reason";
}

const char* avx512_reason_name(Avx512Reason reason) {
    switch (reason) {
    case Avx512Reason::taken: return "taken";
    case Avx512Reason::no_lanes: return "no_lanes";
    case Avx512Reason::switched_off: return "switched_off";
    case Avx512Reason::cpu_lacks: return "cpu_lacks";
    case Avx512Reason::system_lacks: return "system_lacks";
    }
    return "unknown";
}

const char* avx512_reason_description(Avx512Reason reason) {
    switch (reason) {
    case Avx512Reason::taken: return "taken: this CPU has AVX-512 F, DQ, BW and VL, and the system saves their registers";
    case Avx512Reason::no_lanes: return "not taken: the portable path takes no lanes";
    case Avx512Reason::switched_off: return "not taken: ZORV_FAST_NO_AVX512 is set";
    case Avx512Reason::cpu_lacks: return "not taken: this CPU lacks AVX-512 F, DQ, BW or VL";
    case Avx512Reason::system_lacks:
        return "not taken: the operating system does not save the AVX-512 registers (XCR0)";
    }
    return "unknown reason";
}

}  // namespace zorv::sim
