// Plans per second of the simulation core's paths on one thread, side by
// side on the same plans: the plain run of bench/plain_run.cpp, the core's
// scalar loop, one lane with the fast atan2 (how sim runs a plan), the SIMD
// lanes with the C library's atan2, and the lanes with the fast atan2. Then, per region of the plane, the share of the plans'
// link angles that the fast atan2 hands to the C library.
//
//   core_throughput PLANS.f64 [REPEATS]
//
// PLANS.f64 holds N plans of 40 native doubles. Prints one line per path,
// "path <name> <plans per second> <scores that differ from the plain run>",
// and one per region, "region <name>\t<angles>\t<percent from the library>".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "model_angles.hpp"
#include "plain_run.hpp"
#include "sim/fast_atan2.hpp"
#include "sim/run.hpp"

using zorv::sim::Plan;

namespace {

using ScorePath = void (*)(const Plan*, double*, std::size_t);

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
        {"scalar", [](const Plan* p, double* s, std::size_t n) {
             zorv::sim::PlanCursor cursor(p, s, n);
             zorv::sim::score_plans_scalar(cursor);
         }}};
    if (__builtin_cpu_supports("avx2")) {
        paths.push_back({"avx2_lanes", [](const Plan* p, double* s, std::size_t n) {
                             zorv::sim::PlanCursor cursor(p, s, n);
                             zorv::sim::score_plans_avx2(cursor, false);
                         }});
    }
    if (zorv::sim::batch_path() == zorv::sim::BatchPath::lanes_with_fast_atan2) {
        paths.push_back({"one_lane_fast_atan2", [](const Plan* p, double* s, std::size_t n) {
                             zorv::sim::PlanCursor cursor(p, s, n);
                             zorv::sim::score_plans_one_lane_avx2(cursor);
                         }});
        paths.push_back({"avx2_lanes_fast_atan2", [](const Plan* p, double* s, std::size_t n) {
                             zorv::sim::PlanCursor cursor(p, s, n);
                             zorv::sim::score_plans_avx2(cursor, true);
                         }});
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
    if (zorv::sim::fast_atan2_available()) {
        print_library_shares(library_shares(angles_of_runs(plans)), "region ");
    }
    return 0;
}
