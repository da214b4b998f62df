// The controller: step weights, commands and joint targets, and the
// clamping of a plan to [-1, 1].
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "exact_double.hpp"
#include "sim/controller.hpp"
#include "sim/plan.hpp"
#include "sim/scoring.hpp"

namespace {

using namespace zorv::sim;

Plan filled(double v) {
    Plan plan;
    plan.fill(v);
    return plan;
}

// --- Step weights -----------------------------------------------------------

TEST(ControllerStepWeight, TableOfAllTenSteps) {
    struct Row {
        double w, u;
    };
    const Row table[steps_per_segment] = {
        {0.05, 0.95},
        {0.15000000000000002, 0.85},
        {0.25, 0.75},
        {0.35000000000000003, 0.6499999999999999},
        {0.45, 0.55},
        {0.55, 0.44999999999999996},
        {0.6500000000000001, 0.34999999999999987},
        {0.7500000000000001, 0.2499999999999999},
        {0.8500000000000001, 0.1499999999999999},
        {0.9500000000000001, 0.04999999999999993},
    };
    for (unsigned k = 0; k < steps_per_segment; ++k) {
        SCOPED_TRACE(testing::Message() << "step " << k);
        const double w = step_weight(k);
        EXPECT_SAME_DOUBLE(w, table[k].w);
        EXPECT_SAME_DOUBLE(1.0 - w, table[k].u);
        EXPECT_SAME_DOUBLE(w + (1.0 - w), 1.0);
        // The blend carries the same weight for every segment.
        for (unsigned s = 0; s < segment_count; ++s) {
            EXPECT_SAME_DOUBLE(blend_at(filled(0.0), s, k).weight, table[k].w);
        }
    }
}

// --- Segment 0: blending from the start pair (hip 0.5, knee 0.0) ------------

TEST(ControllerFirstSegment, ZeroPlanStepZeroCommandsAndTargets) {
    const Plan plan = filled(0.0);
    const Commands<double> c = step_commands(plan, 0, 0);
    EXPECT_SAME_DOUBLE(c.hip, 0.475);
    EXPECT_SAME_DOUBLE(c.knee, 0.0);

    const PerJoint<double> t = joint_targets(plan, 0, 0);
    EXPECT_SAME_DOUBLE(t[hip_joint_a], 3.275);
    EXPECT_SAME_DOUBLE(t[knee_joint_a], 0.9);
    EXPECT_SAME_DOUBLE(t[hip_joint_b], 2.3249999999999997);
    EXPECT_SAME_DOUBLE(t[knee_joint_b], 0.9);
}

TEST(ControllerFirstSegment, AllOnesAndAllMinusOnes) {
    const Plan ones = filled(1.0);
    const Commands<double> first_ones = step_commands(ones, 0, 0);
    EXPECT_SAME_DOUBLE(first_ones.hip, 0.525);
    EXPECT_SAME_DOUBLE(first_ones.knee, 0.05);
    const Commands<double> last_ones = step_commands(ones, 0, 9);
    EXPECT_SAME_DOUBLE(last_ones.hip, 0.9750000000000001);
    EXPECT_SAME_DOUBLE(last_ones.knee, 0.9500000000000001);

    const Plan minus = filled(-1.0);
    const Commands<double> first_minus = step_commands(minus, 0, 0);
    EXPECT_SAME_DOUBLE(first_minus.hip, 0.425);
    EXPECT_SAME_DOUBLE(first_minus.knee, -0.05);
    const Commands<double> last_minus = step_commands(minus, 0, 9);
    EXPECT_SAME_DOUBLE(last_minus.hip, -0.925);
    EXPECT_SAME_DOUBLE(last_minus.knee, -0.9500000000000001);
}

TEST(ControllerFirstSegment, StartPairIsHipHalfKneeZero) {
    // With segment 0's own values at 0 only the start pair contributes,
    // weighted by u; the knee stays exactly +0.0 throughout.
    const Plan plan = filled(0.0);
    for (unsigned k = 0; k < steps_per_segment; ++k) {
        SCOPED_TRACE(testing::Message() << "step " << k);
        const Commands<double> c = step_commands(plan, 0, k);
        EXPECT_SAME_DOUBLE(c.hip, 0.5 * (1.0 - step_weight(k)));
        EXPECT_SAME_DOUBLE(c.knee, 0.0);
    }
}

// --- Later segments ---------------------------------------------------------

TEST(ControllerLaterSegments, ConstantPlansGiveExactCommandsAndTargets) {
    const Plan ones = filled(1.0);
    const Plan minus = filled(-1.0);
    for (unsigned s = 1; s < segment_count; ++s) {
        for (unsigned k = 0; k < steps_per_segment; ++k) {
            SCOPED_TRACE(testing::Message() << "segment " << s << " step " << k);
            const Commands<double> c1 = step_commands(ones, s, k);
            EXPECT_SAME_DOUBLE(c1.hip, 1.0);
            EXPECT_SAME_DOUBLE(c1.knee, 1.0);
            const PerJoint<double> t1 = joint_targets(ones, s, k);
            EXPECT_SAME_DOUBLE(t1[hip_joint_a], 3.8);
            EXPECT_SAME_DOUBLE(t1[knee_joint_a], 0.0);
            EXPECT_SAME_DOUBLE(t1[hip_joint_b], 1.7999999999999998);
            EXPECT_SAME_DOUBLE(t1[knee_joint_b], 1.8);

            const Commands<double> c2 = step_commands(minus, s, k);
            EXPECT_SAME_DOUBLE(c2.hip, -1.0);
            EXPECT_SAME_DOUBLE(c2.knee, -1.0);
            const PerJoint<double> t2 = joint_targets(minus, s, k);
            EXPECT_SAME_DOUBLE(t2[hip_joint_a], 1.7999999999999998);
            EXPECT_SAME_DOUBLE(t2[knee_joint_a], 1.8);
            EXPECT_SAME_DOUBLE(t2[hip_joint_b], 3.8);
            EXPECT_SAME_DOUBLE(t2[knee_joint_b], 0.0);
        }
    }
}

TEST(ControllerLaterSegments, FirstAndLastStepWeightThePairs) {
    // A single 1.0 shows the weight it gets: as the previous segment's value
    // in segment s, or as the segment's own value.
    for (unsigned s = 1; s < segment_count; ++s) {
        SCOPED_TRACE(testing::Message() << "segment " << s);
        Plan previous_hip = filled(0.0);
        previous_hip[2 * s - 2] = 1.0;
        Plan previous_knee = filled(0.0);
        previous_knee[2 * s - 1] = 1.0;
        Plan own = filled(0.0);
        own[2 * s] = 1.0;
        own[2 * s + 1] = 1.0;

        EXPECT_SAME_DOUBLE(step_commands(previous_hip, s, 0).hip, 0.95);
        EXPECT_SAME_DOUBLE(step_commands(previous_knee, s, 0).knee, 0.95);
        EXPECT_SAME_DOUBLE(step_commands(own, s, 0).hip, 0.05);
        EXPECT_SAME_DOUBLE(step_commands(own, s, 0).knee, 0.05);

        EXPECT_SAME_DOUBLE(step_commands(previous_hip, s, 9).hip, 0.04999999999999993);
        EXPECT_SAME_DOUBLE(step_commands(previous_knee, s, 9).knee, 0.04999999999999993);
        EXPECT_SAME_DOUBLE(step_commands(own, s, 9).hip, 0.9500000000000001);
        EXPECT_SAME_DOUBLE(step_commands(own, s, 9).knee, 0.9500000000000001);

        // The hip value never leaks into the knee channel and vice versa.
        EXPECT_SAME_DOUBLE(step_commands(previous_hip, s, 0).knee, 0.0);
        EXPECT_SAME_DOUBLE(step_commands(previous_knee, s, 0).hip, 0.0);
    }
}

TEST(ControllerLaterSegments, BlendOfArbitraryValuesRoundsLikeTwoProductsAndASum) {
    // Segment 5 blends (0.7, 0.3) into (-0.2, 0.4). Each command is two
    // rounded products and one rounded sum, with u = 1.0 - w formed first;
    // other groupings (for example p - p*w) differ in the last bits here.
    Plan plan;
    plan.fill(0.0);
    plan[8] = 0.7;
    plan[9] = 0.3;
    plan[10] = -0.2;
    plan[11] = 0.4;
    struct Row {
        double hip, knee, hip_a, knee_a, hip_b, knee_b;
    };
    const Row table[steps_per_segment] = {
        {0.6549999999999999, 0.305, 3.4549999999999996, 0.6255000000000001, 2.145, 1.1744999999999999},
        {0.565, 0.315, 3.3649999999999998, 0.6165, 2.235, 1.1835},
        {0.4749999999999999, 0.32499999999999996, 3.275, 0.6075, 2.3249999999999997, 1.1925},
        {0.3849999999999999, 0.33499999999999996, 3.1849999999999996, 0.5985, 2.415, 1.2015},
        {0.295, 0.34500000000000003, 3.0949999999999998, 0.5895, 2.505, 1.2105},
        {0.20499999999999993, 0.355, 3.005, 0.5805, 2.5949999999999998, 1.2195},
        {0.11499999999999985, 0.365, 2.9149999999999996, 0.5715, 2.685, 1.2285},
        {0.024999999999999883, 0.375, 2.8249999999999997, 0.5625, 2.775, 1.2375},
        {-0.06500000000000011, 0.38500000000000006, 2.735, 0.5535, 2.8649999999999998, 1.2465},
        {-0.15500000000000008, 0.395, 2.6449999999999996, 0.5445, 2.955, 1.2555},
    };
    for (unsigned k = 0; k < steps_per_segment; ++k) {
        SCOPED_TRACE(testing::Message() << "step " << k);
        const Commands<double> c = step_commands(plan, 5, k);
        EXPECT_SAME_DOUBLE(c.hip, table[k].hip);
        EXPECT_SAME_DOUBLE(c.knee, table[k].knee);
        const PerJoint<double> t = joint_targets(plan, 5, k);
        EXPECT_SAME_DOUBLE(t[hip_joint_a], table[k].hip_a);
        EXPECT_SAME_DOUBLE(t[knee_joint_a], table[k].knee_a);
        EXPECT_SAME_DOUBLE(t[hip_joint_b], table[k].hip_b);
        EXPECT_SAME_DOUBLE(t[knee_joint_b], table[k].knee_b);
    }
}

TEST(ControllerLaterSegments, PlanValueOnlyReachesItsSegmentAndTheNext) {
    const Plan base = filled(0.25);
    for (unsigned changed = 0; changed < plan_size; ++changed) {
        Plan plan = base;
        plan[changed] = -0.75;
        const unsigned own_segment = changed / 2;
        const bool hip_value = changed % 2 == 0;
        for (unsigned s = 0; s < segment_count; ++s) {
            for (unsigned k = 0; k < steps_per_segment; ++k) {
                SCOPED_TRACE(testing::Message()
                             << "index " << changed << " segment " << s << " step " << k);
                const Commands<double> a = step_commands(base, s, k);
                const Commands<double> b = step_commands(plan, s, k);
                const bool reached = s == own_segment || s == own_segment + 1;
                EXPECT_EQ(zorv::test::bits(a.hip) != zorv::test::bits(b.hip), reached && hip_value);
                EXPECT_EQ(zorv::test::bits(a.knee) != zorv::test::bits(b.knee),
                          reached && !hip_value);
            }
        }
    }
}

// --- Plan clamping ------------------------------------------------------------

TEST(ControllerPlanNormalisation, NonFiniteAndOutOfRangeValuesAreClamped) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double denorm = std::numeric_limits<double>::denorm_min();
    Plan plan = filled(0.0);
    plan[0] = nan;
    plan[1] = -0.0;
    plan[2] = inf;
    plan[3] = -inf;
    plan[4] = 7.5;
    plan[5] = -7.5;
    plan[6] = 1.0;
    plan[7] = -1.0;
    plan[8] = std::nextafter(1.0, 2.0);
    plan[9] = std::nextafter(-1.0, -2.0);
    plan[10] = 0.3;
    plan[11] = -0.9999999999999999;
    plan[12] = denorm;
    plan[13] = -denorm;
    plan[14] = -nan;
    plan[15] = 1e300;

    normalise_plan(plan);

    EXPECT_SAME_DOUBLE(plan[0], -1.0);  // NaN: not +1.0, not 0.0, not NaN
    EXPECT_SAME_DOUBLE(plan[1], -0.0);  // the sign of the zero is kept
    EXPECT_SAME_DOUBLE(plan[2], 1.0);
    EXPECT_SAME_DOUBLE(plan[3], -1.0);
    EXPECT_SAME_DOUBLE(plan[4], 1.0);
    EXPECT_SAME_DOUBLE(plan[5], -1.0);
    EXPECT_SAME_DOUBLE(plan[6], 1.0);
    EXPECT_SAME_DOUBLE(plan[7], -1.0);
    EXPECT_SAME_DOUBLE(plan[8], 1.0);
    EXPECT_SAME_DOUBLE(plan[9], -1.0);
    EXPECT_SAME_DOUBLE(plan[10], 0.3);
    EXPECT_SAME_DOUBLE(plan[11], -0.9999999999999999);
    EXPECT_SAME_DOUBLE(plan[12], denorm);
    EXPECT_SAME_DOUBLE(plan[13], -denorm);
    EXPECT_SAME_DOUBLE(plan[14], -1.0);  // a NaN with the sign bit set too
    EXPECT_SAME_DOUBLE(plan[15], 1.0);
    for (std::size_t i = 16; i < plan_size; ++i) EXPECT_SAME_DOUBLE(plan[i], 0.0) << "index " << i;
}

TEST(ControllerPlanNormalisation, EveryIndexIsClamped) {
    Plan plan;
    for (std::size_t i = 0; i < plan_size; ++i) plan[i] = i % 2 == 0 ? 2.0 + i : -2.0 - i;
    normalise_plan(plan);
    for (std::size_t i = 0; i < plan_size; ++i) {
        EXPECT_SAME_DOUBLE(plan[i], i % 2 == 0 ? 1.0 : -1.0) << "index " << i;
    }
}

TEST(ControllerPlanNormalisation, RunClampsItsArgumentInPlace) {
    Plan plan = filled(0.0);
    plan[10] = 7.5;
    plan[11] = std::numeric_limits<double>::quiet_NaN();
    plan[12] = -0.0;
    Plan reference = filled(0.0);
    reference[10] = 1.0;
    reference[11] = -1.0;
    reference[12] = -0.0;

    const double score = _sim(plan);
    for (std::size_t i = 0; i < plan_size; ++i) {
        EXPECT_SAME_DOUBLE(plan[i], reference[i]) << "index " << i;
    }
    // The clamped plan is what was run: the same score as the clean plan.
    EXPECT_SAME_DOUBLE(score, _sim(reference));
}

}  // namespace
