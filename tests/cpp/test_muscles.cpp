// The joint muscles: relative angles, the wrapped error, the stretch factor,
// the damping term and the torques.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "exact_double.hpp"
#include "sim/controller.hpp"
#include "sim/links.hpp"
#include "sim/muscles.hpp"
#include "sim/plan.hpp"

namespace {

using namespace zorv::sim;

const double nan_value = std::numeric_limits<double>::quiet_NaN();

Plan zero_plan() {
    Plan plan;
    plan.fill(0.0);
    return plan;
}

// --- The start pose ---------------------------------------------------------------

TEST(MuscleStartPose, AnglesErrorsFactorsAndTorques) {
    const auto terms = measure_links(start_state<double>());
    const PerJoint<double> targets = joint_targets(zero_plan(), 0, 0);

    const double relative[joint_count] = {-2.976443976175166, -0.46364760900080615,
                                          -2.51279636717436, -0.46364760900080615};
    const double error[joint_count] = {0.2985560238248337, 0.4363523909991939,
                                       -0.18779636717436032, 0.4363523909991939};
    const double factor[joint_count] = {1.02, 1.02, 1.0249048661608142, 1.02};
    const double torque[joint_count] = {5.971120476496674, 4.3635239099919385,
                                        -3.7559273434872065, 4.3635239099919385};

    const PerJoint<double> torques = joint_torques(terms, targets);
    for (std::size_t j = 0; j < joint_count; ++j) {
        SCOPED_TRACE(testing::Message() << "joint " << j);
        const JointProperties& joint = joints[j];
        const double rel = terms[joint.child].angle - terms[joint.parent].angle;
        EXPECT_SAME_DOUBLE(rel, relative[j]);
        // No error needs wrapping here.
        EXPECT_SAME_DOUBLE(rel + targets[j], error[j]);
        EXPECT_SAME_DOUBLE(wrap_angle(rel + targets[j]), error[j]);
        EXPECT_SAME_DOUBLE(stretch_factor(stretch_ratio(terms[joint.child], joint.child),
                                          stretch_ratio(terms[joint.parent], joint.parent)),
                           factor[j]);
        // At rest nothing turns, so the damping term is a zero.
        EXPECT_EQ(terms[joint.child].spin - terms[joint.parent].spin, 0.0);
        EXPECT_SAME_DOUBLE(torques[j], torque[j]);
        EXPECT_SAME_DOUBLE(joint_torque(joint, terms, targets[j]), torque[j]);
    }
}

TEST(MuscleStartPose, JointTable) {
    // Both hips hang from the torso; each thigh is the parent at its knee.
    EXPECT_EQ(joints[hip_joint_a].parent, torso);
    EXPECT_EQ(joints[hip_joint_a].child, thigh_a);
    EXPECT_EQ(joints[knee_joint_a].parent, thigh_a);
    EXPECT_EQ(joints[knee_joint_a].child, shin_a);
    EXPECT_EQ(joints[hip_joint_b].parent, torso);
    EXPECT_EQ(joints[hip_joint_b].child, thigh_b);
    EXPECT_EQ(joints[knee_joint_b].parent, thigh_b);
    EXPECT_EQ(joints[knee_joint_b].child, shin_b);
}

// --- Wrapping the error -----------------------------------------------------------

TEST(MuscleWrap, BoundariesAreNotCorrected) {
    const double pi_value = std::acos(-1.0);
    ASSERT_SAME_DOUBLE(pi_value, 3.141592653589793);
    EXPECT_SAME_DOUBLE(wrap_angle(pi_value), 3.141592653589793);
    EXPECT_SAME_DOUBLE(wrap_angle(-pi_value), -3.141592653589793);
    EXPECT_SAME_DOUBLE(wrap_angle(0.0), 0.0);
    EXPECT_SAME_DOUBLE(wrap_angle(-0.0), -0.0);
    EXPECT_SAME_DOUBLE(wrap_angle(3.0), 3.0);
    EXPECT_SAME_DOUBLE(wrap_angle(-3.0), -3.0);
}

TEST(MuscleWrap, JustOutsideIsCorrectedOnce) {
    const double above_pi = std::nextafter(3.141592653589793, 4.0);
    ASSERT_SAME_DOUBLE(above_pi, 3.1415926535897936);
    EXPECT_SAME_DOUBLE(wrap_angle(above_pi), -3.1415926535897927);
    EXPECT_SAME_DOUBLE(wrap_angle(-above_pi), 3.1415926535897927);
    EXPECT_SAME_DOUBLE(wrap_angle(4.0), 4.0 - 6.283185307179586);
    EXPECT_SAME_DOUBLE(wrap_angle(-4.0), -4.0 + 6.283185307179586);
}

TEST(MuscleWrap, AboveThreePiStaysAbovePi) {
    const double rel = 6.283185307179586;  // 2*pi
    const double e = rel + 3.8;
    ASSERT_SAME_DOUBLE(e, 10.083185307179587);
    EXPECT_SAME_DOUBLE(wrap_angle(e), 3.8000000000000007);
    EXPECT_SAME_DOUBLE(wrap_angle(-e), -3.8000000000000007);
}

TEST(MuscleWrap, NaNPassesUnchanged) {
    EXPECT_IS_NAN(wrap_angle(nan_value));
    EXPECT_IS_NAN(wrap_angle(-nan_value));
}

// --- Stretch factor -------------------------------------------------------------

TEST(MuscleStretch, RatioOverRestLength) {
    const auto terms = measure_links(start_state<double>());
    // Legs: exactly twice the length.
    for (Link l : {thigh_a, shin_a, thigh_b, shin_b}) {
        EXPECT_SAME_DOUBLE(stretch_ratio(terms[l], l), terms[l].length + terms[l].length)
            << "link " << l;
    }
    EXPECT_SAME_DOUBLE(stretch_ratio(terms[thigh_a], thigh_a), 1.02);
    // The torso: a true division by 0.9.
    EXPECT_SAME_DOUBLE(stretch_ratio(terms[torso], torso), 1.0249048661608142);
    EXPECT_SAME_DOUBLE(stretch_ratio(terms[torso], torso), terms[torso].length / 0.9);
}

TEST(MuscleStretch, SmallerRatioWithNaNRule) {
    EXPECT_SAME_DOUBLE(stretch_factor(1.02, 1.3), 1.02);
    EXPECT_SAME_DOUBLE(stretch_factor(1.3, 1.02), 1.02);
    EXPECT_SAME_DOUBLE(stretch_factor(1.1, 1.1), 1.1);
    // A NaN on either side yields the other side's ratio.
    EXPECT_SAME_DOUBLE(stretch_factor(0.75, nan_value), 0.75);
    EXPECT_SAME_DOUBLE(stretch_factor(nan_value, 0.75), 0.75);
    EXPECT_IS_NAN(stretch_factor(nan_value, nan_value));
    // Infinite ratios compare like any other.
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_SAME_DOUBLE(stretch_factor(inf, 2.0), 2.0);
    EXPECT_SAME_DOUBLE(stretch_factor(2.0, inf), 2.0);
    EXPECT_SAME_DOUBLE(stretch_factor(inf, nan_value), inf);
}

TEST(MuscleStretch, NaNParentLengthUsesChildRatioInTheTorque) {
    // knee_joint_a with a NaN parent length: the damping is scaled by the
    // child's ratio 1.2, as if the parent were not there.
    PerLink<LinkTerms<double>> terms{};
    terms[thigh_a].angle = 0.25;
    terms[thigh_a].spin = 0.5;
    terms[thigh_a].length = nan_value;
    terms[shin_a].angle = 0.5;
    terms[shin_a].spin = 1.0;
    terms[shin_a].length = 0.6;
    EXPECT_SAME_DOUBLE(joint_torque(joints[knee_joint_a], terms, 1.0), 10.1);
}

// --- Damping and torque -------------------------------------------------------------

// Two links meeting at knee_joint_a: relative angle 0.25, target 1.0, so the
// error is 1.25 and the spring part is 12.5.
PerLink<LinkTerms<double>> knee_a_terms(double parent_spin, double child_spin) {
    PerLink<LinkTerms<double>> terms{};
    terms[thigh_a].angle = 0.25;
    terms[thigh_a].spin = parent_spin;
    terms[thigh_a].length = 0.7;  // ratio 1.4
    terms[shin_a].angle = 0.5;
    terms[shin_a].spin = child_spin;
    terms[shin_a].length = 0.6;  // ratio 1.2
    return terms;
}

TEST(MuscleTorque, EqualRatesGiveNoDamping) {
    for (double spin : {0.0, 0.37, -5.0, 1e6}) {
        SCOPED_TRACE(testing::Message() << "spin " << spin);
        EXPECT_SAME_DOUBLE(joint_torque(joints[knee_joint_a], knee_a_terms(spin, spin), 1.0), 12.5);
    }
}

TEST(MuscleTorque, DampingOpposesTheChildTurningAgainstTheParent) {
    // (1.0 - 0.5) * -4 = -2, scaled by the smaller ratio 1.2.
    EXPECT_SAME_DOUBLE(joint_torque(joints[knee_joint_a], knee_a_terms(0.5, 1.0), 1.0), 10.1);
    // The other way round the damping adds.
    EXPECT_SAME_DOUBLE(joint_torque(joints[knee_joint_a], knee_a_terms(1.0, 0.5), 1.0), 14.9);
}

TEST(MuscleTorque, HipsAreTwiceAsStiffAsKnees) {
    PerLink<LinkTerms<double>> terms{};
    for (auto& t : terms) t.length = 0.5;
    terms[torso].length = 0.9;  // every ratio 1.0
    terms[torso].angle = 0.25;
    terms[thigh_b].angle = 0.5;
    // hip_joint_b: error 1.25, stiffness 20.
    EXPECT_SAME_DOUBLE(joint_torque(joints[hip_joint_b], terms, 1.0), 25.0);
    // Hip damping is -8 per unit of spin difference.
    terms[thigh_b].spin = 1.0;
    EXPECT_SAME_DOUBLE(joint_torque(joints[hip_joint_b], terms, 1.0), 25.0 - 8.0);
}

TEST(MuscleTorque, TorqueUsesTheOnceWrappedError) {
    // rel = pi - (-pi) = 2*pi exactly; with the hip target 3.8 the error is
    // 10.083185307179587, wrapped once to 3.8000000000000007.
    PerLink<LinkTerms<double>> terms{};
    for (auto& t : terms) t.length = 0.5;
    terms[torso].angle = -3.141592653589793;
    terms[thigh_a].angle = 3.141592653589793;
    EXPECT_SAME_DOUBLE(joint_torque(joints[hip_joint_a], terms, 3.8), 76.00000000000001);
}

TEST(MuscleTorque, NaNErrorGivesNaNTorque) {
    PerLink<LinkTerms<double>> terms{};
    for (auto& t : terms) t.length = 0.5;
    terms[thigh_b].angle = nan_value;
    EXPECT_IS_NAN(joint_torque(joints[hip_joint_b], terms, 1.0));
    // The other hip does not see it.
    EXPECT_SAME_DOUBLE(joint_torque(joints[hip_joint_a], terms, 1.0), 20.0);
}

}  // namespace
