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

double _sim(Plan& plan) {
    // About 1.5 times faster than the scalar run: its five calls of the C
    // library's atan2 a step cost more than the rest of the step.
    const BatchPath path = batch_path();
    if (path == BatchPath::avx2_lanes_with_fast_atan2 ||
        path == BatchPath::avx512_lanes_with_fast_atan2) {
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
constexpr const char* no_avx512_variable = "ZORV_FAST_NO_AVX512";
constexpr const char* library_atan2_variable = "ZORV_FAST_LIBRARY_ATAN2";

bool switched_on(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value;
}

// Called through a pointer, so that it is the library's atan2 and not a
// compile-time evaluation that the check compares against.
double library_atan2(double y, double x) { return std::atan2(y, x); }

bool fast_atan2_agrees_here(FastAtan2Width width) {
    return fast_atan2_agrees_with_unchecked(library_atan2, width);
}

BatchPathInputs inputs_of_this_process() {
    __builtin_cpu_init();
    BatchPathInputs in;
    in.avx2 = __builtin_cpu_supports("avx2");
    in.fma = __builtin_cpu_supports("fma");
    in.avx512 = avx512_support();
    in.no_simd = switched_on(no_simd_variable);
    in.no_avx512 = switched_on(no_avx512_variable);
    in.library_atan2 = switched_on(library_atan2_variable);
    return in;
}

}  // namespace

const BatchPathInputs& batch_path_inputs() {
    static const BatchPathInputs inputs = inputs_of_this_process();
    return inputs;
}

BatchPathChoice choose_batch_path(const BatchPathInputs& in,
                                  bool (*fast_atan2_agrees)(FastAtan2Width width)) {
    Avx512Reason avx512 = Avx512Reason::taken;
    if (in.avx512 == Avx512Support::cpu_lacks) avx512 = Avx512Reason::cpu_lacks;
    else if (in.avx512 == Avx512Support::system_lacks) avx512 = Avx512Reason::system_lacks;
    else if (in.no_avx512) avx512 = Avx512Reason::switched_off;

    if (!in.avx2) return {BatchPath::portable, BatchPathReason::no_avx2, Avx512Reason::no_lanes};
    if (in.no_simd) return {BatchPath::portable, BatchPathReason::simd_switched_off, Avx512Reason::no_lanes};
    const bool eight = avx512 == Avx512Reason::taken;
    const BatchPath library_lanes = eight ? BatchPath::avx512_lanes : BatchPath::avx2_lanes;
    if (in.library_atan2) return {library_lanes, BatchPathReason::library_atan2_switched_on, avx512};
    if (!in.fma) return {library_lanes, BatchPathReason::no_fma, avx512};
    // Single plans run on one lane with the four-lane kernel, also where the
    // batches take eight (lane1.hpp says why). So the four-lane kernel is
    // checked in every process that takes the fast atan2, the eight-lane one
    // too where batches take it.
    if (!fast_atan2_agrees(FastAtan2Width::four_lanes) ||
        (eight && !fast_atan2_agrees(FastAtan2Width::eight_lanes))) {
        return {library_lanes, BatchPathReason::fast_atan2_disagrees, avx512};
    }
    return {eight ? BatchPath::avx512_lanes_with_fast_atan2 : BatchPath::avx2_lanes_with_fast_atan2,
            BatchPathReason::fast_atan2_agrees, avx512};
}

BatchPathChoice batch_path_choice() {
    static const BatchPathChoice choice =
        choose_batch_path(batch_path_inputs(), fast_atan2_agrees_here);
    return choice;
}

BatchPath batch_path() { return batch_path_choice().path; }

std::size_t score_plans(PlanCursor& cursor) {
    // A single plan would leave the other lanes idle.
    const bool single = cursor.count() < 2;
    switch (batch_path()) {
    case BatchPath::portable: return score_plans_scalar(cursor);
    case BatchPath::avx2_lanes: return score_plans_avx2(cursor, false);
    case BatchPath::avx2_lanes_with_fast_atan2:
        return single ? score_plans_one_lane_avx2(cursor) : score_plans_avx2(cursor, true);
    case BatchPath::avx512_lanes: return score_plans_avx512(cursor, false);
    case BatchPath::avx512_lanes_with_fast_atan2:
        return single ? score_plans_one_lane_avx2(cursor) : score_plans_avx512(cursor, true);
    }
    return 0;
}

const char* batch_path_name(BatchPath path) {
    switch (path) {
    case BatchPath::portable: return "portable";
    case BatchPath::avx2_lanes: return "avx2_lanes";
    case BatchPath::avx2_lanes_with_fast_atan2: return "avx2_lanes_with_fast_atan2";
    case BatchPath::avx512_lanes: return "avx512_lanes";
    case BatchPath::avx512_lanes_with_fast_atan2: return "avx512_lanes_with_fast_atan2";
    }
    return "unknown";
}

const char* batch_path_description(BatchPath path) {
    switch (path) {
    case BatchPath::portable: return "portable path";
    case BatchPath::avx2_lanes: return "four AVX2 lanes with the C library's atan2";
    case BatchPath::avx2_lanes_with_fast_atan2: return "four AVX2 lanes with the exact fast atan2";
    case BatchPath::avx512_lanes: return "eight AVX-512 lanes with the C library's atan2";
    case BatchPath::avx512_lanes_with_fast_atan2: return "eight AVX-512 lanes with the exact fast atan2";
    }
    return "unknown path";
}

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
