// The agreement check of the fast atan2: whether it returns this process's C
// library bits on the hard inputs, their sign variants and seeded random
// pairs. It rests on an observation about the library's rounding, not a
// proof, so every process checks before it uses the fast atan2.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <iterator>

#include "sim/fast_atan2.hpp"
#include "sim/fast_atan2_inputs.hpp"

namespace zorv::sim {
namespace {

// The random pairs cycle through checked_atan2_families, lane by lane.
constexpr int random_inputs = 4096;
constexpr std::uint64_t random_seed = 0x5eed0a7a2ULL;

// One call of the kernel on up to eight lanes.
using LanesCall = unsigned (*)(const double*, const double*, double*);

bool lanes_agree(LanesCall lanes, int width, const double* y, const double* x,
                 double (*reference)(double, double)) {
    double out[8];
    lanes(y, x, out);
    for (int i = 0; i < width; ++i) {
        if (std::bit_cast<std::uint64_t>(out[i]) !=
            std::bit_cast<std::uint64_t>(reference(y[i], x[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool fast_atan2_agrees_with_unchecked(double (*reference)(double, double), FastAtan2Width width) {
    const bool eight = width == FastAtan2Width::eight_lanes;
    const LanesCall lanes = eight ? fast_atan2_lanes8 : fast_atan2_lanes;
    const int lane_count = eight ? 8 : 4;
    // A register at a time, the same pairs in the same order for either
    // width: each hard input with the signs of y and x in all four
    // combinations (the last register may repeat the last input), then the
    // random pairs.
    const std::span<const Atan2Input> hard = fast_atan2_hard_inputs();
    const std::size_t per_register = static_cast<std::size_t>(lane_count / 4);
    for (std::size_t first = 0; first < hard.size(); first += per_register) {
        double y[8], x[8];
        for (int i = 0; i < lane_count; ++i) {
            const Atan2Input& in = hard[std::min(first + static_cast<std::size_t>(i / 4), hard.size() - 1)];
            y[i] = (i & 1) ? -in.y : in.y;
            x[i] = (i & 2) ? -in.x : in.x;
        }
        if (!lanes_agree(lanes, lane_count, y, x, reference)) return false;
    }
    SplitMix64 generator{random_seed};
    for (int n = 0; n < random_inputs; n += lane_count) {
        double y[8], x[8];
        for (int i = 0; i < lane_count; ++i) {
            const Atan2Family family =
                checked_atan2_families[static_cast<std::size_t>(n + i) % std::size(checked_atan2_families)];
            const Atan2Input in = draw_checked_atan2_input(family, generator);
            y[i] = in.y;
            x[i] = in.x;
        }
        if (!lanes_agree(lanes, lane_count, y, x, reference)) return false;
    }
    return true;
}

}  // namespace zorv::sim
