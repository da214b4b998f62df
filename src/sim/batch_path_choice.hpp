// The choice of the path that scores take: a row of the table of instruction
// sets (src/dispatch/instruction_sets.hpp) with one of its sources of
// angles, settled once per process, and the names and lines that say which
// and why.
#pragma once

#include "dispatch/instruction_sets.hpp"
#include "support/shared_api.hpp"

namespace zorv::sim {

// A path the scores can take: a row of the table (its first row, the
// portable path, is the scalar run) with one of its sources of angles. Its
// name and description (batch_path_name and the like below) are the ones
// Python reports.
struct BatchPath {
    const dispatch::InstructionSet* lanes;
    dispatch::Atan2Source angles = dispatch::Atan2Source::c_library;

    friend bool operator==(const BatchPath&, const BatchPath&) = default;
};

// Why the path takes its lanes and its atan2, in the order the conditions
// are tested.
enum class BatchPathReason {
    no_avx2,                    // portable: the CPU lacks AVX2
    simd_switched_off,          // portable: ZORV_FAST_NO_SIMD is set
    library_atan2_switched_on,  // lanes: ZORV_FAST_LIBRARY_ATAN2 is set
    no_fma,                     // lanes: the CPU lacks FMA, which the fast atan2 needs
    fast_atan2_disagrees,       // lanes: an input of the check gave other bits
    fast_atan2_agrees,          // lanes with the fast atan2
};

// Why the lanes are or are not eight wide.
enum class Avx512Reason {
    taken,                 // AVX-512 is usable and not switched off
    no_lanes,              // the portable path takes no lanes at all
    switched_off,          // ZORV_FAST_NO_AVX512 is set
    cpu_lacks,             // the CPU lacks AVX-512 F, DQ, BW or VL
    system_lacks,          // the operating system does not save its registers
};

struct BatchPathChoice {
    BatchPath path;
    BatchPathReason reason;
    Avx512Reason avx512;
};

// The path of this process, settled on first use and kept: the lanes of the
// row the process takes (dispatch::this_process_instruction_set: eight
// AVX-512 lanes where the CPU has AVX-512 and the system saves its
// registers, four AVX2 lanes otherwise, the scalar run without AVX2), with
// the fast atan2 where the CPU runs its kernel (FMA) and the kernels of the
// lanes and of single plans agree bit for bit with the C library on a set of
// hard inputs (a check of this process's C library, not just of the CPU).
// The one choice of the process: sim, sim_batch and what zorv._trace
// reports all read it.
ZORV_SHARED_API BatchPathChoice batch_path_choice();

// batch_path_choice().path.
BatchPath batch_path();

// The choice worked out from its inputs, for tests: the inputs and whether
// the fast atan2 of a row agrees with the C library (asked only where that
// is needed: the row single plans take, and the batches' where they take
// another).
BatchPathChoice choose_batch_path(const dispatch::Inputs& inputs,
                                  bool (*fast_atan2_agrees)(const dispatch::InstructionSet& lanes));

// The names Python reads the choice by (stable: logs and tests keep them),
// and a line for a person saying what each means.
ZORV_SHARED_API const char* batch_path_name(BatchPath path);
ZORV_SHARED_API const char* batch_path_description(BatchPath path);
ZORV_SHARED_API const char* batch_path_reason_name(BatchPathReason reason);
ZORV_SHARED_API const char* batch_path_reason_description(BatchPathReason reason);
ZORV_SHARED_API const char* avx512_reason_name(Avx512Reason reason);
ZORV_SHARED_API const char* avx512_reason_description(Avx512Reason reason);

}  // namespace zorv::sim
