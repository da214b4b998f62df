#include "model_angles.hpp"

#include <cmath>
#include <cstdio>

#include "fast_atan2/fast_atan2.hpp"
#include "sim/run_loop.hpp"

using namespace zorv::sim;
using namespace zorv::fast_atan2;

std::vector<Atan2Input> angles_of_runs(std::span<const Plan> plans) {
    std::vector<Atan2Input> pairs;
    for (Plan plan : plans) {
        normalise_plan(plan);
        RunnerState<double> state = start_state<double>();
        RunClock clock;
        for (;;) {
            // The step measures its links after the ground rule.
            RunnerState<double> grounded = state;
            apply_ground_rule(grounded);
            for (const LinkProperties& link : links) {
                pairs.push_back({grounded.y[link.distal] - grounded.y[link.proximal],
                                 grounded.x[link.distal] - grounded.x[link.proximal]});
            }
            const bool ends = step(state, blend_at(plan, clock));
            if (ends || !clock.advance()) break;
        }
    }
    return pairs;
}

namespace {

bool in_some_region(const Atan2Input& in) {
    return std::isfinite(in.y) && std::isfinite(in.x) && in.y != 0 && in.x != 0;
}

}  // namespace

RegionShares library_shares(std::span<const Atan2Input> pairs) {
    RegionShares shares{};
    for (std::size_t n = 0; n + 4 <= pairs.size(); n += 4) {
        double y[4], x[4], out[4];
        for (int i = 0; i < 4; ++i) {
            y[i] = pairs[n + i].y;
            x[i] = pairs[n + i].x;
        }
        const unsigned library = fast_atan2_lanes(y, x, out);
        for (int i = 0; i < 4; ++i) {
            if (!in_some_region(pairs[n + i])) continue;
            RegionShare& share = shares[static_cast<std::size_t>(atan2_region(y[i], x[i]))];
            ++share.pairs;
            share.from_library += (library >> i) & 1u;
        }
    }
    return shares;
}

void print_library_shares(const RegionShares& shares, const char* prefix) {
    RegionShare all;
    for (int r = 0; r < atan2_bounds::region_count; ++r) {
        const RegionShare& s = shares[static_cast<std::size_t>(r)];
        all.pairs += s.pairs;
        all.from_library += s.from_library;
        std::printf("%s%s\t%zu\t%.3f\n", prefix, atan2_bounds::region(r).name,
                    s.pairs, s.pairs ? 100.0 * static_cast<double>(s.from_library) / static_cast<double>(s.pairs) : 0.0);
    }
    std::printf("%s%s\t%zu\t%.3f\n", prefix, "all", all.pairs,
                all.pairs ? 100.0 * static_cast<double>(all.from_library) / static_cast<double>(all.pairs) : 0.0);
}
