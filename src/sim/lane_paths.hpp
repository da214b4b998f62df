// The paths score_plans (run.hpp) chooses between, as one table: a row per
// width of lanes, the portable path's scalar run first, each with its names,
// its lane count, what the CPU needs to run it and its entry points. The
// choice of path (run.cpp), the fast atan2's agreement check
// (fast_atan2_check.cpp), what zorv._trace reports and the tests all read
// the rows; a new width is a row here, in lane_paths.cpp.
//
// score_plans and _sim call the entries inside the core; nothing outside the
// core library calls them there, since a module must take the path this
// process chose. The C++ tests and benchmarks, which link the core's
// objects statically, run each path on its own through these.
#pragma once

#include <cstddef>
#include <span>

#include "fast_atan2/fast_atan2.hpp"
#include "sim/plan_cursor.hpp"

namespace zorv::sim {

struct BatchPathInputs;

// Where the lanes take their angles from. Both give the C library's bits;
// the fast atan2 only where its agreement check passed in this process.
enum class Atan2Source { c_library, fast_atan2 };

// A path's name (stable: logs, stored results and tests keep it) and a line
// for a person saying what it is.
struct PathText {
    const char* name;
    const char* description;
};

struct LaneWidth {
    // The instruction set (also the name of the optimizer's build for it),
    // and how many plans run side by side.
    const char* instruction_set;
    int lanes;
    // The path with the C library's atan2, and with the fast atan2 (a null
    // name where it has none).
    PathText library_atan2;
    PathText fast_atan2;
    // Whether this CPU and its operating system can run the lanes, and the
    // fast atan2's kernel of their width; asked with this process's inputs.
    bool (*runs_lanes)(const BatchPathInputs& in);
    bool (*runs_fast_atan2)(const BatchPathInputs& in);
    // The environment variable that keeps batches off these lanes, and
    // whether it is set; nullptr and false where none does.
    const char* switched_off_by;
    bool (*switched_off)(const BatchPathInputs& in);
    // Scores the plans of the cursor as score_plans does, on these lanes.
    std::size_t (*score_plans)(PlanCursor& cursor, Atan2Source angles);
    // The fast atan2 on one register, for the agreement check: out[i] =
    // atan2(y[i], x[i]) for the `lanes` lanes (no alignment needed);
    // returns one bit per lane, set where the C library computed it.
    fast_atan2::RegisterKernel fast_atan2_lanes;
    // Single plans with the fast atan2 run on one lane, one plan after
    // another, with the kernel of the row at this index (also where the
    // batches take wider lanes: the angles of one plan fill a register of
    // four, but an eight-lane kernel's wider operations and gathers lengthen
    // the chain that one lane waits on).
    std::size_t single_plans;
    // That one-lane run, with this row's kernel; nullptr where no row sends
    // its single plans here.
    std::size_t (*score_one_lane)(PlanCursor& cursor);
};

// Every row, the portable path's first, then from the narrowest lanes to
// the widest.
std::span<const LaneWidth> lane_widths();

// The widest row whose lanes this machine runs and no switch keeps batches
// off (the portable path's where none): the batches' lanes unless
// ZORV_FAST_NO_SIMD is set, and the optimizer's build.
const LaneWidth& widest_lanes(const BatchPathInputs& in);

// --- The entries of each row, defined in its instantiation files -------------------

// The scalar run, plan after plan (the portable path).
std::size_t score_plans_scalar(PlanCursor& cursor);

// Four AVX2 lanes, and the one-lane run (lanes_avx2.cpp); with the fast
// atan2 also FMA. Their fast atan2 is fast_atan2_avx2 (fast_atan2.hpp).
std::size_t score_plans_avx2(PlanCursor& cursor, Atan2Source angles);
std::size_t score_plans_one_lane_avx2(PlanCursor& cursor);

// Eight AVX-512 lanes, with the kernel inline (lanes_avx512.cpp).
std::size_t score_plans_avx512(PlanCursor& cursor, Atan2Source angles);

}  // namespace zorv::sim
