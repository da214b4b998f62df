#include "instruction_set_rows.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fast_atan2/fast_atan2.hpp"

namespace zorv::sim {

const LaneWidth& lane_width(const char* instruction_set) {
    for (const LaneWidth& row : lane_widths()) {
        if (std::strcmp(row.instruction_set, instruction_set) == 0) return row;
    }
    std::fprintf(stderr, "no lanes of the instruction set %s\n", instruction_set);
    std::abort();
}

std::vector<BatchPath> batch_paths() {
    std::vector<BatchPath> paths;
    for (const LaneWidth& row : lane_widths()) {
        paths.push_back({&row, Atan2Source::c_library});
        if (row.fast_atan2.name != nullptr) paths.push_back({&row, Atan2Source::fast_atan2});
    }
    return paths;
}

bool fast_atan2_available(const LaneWidth& lanes) {
    return lanes.fast_atan2_lanes != nullptr && lanes.runs_fast_atan2(batch_path_inputs());
}

bool fast_atan2_agrees_with_unchecked(double (*reference)(double, double), const LaneWidth& lanes) {
    return fast_atan2::agrees_with(reference, lanes.fast_atan2_lanes, lanes.lanes);
}

bool fast_atan2_agrees_with(double (*reference)(double, double), const LaneWidth& lanes) {
    return fast_atan2_available(lanes) && fast_atan2_agrees_with_unchecked(reference, lanes);
}

}  // namespace zorv::sim
