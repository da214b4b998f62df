// A straightforward scalar run of the runner, the yardstick of
// bench/throughput.py: the model as one would first write it, with plain
// loops and branches, no templates, no lanes, and the C library's atan2 for
// every angle. It shares no code with the core; the benchmark checks that it
// gives the core's bits on every plan.
//
// Every bracket below is the model's own: a reordered sum would change the
// scores.
#include "plain_run.hpp"

#include <cmath>

namespace {

const int points = 6;
const int hip = 0, head = 5;
const double mass[points] = {30.0, 10.0, 5.0, 10.0, 5.0, 10.0};
const double start_x[points] = {0.0, 0.0, -0.25, 0.25, 0.25, 0.15};
const double start_y[points] = {1.0, 0.5, 0.0, 0.5, 0.0, 1.9};

// thigh_a, shin_a, thigh_b, shin_b, torso
const int links = 5;
const int proximal[links] = {0, 1, 0, 3, 0};
const int distal[links] = {1, 2, 3, 4, 5};
const double rest_length[links] = {0.5, 0.5, 0.5, 0.5, 0.9};
const double link_stiffness[links] = {160.0, 180.0, 160.0, 180.0, 160.0};
const double link_damping[links] = {8.0, 8.0, 8.0, 8.0, 8.0};

// hip_a, knee_a, hip_b, knee_b
const int joints = 4;
const int parent[joints] = {4, 0, 4, 2};
const int child[joints] = {0, 1, 2, 3};
const double joint_stiffness[joints] = {20.0, 10.0, 20.0, 10.0};
const double joint_damping[joints] = {8.0, 4.0, 8.0, 4.0};

const double pi = 3.141592653589793;
const double two_pi = 6.283185307179586;
const double dt = 0.1;
const double gravity = 0.1;

}  // namespace

double plain_run_score(const double* plan_in) {
    double plan[40];
    for (int i = 0; i < 40; ++i) {
        double v = plan_in[i];
        if (!(v > -1.0)) v = -1.0;  // NaN becomes -1 too
        if (!(v < 1.0)) v = 1.0;
        plan[i] = v;
    }

    double x[points], y[points], vx[points], vy[points], fx[points], fy[points];
    bool contact[points];
    for (int i = 0; i < points; ++i) {
        x[i] = start_x[i];
        y[i] = start_y[i];
        vx[i] = 0.0;
        vy[i] = 0.0;
    }

    for (int s = 0; s < 20; ++s) {
        for (int k = 0; k < 10; ++k) {
            const double hip_height = y[hip];
            const double head_height = y[head];

            for (int i = 0; i < points; ++i) {
                contact[i] = y[i] <= 0.0;
                if (contact[i]) y[i] = 0.0;
            }

            // Controller: blend the previous segment's commands into this one's.
            double prev_hip = 0.5, prev_knee = 0.0;
            if (s > 0) {
                prev_hip = plan[2 * s - 2];
                prev_knee = plan[2 * s - 1];
            }
            const double w = static_cast<double>(k) * 0.1 + 0.05;
            const double u = 1.0 - w;
            const double hip_command = plan[2 * s] * w + prev_hip * u;
            const double knee_command = prev_knee * u + w * plan[2 * s + 1];
            const double target[joints] = {hip_command + 2.8, (1.0 - knee_command) * 0.9,
                                           2.8 - hip_command, (knee_command + 1.0) * 0.9};

            // Links.
            double length[links], spring_x[links], spring_y[links], perp_x[links], perp_y[links];
            double angle[links], spin[links];
            for (int l = 0; l < links; ++l) {
                const int p = proximal[l], d = distal[l];
                const double dx = x[d] - x[p];
                const double dy = y[d] - y[p];
                const double dvx = vx[d] - vx[p];
                const double dvy = vy[d] - vy[p];
                length[l] = std::sqrt(dy * dy + dx * dx) + 0.01;
                const double half_rate = dy * dvy + dx * dvx;
                const double rate = half_rate + half_rate;
                const double tension =
                    (rest_length[l] - length[l]) * link_stiffness[l] - rate * link_damping[l];
                const double inv_length = 1.0 / length[l];
                const double length_sq = length[l] * length[l];
                const double inv_length_sq = 1.0 / length_sq;
                spring_x[l] = (dx * inv_length) * tension;
                spring_y[l] = (dy * inv_length) * tension;
                perp_x[l] = -dy * inv_length_sq;
                perp_y[l] = dx * inv_length_sq;
                angle[l] = std::atan2(dy, dx);
                spin[l] = (dvx * dy - dvy * dx) / length_sq;
            }

            // Joint torques.
            double torque[joints];
            for (int j = 0; j < joints; ++j) {
                const int a = parent[j], c = child[j];
                double error = (angle[c] - angle[a]) + target[j];
                if (error > pi) {
                    error = error - two_pi;
                } else if (error < -pi) {
                    error = error + two_pi;
                }
                const double child_ratio = length[c] / rest_length[c];
                const double parent_ratio = length[a] / rest_length[a];
                double factor = parent_ratio;
                if (std::isnan(parent_ratio) || child_ratio < parent_ratio) factor = child_ratio;
                const double damping = factor * ((spin[c] - spin[a]) * -joint_damping[j]);
                torque[j] = error * joint_stiffness[j] + damping;
            }

            // Forces: each link pushes its distal point and pulls its proximal one.
            for (int i = 0; i < points; ++i) {
                fx[i] = 0.0;
                fy[i] = 0.0;
            }
            for (int l = 0; l < links; ++l) {
                double force_x = spring_x[l], force_y = spring_y[l];
                for (int j = 0; j < joints; ++j) {
                    if (child[j] == l) {
                        force_x = force_x - perp_x[l] * torque[j];
                        force_y = force_y - perp_y[l] * torque[j];
                    } else if (parent[j] == l) {
                        force_x = force_x + perp_x[l] * torque[j];
                        force_y = force_y + perp_y[l] * torque[j];
                    }
                }
                fx[distal[l]] = fx[distal[l]] + force_x;
                fy[distal[l]] = fy[distal[l]] + force_y;
                fx[proximal[l]] = fx[proximal[l]] - force_x;
                fy[proximal[l]] = fy[proximal[l]] - force_y;
            }

            // Integration, with the ground taking away sinking speed and as
            // much horizontal speed by friction.
            for (int i = 0; i < points; ++i) {
                fy[i] = fy[i] - mass[i] * gravity;
                vx[i] = ((fx[i] * dt) * (1.0 / mass[i])) + vx[i];
                vy[i] = ((fy[i] * dt) * (1.0 / mass[i])) + vy[i];
                if (contact[i]) {
                    double into_ground = 0.0;
                    if (vy[i] < 0.0) {
                        into_ground = -vy[i];
                        vy[i] = 0.0;
                    }
                    if (!std::isnan(vx[i])) {
                        const double sign = std::copysign(1.0, vx[i]);
                        if (vx[i] * sign < into_ground) {
                            vx[i] = 0.0;
                        } else {
                            vx[i] = vx[i] - sign * into_ground;
                        }
                    }
                }
                x[i] = (vx[i] * dt) + x[i];
                y[i] = (vy[i] * dt) + y[i];
            }

            if (hip_height <= 0.0 || head_height <= 0.0) return x[head];
        }
    }
    return x[head];
}
