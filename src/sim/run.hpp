// One whole run: from a plan to its score.
#pragma once

#include <array>
#include <cstddef>
#include <tuple>
#include <vector>

#include "sim/body.hpp"
#include "sim/cpu_support.hpp"
#include "sim/fast_atan2.hpp"
#include "sim/lane_paths.hpp"
#include "sim/plan.hpp"
#include "sim/plan_cursor.hpp"
#include "support/shared_api.hpp"

namespace zorv::sim {

// Normalises `plan` in place (callers hand over a private copy), runs at most
// 200 steps and returns the head's x. Pure, allocation-free, cannot fail.
// Runs on one lane with the fast atan2 where the batch core may use it
// (batch_path()), otherwise as the scalar run; both give the same bits.
ZORV_SHARED_API double _sim(Plan& plan);

// The same run, also reporting how many steps it took.
double _sim_counting_steps(Plan& plan, unsigned& steps_run);

// Where the body points are after every step of a run: x and y of each
// point in body-point order, one row of them per step.
inline constexpr std::size_t recorded_values_per_step = point_count * 2;
using RunRecording = std::array<double, max_steps * recorded_values_per_step>;

// The scalar run of _sim_counting_steps, the same steps with the same bits,
// also writing the positions after each step into the first rows of
// `recording`. Returns the number of steps run; the head's x of the last
// row is the score.
ZORV_SHARED_API unsigned record_run(Plan& plan, RunRecording& recording);

// All that one step of a run shows, each value the stage's own: where each
// point is and how fast it moves after the step, and whether it stood on the
// ground in it (1.0 or 0.0); each link's padded length and angle as measured
// in the step; each joint's target angle (the relative angle its muscle
// drives it towards, modulo 2 pi: minus the controller's joint target), its
// measured relative angle and its torque. Doubles only, one row a step.
struct StepRecord {
    PerPoint<double> x, y;
    PerPoint<double> vx, vy;
    PerPoint<double> contact;
    PerLink<double> link_length, link_angle;
    PerJoint<double> target_angle, joint_angle, torque;
};

// Where each field of StepRecord lies in its row of doubles, and how many
// values it has: Python reads the rows by this table.
struct StepRecordField {
    const char* name;
    std::size_t offset;
    std::size_t count;
};

inline constexpr std::size_t record_values_per_row = sizeof(StepRecord) / sizeof(double);
static_assert(sizeof(StepRecord) % sizeof(double) == 0);

#define ZORV_STEP_RECORD_FIELD(field) \
    StepRecordField { #field, offsetof(StepRecord, field) / sizeof(double), \
                      std::tuple_size_v<decltype(StepRecord::field)> }
inline constexpr std::array<StepRecordField, 10> step_record_fields{{
    ZORV_STEP_RECORD_FIELD(x), ZORV_STEP_RECORD_FIELD(y),
    ZORV_STEP_RECORD_FIELD(vx), ZORV_STEP_RECORD_FIELD(vy),
    ZORV_STEP_RECORD_FIELD(contact),
    ZORV_STEP_RECORD_FIELD(link_length), ZORV_STEP_RECORD_FIELD(link_angle),
    ZORV_STEP_RECORD_FIELD(target_angle), ZORV_STEP_RECORD_FIELD(joint_angle),
    ZORV_STEP_RECORD_FIELD(torque),
}};
#undef ZORV_STEP_RECORD_FIELD

// The scalar run of _sim_counting_steps, the same steps with the same bits,
// also writing each step's record into rows[0], rows[1], ... (room for
// max_steps rows). Returns the number of steps run; the head's x of the
// last row is the score.
ZORV_SHARED_API unsigned record_steps(Plan& plan, StepRecord* rows);

}  // namespace zorv::sim

namespace zorv::sim {

// Scores the plans the cursor hands out until it has none left, each into
// its slot, and returns how many scores this call put. Several threads may
// score from one cursor at once; together they put every score once. Each
// plan is copied before it is normalised; the input is never written.
// Takes the path batch_path() chose; every path gives the same bits. (The
// paths one by one: sim/lane_paths.hpp.)
std::size_t score_plans(PlanCursor& cursor);

// Scores plans[i] into scores[i] for i in [0, count) on this thread.
inline void score_plans(const Plan* plans, double* scores, std::size_t count) {
    PlanCursor cursor(plans, scores, count);
    score_plans(cursor);
}

// A path score_plans can take: a row of the table of lane widths
// (lane_paths.hpp; its first row, the portable path, is the scalar run) with
// one of its sources of angles. Its name and description (batch_path_name and
// the like below) are the ones Python reports.
struct BatchPath {
    const LaneWidth* lanes;
    Atan2Source angles = Atan2Source::c_library;

    friend bool operator==(const BatchPath&, const BatchPath&) = default;
};

// The path score_plans takes, settled on first use and kept for the process:
// the widest lanes of the table that this CPU and its operating system run
// (eight AVX-512 lanes where the CPU has AVX-512 and the system saves its
// registers, four AVX2 lanes otherwise, the scalar run without AVX2); with
// the fast atan2 where the CPU runs its kernel (FMA) and the kernels of the
// lanes and of single plans agree bit for bit with the C library on a set of
// hard inputs (a check of this process's C library, not just of the CPU).
// Switches for tests and comparisons, not needed otherwise, each set by an
// environment variable set to anything non-empty: "ZORV_FAST_NO_SIMD" keeps
// the portable path, "ZORV_FAST_NO_AVX512" the four AVX2 lanes on a CPU with
// AVX-512, "ZORV_FAST_LIBRARY_ATAN2" the C library's atan2 in the lanes.
BatchPath batch_path();

// Why batch_path() takes its lanes and its atan2, in the order the
// conditions are tested.
enum class BatchPathReason {
    no_avx2,                    // portable: the CPU lacks AVX2
    simd_switched_off,          // portable: ZORV_FAST_NO_SIMD is set
    library_atan2_switched_on,  // lanes: ZORV_FAST_LIBRARY_ATAN2 is set
    no_fma,                     // lanes: the CPU lacks FMA, which the fast atan2 needs
    fast_atan2_disagrees,       // lanes: an input of the check gave other bits
    fast_atan2_agrees,          // lanes with the fast atan2
};

// Why the lanes are or are not eight wide.
enum class Avx512Reason {
    taken,                 // AVX-512 is usable and not switched off
    no_lanes,              // the portable path takes no lanes at all
    switched_off,          // ZORV_FAST_NO_AVX512 is set
    cpu_lacks,             // the CPU lacks AVX-512 F, DQ, BW or VL
    system_lacks,          // the operating system does not save its registers
};

struct BatchPathChoice {
    BatchPath path;
    BatchPathReason reason;
    Avx512Reason avx512;
};
// batch_path() with its reasons: the same choice, made once. The one choice
// of the process: sim, sim_batch and what zorv._trace reports all read it.
ZORV_SHARED_API BatchPathChoice batch_path_choice();

// The switches' environment variables. These names are part of the module's
// interface: callers' environments and stored logs use them, so they are
// never renamed.
inline constexpr const char* no_simd_switch = "ZORV_FAST_NO_SIMD";
inline constexpr const char* no_avx512_switch = "ZORV_FAST_NO_AVX512";
inline constexpr const char* library_atan2_switch = "ZORV_FAST_LIBRARY_ATAN2";

// What the choice is made from: what the CPU and system allow and which
// switches are set.
struct BatchPathInputs {
    bool avx2 = false;
    bool fma = false;
    Avx512Support avx512 = Avx512Support::cpu_lacks;
    bool no_simd = false;
    bool no_avx512 = false;
    bool library_atan2 = false;
};

// This process's inputs, read on first use and kept: the CPU, the system and
// the three switches of the environment at that moment. batch_path_choice()
// and the optimizer's choice of its products' build both take theirs from
// here, so that a process reads each switch once and both follow it alike.
const BatchPathInputs& batch_path_inputs();

// The choice worked out from its inputs, for tests: the inputs and whether
// the fast atan2 of a width agrees with the C library (asked only where that
// is needed: the width single plans take, and the batches' where they take
// another).
BatchPathChoice choose_batch_path(const BatchPathInputs& inputs,
                                  bool (*fast_atan2_agrees)(const LaneWidth& lanes));

// The names Python reads the choice by (stable: logs and tests keep them),
// and a line for a person saying what each means. Every path of the table,
// each once: the portable path, then each row's with the C library's atan2
// and, where it has one, with the fast atan2.
std::vector<BatchPath> batch_paths();
ZORV_SHARED_API const char* batch_path_name(BatchPath path);
ZORV_SHARED_API const char* batch_path_description(BatchPath path);
ZORV_SHARED_API const char* batch_path_reason_name(BatchPathReason reason);
ZORV_SHARED_API const char* batch_path_reason_description(BatchPathReason reason);
ZORV_SHARED_API const char* avx512_reason_name(Avx512Reason reason);
ZORV_SHARED_API const char* avx512_reason_description(Avx512Reason reason);

}  // namespace zorv::sim
