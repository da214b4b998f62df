#include "sim/batch_path_choice.hpp"

#include <cmath>

namespace zorv::sim {
namespace {

using dispatch::Atan2Source;
using dispatch::Avx512Support;
using dispatch::InstructionSet;

// Called through a pointer, so that it is the library's atan2 and not a
// compile-time evaluation that the check compares against.
double library_atan2(double y, double x) { return std::atan2(y, x); }

bool fast_atan2_agrees_here(const InstructionSet& lanes) {
    return fast_atan2::agrees_with(library_atan2, lanes.fast_atan2_lanes, lanes.lanes);
}

Avx512Reason avx512_reason(const dispatch::Inputs& in) {
    if (in.avx512 == Avx512Support::cpu_lacks) return Avx512Reason::cpu_lacks;
    if (in.avx512 == Avx512Support::system_lacks) return Avx512Reason::system_lacks;
    if (in.no_avx512) return Avx512Reason::switched_off;
    return Avx512Reason::taken;
}

}  // namespace

BatchPathChoice choose_batch_path(const dispatch::Inputs& in,
                                  bool (*fast_atan2_agrees)(const InstructionSet& lanes)) {
    const Avx512Reason avx512 = avx512_reason(in);
    const std::span<const InstructionSet> rows = dispatch::instruction_sets();
    // The lanes of the row the process takes, the optimizer's row too.
    const InstructionSet* widest = &dispatch::instruction_set_for(in);
    if (widest == &rows[0]) {
        const bool has_lanes = &dispatch::widest_runnable(in) != &rows[0];
        return {{&rows[0]}, has_lanes ? BatchPathReason::simd_switched_off : BatchPathReason::no_avx2,
                Avx512Reason::no_lanes};
    }
    const BatchPath library_lanes{widest, Atan2Source::c_library};
    if (in.library_atan2) return {library_lanes, BatchPathReason::library_atan2_switched_on, avx512};
    // Single plans run on one lane with the kernel of their row (the table
    // says why), also where the batches take wider lanes: that kernel is
    // checked in every process that takes the fast atan2, the batches' too
    // where it is another.
    const InstructionSet& single = rows[widest->single_plans];
    if (!widest->runs_fast_atan2(in) || !single.runs_fast_atan2(in)) {
        return {library_lanes, BatchPathReason::no_fma, avx512};
    }
    if (!fast_atan2_agrees(single) || (widest != &single && !fast_atan2_agrees(*widest))) {
        return {library_lanes, BatchPathReason::fast_atan2_disagrees, avx512};
    }
    return {{widest, Atan2Source::fast_atan2}, BatchPathReason::fast_atan2_agrees, avx512};
}

BatchPathChoice batch_path_choice() {
    static const BatchPathChoice choice =
        choose_batch_path(dispatch::this_process_inputs(), fast_atan2_agrees_here);
    return choice;
}

BatchPath batch_path() { return batch_path_choice().path; }

namespace {

const dispatch::PathText& text_of(BatchPath path) {
    return path.angles == Atan2Source::fast_atan2 ? path.lanes->fast_atan2 : path.lanes->library_atan2;
}

}  // namespace

const char* batch_path_name(BatchPath path) { return text_of(path).name; }

const char* batch_path_description(BatchPath path) { return text_of(path).description; }

const char* batch_path_reason_name(BatchPathReason reason) {
    switch (reason) {
    case BatchPathReason::no_avx2: return "no_avx2";
    case BatchPathReason::simd_switched_off: return "simd_switched_off";
    case BatchPathReason::library_atan2_switched_on: return "library_atan2_switched_on";
    case BatchPathReason::no_fma: return "no_fma";
    case BatchPathReason::fast_atan2_disagrees: return "fast_atan2_disagrees";
    case BatchPathReason::fast_atan2_agrees: return "fast_atan2_agrees";
    }
    return "unknown";
}

const char* batch_path_reason_description(BatchPathReason reason) {
    switch (reason) {
    case BatchPathReason::no_avx2: return "this CPU has no AVX2";
    case BatchPathReason::simd_switched_off: return "ZORV_FAST_NO_SIMD is set";
    case BatchPathReason::library_atan2_switched_on: return "ZORV_FAST_LIBRARY_ATAN2 is set";
    case BatchPathReason::no_fma: return "this CPU has no FMA, which the fast atan2 needs";
    case BatchPathReason::fast_atan2_disagrees:
        return "the fast atan2 gave other bits than this C library's on a checked input";
    case BatchPathReason::fast_atan2_agrees:
        return "the fast atan2 gave this C library's bits on every checked input";
    }
    return "unknown reason";
}

const char* avx512_reason_name(Avx512Reason reason) {
    switch (reason) {
    case Avx512Reason::taken: return "taken";
    case Avx512Reason::no_lanes: return "no_lanes";
    case Avx512Reason::switched_off: return "switched_off";
    case Avx512Reason::cpu_lacks: return "cpu_lacks";
    case Avx512Reason::system_lacks: return "system_lacks";
    }
    return "unknown";
}

const char* avx512_reason_description(Avx512Reason reason) {
    switch (reason) {
    case Avx512Reason::taken: return "taken: this CPU has AVX-512 F, DQ, BW and VL, and the system saves their registers";
    case Avx512Reason::no_lanes: return "not taken: the portable path takes no lanes";
    case Avx512Reason::switched_off: return "not taken: ZORV_FAST_NO_AVX512 is set";
    case Avx512Reason::cpu_lacks: return "not taken: this CPU lacks AVX-512 F, DQ, BW or VL";
    case Avx512Reason::system_lacks:
        return "not taken: the operating system does not save the AVX-512 registers (XCR0)";
    }
    return "unknown reason";
}

}  // namespace zorv::sim
