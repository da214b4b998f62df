// The table of lane widths (lane_paths.hpp). A portable file: the CPU tests
// here decide whether anything compiled for an instruction set may run. A
// build without the x86 lanes (ZORV_X86_LANES, CMakeLists.txt) has the
// portable row alone.
#include "sim/lane_paths.hpp"

#include <algorithm>

#include "sim/run.hpp"

namespace zorv::sim {
namespace {

std::size_t score_plans_portable(PlanCursor& cursor, Atan2Source) { return score_plans_scalar(cursor); }

bool never(const BatchPathInputs&) { return false; }

constexpr LaneWidth rows[] = {
    {
        .instruction_set = "portable",
        .lanes = 1,
        .library_atan2 = {"portable", "portable path"},
        .fast_atan2 = {nullptr, nullptr},
        .runs_lanes = [](const BatchPathInputs&) { return true; },
        .runs_fast_atan2 = never,
        .switched_off_by = nullptr,
        .switched_off = never,
        .score_plans = score_plans_portable,
        .fast_atan2_lanes = nullptr,
        .single_plans = 0,
        .score_one_lane = nullptr,
    },
#ifdef ZORV_X86_LANES
    {
        .instruction_set = "avx2",
        .lanes = 4,
        .library_atan2 = {"avx2_lanes", "four AVX2 lanes with the C library's atan2"},
        .fast_atan2 = {"avx2_lanes_with_fast_atan2", "four AVX2 lanes with the exact fast atan2"},
        .runs_lanes = [](const BatchPathInputs& in) { return in.avx2; },
        // The kernel's exact products are FMA instructions.
        .runs_fast_atan2 = [](const BatchPathInputs& in) { return in.avx2 && in.fma; },
        .switched_off_by = nullptr,
        .switched_off = never,
        .score_plans = score_plans_avx2,
        .fast_atan2_lanes = fast_atan2::fast_atan2_lanes,
        .single_plans = 1,
        .score_one_lane = score_plans_one_lane_avx2,
    },
    {
        .instruction_set = "avx512",
        .lanes = 8,
        .library_atan2 = {"avx512_lanes", "eight AVX-512 lanes with the C library's atan2"},
        .fast_atan2 = {"avx512_lanes_with_fast_atan2", "eight AVX-512 lanes with the exact fast atan2"},
        .runs_lanes = [](const BatchPathInputs& in) { return in.avx2 && in.avx512 == Avx512Support::usable; },
        // AVX-512 F has FMA instructions of its own.
        .runs_fast_atan2 = [](const BatchPathInputs& in) { return in.avx2 && in.avx512 == Avx512Support::usable; },
        .switched_off_by = no_avx512_switch,
        .switched_off = [](const BatchPathInputs& in) { return in.no_avx512; },
        .score_plans = score_plans_avx512,
        .fast_atan2_lanes = fast_atan2::fast_atan2_lanes8,
        .single_plans = 1,
        .score_one_lane = nullptr,
    },
#endif
};

// Every row with a fast atan2 sends its single plans to a row with a one-lane
// run, and rows come from the narrowest lanes to the widest.
consteval bool rows_fit_together() {
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const LaneWidth& row = rows[i];
        if (i > 0 && row.lanes <= rows[i - 1].lanes) return false;
        if (row.fast_atan2.name == nullptr) continue;
        if (row.single_plans >= std::size(rows) || rows[row.single_plans].score_one_lane == nullptr) return false;
        if (row.fast_atan2_lanes == nullptr) return false;
    }
    return true;
}
// Sanitized builds give up the assumption that no function lies at address
// 0 (UBSan's null checks), so there an entry's address is no constant to
// compare with null; the plain build checks the table.
#ifndef ZORV_SANITIZED
static_assert(rows_fit_together());
#endif

}  // namespace

std::span<const LaneWidth> lane_widths() { return rows; }

const LaneWidth& widest_lanes(const BatchPathInputs& in) {
    const LaneWidth* widest = &rows[0];
    for (const LaneWidth& row : lane_widths().subspan(1)) {
        if (row.runs_lanes(in) && !row.switched_off(in)) widest = &row;
    }
    return *widest;
}

}  // namespace zorv::sim
