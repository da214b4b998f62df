// What a division and a square root of four lanes cost on this CPU at full
// throughput (eight independent chains) and in one dependent chain, and so
// what the divider alone costs a step of the four-lane batch core.
//
//   divider_throughput [ROUNDS]
//
// A four-lane step divides 16 times and takes 5 square roots in the physics
// (three divisions a link and the torso's stretch; a root a link), and the
// fast atan2 divides 3 times for each of its 5 registers. Compiled with AVX2;
// run it only on CPUs that have it.
#include <immintrin.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr int chains = 8;
constexpr int physics_divisions = 16, physics_roots = 5, atan2_divisions = 15;

// This thread's processor time: on a shared machine, time slices given to
// others do not count.
double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The register barrier keeps the compiler from merging or hoisting the chains.
template <class Op>
double ns_each(long rounds, bool independent, Op op) {
    __m256d v[chains];
    for (int i = 0; i < chains; ++i) v[i] = _mm256_set1_pd(1.5 + 0.125 * i);
    double best = 1e300;
    for (int repeat = 0; repeat < 5; ++repeat) {
        const double start = thread_seconds();
        for (long n = 0; n < rounds; ++n) {
            if (independent) {
                for (int i = 0; i < chains; ++i) v[i] = op(v[i]);
            } else {
                for (int i = 0; i < chains; ++i) v[0] = op(v[0]);
            }
            asm volatile("" : "+x"(v[0]), "+x"(v[1]), "+x"(v[2]), "+x"(v[3]), "+x"(v[4]), "+x"(v[5]),
                         "+x"(v[6]), "+x"(v[7]));
        }
        const double took = (thread_seconds() - start) * 1e9 / (static_cast<double>(rounds) * chains);
        if (took < best) best = took;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const long rounds = argc > 1 ? std::atol(argv[1]) : 4'000'000;
    const __m256d divisor = _mm256_set1_pd(1.0000001);
    const auto divide = [&](__m256d a) { return _mm256_div_pd(a, divisor); };
    const auto root = [](__m256d a) { return _mm256_sqrt_pd(a); };
    const double divide_throughput = ns_each(rounds, true, divide);
    const double root_throughput = ns_each(rounds, true, root);
    const double divide_latency = ns_each(rounds, false, divide);
    const double root_latency = ns_each(rounds, false, root);
    std::printf("%-28s %14s %12s\n", "four lanes", "ns at full rate", "ns in a chain");
    std::printf("%-28s %14.2f %12.2f\n", "vdivpd", divide_throughput, divide_latency);
    std::printf("%-28s %14.2f %12.2f\n", "vsqrtpd", root_throughput, root_latency);
    const double physics = physics_divisions * divide_throughput + physics_roots * root_throughput;
    const double angles = atan2_divisions * divide_throughput;
    std::printf("\nthe divider for one four-lane step at full rate: %.1f ns in the physics, "
                "%.1f ns in the fast atan2\n", physics, angles);
    return 0;
}
