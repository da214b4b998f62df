// What this CPU and its operating system let the lanes use: asked once, at
// run time, so that one build runs everywhere.
#pragma once

namespace zorv::dispatch {

enum class Avx512Support {
    usable,          // AVX-512 F, DQ, BW and VL, and the system saves their registers
    cpu_lacks,       // the CPU lacks one of those extensions
    system_lacks,    // the operating system does not save the 512-bit and mask registers
};

// Whether the eight-lane path may run here: the CPU's extensions, and XCR0's
// state bits for the vector, upper-half and mask registers, which the
// operating system sets only if it saves them across context switches.
Avx512Support avx512_support();

}  // namespace zorv::dispatch
