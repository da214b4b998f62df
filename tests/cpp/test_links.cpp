// The link springs: measuring the five links and accumulating their forces.
#include <gtest/gtest.h>

#include <cmath>

#include "exact_double.hpp"
#include "sim/links.hpp"
#include "sim/plan.hpp"

namespace {

using namespace zorv::sim;

constexpr PerJoint<double> no_torques{0.0, 0.0, 0.0, 0.0};

// --- The start pose at rest ---------------------------------------------------

TEST(LinkStartPose, LengthsAndTensions) {
    const auto terms = measure_links(start_state<double>());

    EXPECT_SAME_DOUBLE(terms[thigh_a].length, 0.51);
    EXPECT_SAME_DOUBLE(terms[shin_b].length, 0.51);
    EXPECT_NEAR(terms[shin_a].length, 0.569017, 5e-7);
    EXPECT_NEAR(terms[thigh_b].length, 0.569017, 5e-7);
    EXPECT_NEAR(terms[torso].length, 0.922414, 5e-7);
    // The two diagonal leg links have the same geometry.
    EXPECT_SAME_DOUBLE(terms[shin_a].length, terms[thigh_b].length);

    for (std::size_t l = 0; l < link_count; ++l) {
        SCOPED_TRACE(testing::Message() << "link " << l);
        EXPECT_EQ(terms[l].rate, 0.0);  // a zero of either sign
        EXPECT_LT(terms[l].tension, 0.0);  // every link pulls at rest
        EXPECT_SAME_DOUBLE(terms[l].length_sq, terms[l].length * terms[l].length);
    }
    EXPECT_SAME_DOUBLE(terms[thigh_a].tension, -1.6000000000000014);
    EXPECT_SAME_DOUBLE(terms[shin_b].tension, -1.8000000000000016);
}

TEST(LinkStartPose, VerticalShinSpringHasNegativeZeroX) {
    const auto terms = measure_links(start_state<double>());
    // dx is +0.0 and F is negative, so the x component is -0.0.
    EXPECT_SAME_DOUBLE(terms[shin_b].dx, 0.0);
    EXPECT_SAME_DOUBLE(terms[shin_b].spring_x, -0.0);
    EXPECT_SAME_DOUBLE(terms[shin_b].spring_y, 1.7647058823529427);
    EXPECT_SAME_DOUBLE(terms[thigh_a].spring_x, -0.0);
}

TEST(LinkStartPose, AccumulatorsStartFromPositiveZero) {
    RunnerState<double> state = start_state<double>();
    const auto terms = measure_links(state);
    accumulate_link_forces(terms, no_torques, state);

    // 0.0 + (-0.0) is +0.0: the foot's accumulator loses the sign.
    EXPECT_SAME_DOUBLE(state.fx[foot_b], 0.0);
    EXPECT_SAME_DOUBLE(state.fy[foot_b], 1.7647058823529427);

    // Without torques every link force is its spring force (a -0.0 spring
    // component of a thigh comes out as +0.0 after adding the +0.0 knee term).
    const auto g = link_forces(terms, no_torques);
    for (std::size_t l = 0; l < link_count; ++l) {
        SCOPED_TRACE(testing::Message() << "link " << l);
        EXPECT_EQ(g[l].x, terms[l].spring_x);
        EXPECT_EQ(g[l].y, terms[l].spring_y);
    }
    EXPECT_SAME_DOUBLE(g[thigh_a].x, 0.0);
    EXPECT_SAME_DOUBLE(g[shin_b].x, -0.0);
    EXPECT_SAME_DOUBLE(state.fx[foot_a], terms[shin_a].spring_x);
    EXPECT_SAME_DOUBLE(state.fy[foot_a], terms[shin_a].spring_y);
    EXPECT_SAME_DOUBLE(state.fx[head], terms[torso].spring_x);
    EXPECT_SAME_DOUBLE(state.fy[head], terms[torso].spring_y);
    // The stretched shin lifts the foot; the stretched torso pulls the head down.
    EXPECT_GT(state.fy[foot_a], 0.0);
    EXPECT_LT(state.fy[head], 0.0);
}

TEST(LinkStartPose, AccumulatorsFollowTheRebuildNotThePreviousValues) {
    RunnerState<double> fresh = start_state<double>();
    RunnerState<double> stale = start_state<double>();
    for (std::size_t i = 0; i < point_count; ++i) {
        stale.fx[i] = 1234.5;
        stale.fy[i] = -0.0;
    }
    const auto terms = measure_links(fresh);
    accumulate_link_forces(terms, no_torques, fresh);
    accumulate_link_forces(terms, no_torques, stale);
    for (std::size_t i = 0; i < point_count; ++i) {
        SCOPED_TRACE(testing::Message() << "point " << i);
        EXPECT_SAME_DOUBLE(stale.fx[i], fresh.fx[i]);
        EXPECT_SAME_DOUBLE(stale.fy[i], fresh.fy[i]);
    }
}

// --- Moving knee ------------------------------------------------------------

TEST(LinkMovingKnee, DownwardSpeedIsDampedWithoutDividingByLength) {
    RunnerState<double> state = start_state<double>();
    state.vy[knee_a] = -1.0;
    const auto terms = measure_links(state);
    const LinkTerms<double>& thigh = terms[thigh_a];

    EXPECT_SAME_DOUBLE(thigh.dvy, -1.0);
    EXPECT_SAME_DOUBLE(thigh.rate, 1.0);
    EXPECT_SAME_DOUBLE(thigh.tension, -9.600000000000001);
    // The spring force of thigh_a on its distal point knee_a pulls the knee
    // back up; with no torques it is what thigh_a adds to knee_a's accumulator.
    EXPECT_SAME_DOUBLE(thigh.spring_y, 9.411764705882353);
    EXPECT_SAME_DOUBLE(link_forces(terms, no_torques)[thigh_a].y, 9.411764705882353);
    // Moving along the link does not turn it.
    EXPECT_SAME_DOUBLE(thigh.spin, 0.0);

    // shin_a sees the same speed at its proximal end, with the opposite sign.
    EXPECT_SAME_DOUBLE(terms[shin_a].dvy, 1.0);
    // The other links do not touch knee_a.
    const auto rest = measure_links(start_state<double>());
    for (Link l : {thigh_b, shin_b, torso}) {
        EXPECT_SAME_DOUBLE(terms[l].tension, rest[l].tension) << "link " << l;
    }
}

TEST(LinkMovingKnee, SidewaysSpeedTurnsTheLinkWithoutDamping) {
    RunnerState<double> state = start_state<double>();
    state.vx[knee_a] = 1.0;
    const auto terms = measure_links(state);
    const LinkTerms<double>& thigh = terms[thigh_a];

    EXPECT_SAME_DOUBLE(thigh.rate, 0.0);
    EXPECT_SAME_DOUBLE(thigh.tension, -1.6000000000000014);
    EXPECT_SAME_DOUBLE(thigh.spin, -1.9223375624759709);
    EXPECT_SAME_DOUBLE(thigh.angle, -1.5707963267948966);  // straight down
}

TEST(LinkMovingKnee, PerpendicularMotionOfTheFarEndIsNotDamped) {
    // hip at the origin, knee_a at (0.3, 0.4): the knee moves along
    // (-0.4, 0.3), perpendicular to the link.
    RunnerState<double> state = start_state<double>();
    state.x[hip] = 0.0;
    state.y[hip] = 0.0;
    state.x[knee_a] = 0.3;
    state.y[knee_a] = 0.4;
    state.vx[knee_a] = -0.4;
    state.vy[knee_a] = 0.3;
    const LinkTerms<double> moving = measure_links(state)[thigh_a];
    state.vx[knee_a] = 0.0;
    state.vy[knee_a] = 0.0;
    const LinkTerms<double> still = measure_links(state)[thigh_a];

    EXPECT_SAME_DOUBLE(moving.rate, 0.0);
    EXPECT_SAME_DOUBLE(moving.tension, still.tension);
    EXPECT_LT(moving.spin, 0.0);  // counter-clockwise turning gives a negative spin
}

// --- Degenerate and rest-length geometry ----------------------------------------

TEST(LinkGeometry, CoincidentPointsExertNoForce) {
    RunnerState<double> state = start_state<double>();
    for (std::size_t i = 0; i < point_count; ++i) {
        state.x[i] = 0.3;
        state.y[i] = 0.7;
    }
    const auto terms = measure_links(state);
    const double expected_tension[link_count] = {78.4, 88.2, 78.4, 88.2, 142.4};
    for (std::size_t l = 0; l < link_count; ++l) {
        SCOPED_TRACE(testing::Message() << "link " << l);
        EXPECT_SAME_DOUBLE(terms[l].length, 0.01);
        EXPECT_SAME_DOUBLE(terms[l].tension, expected_tension[l]);
        EXPECT_SAME_DOUBLE(terms[l].spring_x, 0.0);
        EXPECT_SAME_DOUBLE(terms[l].spring_y, 0.0);
        EXPECT_SAME_DOUBLE(terms[l].perp_x, -0.0);
        EXPECT_SAME_DOUBLE(terms[l].perp_y, 0.0);
        EXPECT_SAME_DOUBLE(terms[l].spin, 0.0);
        EXPECT_TRUE(std::isfinite(terms[l].inv_length_sq));
    }
    accumulate_link_forces(terms, PerJoint<double>{1.0, -2.0, 3.0, -4.0}, state);
    for (std::size_t i = 0; i < point_count; ++i) {
        SCOPED_TRACE(testing::Message() << "point " << i);
        EXPECT_EQ(state.fx[i], 0.0);
        EXPECT_EQ(state.fy[i], 0.0);
    }
}

TEST(LinkGeometry, RestLengthMinusPadHasNoTension) {
    RunnerState<double> state = start_state<double>();
    // Legs 0.49 apart, the torso 0.89 apart, nothing moving.
    state.x[hip] = 0.0;
    state.y[hip] = 0.0;
    state.x[knee_a] = 0.49;
    state.y[knee_a] = 0.0;
    state.x[foot_a] = 0.49;
    state.y[foot_a] = 0.49;
    state.x[knee_b] = -0.49;
    state.y[knee_b] = 0.0;
    state.x[foot_b] = -0.49;
    state.y[foot_b] = 0.49;
    state.x[head] = 0.0;
    state.y[head] = 0.89;
    const auto terms = measure_links(state);
    for (std::size_t l = 0; l < link_count; ++l) {
        SCOPED_TRACE(testing::Message() << "link " << l);
        EXPECT_NEAR(terms[l].length, links[l].rest_length, 2e-16);
        EXPECT_NEAR(terms[l].tension, 0.0, 1e-13);
        EXPECT_SAME_DOUBLE(terms[l].rate, 0.0);
    }
}

TEST(LinkGeometry, PerpendicularForceTurnsCounterClockwise) {
    // A thigh from the hip at the origin to (0.3, 0.4), 0.5 long unpadded.
    RunnerState<double> state = start_state<double>();
    state.x[hip] = 0.0;
    state.y[hip] = 0.0;
    state.x[knee_a] = 0.3;
    state.y[knee_a] = 0.4;
    const LinkTerms<double> t = measure_links(state)[thigh_a];
    EXPECT_NEAR(t.length, 0.51, 1e-15);
    // Perpendicular to the link, counter-clockwise about the hip, of size
    // (unpadded length)/(L*L).
    EXPECT_NEAR(t.perp_x * t.dx + t.perp_y * t.dy, 0.0, 1e-15);
    EXPECT_GT(t.dx * t.perp_y - t.dy * t.perp_x, 0.0);
    EXPECT_NEAR(std::hypot(t.perp_x, t.perp_y), 0.5 / (0.51 * 0.51), 1e-12);
    // The spring pulls the knee towards the hip.
    EXPECT_LT(t.spring_x, 0.0);
    EXPECT_LT(t.spring_y, 0.0);
    EXPECT_NEAR(std::hypot(t.spring_x, t.spring_y), 1.6 * 0.5 / 0.51, 1e-12);
}

// --- Torques in the link forces ---------------------------------------------------

TEST(LinkForces, TorquesEnterParentsPositivelyAndChildrenNegatively) {
    const auto terms = measure_links(start_state<double>());
    // One unit of torque per joint, the others zero.
    for (std::size_t j = 0; j < joint_count; ++j) {
        SCOPED_TRACE(testing::Message() << "joint " << j);
        PerJoint<double> torque = no_torques;
        torque[j] = 1.0;
        const auto g = link_forces(terms, torque);
        const auto rest = link_forces(terms, no_torques);
        Link parent, child;
        switch (j) {
            case hip_joint_a: parent = torso; child = thigh_a; break;
            case knee_joint_a: parent = thigh_a; child = shin_a; break;
            case hip_joint_b: parent = torso; child = thigh_b; break;
            default: parent = thigh_b; child = shin_b; break;
        }
        for (std::size_t l = 0; l < link_count; ++l) {
            const double dxg = g[l].x - rest[l].x;
            const double dyg = g[l].y - rest[l].y;
            if (l == parent) {
                EXPECT_NEAR(dxg, terms[l].perp_x, 1e-12) << "parent link " << l;
                EXPECT_NEAR(dyg, terms[l].perp_y, 1e-12) << "parent link " << l;
            } else if (l == child) {
                EXPECT_NEAR(dxg, -terms[l].perp_x, 1e-12) << "child link " << l;
                EXPECT_NEAR(dyg, -terms[l].perp_y, 1e-12) << "child link " << l;
            } else {
                EXPECT_SAME_DOUBLE(g[l].x, rest[l].x) << "untouched link " << l;
                EXPECT_SAME_DOUBLE(g[l].y, rest[l].y) << "untouched link " << l;
            }
        }
    }
}

TEST(LinkForces, JointForcesCancelOverTheBody) {
    // Torques alone only move force between points: the six accumulators of
    // a torque-only change sum to (nearly) zero.
    RunnerState<double> a = start_state<double>();
    RunnerState<double> b = start_state<double>();
    const auto terms = measure_links(a);
    accumulate_link_forces(terms, no_torques, a);
    accumulate_link_forces(terms, PerJoint<double>{5.0, -3.0, 2.0, 7.0}, b);
    double sum_x = 0.0, sum_y = 0.0, spring_x = 0.0, spring_y = 0.0;
    for (std::size_t i = 0; i < point_count; ++i) {
        sum_x += b.fx[i];
        sum_y += b.fy[i];
        spring_x += a.fx[i];
        spring_y += a.fy[i];
    }
    EXPECT_NEAR(sum_x, 0.0, 1e-12);
    EXPECT_NEAR(sum_y, 0.0, 1e-12);
    EXPECT_NEAR(spring_x, 0.0, 1e-12);
    EXPECT_NEAR(spring_y, 0.0, 1e-12);
}

}  // namespace
