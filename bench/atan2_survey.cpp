// Where the C library's atan2 rounds the wrong way, region by region, and
// how often the fast atan2 hands a lane to it.
//
//   atan2_survey [PAIRS_PER_REGION] [RUNS]
//
// Three sources of pairs: the link angles of RUNS runs of the model (half
// random plans, half plans near good ones found by a short hill climb),
// pairs uniform in [-1, 1]^2, and PAIRS_PER_REGION pairs drawn inside each
// region. For each source and region it prints the pairs the lanes compute,
// the library's wrong roundings among them (results that are not the
// nearest double to the lanes' unrounded value, itself within 2e-5 ULP of
// the exact angle), the largest distance of a wrong rounding from its
// rounding midpoint in ULP and as a share of the library's stated bound
// there, and the share of lanes the fast atan2 hands to the library.
// Run it once as it is and once with GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA
// for the library's other variant.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "model_angles.hpp"
#include "fast_atan2/fast_atan2.hpp"
#include "instruction_set_rows.hpp"
#include "sim/scoring.hpp"

using namespace zorv::fast_atan2;
using namespace zorv::sim;

namespace {

double ulp_of(double v) {
    int e;
    std::frexp(v, &e);
    return std::ldexp(1.0, e - 53);
}

struct RegionSurvey {
    std::size_t pairs = 0, wrong = 0, from_library = 0;
    double largest_ulp = 0, largest_of_bound = 0;
};
using Survey = std::array<RegionSurvey, atan2_bounds::region_count>;

void add(RegionSurvey& into, const RegionSurvey& from) {
    into.pairs += from.pairs;
    into.wrong += from.wrong;
    into.from_library += from.from_library;
    into.largest_ulp = std::fmax(into.largest_ulp, from.largest_ulp);
    into.largest_of_bound = std::fmax(into.largest_of_bound, from.largest_of_bound);
}

void survey_four(const double* y, const double* x, Survey& survey) {
    double nearest[4], residual[4], out[4];
    const unsigned applies = fast_atan2_before_rounding_lanes(y, x, nearest, residual);
    const unsigned library = fast_atan2_lanes(y, x, out);
    for (int i = 0; i < 4; ++i) {
        if (!((applies >> i) & 1u)) continue;
        RegionSurvey& s = survey[static_cast<std::size_t>(atan2_region(y[i], x[i]))];
        ++s.pairs;
        s.from_library += (library >> i) & 1u;
        const double result = std::atan2(y[i], x[i]);
        if (std::bit_cast<std::uint64_t>(result) == std::bit_cast<std::uint64_t>(nearest[i])) continue;
        ++s.wrong;
        // Below a power of two the spacing of the doubles halves.
        double spacing = ulp_of(nearest[i]);
        const double magnitude = std::fabs(nearest[i]);
        if (magnitude == std::ldexp(1.0, std::ilogb(magnitude)) && residual[i] * nearest[i] < 0) {
            spacing *= 0.5;
        }
        const double from_midpoint = 0.5 * spacing - std::fabs(residual[i]);
        s.largest_ulp = std::fmax(s.largest_ulp, from_midpoint / ulp_of(nearest[i]));
        s.largest_of_bound =
            std::fmax(s.largest_of_bound, from_midpoint / atan2_library_bound(y[i], x[i], nearest[i]));
    }
}

template <class Draw>
Survey survey_pairs(std::size_t count, Draw&& draw) {
    Survey survey{};
    for (std::size_t n = 0; n < count; n += 4) {
        double y[4], x[4];
        for (int i = 0; i < 4; ++i) {
            const Atan2Input in = draw();
            y[i] = in.y;
            x[i] = in.x;
        }
        survey_four(y, x, survey);
    }
    return survey;
}

// A pair inside the region, with u uniform over the region's range.
Atan2Input draw_in_region(int region, SplitMix64& r) {
    const double from = atan2_bounds::region(region).from_u;
    const double to = atan2_bounds::region(region).u_below;
    const double big = 0.5 + 1.5 * r.unit();
    const double small = big * (from + (to - from) * r.unit());
    const double small_signed = (r.next() & 1) ? -small : small;
    if (region < atan2_bounds::right_region_count) {
        return {small_signed, big};
    }
    // x < 0 below the diagonal, or any x above it.
    const double big_signed = (r.next() & 1) ? -big : big;
    return (r.next() & 1) ? Atan2Input{small_signed, -big} : Atan2Input{big_signed, small_signed};
}

double normal(SplitMix64& r) {
    const double u1 = 1.0 - r.unit(), u2 = r.unit();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

Plan random_plan(SplitMix64& r) {
    Plan plan;
    for (double& v : plan) v = 2.0 * r.unit() - 1.0;
    return plan;
}

double score(Plan plan) { return _sim(plan); }

// Half random plans, half plans near the results of short hill climbs.
std::vector<Plan> survey_plans(std::size_t count, SplitMix64& r) {
    std::vector<Plan> plans;
    for (std::size_t i = 0; i < count / 2; ++i) plans.push_back(random_plan(r));
    std::vector<Plan> good;
    for (int climb = 0; climb < 10; ++climb) {
        Plan best = random_plan(r);
        double best_score = score(best);
        for (int n = 0; n < 300; ++n) {
            Plan trial = best;
            for (double& v : trial) v += 0.1 * normal(r);
            const double s = score(trial);
            if (s > best_score) {
                best = trial;
                best_score = s;
            }
        }
        good.push_back(best);
    }
    while (plans.size() < count) {
        Plan near = good[plans.size() % good.size()];
        for (double& v : near) v += 0.05 * normal(r);
        plans.push_back(near);
    }
    return plans;
}

void print_survey(const char* source, const Survey& survey) {
    for (int g = 0; g < atan2_bounds::region_count; ++g) {
        const RegionSurvey& s = survey[static_cast<std::size_t>(g)];
        if (s.pairs == 0) continue;
        std::printf("%-8s %-26s %11zu %8zu %11.4f %9.3f %11.2f%%\n", source,
                    atan2_bounds::region(g).name, s.pairs, s.wrong, s.largest_ulp,
                    s.largest_of_bound,
                    100.0 * static_cast<double>(s.from_library) / static_cast<double>(s.pairs));
    }
    RegionSurvey all;
    for (const RegionSurvey& s : survey) add(all, s);
    std::printf("%-8s %-26s %11zu %8zu %11.4f %9.3f %11.2f%%\n", source, "all", all.pairs, all.wrong,
                all.largest_ulp, all.largest_of_bound,
                100.0 * static_cast<double>(all.from_library) / static_cast<double>(all.pairs));
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t per_region = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4'000'000;
    const std::size_t runs = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1500;
    if (!zorv::dispatch::fast_atan2_available(zorv::dispatch::instruction_set("avx2"))) {
        std::printf("this CPU lacks AVX2 or FMA: no fast path to survey\n");
        return 0;
    }
    std::printf("%-8s %-26s %11s %8s %11s %9s %12s\n", "source", "region", "pairs", "wrong",
                "largest ULP", "of bound", "to library");

    SplitMix64 r{0x5012e7ULL};
    const std::vector<Plan> plans = survey_plans(runs, r);
    const std::vector<Atan2Input> model = angles_of_runs(plans);
    std::size_t next = 0;
    print_survey("model", survey_pairs(model.size() / 4 * 4, [&] { return model[next++]; }));

    print_survey("uniform", survey_pairs(per_region * atan2_bounds::region_count, [&] {
                     return draw_atan2_input(Atan2Family::uniform, r);
                 }));

    Survey targeted{};
    for (int g = 0; g < atan2_bounds::region_count; ++g) {
        const Survey one = survey_pairs(per_region, [&] { return draw_in_region(g, r); });
        for (std::size_t h = 0; h < one.size(); ++h) add(targeted[h], one[h]);
    }
    print_survey("region", targeted);
    return 0;
}
