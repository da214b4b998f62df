// The instruction sets this build has code for, as one table: a row per set,
// the portable one first, then from the narrowest lanes to the widest, each
// with what the CPU must offer to run it, its switch, and the entry points
// compiled for it: the scores' lanes with either source of angles, the fast
// atan2's kernel on one register, and the optimizer's build (its products
// and its normal samples). A process takes one row for all of them, read
// once: the batches' lanes (src/sim/batch_path_choice.hpp adds whether they
// take the fast atan2), the optimizer's products and its samples. A new lane
// width is a row here, in instruction_sets.cpp.
//
// The table sits below the code it points to: the entries are declared here,
// at the end, and defined in each row's instantiation files (src/sim/
// lanes_<set>.cpp, src/optimizer/products_<set>.cpp and the fast atan2's
// kernel files), which include this header; the types of those entries are
// named here only by declaration. Nothing outside the core library calls the
// entries there, since a module must take the row this process chose; the
// C++ tests and benchmarks, which link the core's objects statically, run
// each row on its own through them.
#pragma once

#include <cstddef>
#include <span>

#include "dispatch/cpu_support.hpp"
#include "fast_atan2/fast_atan2.hpp"

namespace zorv::sim {
class PlanCursor;
}  // namespace zorv::sim

namespace zorv::optimizer {
struct Build;
}  // namespace zorv::optimizer

namespace zorv::dispatch {

// The switches' environment variables, each on when set to anything
// non-empty. For tests and comparisons, not needed otherwise. These names are
// part of the module's interface: callers' environments and stored logs use
// them, so they are never renamed.
inline constexpr const char* no_simd_switch = "ZORV_FAST_NO_SIMD";          // the portable row
inline constexpr const char* no_avx512_switch = "ZORV_FAST_NO_AVX512";      // at most AVX2
inline constexpr const char* library_atan2_switch = "ZORV_FAST_LIBRARY_ATAN2";  // no fast atan2

// What the choice of a row is made from: what the CPU and the system allow
// and which switches are set.
struct Inputs {
    bool avx2 = false;
    bool fma = false;
    Avx512Support avx512 = Avx512Support::cpu_lacks;
    bool no_simd = false;
    bool no_avx512 = false;
    bool library_atan2 = false;
};

// This process's inputs, read on first use and kept: the CPU, the system and
// the switches of the environment at that moment. Every choice of the
// process is made from these, so that each switch is read once and means
// the same for the scores and for the optimizer.
const Inputs& this_process_inputs();

// Where the lanes take their link angles from. Both give the C library's
// bits; the fast atan2 only where its agreement check passed in this process.
enum class Atan2Source { c_library, fast_atan2 };

// A path's name (stable: logs, stored results and tests keep it) and a line
// for a person saying what it is.
struct PathText {
    const char* name;
    const char* description;
};

struct InstructionSet {
    // Also the name of the optimizer's build for it; how many plans its lanes
    // run side by side.
    const char* name;
    int lanes;
    // Whether this CPU and its operating system can run its code, and the
    // fast atan2's kernel of its width; whether a switch keeps it off.
    bool (*runs)(const Inputs& in);
    bool (*runs_fast_atan2)(const Inputs& in);
    bool (*switched_off)(const Inputs& in);

    // --- The scores ---
    // The path with the C library's atan2, and with the fast atan2 (a null
    // name where it has none).
    PathText library_atan2;
    PathText fast_atan2;
    // Scores the plans of the cursor on these lanes: see sim::score_plans.
    std::size_t (*score_plans)(sim::PlanCursor& cursor, Atan2Source angles);
    // The fast atan2 on one register, for the agreement check.
    fast_atan2::RegisterKernel fast_atan2_lanes;
    // Single plans with the fast atan2 run on one lane, one plan after
    // another, with the kernel of the row at this index (also where the
    // batches take wider lanes: the angles of one plan fill a register of
    // four, but an eight-lane kernel's wider operations and gathers lengthen
    // the chain that one lane waits on).
    std::size_t single_plans;
    // That one-lane run, with this row's kernel; nullptr where no row sends
    // its single plans here.
    std::size_t (*score_one_lane)(sim::PlanCursor& cursor);

    // --- The optimizer ---
    const optimizer::Build* optimizer;
};

// Every row, the portable one first, then from the narrowest lanes to the
// widest.
std::span<const InstructionSet> instruction_sets();

// The widest row whose code this machine runs and no switch of its own keeps
// off (the portable row where none).
const InstructionSet& widest_runnable(const Inputs& in);

// The row a process with these inputs takes: the portable one where
// ZORV_FAST_NO_SIMD is set, the widest runnable otherwise.
const InstructionSet& instruction_set_for(const Inputs& in);

// instruction_set_for(this_process_inputs()), settled on first use.
const InstructionSet& this_process_instruction_set();

}  // namespace zorv::dispatch

// --- The entries of the rows, defined in their instantiation files ---------

namespace zorv::sim {

// The scalar run, plan after plan (lanes_portable.cpp).
std::size_t score_plans_portable(PlanCursor& cursor, dispatch::Atan2Source angles);

// Four AVX2 lanes, and the one-lane run (lanes_avx2.cpp); with the fast
// atan2 also FMA. Their kernel is fast_atan2::fast_atan2_avx2.
std::size_t score_plans_avx2(PlanCursor& cursor, dispatch::Atan2Source angles);
std::size_t score_plans_one_lane_avx2(PlanCursor& cursor);

// Eight AVX-512 lanes, with the kernel inline (lanes_avx512.cpp).
std::size_t score_plans_avx512(PlanCursor& cursor, dispatch::Atan2Source angles);

}  // namespace zorv::sim

namespace zorv::optimizer::builds {

// products_portable.cpp, products_avx2.cpp, products_avx512.cpp.
extern const Build portable;
extern const Build avx2;
extern const Build avx512;

}  // namespace zorv::optimizer::builds
