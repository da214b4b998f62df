// The atan2 inputs the model itself produces, and how the fast atan2 handles
// them region by region: shared by the core benchmark and the atan2 survey.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "fast_atan2_survey.hpp"
#include "sim/plan.hpp"

// The (dy, dx) of every link angle in every step of the runs of the plans.
std::vector<zorv::fast_atan2::Atan2Input> angles_of_runs(std::span<const zorv::sim::Plan> plans);

// Per region: the pairs seen, and those the fast atan2 handed to the library.
struct RegionShare {
    std::size_t pairs = 0;
    std::size_t from_library = 0;
};
using RegionShares = std::array<RegionShare, zorv::fast_atan2::atan2_bounds::region_count>;

// Pairs with a zero, infinite or NaN component count in no region.
RegionShares library_shares(std::span<const zorv::fast_atan2::Atan2Input> pairs);

// One line per region: name, pairs, share from the library.
void print_library_shares(const RegionShares& shares, const char* prefix);
