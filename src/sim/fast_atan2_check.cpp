// The agreement check of the fast atan2: whether it returns this process's C
// library bits on the hard inputs, their sign variants and seeded random
// pairs. It rests on an observation about the library's rounding, not a
// proof, so every process checks before it uses the fast atan2.
#include <bit>
#include <cstdint>
#include <iterator>

#include "sim/fast_atan2.hpp"
#include "sim/fast_atan2_inputs.hpp"

namespace zorv::sim {
namespace {

// The random pairs cycle through these families, lane by lane: the link
// vectors the scores are made of, and the regions where a library that
// rounds differently would show it first.
constexpr Atan2Family checked_families[] = {
    Atan2Family::uniform, Atan2Family::link, Atan2Family::weak, Atan2Family::near_axis,
    Atan2Family::power_of_two,
};
constexpr int random_inputs = 4096;
constexpr std::uint64_t random_seed = 0x5eed0a7a2ULL;

bool lanes_agree(const double (&y)[4], const double (&x)[4],
                 double (*reference)(double, double)) {
    double out[4];
    fast_atan2_lanes(y, x, out);
    for (int i = 0; i < 4; ++i) {
        if (std::bit_cast<std::uint64_t>(out[i]) !=
            std::bit_cast<std::uint64_t>(reference(y[i], x[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool fast_atan2_agrees_with_unchecked(double (*reference)(double, double)) {
    // Four lanes at a time: each hard input with the signs of y and x in all
    // four combinations, then the random pairs.
    for (const Atan2Input& in : fast_atan2_hard_inputs()) {
        if (!lanes_agree({in.y, -in.y, in.y, -in.y}, {in.x, in.x, -in.x, -in.x}, reference)) {
            return false;
        }
    }
    SplitMix64 generator{random_seed};
    for (int n = 0; n < random_inputs; n += 4) {
        double y[4], x[4];
        for (int i = 0; i < 4; ++i) {
            const std::size_t family = static_cast<std::size_t>(n / 4 + i) % std::size(checked_families);
            const Atan2Input in = draw_atan2_input(checked_families[family], generator);
            y[i] = in.y;
            x[i] = in.x;
        }
        if (!lanes_agree(y, x, reference)) return false;
    }
    return true;
}

}  // namespace zorv::sim
