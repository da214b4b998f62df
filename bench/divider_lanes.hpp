// The eight-lane batch core as it is with the divider's quotient instead of
// the FMA sequence (src/simd/avx512.hpp, exact_quotient): what the core
// benchmark times beside the core itself, on the same plans in the same
// run. Defined in divider_lanes_avx512.cpp; only where the CPU has AVX-512.
#pragma once

#include <cstddef>

#include "dispatch/instruction_sets.hpp"
#include "sim/plan_cursor.hpp"

std::size_t score_plans_avx512_divider(zorv::sim::PlanCursor& cursor, zorv::dispatch::Atan2Source angles);
