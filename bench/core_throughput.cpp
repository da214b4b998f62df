// Plans per second of the simulation core's paths on one thread, side by
// side on the same plans: the plain run of bench/plain_run.cpp, the core's
// scalar loop, and for AVX2 and, where the CPU has it, AVX-512: the lanes
// with the C library's atan2, one lane with the fast atan2 (how sim runs a
// plan) and the lanes with the fast atan2. Then, per region of the plane,
// the share of the plans' link angles that the fast atan2 hands to the C
// library.
//
//   core_throughput PLANS.f64 [REPEATS]
//
// PLANS.f64 holds N plans of 40 native doubles. Prints one line per path,
// "path <name> <plans per second> <scores that differ from the plain run>",
// and one per region, "region <name>\t<angles>\t<percent from the library>".
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "model_angles.hpp"
#include "plain_run.hpp"
#include "instruction_set_rows.hpp"
#include "sim/run.hpp"

using zorv::dispatch::Atan2Source;
using zorv::sim::Plan;
using zorv::sim::PlanCursor;

namespace {

using ScorePath = void (*)(const Plan*, double*, std::size_t);

// A path that scores from a cursor, timed like the others on plain arrays.
template <auto score_from>
void on_cursor(const Plan* plans, double* scores, std::size_t count) {
    PlanCursor cursor(plans, scores, count);
    score_from(cursor);
}

double best_seconds(ScorePath path, const std::vector<Plan>& plans, std::vector<double>& scores,
                    int repeats) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        path(plans.data(), scores.data(), plans.size());
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (took.count() < best) best = took.count();
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PLANS.f64 [REPEATS]\n", argv[0]);
        return 2;
    }
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
    std::ifstream file(argv[1], std::ios::binary | std::ios::ate);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    const auto bytes = static_cast<std::size_t>(file.tellg());
    std::vector<Plan> plans(bytes / sizeof(Plan));
    file.seekg(0);
    file.read(reinterpret_cast<char*>(plans.data()), static_cast<std::streamsize>(plans.size() * sizeof(Plan)));

    std::vector<double> reference(plans.size());
    std::vector<double> scores(plans.size());
    struct Path {
        const char* name;
        ScorePath score;
    };
    std::vector<Path> paths{
        {"plain", [](const Plan* p, double* s, std::size_t n) {
             for (std::size_t i = 0; i < n; ++i) s[i] = plain_run_score(p[i].data());
         }},
        {"scalar", on_cursor<[](PlanCursor& c) { zorv::sim::score_plans_scalar(c); }>}};
    if (__builtin_cpu_supports("avx2")) {
        paths.push_back({"avx2_lanes", on_cursor<[](PlanCursor& c) { zorv::sim::score_plans_avx2(c, Atan2Source::c_library); }>});
    }
    double (*const library)(double, double) = [](double y, double x) { return std::atan2(y, x); };
    const zorv::dispatch::InstructionSet& four_lanes = zorv::dispatch::instruction_set("avx2");
    if (zorv::dispatch::fast_atan2_agrees_with(library, four_lanes)) {
        paths.push_back(
            {"one_lane_fast_atan2", on_cursor<[](PlanCursor& c) { zorv::sim::score_plans_one_lane_avx2(c); }>});
        paths.push_back(
            {"avx2_lanes_fast_atan2", on_cursor<[](PlanCursor& c) { zorv::sim::score_plans_avx2(c, Atan2Source::fast_atan2); }>});
    }
    const bool avx512 = zorv::dispatch::avx512_support() == zorv::dispatch::Avx512Support::usable;
    if (avx512) {
        paths.push_back({"avx512_lanes", on_cursor<[](PlanCursor& c) { zorv::sim::score_plans_avx512(c, Atan2Source::c_library); }>});
    }
    if (avx512 && zorv::dispatch::fast_atan2_agrees_with(library, zorv::dispatch::instruction_set("avx512"))) {
        paths.push_back(
            {"avx512_lanes_fast_atan2", on_cursor<[](PlanCursor& c) { zorv::sim::score_plans_avx512(c, Atan2Source::fast_atan2); }>});
    }

    for (const Path& path : paths) {
        std::vector<double>& out = path.score == paths[0].score ? reference : scores;
        const double seconds = best_seconds(path.score, plans, out, repeats);
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < plans.size(); ++i) {
            if (std::memcmp(&out[i], &reference[i], sizeof(double)) != 0) ++mismatches;
        }
        std::printf("path %s %.1f %zu\n", path.name, static_cast<double>(plans.size()) / seconds, mismatches);
    }
    if (zorv::dispatch::fast_atan2_available(four_lanes)) {
        print_library_shares(library_shares(angles_of_runs(plans)), "region ");
    }
    return 0;
}
