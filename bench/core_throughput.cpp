// Plans per second of the simulation core's paths on one thread, side by
// side on the same plans: the plain run of bench/plain_run.cpp, the core's
// scalar loop, and for AVX2 and, where the CPU has it, AVX-512: the lanes
// with the C library's atan2, one lane with the fast atan2 (how sim runs a
// plan) and the lanes with the fast atan2; the AVX-512 lanes also with
// every quotient from the divider (bench/divider_lanes.hpp). Then, per
// region of the plane, the share of the plans' link angles that the fast
// atan2 hands to the C library.
//
//   core_throughput PLANS.f64 [REPEATS]
//
// PLANS.f64 holds N plans of 40 native doubles. Each repeat runs every path
// once, in turn, so that a busy machine slows all of them alike; a path's
// rate is its best repeat, in this thread's processor time (time slices
// given to other processes do not count). Prints one line per path,
// "path <name> <plans per second> <scores that differ from the plain run>",
// and one per region, "region <name>\t<angles>\t<percent from the library>".
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <vector>

#include "divider_lanes.hpp"
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

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double seconds(ScorePath path, const std::vector<Plan>& plans, std::vector<double>& scores) {
    const double start = thread_seconds();
    path(plans.data(), scores.data(), plans.size());
    return thread_seconds() - start;
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
        paths.push_back({"avx512_lanes_divider", on_cursor<[](PlanCursor& c) { score_plans_avx512_divider(c, Atan2Source::c_library); }>});
    }
    if (avx512 && zorv::dispatch::fast_atan2_agrees_with(library, zorv::dispatch::instruction_set("avx512"))) {
        paths.push_back(
            {"avx512_lanes_fast_atan2", on_cursor<[](PlanCursor& c) { zorv::sim::score_plans_avx512(c, Atan2Source::fast_atan2); }>});
        paths.push_back(
            {"avx512_lanes_fast_atan2_divider", on_cursor<[](PlanCursor& c) { score_plans_avx512_divider(c, Atan2Source::fast_atan2); }>});
    }

    // The plain run first: every other path's scores are checked against it.
    std::vector<double> best(paths.size(), 1e300);
    std::vector<std::size_t> mismatches(paths.size(), 0);
    for (int r = 0; r < repeats; ++r) {
        for (std::size_t p = 0; p < paths.size(); ++p) {
            std::vector<double>& out = p == 0 ? reference : scores;
            const double took = seconds(paths[p].score, plans, out);
            if (took < best[p]) best[p] = took;
            std::size_t differ = 0;
            for (std::size_t i = 0; i < plans.size(); ++i) {
                if (std::memcmp(&out[i], &reference[i], sizeof(double)) != 0) ++differ;
            }
            if (differ > mismatches[p]) mismatches[p] = differ;
        }
    }
    for (std::size_t p = 0; p < paths.size(); ++p) {
        std::printf("path %s %.1f %zu\n", paths[p].name, static_cast<double>(plans.size()) / best[p], mismatches[p]);
    }
    if (zorv::dispatch::fast_atan2_available(four_lanes)) {
        print_library_shares(library_shares(angles_of_runs(plans)), "region ");
    }
    return 0;
}
