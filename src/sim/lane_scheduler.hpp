// The batch core for any lane type: Lanes::width plans side by side, one per
// lane, through the same step template and run clock as the scalar run.
//
// Lanes start and end their runs at different steps, so each lane keeps its
// own clock, and a lane whose run ends takes the next plan at once instead of
// idling until the longest run ends. The plans come from a cursor that other
// threads' lane groups may take from at the same time, so the lanes of every
// thread that scores a batch stay busy for as long as the batch has plans.
// Nothing here touches a register directly: everything that depends on the
// instruction set is the lane type's (a wide type of src/simd) and its angle
// source's.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>

#include "sim/plan_cursor.hpp"
#include "sim/run_loop.hpp"

namespace zorv::sim {
inline namespace ZORV_ISA {

// What a lane type supplies: Lanes::width plans side by side, for the step
// (the free functions of number.hpp, per lane the one IEEE operation the
// scalar code performs, with doubles converting to the lane type on either
// side, branches as a mask and a select) and for this scheduler (a value per
// lane in and out, and the lane bits of a mask). Every wide type of src/simd
// offers all of them, with the same names.
template <class Lanes>
concept LaneType = requires(Lanes a, double d, const std::array<double, Lanes::width>& values,
                            int i) {
    requires Lanes::width >= 1;
    // Numbers: from a double (every lane), from one value per lane.
    Lanes(d);
    Lanes(values);
    { a + a } -> std::same_as<Lanes>;
    { a - d } -> std::same_as<Lanes>;
    { d * a } -> std::same_as<Lanes>;
    { a / a } -> std::same_as<Lanes>;
    { -a } -> std::same_as<Lanes>;
    { square_root(a) } -> std::same_as<Lanes>;
    { unit_with_sign_of(a) } -> std::same_as<Lanes>;
    // Masks: ordered comparisons, NaN, their union and the select.
    { a < d } -> std::same_as<mask_of<Lanes>>;
    { d <= a } -> std::same_as<mask_of<Lanes>>;
    { a > a } -> std::same_as<mask_of<Lanes>>;
    { a >= a } -> std::same_as<mask_of<Lanes>>;
    { is_nan(a) } -> std::same_as<mask_of<Lanes>>;
    { either(a < a, a < a) } -> std::same_as<mask_of<Lanes>>;
    { select(a < a, a, a) } -> std::same_as<Lanes>;
    // The scheduler's: one lane's value, and one bit per lane of a mask.
    { lane(a, i) } -> std::same_as<double>;
    set_lane(a, i, d);
    { lane_bits(a < a) } -> std::same_as<unsigned>;
};

// Where a step of Lanes takes its link angles from (library_atan2.hpp,
// src/fast_atan2/angles.hpp).
template <class Angles, class Lanes>
concept AngleSource = requires(const PerLink<Lanes>& per_link) {
    { Angles::of(per_link, per_link) } -> std::same_as<PerLink<Lanes>>;
};

// Lanes::width runs in step, each lane at its own point of its own plan,
// with the link angles from Angles.
template <LaneType Lanes, AngleSource<Lanes> Angles>
class LaneGroup {
public:
    static constexpr int width = Lanes::width;

    explicit LaneGroup(PlanCursor& cursor) {
        for (int i = 0; i < width; ++i) start_next(cursor, i);
    }

    // Whether any lane still runs a plan of the cursor.
    bool busy() const { return running_ > 0; }

    // How many scores this group has put.
    std::size_t written() const { return written_; }

    // One step of every lane. A lane whose run ends puts its score and starts
    // the next plan of the cursor, or idles once there is none. The whole step
    // is compiled into this one function: wide lane types hold more state than
    // the compiler's inlining limits expect, and each stage left out of line
    // would pass all of it through memory.
    [[gnu::flatten]] void advance(PlanCursor& cursor) {
        const unsigned ended = lane_bits(step<Angles>(state_, gather_blends()));
        for (int i = 0; i < width; ++i) {
            const bool time_left = runs_[i].clock.advance();
            if (!((ended >> i) & 1u) && time_left) continue;
            if (runs_[i].slot != no_slot) {
                cursor.put_score(runs_[i].slot, lane(state_.x[head], i));
                --running_;
                ++written_;
            }
            start_next(cursor, i);
        }
    }

private:
    static constexpr std::size_t no_slot = static_cast<std::size_t>(-1);

    // A lane with no plan left runs the all-zero plan and discards its score,
    // so that it only ever holds finite, ordinary values.
    static constexpr Plan idle_plan{};

    // What one lane is running: its own normalised plan copy, the output slot
    // of that plan (no_slot for an idle lane) and its own clock.
    struct LaneRun {
        Plan plan;
        std::size_t slot;
        RunClock clock;
    };

    void start_next(PlanCursor& cursor, int i) {
        const Plan* plan = &idle_plan;
        std::size_t slot = no_slot;
        if (cursor.take(plan, slot)) ++running_;
        LaneRun& run = runs_[i];
        run.plan = *plan;
        normalise_plan(run.plan);
        run.slot = slot;
        run.clock = RunClock{};
        // Forces and contact flags are rebuilt by every step before they are read.
        for (std::size_t p = 0; p < point_count; ++p) {
            set_lane(state_.x[p], i, body_points[p].start_x);
            set_lane(state_.y[p], i, body_points[p].start_y);
            set_lane(state_.vx[p], i, 0.0);
            set_lane(state_.vy[p], i, 0.0);
        }
    }

    // Each lane's controller input for its own step of its own plan.
    CommandBlend<Lanes> gather_blends() const {
        std::array<double, width> prev_hip, hip_value, prev_knee, knee_value, weight;
        for (int i = 0; i < width; ++i) {
            const CommandBlend<double> b = blend_at(runs_[i].plan, runs_[i].clock);
            prev_hip[i] = b.prev_hip;
            hip_value[i] = b.hip;
            prev_knee[i] = b.prev_knee;
            knee_value[i] = b.knee;
            weight[i] = b.weight;
        }
        return {Lanes(prev_hip), Lanes(hip_value), Lanes(prev_knee), Lanes(knee_value),
                Lanes(weight)};
    }

    RunnerState<Lanes> state_ = start_state<Lanes>();
    std::array<LaneRun, width> runs_;
    std::size_t running_ = 0;
    std::size_t written_ = 0;
};

// Scores plans from the cursor on one lane group until the cursor has none
// left and the group's last run has ended; returns how many scores it put.
template <LaneType Lanes, AngleSource<Lanes> Angles>
std::size_t score_on_lanes(PlanCursor& cursor) {
    LaneGroup<Lanes, Angles> group(cursor);
    while (group.busy()) group.advance(cursor);
    return group.written();
}

}  // namespace ZORV_ISA
}  // namespace zorv::sim
