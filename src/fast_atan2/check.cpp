// The agreement check of the fast atan2: whether it returns this process's C
// library bits on the hard inputs, their sign variants and seeded random
// pairs. It rests on an observation about the library's rounding, not a
// proof, so every process checks the kernel of each width it takes before
// it uses it.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <iterator>

#include "fast_atan2/fast_atan2.hpp"
#include "fast_atan2/inputs.hpp"

namespace zorv::fast_atan2 {
namespace {

// The random pairs cycle through checked_atan2_families, lane by lane.
constexpr int random_inputs = 4096;
constexpr std::uint64_t random_seed = 0x5eed0a7a2ULL;

// Each hard input is checked with the signs of y and x in all four
// combinations, in this order: (y, x), (-y, x), (y, -x), (-y, -x).
constexpr std::size_t sign_variants = 4;

// The widest register the check fills.
constexpr int most_lanes = 64;

// One register of the kernel against reference, lane by lane.
bool register_agrees(RegisterKernel kernel, int width, const double* y, const double* x,
                     double (*reference)(double, double)) {
    std::array<double, most_lanes> out;
    kernel(y, x, out.data());
    for (int i = 0; i < width; ++i) {
        if (std::bit_cast<std::uint64_t>(out[i]) != std::bit_cast<std::uint64_t>(reference(y[i], x[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool agrees_with(double (*reference)(double, double), RegisterKernel kernel, int width) {
    if (width < 1 || width > most_lanes) return false;
    // A register at a time, the same pairs in the same order for every
    // width: each hard input in its four sign variants (the last register
    // may repeat the last input's last variant), then the random pairs.
    const std::span<const Atan2Input> hard = fast_atan2_hard_inputs();
    const std::size_t variants = hard.size() * sign_variants;
    std::array<double, most_lanes> y, x;
    for (std::size_t first = 0; first < variants; first += static_cast<std::size_t>(width)) {
        for (int i = 0; i < width; ++i) {
            const std::size_t variant = std::min(first + static_cast<std::size_t>(i), variants - 1);
            const Atan2Input& in = hard[variant / sign_variants];
            y[i] = (variant & 1) ? -in.y : in.y;
            x[i] = (variant & 2) ? -in.x : in.x;
        }
        if (!register_agrees(kernel, width, y.data(), x.data(), reference)) return false;
    }
    SplitMix64 generator{random_seed};
    for (int n = 0; n < random_inputs; n += width) {
        for (int i = 0; i < width; ++i) {
            const Atan2Family family =
                checked_atan2_families[static_cast<std::size_t>(n + i) % std::size(checked_atan2_families)];
            const Atan2Input in = draw_checked_atan2_input(family, generator);
            y[i] = in.y;
            x[i] = in.x;
        }
        if (!register_agrees(kernel, width, y.data(), x.data(), reference)) return false;
    }
    return true;
}

}  // namespace zorv::fast_atan2
