// The five spring-damper links: their measurement in each step and the forces
// they, together with the joint torques, put on the body points.
#pragma once

#include <array>

#include "sim/controller.hpp"
#include "sim/plan.hpp"

namespace zorv::sim {
inline namespace ZORV_SIM_ISA {

inline constexpr std::size_t link_count = 5;
enum Link : std::size_t { thigh_a, shin_a, thigh_b, shin_b, torso };

struct LinkSpec {
    BodyPoint proximal;
    BodyPoint distal;
    double rest_length;
    double stiffness;
    double damping;
};

inline constexpr std::array<LinkSpec, link_count> links{{
    {hip, knee_a, 0.5, 160.0, 8.0},     // thigh_a
    {knee_a, foot_a, 0.5, 180.0, 8.0},  // shin_a
    {hip, knee_b, 0.5, 160.0, 8.0},     // thigh_b
    {knee_b, foot_b, 0.5, 180.0, 8.0},  // shin_b
    {hip, head, 0.9, 160.0, 8.0},       // torso
}};

// Keeps every divisor away from zero, also for coincident points.
inline constexpr double length_pad = 0.01;

// What one link measures in one step; the joint muscles read it too.
template <class T>
struct LinkTerms {
    T dx, dy;
    T dvx, dvy;
    T length;
    T length_sq;
    T inv_length;
    T inv_length_sq;
    T rate;
    T tension;
    T spring_x, spring_y;
    T perp_x, perp_y;
    T angle;
    T spin;
};

template <class T>
using PerLink = std::array<T, link_count>;

template <class T>
LinkTerms<T> measure_link(const LinkSpec& link, const RunnerState<T>& state) {
    LinkTerms<T> t;
    t.dx = state.x[link.distal] - state.x[link.proximal];
    t.dy = state.y[link.distal] - state.y[link.proximal];
    t.dvx = state.vx[link.distal] - state.vx[link.proximal];
    t.dvy = state.vy[link.distal] - state.vy[link.proximal];
    // The pad is added after the root.
    t.length = square_root(t.dy * t.dy + t.dx * t.dx) + length_pad;
    const T half_rate = t.dy * t.dvy + t.dx * t.dvx;
    t.rate = half_rate + half_rate;
    // The damping multiplies the doubled dot product itself, not divided by L.
    t.tension = (link.rest_length - t.length) * link.stiffness - t.rate * link.damping;
    t.inv_length = 1.0 / t.length;
    t.length_sq = t.length * t.length;
    t.inv_length_sq = 1.0 / t.length_sq;
    t.spring_x = (t.dx * t.inv_length) * t.tension;
    t.spring_y = (t.dy * t.inv_length) * t.tension;
    t.perp_x = (-t.dy) * t.inv_length_sq;
    t.perp_y = t.dx * t.inv_length_sq;
    t.angle = angle_of(t.dy, t.dx);
    // A true division here, unlike the reciprocal products above.
    t.spin = (t.dvx * t.dy - t.dvy * t.dx) / t.length_sq;
    return t;
}

// Positions after this step's ground rule, velocities from the step before.
template <class T>
PerLink<LinkTerms<T>> measure_links(const RunnerState<T>& state) {
    PerLink<LinkTerms<T>> terms;
    for (std::size_t l = 0; l < link_count; ++l) terms[l] = measure_link(links[l], state);
    return terms;
}

// The force on a link's distal point, one component at a time: its spring
// force plus the joint torques that act on it, a parent link's joint with a
// plus sign and a child link's with a minus sign.
template <class T>
struct LinkForce {
    T x, y;
};

template <class T>
PerLink<LinkForce<T>> link_forces(const PerLink<LinkTerms<T>>& t, const PerJoint<T>& torque) {
    const auto thigh = [&](Link l, Joint knee, Joint hip_joint) {
        return LinkForce<T>{
            t[l].perp_x * torque[knee] + (t[l].spring_x - t[l].perp_x * torque[hip_joint]),
            t[l].perp_y * torque[knee] + (t[l].spring_y - t[l].perp_y * torque[hip_joint]),
        };
    };
    const auto shin = [&](Link l, Joint knee) {
        return LinkForce<T>{
            t[l].spring_x - t[l].perp_x * torque[knee],
            t[l].spring_y - t[l].perp_y * torque[knee],
        };
    };
    const LinkTerms<T>& tor = t[torso];
    return {{
        thigh(thigh_a, knee_joint_a, hip_joint_a),
        shin(shin_a, knee_joint_a),
        thigh(thigh_b, knee_joint_b, hip_joint_b),
        shin(shin_b, knee_joint_b),
        {
            (tor.spring_x + tor.perp_x * torque[hip_joint_a]) + tor.perp_x * torque[hip_joint_b],
            (tor.spring_y + tor.perp_y * torque[hip_joint_a]) + tor.perp_y * torque[hip_joint_b],
        },
    }};
}

// Rebuilds fx and fy from +0.0: every link force pushes its distal point and
// pulls its proximal point, summed in this fixed order.
template <class T>
void accumulate_link_forces(const PerLink<LinkTerms<T>>& terms, const PerJoint<T>& torques,
                            RunnerState<T>& state) {
    const auto g = link_forces(terms, torques);
    const T zero(0.0);
    state.fx[hip] = ((zero - g[thigh_a].x) - g[thigh_b].x) - g[torso].x;
    state.fy[hip] = ((zero - g[thigh_a].y) - g[thigh_b].y) - g[torso].y;
    state.fx[knee_a] = (zero + g[thigh_a].x) - g[shin_a].x;
    state.fy[knee_a] = (zero + g[thigh_a].y) - g[shin_a].y;
    state.fx[foot_a] = zero + g[shin_a].x;
    state.fy[foot_a] = zero + g[shin_a].y;
    state.fx[knee_b] = (zero + g[thigh_b].x) - g[shin_b].x;
    state.fy[knee_b] = (zero + g[thigh_b].y) - g[shin_b].y;
    state.fx[foot_b] = zero + g[shin_b].x;
    state.fy[foot_b] = zero + g[shin_b].y;
    state.fx[head] = zero + g[torso].x;
    state.fy[head] = zero + g[torso].y;
}

}  // namespace ZORV_SIM_ISA
}  // namespace zorv::sim
