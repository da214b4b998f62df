// The spring-damper links: their measurement in each step and the forces
// they, together with the joint torques, put on the body points.
#pragma once

#include "sim/body.hpp"
#include "sim/library_atan2.hpp"
#include "sim/state.hpp"

namespace zorv::sim {
inline namespace ZORV_ISA {

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

// The quotients come from `quotients` (scalar.hpp: Quotients).
template <class T, class Quotients>
LinkTerms<T> measure_link(const LinkProperties& link, const RunnerState<T>& state, Quotients& quotients) {
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
    t.inv_length = quotients(1.0, t.length);
    t.length_sq = t.length * t.length;
    t.inv_length_sq = quotients(1.0, t.length_sq);
    t.spring_x = (t.dx * t.inv_length) * t.tension;
    t.spring_y = (t.dy * t.inv_length) * t.tension;
    t.perp_x = (-t.dy) * t.inv_length_sq;
    t.perp_y = t.dx * t.inv_length_sq;
    // A true division here, unlike the reciprocal products above.
    t.spin = quotients(t.dvx * t.dy - t.dvy * t.dx, t.length_sq);
    return t;
}

// The angle of every link, atan2(dy, dx), all in one go: the angles are
// independent of each other and of the rest of the measurement. Angles is
// where they come from (LibraryAtan2, or FastAtan2Angles for lanes).
template <class Angles, class T>
void measure_link_angles(PerLink<LinkTerms<T>>& terms) {
    PerLink<T> dy, dx;
    for (std::size_t l = 0; l < link_count; ++l) {
        dy[l] = terms[l].dy;
        dx[l] = terms[l].dx;
    }
    const PerLink<T> angle = Angles::of(dy, dx);
    for (std::size_t l = 0; l < link_count; ++l) terms[l].angle = angle[l];
}

// Positions after this step's ground rule, velocities from the step before.
// Where a lane's quotients were not all settled (a zero spin numerator in a
// run's first step, say), the links are measured again with the divider.
template <class Angles = LibraryAtan2, class T>
PerLink<LinkTerms<T>> measure_links(const RunnerState<T>& state) {
    PerLink<LinkTerms<T>> terms;
    simd::with_exact_quotients<T>([&](auto& quotients) {
#pragma GCC unroll 16
        for (std::size_t l = 0; l < link_count; ++l) terms[l] = measure_link(links[l], state, quotients);
    });
    measure_link_angles<Angles>(terms);
    return terms;
}

// The force on a link's distal point, one component at a time: its spring
// force, then the torque of each joint the link belongs to, in joint order,
// with a plus sign where the link is the joint's parent and a minus sign
// where it is the child.
template <class T>
struct LinkForce {
    T x, y;
};

// The loops over the body's tables below are unrolled, so that every table
// lookup folds into a constant and every condition on it disappears.
template <class T>
LinkForce<T> link_force(Link link, const LinkTerms<T>& t, const PerJoint<T>& torque) {
    LinkForce<T> force{t.spring_x, t.spring_y};
#pragma GCC unroll 16
    for (std::size_t j = 0; j < joint_count; ++j) {
        if (joints[j].child == link) {
            force.x = force.x - t.perp_x * torque[j];
            force.y = force.y - t.perp_y * torque[j];
        } else if (joints[j].parent == link) {
            force.x = force.x + t.perp_x * torque[j];
            force.y = force.y + t.perp_y * torque[j];
        }
    }
    return force;
}

template <class T>
PerLink<LinkForce<T>> link_forces(const PerLink<LinkTerms<T>>& terms, const PerJoint<T>& torque) {
    PerLink<LinkForce<T>> forces;
#pragma GCC unroll 16
    for (std::size_t l = 0; l < link_count; ++l) forces[l] = link_force(Link(l), terms[l], torque);
    return forces;
}

// Rebuilds fx and fy from +0.0: every link force pushes its distal point and
// pulls its proximal point. Each point's sum runs over the links in table
// order; that order, like the +0.0 start, is part of every score.
template <class T>
void accumulate_link_forces(const PerLink<LinkTerms<T>>& terms, const PerJoint<T>& torques,
                            RunnerState<T>& state) {
    const PerLink<LinkForce<T>> forces = link_forces(terms, torques);
#pragma GCC unroll 16
    for (std::size_t p = 0; p < point_count; ++p) {
        state.fx[p] = T(0.0);
        state.fy[p] = T(0.0);
    }
#pragma GCC unroll 16
    for (std::size_t l = 0; l < link_count; ++l) {
        const BodyPoint distal = links[l].distal;
        const BodyPoint proximal = links[l].proximal;
        state.fx[distal] = state.fx[distal] + forces[l].x;
        state.fy[distal] = state.fy[distal] + forces[l].y;
        state.fx[proximal] = state.fx[proximal] - forces[l].x;
        state.fy[proximal] = state.fy[proximal] - forces[l].y;
    }
}

}  // namespace ZORV_ISA
}  // namespace zorv::sim
