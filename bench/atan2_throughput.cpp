// Nanoseconds per atan2 on one thread: the C library one call at a time
// against the fast atan2 of src/fast_atan2 on four lanes, on the same
// pairs.
//
//   atan2_throughput [PAIRS] [REPEATS]
//
// Prints one row per input family: the best time per pair of each path over
// REPEATS passes, the share of lanes the fast path handed to the library, and
// the pairs on which the two differ (always 0, or the fast path is wrong).
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fast_atan2/fast_atan2.hpp"
#include "fast_atan2_survey.hpp"
#include "instruction_set_rows.hpp"

namespace {

using zorv::fast_atan2::Atan2Family;

struct Pairs {
    std::vector<double> y, x;
};

// n pairs of one family, from a generator seeded with seed.
Pairs sample(std::size_t n, Atan2Family family, std::uint64_t seed) {
    zorv::fast_atan2::SplitMix64 generator{seed};
    Pairs p;
    p.y.resize(n);
    p.x.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const zorv::fast_atan2::Atan2Input in = zorv::fast_atan2::draw_atan2_input(family, generator);
        p.y[i] = in.y;
        p.x[i] = in.x;
    }
    return p;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Row {
    double library_ns, lanes_ns, library_share;
    std::size_t differing;
};

Row measure(const Pairs& p, int repeats) {
    const std::size_t n = p.y.size();
    std::vector<double> library(n), lanes(n);
    double best_library = 1e300, best_lanes = 1e300;
    std::size_t library_lanes = 0;
    for (int rep = 0; rep < repeats; ++rep) {
        auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < n; ++i) library[i] = std::atan2(p.y[i], p.x[i]);
        best_library = std::fmin(best_library, seconds_since(start));

        library_lanes = 0;
        start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < n; i += 4) {
            library_lanes += static_cast<std::size_t>(
                __builtin_popcount(zorv::fast_atan2::fast_atan2_lanes(&p.y[i], &p.x[i], &lanes[i])));
        }
        best_lanes = std::fmin(best_lanes, seconds_since(start));
    }
    std::size_t differing = 0;
    for (std::size_t i = 0; i < n; ++i) differing += std::memcmp(&library[i], &lanes[i], sizeof(double)) != 0;
    const double per = 1e9 / static_cast<double>(n);
    return {best_library * per, best_lanes * per, static_cast<double>(library_lanes) / static_cast<double>(n),
            differing};
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t pairs = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : (1u << 20);
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    pairs = (pairs + 3) / 4 * 4;
    if (!zorv::dispatch::fast_atan2_available(zorv::dispatch::instruction_set("avx2"))) {
        std::printf("this CPU lacks AVX2 or FMA: no fast path to measure\n");
        return 0;
    }
    struct Family {
        const char* name;
        Pairs pairs;
    };
    const Family families[] = {
        {"link-like", sample(pairs, Atan2Family::link, 1)},
        {"near-horizontal", sample(pairs, Atan2Family::near_horizontal, 2)},
        {"x>0, |y/x| in [1/16,1/2)", sample(pairs, Atan2Family::weak, 3)},
    };
    std::printf("%zu pairs, best of %d passes, one thread\n", pairs, repeats);
    std::printf("%-24s %12s %12s %8s %14s %9s\n", "inputs", "library ns", "lanes ns", "speedup",
                "from library", "differ");
    for (const Family& f : families) {
        const Row r = measure(f.pairs, repeats);
        std::printf("%-24s %12.2f %12.2f %7.2fx %13.2f%% %9zu\n", f.name, r.library_ns, r.lanes_ns,
                    r.library_ns / r.lanes_ns, 100.0 * r.library_share, r.differing);
    }
    return 0;
}
