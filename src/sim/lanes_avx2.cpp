// The batch core on AVX2: four plans side by side, one per lane, through the
// same step template as the scalar run. Compiled with -mavx2 (and without
// FMA); entered only after a run-time check of the CPU.
#define ZORV_SIM_ISA avx2

#include "sim/lanes.hpp"
#include "sim/run.hpp"
#include "sim/run_loop.hpp"

namespace zorv::sim {
namespace {

constexpr std::size_t no_slot = static_cast<std::size_t>(-1);

// What one lane is running: its own normalised plan copy, the output slot of
// that plan (no_slot for a lane with nothing left to do), and its own clock,
// since lanes start and end their runs at different steps.
struct LaneRun {
    Plan plan;
    std::size_t slot;
    RunClock clock;
};

// A lane with no plan left runs the all-zero plan and discards its score, so
// that it only ever holds finite, ordinary values.
constexpr Plan idle_plan{};

template <class Lanes>
void start_run(RunnerState<Lanes>& state, LaneRun& run, int lane_index, const Plan& plan,
               std::size_t slot) {
    run.plan = plan;
    normalise_plan(run.plan);
    run.slot = slot;
    run.clock = RunClock{};
    // Forces and contact flags are rebuilt by every step before they are read.
    for (std::size_t p = 0; p < point_count; ++p) {
        set_lane(state.x[p], lane_index, body_points[p].start_x);
        set_lane(state.y[p], lane_index, body_points[p].start_y);
        set_lane(state.vx[p], lane_index, 0.0);
        set_lane(state.vy[p], lane_index, 0.0);
    }
}

template <class Lanes>
CommandBlend<Lanes> gather_blends(const LaneRun (&runs)[lane_count]) {
    alignas(32) double prev_hip[lane_count], hip_value[lane_count];
    alignas(32) double prev_knee[lane_count], knee_value[lane_count], weight[lane_count];
    for (int i = 0; i < lane_count; ++i) {
        const CommandBlend<double> b = blend_at(runs[i].plan, runs[i].clock);
        prev_hip[i] = b.prev_hip;
        hip_value[i] = b.hip;
        prev_knee[i] = b.prev_knee;
        knee_value[i] = b.knee;
        weight[i] = b.weight;
    }
    return {Lanes(_mm256_load_pd(prev_hip)), Lanes(_mm256_load_pd(hip_value)),
            Lanes(_mm256_load_pd(prev_knee)), Lanes(_mm256_load_pd(knee_value)),
            Lanes(_mm256_load_pd(weight))};
}

template <class Lanes>
void score_on_lanes(const Plan* plans, double* scores, std::size_t count) {
    RunnerState<Lanes> state = start_state<Lanes>();
    LaneRun runs[lane_count];
    std::size_t next = 0;
    std::size_t running = 0;
    // Plans enter the lanes in input order; a lane whose run ends takes the
    // next plan at once instead of idling until the longest run ends.
    const auto refill = [&](int lane_index) {
        if (next < count) {
            start_run(state, runs[lane_index], lane_index, plans[next], next);
            ++next;
            ++running;
        } else {
            start_run(state, runs[lane_index], lane_index, idle_plan, no_slot);
        }
    };
    for (int i = 0; i < lane_count; ++i) refill(i);

    while (running > 0) {
        const int ended = lane_bits(step(state, gather_blends<Lanes>(runs)));
        for (int i = 0; i < lane_count; ++i) {
            LaneRun& run = runs[i];
            const bool time_left = run.clock.advance();
            if (!((ended >> i) & 1) && time_left) continue;
            if (run.slot != no_slot) {
                scores[run.slot] = lane(state.x[head], i);
                --running;
            }
            refill(i);
        }
    }
}

}  // namespace

void score_plans_avx2(const Plan* plans, double* scores, std::size_t count, bool exact_fast_atan2) {
    if (exact_fast_atan2) {
        score_on_lanes<Lanes4<Atan2Source::exact_lanes>>(plans, scores, count);
    } else {
        score_on_lanes<Lanes4<Atan2Source::c_library>>(plans, scores, count);
    }
}

}  // namespace zorv::sim
