// The ground rule, gravity, integration with ground contact and friction,
// the end of a run, and whole runs of known plans.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "exact_double.hpp"
#include "sim/integrator.hpp"
#include "dispatch/instruction_sets.hpp"
#include "sim/run.hpp"
#include "sim/scoring.hpp"
#include "sim/step.hpp"

namespace {

using namespace zorv::sim;

const double nan_value = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

Plan filled(double v) {
    Plan plan;
    plan.fill(v);
    return plan;
}

Plan alternating(double even, double odd) {
    Plan plan;
    for (std::size_t i = 0; i < plan_size; ++i) plan[i] = i % 2 == 0 ? even : odd;
    return plan;
}

// Every point at rest in the air with empty accumulators and no contact.
RunnerState<double> idle_state() {
    RunnerState<double> state = start_state<double>();
    for (std::size_t i = 0; i < point_count; ++i) {
        state.x[i] = static_cast<double>(i);
        state.y[i] = 3.0;
        state.contact[i] = false;
    }
    return state;
}

// --- Ground rule -------------------------------------------------------------------

TEST(IntegratorGroundRule, AtOrBelowGroundIsLiftedAndMarked) {
    RunnerState<double> state = idle_state();
    state.y[0] = 0.0;
    state.y[1] = -0.0;
    state.y[2] = -0.3;
    state.y[3] = nan_value;
    state.y[4] = std::numeric_limits<double>::denorm_min();
    state.y[5] = -inf;
    for (std::size_t i = 0; i < point_count; ++i) {
        state.x[i] = 0.5 + static_cast<double>(i);
        state.vx[i] = -0.25;
        state.vy[i] = -0.75;
        state.contact[i] = true;  // left over from a previous step
    }
    apply_ground_rule(state);

    const bool contact[point_count] = {true, true, true, false, false, true};
    for (std::size_t i = 0; i < point_count; ++i) {
        SCOPED_TRACE(testing::Message() << "point " << i);
        EXPECT_EQ(state.contact[i], contact[i]);
        // Neither x nor the velocities are touched.
        EXPECT_SAME_DOUBLE(state.x[i], 0.5 + static_cast<double>(i));
        EXPECT_SAME_DOUBLE(state.vx[i], -0.25);
        EXPECT_SAME_DOUBLE(state.vy[i], -0.75);
    }
    EXPECT_SAME_DOUBLE(state.y[0], 0.0);
    EXPECT_SAME_DOUBLE(state.y[1], 0.0);  // lifted to +0.0
    EXPECT_SAME_DOUBLE(state.y[2], 0.0);
    EXPECT_IS_NAN(state.y[3]);  // NaN is not on the ground
    EXPECT_SAME_DOUBLE(state.y[4], std::numeric_limits<double>::denorm_min());
    EXPECT_SAME_DOUBLE(state.y[5], 0.0);
}

TEST(IntegratorGroundRule, BothFeetStandInTheFirstStep) {
    RunnerState<double> state = start_state<double>();
    apply_ground_rule(state);
    const bool contact[point_count] = {false, false, true, false, true, false};
    for (std::size_t i = 0; i < point_count; ++i) EXPECT_EQ(state.contact[i], contact[i]) << i;
}

TEST(IntegratorGroundRule, SunkenFootIsMeasuredOnTheGroundLine) {
    // A foot that ended the previous step below ground gives the same link
    // terms as one standing exactly on it, once the ground rule has run.
    RunnerState<double> sunk = start_state<double>();
    sunk.y[foot_b] = -0.1;
    RunnerState<double> level = start_state<double>();
    apply_ground_rule(sunk);
    apply_ground_rule(level);
    const auto a = measure_links(sunk);
    const auto b = measure_links(level);
    for (std::size_t l = 0; l < link_count; ++l) {
        EXPECT_SAME_DOUBLE(a[l].tension, b[l].tension) << "link " << l;
        EXPECT_SAME_DOUBLE(a[l].angle, b[l].angle) << "link " << l;
    }
}

// --- Ground contact and friction ---------------------------------------------------

TEST(IntegratorGroundContact, SinkingSpeedIsTakenAndRubbedOff) {
    double vx = 0.32, vy = -0.05;
    apply_ground_contact(vx, vy);
    EXPECT_SAME_DOUBLE(vy, 0.0);
    EXPECT_SAME_DOUBLE(vx, 0.27);

    vx = -0.32;
    vy = -0.05;
    apply_ground_contact(vx, vy);
    EXPECT_SAME_DOUBLE(vy, 0.0);
    EXPECT_SAME_DOUBLE(vx, -0.27);
}

TEST(IntegratorGroundContact, NoSinkingKeepsHorizontalSpeed) {
    for (double vy0 : {0.0, -0.0, 0.4}) {
        SCOPED_TRACE(testing::Message() << "vy " << vy0);
        double vx = -0.3, vy = vy0;
        apply_ground_contact(vx, vy);
        EXPECT_SAME_DOUBLE(vy, vy0);
        EXPECT_SAME_DOUBLE(vx, -0.3);

        // A horizontal speed of -0.0 comes out as +0.0.
        vx = -0.0;
        vy = vy0;
        apply_ground_contact(vx, vy);
        EXPECT_SAME_DOUBLE(vx, 0.0);
        EXPECT_SAME_DOUBLE(vy, vy0);
    }
}

TEST(IntegratorGroundContact, FrictionStopsAtZero) {
    // |vx| == n: the subtraction gives +0.0 from either side.
    double vx = 0.25, vy = -0.25;
    apply_ground_contact(vx, vy);
    EXPECT_SAME_DOUBLE(vx, 0.0);
    vx = -0.25;
    vy = -0.25;
    apply_ground_contact(vx, vy);
    EXPECT_SAME_DOUBLE(vx, 0.0);

    // |vx| < n: stopped, not reversed.
    vx = -0.02;
    vy = -0.11000000000000001;
    apply_ground_contact(vx, vy);
    EXPECT_SAME_DOUBLE(vx, 0.0);
    EXPECT_SAME_DOUBLE(vy, 0.0);
    vx = 0.02;
    vy = -0.11000000000000001;
    apply_ground_contact(vx, vy);
    EXPECT_SAME_DOUBLE(vx, 0.0);
}

TEST(IntegratorGroundContact, NaNHorizontalSpeedStaysNaN) {
    double vx = nan_value, vy = -0.5;
    apply_ground_contact(vx, vy);
    EXPECT_IS_NAN(vx);
    EXPECT_SAME_DOUBLE(vy, 0.0);
    vx = nan_value;
    vy = 0.5;
    apply_ground_contact(vx, vy);
    EXPECT_IS_NAN(vx);
    EXPECT_SAME_DOUBLE(vy, 0.5);
}

// --- Integration ---------------------------------------------------------------------

TEST(IntegratorIntegrate, GroundedFootWorkedExample) {
    RunnerState<double> state = idle_state();
    state.x[foot_a] = 1.0;
    state.y[foot_a] = 0.0;
    state.vx[foot_a] = 0.3;
    state.vy[foot_a] = 0.0;
    state.fx[foot_a] = 1.0;
    state.fy[foot_a] = -2.0;

    // In the air the velocities are just updated.
    RunnerState<double> airborne = state;
    integrate(airborne);
    EXPECT_SAME_DOUBLE(airborne.fy[foot_a], -2.5);
    EXPECT_SAME_DOUBLE(airborne.vx[foot_a], 0.32);
    EXPECT_SAME_DOUBLE(airborne.vy[foot_a], -0.05);

    // On the ground n = 0.05 is taken from vy and from vx.
    state.contact[foot_a] = true;
    integrate(state);
    EXPECT_SAME_DOUBLE(state.fy[foot_a], -2.5);
    EXPECT_SAME_DOUBLE(state.vx[foot_a], 0.27);
    EXPECT_SAME_DOUBLE(state.vy[foot_a], 0.0);
    EXPECT_SAME_DOUBLE(state.x[foot_a], 1.027);
    EXPECT_SAME_DOUBLE(state.y[foot_a], 0.0);
}

TEST(IntegratorIntegrate, GroundedFootThatSinksFasterThanItSlides) {
    RunnerState<double> state = idle_state();
    state.x[foot_a] = 2.0;
    state.y[foot_a] = 0.0;
    state.vx[foot_a] = -0.02;
    state.vy[foot_a] = -0.1;
    state.fx[foot_a] = 0.0;
    state.fy[foot_a] = 0.0;

    RunnerState<double> airborne = state;
    integrate(airborne);
    EXPECT_SAME_DOUBLE(airborne.vy[foot_a], -0.11000000000000001);
    EXPECT_SAME_DOUBLE(airborne.vx[foot_a], -0.02);

    state.contact[foot_a] = true;
    integrate(state);
    EXPECT_SAME_DOUBLE(state.vx[foot_a], 0.0);
    EXPECT_SAME_DOUBLE(state.vy[foot_a], 0.0);
    EXPECT_SAME_DOUBLE(state.x[foot_a], 2.0);
    EXPECT_SAME_DOUBLE(state.y[foot_a], 0.0);
}

TEST(IntegratorIntegrate, GravityAloneForEveryMass) {
    RunnerState<double> state = idle_state();
    integrate(state);
    for (std::size_t i = 0; i < point_count; ++i) {
        SCOPED_TRACE(testing::Message() << "point " << i << " mass " << body_points[i].mass);
        // ((0.0 - m*0.1)*0.1)*(1/m), not exactly -0.01.
        EXPECT_SAME_DOUBLE(state.vy[i], -0.010000000000000002);
        EXPECT_SAME_DOUBLE(state.vx[i], 0.0);
        EXPECT_SAME_DOUBLE(state.x[i], static_cast<double>(i));
        EXPECT_SAME_DOUBLE(state.y[i], -0.010000000000000002 * 0.1 + 3.0);
    }
}

TEST(IntegratorIntegrate, PointInTheAirMayEndBelowGround) {
    // Only the ground rule of the next step lifts a point; the integration
    // lets it sink below the line.
    RunnerState<double> state = idle_state();
    state.y[head] = 0.001;
    state.vy[head] = -0.5;
    integrate(state);
    EXPECT_LT(state.y[head], 0.0);
    EXPECT_SAME_DOUBLE(state.vy[head], -0.51);
}

TEST(IntegratorIntegrate, FirstStepOfTheZeroPlan) {
    struct Row {
        double fx, fy, x, y, vx, vy;
    };
    const Row table[point_count] = {
        {-1.6701572342632458, -14.432588196127123, -0.0005567190780877486, 0.9941891372679577,
         -0.0055671907808774864, -0.05810862732042374},
        {-1.8100646859897243, -12.716819349487432, -0.0018100646859897246, 0.48628318065051257,
         -0.018100646859897245, -0.13716819349487433},
        {-1.28027857910973, 14.285446800467826, -0.25256055715821946, 0.027570893600935654,
         -0.025605571582194606, 0.27570893600935653},
        {16.07501904583345, 14.207882914016658, 0.26607501904583347, 0.5132078829140166,
         0.16075019045833452, 0.13207882914016658},
        {-8.38816591693952, 1.7647058823529427, 0.23322366816612095, 0.002529411764705886,
         -0.16776331833879043, 0.025294117647058856},
        {-2.9263526295312294, -3.108628051222871, 0.14707364737046877, 1.895891371948777,
         -0.0292635262953123, -0.041086280512228714},
    };

    const Plan plan = filled(0.0);
    RunnerState<double> state = start_state<double>();
    apply_ground_rule(state);
    const PerJoint<double> targets = joint_targets(blend_at(plan, 0, 0));
    const auto terms = measure_links(state);
    const PerJoint<double> torques = joint_torques(terms, targets);
    accumulate_link_forces(terms, torques, state);
    for (std::size_t i = 0; i < point_count; ++i) {
        SCOPED_TRACE(testing::Message() << "forces of point " << i);
        EXPECT_SAME_DOUBLE(state.fx[i], table[i].fx);
        EXPECT_SAME_DOUBLE(state.fy[i], table[i].fy);
    }
    integrate(state);
    for (std::size_t i = 0; i < point_count; ++i) {
        SCOPED_TRACE(testing::Message() << "motion of point " << i);
        EXPECT_SAME_DOUBLE(state.x[i], table[i].x);
        EXPECT_SAME_DOUBLE(state.y[i], table[i].y);
        EXPECT_SAME_DOUBLE(state.vx[i], table[i].vx);
        EXPECT_SAME_DOUBLE(state.vy[i], table[i].vy);
    }

    // The step function runs the same stages in the same order.
    RunnerState<double> stepped = start_state<double>();
    EXPECT_FALSE(step(stepped, blend_at(plan, 0, 0)));
    for (std::size_t i = 0; i < point_count; ++i) {
        SCOPED_TRACE(testing::Message() << "stepped point " << i);
        EXPECT_SAME_DOUBLE(stepped.x[i], table[i].x);
        EXPECT_SAME_DOUBLE(stepped.y[i], table[i].y);
        EXPECT_SAME_DOUBLE(stepped.vx[i], table[i].vx);
        EXPECT_SAME_DOUBLE(stepped.vy[i], table[i].vy);
        EXPECT_SAME_DOUBLE(stepped.fx[i], table[i].fx);
        // The accumulator keeps the gravity that the integration subtracted.
        EXPECT_SAME_DOUBLE(stepped.fy[i], table[i].fy - body_points[i].mass * 0.1);
    }
}

// --- End of a run ------------------------------------------------------------------------

TEST(StepEndTest, HeightsAtOrBelowZeroEndTheRun) {
    EXPECT_TRUE(run_ends(0.0, 1.0));
    EXPECT_TRUE(run_ends(-0.0, 1.0));
    EXPECT_TRUE(run_ends(1.0, 0.0));
    EXPECT_TRUE(run_ends(1.0, -2.0));
    EXPECT_FALSE(run_ends(std::numeric_limits<double>::denorm_min(), 1.0));
    EXPECT_FALSE(run_ends(1.0, 1.0));
    EXPECT_FALSE(run_ends(nan_value, nan_value));
    EXPECT_FALSE(run_ends(nan_value, 1.0));
    EXPECT_TRUE(run_ends(nan_value, 0.0));
    EXPECT_TRUE(run_ends(0.0, nan_value));
}

TEST(StepEndTest, StepStartingOnTheGroundStillRunsAndThenEnds) {
    for (BodyPoint p : {hip, head}) {
        SCOPED_TRACE(testing::Message() << "point " << p);
        RunnerState<double> state = start_state<double>();
        state.y[p] = 0.0;
        const RunnerState<double> before = state;
        EXPECT_TRUE(step(state, blend_at(filled(0.0), 0, 0)));
        // The step ran completely: ground rule, forces and integration.
        EXPECT_TRUE(state.contact[p]);
        EXPECT_TRUE(state.contact[foot_a]);
        EXPECT_NE(zorv::test::bits(state.y[knee_a]), zorv::test::bits(before.y[knee_a]));
        EXPECT_NE(zorv::test::bits(state.vy[knee_b]), zorv::test::bits(before.vy[knee_b]));

        // Just above the ground the step does not end the run.
        RunnerState<double> above = start_state<double>();
        above.y[p] = std::numeric_limits<double>::denorm_min();
        EXPECT_FALSE(step(above, blend_at(filled(0.0), 0, 0)));
    }
}

TEST(StepEndTest, ZeroPlanEndsOneStepAfterTheHeadTouchesDown) {
    const Plan plan = filled(0.0);
    RunnerState<double> state = start_state<double>();
    unsigned steps = 0;
    unsigned touched_in = 0;
    bool ended = false;
    for (unsigned s = 0; s < segment_count && !ended; ++s) {
        for (unsigned k = 0; k < steps_per_segment && !ended; ++k) {
            ++steps;
            ended = step(state, blend_at(plan, s, k));
            if (touched_in == 0 && (state.y[hip] <= 0.0 || state.y[head] <= 0.0)) touched_in = steps;
        }
    }
    ASSERT_TRUE(ended);
    EXPECT_EQ(touched_in, 127u);
    EXPECT_EQ(steps, 128u);
    EXPECT_SAME_DOUBLE(state.x[head], 1.9828948004369278);
}

TEST(StepEndTest, NaNHeightsNeverEndTheRun) {
    RunnerState<double> state = start_state<double>();
    state.y[hip] = nan_value;
    state.y[head] = nan_value;
    const Plan plan = filled(0.0);
    unsigned steps = 0;
    for (unsigned s = 0; s < segment_count; ++s) {
        for (unsigned k = 0; k < steps_per_segment; ++k) {
            ++steps;
            EXPECT_FALSE(step(state, blend_at(plan, s, k))) << "step " << steps;
            EXPECT_FALSE(state.contact[hip]);
            EXPECT_FALSE(state.contact[head]);
        }
    }
    EXPECT_EQ(steps, max_steps);
    EXPECT_IS_NAN(state.y[hip]);
    EXPECT_IS_NAN(state.y[head]);
}

// --- Whole runs ------------------------------------------------------------------------------

struct KnownRun {
    const char* name;
    Plan plan;
    unsigned steps;
    double score;
};

TEST(RunKnownPlans, StepCountsAndScores) {
    const std::vector<KnownRun> runs = {
        {"zeros", filled(0.0), 128, 1.9828948004369278},
        {"ones", filled(1.0), 150, 1.9547961488814911},
        {"minus ones", filled(-1.0), 192, 2.895094681507079},
        {"+1,-1,...", alternating(1.0, -1.0), 200, 0.2555901140915791},
        {"-1,+1,...", alternating(-1.0, 1.0), 200, 0.0746086412545685},
    };
    for (const KnownRun& run : runs) {
        SCOPED_TRACE(run.name);
        Plan plan = run.plan;
        unsigned steps = 0;
        EXPECT_SAME_DOUBLE(_sim_counting_steps(plan, steps), run.score);
        EXPECT_EQ(steps, run.steps);
        Plan again = run.plan;
        EXPECT_SAME_DOUBLE(_sim(again), run.score);
    }
}

TEST(RunKnownPlans, PlansThatClampToKnownOnes) {
    const std::vector<KnownRun> runs = {
        {"-0.0", filled(-0.0), 128, 1.9828948004369278},
        {"1e-300", filled(1e-300), 128, 1.9828948004369278},
        {"NaN", filled(nan_value), 192, 2.895094681507079},
        {"+inf,-inf,...", alternating(inf, -inf), 200, 0.2555901140915791},
        {"7.5", filled(7.5), 150, 1.9547961488814911},
    };
    for (const KnownRun& run : runs) {
        SCOPED_TRACE(run.name);
        Plan plan = run.plan;
        unsigned steps = 0;
        EXPECT_SAME_DOUBLE(_sim_counting_steps(plan, steps), run.score);
        EXPECT_EQ(steps, run.steps);
    }
}

TEST(RunKnownPlans, RunsAreRepeatable) {
    Plan plan;
    for (std::size_t i = 0; i < plan_size; ++i) plan[i] = std::sin(0.7 * static_cast<double>(i));
    Plan a = plan, b = plan;
    EXPECT_SAME_DOUBLE(_sim(a), _sim(b));
}

TEST(RunScorePlans, ScoresInInputOrderWithoutTouchingTheInput) {
    const std::vector<Plan> plans = {
        filled(1.0), filled(nan_value), filled(0.0), alternating(-1.0, 1.0), filled(-1.0),
    };
    const double expected[] = {1.9547961488814911, 2.895094681507079, 1.9828948004369278,
                               0.0746086412545685, 2.895094681507079};
    std::vector<double> scores(plans.size(), -123.0);
    score_plans(plans.data(), scores.data(), plans.size());
    for (std::size_t i = 0; i < plans.size(); ++i) EXPECT_SAME_DOUBLE(scores[i], expected[i]) << i;
    for (std::size_t j = 0; j < plan_size; ++j) EXPECT_IS_NAN(plans[1][j]);

    // An empty batch writes nothing.
    double untouched = -7.0;
    score_plans(plans.data(), &untouched, 0);
    EXPECT_SAME_DOUBLE(untouched, -7.0);
}

TEST(RunScorePlans, BatchGivesTheBitsOfSingleRuns) {
    // Plans of different run lengths, so that a batch path that runs several
    // plans side by side sees them start and end at different steps.
    std::vector<Plan> plans = {filled(0.0), alternating(1.0, -1.0), filled(-1.0), filled(nan_value),
                               filled(1.0), alternating(-1.0, 1.0)};
    for (int n = 0; n < 11; ++n) {
        Plan plan;
        for (std::size_t i = 0; i < plan_size; ++i) {
            plan[i] = 1.3 * std::sin(0.37 * static_cast<double>(n * 41 + 7 * static_cast<int>(i)));
        }
        plans.push_back(plan);
    }
    std::vector<double> expected(plans.size());
    for (std::size_t i = 0; i < plans.size(); ++i) {
        Plan copy = plans[i];
        expected[i] = _sim(copy);
    }
    for (std::size_t count : {std::size_t{1}, std::size_t{2}, std::size_t{5}, plans.size()}) {
        SCOPED_TRACE(testing::Message() << "batch of " << count);
        std::vector<double> batch(count, -123.0), scalar(count, -123.0);
        score_plans(plans.data(), batch.data(), count);
        PlanCursor scalar_cursor(plans.data(), scalar.data(), count);
        EXPECT_EQ(score_plans_scalar(scalar_cursor), count);
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_SAME_DOUBLE(batch[i], expected[i]) << "plan " << i;
            EXPECT_SAME_DOUBLE(scalar[i], expected[i]) << "plan " << i;
        }
    }
}

}  // namespace
