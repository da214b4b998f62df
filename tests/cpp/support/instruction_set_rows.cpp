#include "instruction_set_rows.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zorv::dispatch {

const InstructionSet& instruction_set(const char* name) {
    for (const InstructionSet& row : instruction_sets()) {
        if (std::strcmp(row.name, name) == 0) return row;
    }
    std::fprintf(stderr, "the table has no instruction set %s\n", name);
    std::abort();
}

bool fast_atan2_available(const InstructionSet& row) {
    return row.fast_atan2_lanes != nullptr && row.runs_fast_atan2(this_process_inputs());
}

bool fast_atan2_agrees_with_unchecked(double (*reference)(double, double), const InstructionSet& row) {
    return fast_atan2::agrees_with(reference, row.fast_atan2_lanes, row.lanes);
}

bool fast_atan2_agrees_with(double (*reference)(double, double), const InstructionSet& row) {
    return fast_atan2_available(row) && fast_atan2_agrees_with_unchecked(reference, row);
}

}  // namespace zorv::dispatch

namespace zorv::sim {

std::vector<BatchPath> batch_paths() {
    std::vector<BatchPath> paths;
    for (const dispatch::InstructionSet& row : dispatch::instruction_sets()) {
        paths.push_back({&row, dispatch::Atan2Source::c_library});
        if (row.fast_atan2.name != nullptr) paths.push_back({&row, dispatch::Atan2Source::fast_atan2});
    }
    return paths;
}

}  // namespace zorv::sim
