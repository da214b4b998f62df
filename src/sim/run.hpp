// One whole run: from a plan to its score, one plan at a time.
#pragma once

#include <array>
#include <cstddef>
#include <tuple>

#include "sim/body.hpp"
#include "sim/plan.hpp"
#include "sim/plan_cursor.hpp"
#include "support/shared_api.hpp"

namespace zorv::sim {

// Normalises `plan` in place (callers hand over a private copy), runs at most
// 200 steps and returns the head's x, also reporting how many steps it took.
// Pure, allocation-free, cannot fail. (_sim, scoring.hpp, runs a plan on the
// path this process chose; every path gives these bits.)
double _sim_counting_steps(Plan& plan, unsigned& steps_run);

// Where the body points are after every step of a run: x and y of each
// point in body-point order, one row of them per step.
inline constexpr std::size_t recorded_values_per_step = point_count * 2;
using RunRecording = std::array<double, max_steps * recorded_values_per_step>;

// The run of _sim_counting_steps, the same steps with the same bits, also
// writing the positions after each step into the first rows of `recording`.
// Returns the number of steps run; the head's x of the last row is the
// score.
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

// The run of _sim_counting_steps, the same steps with the same bits, also
// writing each step's record into rows[0], rows[1], ... (room for max_steps
// rows). Returns the number of steps run; the head's x of the last row is
// the score.
ZORV_SHARED_API unsigned record_steps(Plan& plan, StepRecord* rows);

// Scores the plans the cursor hands out until it has none left, each into
// its slot, one plan after another: the portable path. Returns how many
// scores this call put. Each plan is copied before it is normalised; the
// input is never written.
std::size_t score_plans_scalar(PlanCursor& cursor);

}  // namespace zorv::sim
