// The table of instruction sets (instruction_sets.hpp). A portable file: the
// CPU tests here decide whether anything compiled for an instruction set may
// run. A build without the x86 lanes (ZORV_X86_LANES, CMakeLists.txt) has
// the portable row alone.
#include "dispatch/instruction_sets.hpp"

#include <cstdlib>
#include <iterator>

namespace zorv::dispatch {
namespace {

bool never(const Inputs&) { return false; }

constexpr InstructionSet rows[] = {
    {
        .name = "portable",
        .lanes = 1,
        .runs = [](const Inputs&) { return true; },
        .runs_fast_atan2 = never,
        .switched_off = never,
        .library_atan2 = {"portable", "portable path"},
        .fast_atan2 = {nullptr, nullptr},
        .score_plans = sim::score_plans_portable,
        .fast_atan2_lanes = nullptr,
        .single_plans = 0,
        .score_one_lane = nullptr,
        .optimizer = &optimizer::builds::portable,
    },
#ifdef ZORV_X86_LANES
    {
        .name = "avx2",
        .lanes = 4,
        // AVX2 needs the system to save the 256-bit registers, which every
        // system that reports AVX2 to user code does.
        .runs = [](const Inputs& in) { return in.avx2; },
        // The kernel's exact products are FMA instructions.
        .runs_fast_atan2 = [](const Inputs& in) { return in.avx2 && in.fma; },
        .switched_off = never,
        .library_atan2 = {"avx2_lanes", "four AVX2 lanes with the C library's atan2"},
        .fast_atan2 = {"avx2_lanes_with_fast_atan2", "four AVX2 lanes with the exact fast atan2"},
        .score_plans = sim::score_plans_avx2,
        .fast_atan2_lanes = fast_atan2::fast_atan2_lanes,
        .single_plans = 1,
        .score_one_lane = sim::score_plans_one_lane_avx2,
        .optimizer = &optimizer::builds::avx2,
    },
    {
        .name = "avx512",
        .lanes = 8,
        .runs = [](const Inputs& in) { return in.avx2 && in.avx512 == Avx512Support::usable; },
        // AVX-512 F has FMA instructions of its own.
        .runs_fast_atan2 = [](const Inputs& in) { return in.avx2 && in.avx512 == Avx512Support::usable; },
        .switched_off = [](const Inputs& in) { return in.no_avx512; },
        .library_atan2 = {"avx512_lanes", "eight AVX-512 lanes with the C library's atan2"},
        .fast_atan2 = {"avx512_lanes_with_fast_atan2", "eight AVX-512 lanes with the exact fast atan2"},
        .score_plans = sim::score_plans_avx512,
        .fast_atan2_lanes = fast_atan2::fast_atan2_lanes8,
        .single_plans = 1,
        .score_one_lane = nullptr,
        .optimizer = &optimizer::builds::avx512,
    },
#endif
};

// Every row with a fast atan2 sends its single plans to a row with a one-lane
// run, and rows come from the narrowest lanes to the widest.
consteval bool rows_fit_together() {
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const InstructionSet& row = rows[i];
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

bool switched_on(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value;
}

Inputs inputs_of_this_process() {
    Inputs in;
#ifdef ZORV_X86_LANES
    __builtin_cpu_init();
    in.avx2 = __builtin_cpu_supports("avx2");
    in.fma = __builtin_cpu_supports("fma");
#endif
    in.avx512 = avx512_support();
    in.no_simd = switched_on(no_simd_switch);
    in.no_avx512 = switched_on(no_avx512_switch);
    in.library_atan2 = switched_on(library_atan2_switch);
    return in;
}

}  // namespace

const Inputs& this_process_inputs() {
    static const Inputs inputs = inputs_of_this_process();
    return inputs;
}

std::span<const InstructionSet> instruction_sets() { return rows; }

const InstructionSet& widest_runnable(const Inputs& in) {
    const InstructionSet* widest = &rows[0];
    for (const InstructionSet& row : instruction_sets().subspan(1)) {
        if (row.runs(in) && !row.switched_off(in)) widest = &row;
    }
    return *widest;
}

const InstructionSet& instruction_set_for(const Inputs& in) {
    return in.no_simd ? rows[0] : widest_runnable(in);
}

const InstructionSet& this_process_instruction_set() {
    static const InstructionSet& taken = instruction_set_for(this_process_inputs());
    return taken;
}

}  // namespace zorv::dispatch
