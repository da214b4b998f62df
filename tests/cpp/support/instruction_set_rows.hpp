// What the C++ tests and the benchmarks reach the table of instruction sets
// by, beyond what the core itself needs: a row by its name, every path of
// the table, and each row's fast atan2 asked on its own.
#pragma once

#include <vector>

#include "dispatch/instruction_sets.hpp"
#include "sim/batch_path_choice.hpp"

namespace zorv::dispatch {

// The row of an instruction set; aborts the program if the table has none.
const InstructionSet& instruction_set(const char* name);

// Whether this CPU (and its operating system) runs the fast atan2's kernel of
// the row; false for a row without one.
bool fast_atan2_available(const InstructionSet& row);

// The agreement check of the row's kernel against reference; only where
// fast_atan2_available(row).
bool fast_atan2_agrees_with_unchecked(double (*reference)(double, double), const InstructionSet& row);

// The same, safe on any CPU: false where the kernel cannot run here.
bool fast_atan2_agrees_with(double (*reference)(double, double), const InstructionSet& row);

}  // namespace zorv::dispatch

namespace zorv::sim {

// Every path of the table, each once: the portable path, then each row's with
// the C library's atan2 and, where it has one, with the fast atan2.
std::vector<BatchPath> batch_paths();

}  // namespace zorv::sim
