// What a division and a square root of four lanes, and on CPUs with
// AVX-512 of eight, cost on this CPU at full throughput (eight independent
// chains) and in one dependent chain, and so what the divider alone costs a
// step of the four-lane and of the eight-lane batch core.
//
//   divider_throughput [ROUNDS]
//
// A four-lane step divides 16 times and takes 5 square roots in the physics
// (three divisions a link and the torso's stretch; a root a link), and the
// fast atan2 divides 3 times for each of its 5 registers; so does an
// eight-lane step. Compiled with AVX2, run it only on CPUs that have it; the
// eight-lane rows run only where the CPU has AVX-512 F.
#include <immintrin.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "chains.hpp"
#include "divider_sequence.hpp"

// The eight-lane functions take and return AVX-512 registers; they are
// always inlined into eight_lanes(), so no call passes one.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

using zorv::bench::ns_each;

constexpr int physics_divisions = 16, physics_roots = 5, atan2_divisions = 15;

struct Rates {
    double divide_throughput, root_throughput, divide_latency, root_latency;
};

struct Divide4 {
    __m256d start(double v) const { return _mm256_set1_pd(v); }
    __m256d operator()(__m256d a) const { return _mm256_div_pd(a, _mm256_set1_pd(1.0000001)); }
};
struct Root4 {
    __m256d start(double v) const { return _mm256_set1_pd(v); }
    __m256d operator()(__m256d a) const { return _mm256_sqrt_pd(a); }
};

Rates four_lanes(long rounds) {
    return {ns_each<__m256d>(rounds, true, Divide4{}), ns_each<__m256d>(rounds, true, Root4{}),
            ns_each<__m256d>(rounds, false, Divide4{}), ns_each<__m256d>(rounds, false, Root4{})};
}

struct Divide8 {
    [[gnu::target("avx512f")]] __m512d start(double v) const { return _mm512_set1_pd(v); }
    [[gnu::target("avx512f")]] __m512d operator()(__m512d a) const {
        return _mm512_div_pd(a, _mm512_set1_pd(1.0000001));
    }
};
struct Root8 {
    [[gnu::target("avx512f")]] __m512d start(double v) const { return _mm512_set1_pd(v); }
    [[gnu::target("avx512f")]] __m512d operator()(__m512d a) const {
        return _mm512_mask_sqrt_pd(a, 0xff, a);
    }
};

[[gnu::target("avx512f")]] Rates eight_lanes(long rounds) {
    return {ns_each<__m512d>(rounds, true, Divide8{}), ns_each<__m512d>(rounds, true, Root8{}),
            ns_each<__m512d>(rounds, false, Divide8{}), ns_each<__m512d>(rounds, false, Root8{})};
}

void print(const char* lanes, const Rates& r) {
    std::printf("%-28s %14s %12s\n", lanes, "ns at full rate", "ns in a chain");
    std::printf("%-28s %14.2f %12.2f\n", "vdivpd", r.divide_throughput, r.divide_latency);
    std::printf("%-28s %14.2f %12.2f\n", "vsqrtpd", r.root_throughput, r.root_latency);
    const double physics = physics_divisions * r.divide_throughput + physics_roots * r.root_throughput;
    const double angles = atan2_divisions * r.divide_throughput;
    std::printf("\nthe divider for one %s step at full rate: %.1f ns in the physics, "
                "%.1f ns in the fast atan2\n\n", lanes, physics, angles);
}

}  // namespace

int main(int argc, char** argv) {
    const long rounds = argc > 1 ? std::atol(argv[1]) : 4'000'000;
    print("four lanes", four_lanes(rounds));
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) {
        print("eight lanes", eight_lanes(rounds));
        // A quotient 1.5 / v with v varying, so that every quotient needs
        // its own reciprocal, as most of the step's do.
        const QuotientRates divider = divider8_ns(rounds), sequence = sequence8_ns(rounds);
        std::printf("%-28s %14s %12s\n", "eight lanes, 1.5 / v", "ns at full rate", "ns in a chain");
        std::printf("%-28s %14.2f %12.2f\n", "vdivpd", divider.throughput, divider.latency);
        std::printf("%-28s %14.2f %12.2f%s\n", "FMA sequence", sequence.throughput, sequence.latency,
                    sequence.all_settled ? "" : " (some lanes unsettled)");
        std::printf("\nthe FMA sequence for one eight-lane step's %d divisions at full rate: %.1f ns "
                    "(the divider %.1f ns)\n", physics_divisions + atan2_divisions,
                    (physics_divisions + atan2_divisions) * sequence.throughput,
                    (physics_divisions + atan2_divisions) * divider.throughput);
    }
    return 0;
}
