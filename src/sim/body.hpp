// The runner's body: its points, the links between them, the joints between
// links, and which limb each link belongs to when a run is drawn.
//
// These tables are the one place the body is defined. The physics loops over
// them, the trace module publishes their sizes and names to Python, and the
// viewer and the reference data take theirs from there. Table order matters
// beyond naming: every per-link sum runs in link order and every per-joint
// sum in joint order, and those orders are part of every score.
#pragma once

#include <array>
#include <cstddef>

#include "sim/number.hpp"

namespace zorv::sim {
inline namespace ZORV_ISA {

// --- Points -----------------------------------------------------------------

inline constexpr std::size_t point_count = 6;
enum BodyPoint : std::size_t { hip, knee_a, foot_a, knee_b, foot_b, head };

struct PointProperties {
    const char* name;
    double mass;
    double start_x;
    double start_y;
};

inline constexpr std::array<PointProperties, point_count> body_points{{
    {"hip", 30.0, 0.0, 1.0},
    {"knee_a", 10.0, 0.0, 0.5},
    {"foot_a", 5.0, -0.25, 0.0},
    {"knee_b", 10.0, 0.25, 0.5},
    {"foot_b", 5.0, 0.25, 0.0},
    {"head", 10.0, 0.15, 1.9},
}};

// --- Links: spring-dampers between two points ---------------------------------

inline constexpr std::size_t link_count = 5;
enum Link : std::size_t { thigh_a, shin_a, thigh_b, shin_b, torso };

struct LinkProperties {
    const char* name;
    BodyPoint proximal;
    BodyPoint distal;
    double rest_length;
    double stiffness;
    double damping;
    const char* limb;  // drawn in that limb's colour; the physics never reads it
};

inline constexpr std::array<LinkProperties, link_count> links{{
    {"thigh_a", hip, knee_a, 0.5, 160.0, 8.0, "leg_a"},
    {"shin_a", knee_a, foot_a, 0.5, 180.0, 8.0, "leg_a"},
    {"thigh_b", hip, knee_b, 0.5, 160.0, 8.0, "leg_b"},
    {"shin_b", knee_b, foot_b, 0.5, 180.0, 8.0, "leg_b"},
    {"torso", hip, head, 0.9, 160.0, 8.0, "torso"},
}};

// --- Joints: torsional spring-dampers between a parent and a child link --------

inline constexpr std::size_t joint_count = 4;
enum Joint : std::size_t { hip_joint_a, knee_joint_a, hip_joint_b, knee_joint_b };

struct JointProperties {
    const char* name;
    Link parent;
    Link child;
    double stiffness;
    double damping;
};

inline constexpr std::array<JointProperties, joint_count> joints{{
    {"hip_joint_a", torso, thigh_a, 20.0, 8.0},
    {"knee_joint_a", thigh_a, shin_a, 10.0, 4.0},
    {"hip_joint_b", torso, thigh_b, 20.0, 8.0},
    {"knee_joint_b", thigh_b, shin_b, 10.0, 4.0},
}};

template <class T>
using PerPoint = std::array<T, point_count>;
template <class T>
using PerLink = std::array<T, link_count>;
template <class T>
using PerJoint = std::array<T, joint_count>;

}  // namespace ZORV_ISA
}  // namespace zorv::sim
