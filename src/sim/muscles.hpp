// The joint muscles: torsional spring-dampers on the relative angle of
// the two links that meet at each joint.
#pragma once

#include "sim/body.hpp"
#include "sim/links.hpp"

namespace zorv::sim {
inline namespace ZORV_ISA {

inline constexpr double pi = 3.141592653589793;
inline constexpr double two_pi = 6.283185307179586;

// One correction only: an error above 3*pi stays above pi. Exactly +-pi and
// NaN pass unchanged, since both comparisons are strict and ordered.
template <class T>
T wrap_angle(T e) {
    return select(e > pi, e - two_pi, select(e < -pi, e + two_pi, e));
}

// Length over rest length. The legs' rest length 0.5 makes this exactly
// L + L; the torso's 0.9 needs the true division. A length is at least the
// pad (or NaN, or infinite, which the quotients leave unsettled): a
// moderate numerator.
template <class T, class Quotients>
T stretch_ratio(const LinkTerms<T>& terms, Link link, Quotients& quotients) {
    return quotients.with_moderate_numerator(terms.length, links[link].rest_length);
}
template <class T>
T stretch_ratio(const LinkTerms<T>& terms, Link link) {
    simd::DividerQuotients<T> divider;
    return stretch_ratio(terms, link, divider);
}

// The smaller ratio; a NaN on the parent side yields the child's ratio.
template <class T>
T stretch_factor(T child_ratio, T parent_ratio) {
    return select(is_nan(parent_ratio), child_ratio,
                  select(child_ratio < parent_ratio, child_ratio, parent_ratio));
}

// The angle the muscle drives: the child link's angle minus the parent's.
template <class T>
T relative_angle(const JointProperties& joint, const PerLink<LinkTerms<T>>& terms) {
    return terms[joint.child].angle - terms[joint.parent].angle;
}

template <class T, class Quotients>
T joint_torque(const JointProperties& joint, const PerLink<LinkTerms<T>>& terms, T target,
               Quotients& quotients) {
    const LinkTerms<T>& parent = terms[joint.parent];
    const LinkTerms<T>& child = terms[joint.child];
    const T error = wrap_angle(relative_angle(joint, terms) + target);
    const T factor = stretch_factor(stretch_ratio(child, joint.child, quotients),
                                    stretch_ratio(parent, joint.parent, quotients));
    const T damping = factor * ((child.spin - parent.spin) * (-joint.damping));
    return error * joint.stiffness + damping;
}
template <class T>
T joint_torque(const JointProperties& joint, const PerLink<LinkTerms<T>>& terms, T target) {
    simd::DividerQuotients<T> divider;
    return joint_torque(joint, terms, target, divider);
}

// The link angles were measured once per step and are shared by the joints.
// Where the torso's stretch was not settled in a lane (a zero or NaN
// length), the torques are worked out again with the divider.
template <class T>
PerJoint<T> joint_torques(const PerLink<LinkTerms<T>>& terms, const PerJoint<T>& targets) {
    PerJoint<T> torques;
    simd::with_exact_quotients<T>([&](auto& quotients) {
        for (std::size_t j = 0; j < joint_count; ++j) torques[j] = joint_torque(joints[j], terms, targets[j], quotients);
    });
    return torques;
}

}  // namespace ZORV_ISA
}  // namespace zorv::sim
