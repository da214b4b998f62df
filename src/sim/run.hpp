// One whole run: from a plan to its score.
#pragma once

#include "sim/plan.hpp"

namespace zorv::sim {

// Normalises `plan` in place (callers hand over a private copy), runs at most
// 200 steps and returns the head's x. Pure, allocation-free, cannot fail.
double _sim(Plan& plan);

// The same run, also reporting how many steps it took.
double _sim_counting_steps(Plan& plan, unsigned& steps_run);

}  // namespace zorv::sim

namespace zorv::sim {

// Scores plans[i] into scores[i] for i in [0, count), in input order. Each
// plan is copied before it is normalised; the input is never written.
// Picks the widest path this CPU supports; every path gives the same bits.
void score_plans(const Plan* plans, double* scores, std::size_t count);

// The paths themselves, for tests and benchmarks.
void score_plans_scalar(const Plan* plans, double* scores, std::size_t count);
void score_plans_avx2(const Plan* plans, double* scores, std::size_t count);  // CPUs with AVX2 only

// Whether score_plans takes the AVX2 path: the CPU has AVX2 and the
// environment variable "ZORV_FAST_NO_SIMD" is not set to a non-empty value
// (a switch for tests; the shipped behaviour needs none).
bool simd_lanes_enabled();

}  // namespace zorv::sim
