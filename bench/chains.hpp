// Timing of one operation at full throughput (eight independent chains)
// and in one dependent chain, for bench/divider_throughput.cpp and the
// eight lanes' quotients beside it (divider_sequence_avx512.cpp).
#pragma once

#include <ctime>

namespace zorv::bench {

inline constexpr int chains = 8;

// This thread's processor time: on a shared machine, time slices given to
// others do not count.
inline double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The register barrier keeps the compiler from merging or hoisting the chains.
template <class V, class Op>
[[gnu::always_inline]] inline double ns_each(long rounds, bool independent, Op op) {
    V v[chains];
    for (int i = 0; i < chains; ++i) v[i] = op.start(1.5 + 0.125 * i);
    double best = 1e300;
    for (int repeat = 0; repeat < 5; ++repeat) {
        const double start = thread_seconds();
        for (long n = 0; n < rounds; ++n) {
            if (independent) {
                for (int i = 0; i < chains; ++i) v[i] = op(v[i]);
            } else {
                for (int i = 0; i < chains; ++i) v[0] = op(v[0]);
            }
            asm volatile("" : "+v"(v[0]), "+v"(v[1]), "+v"(v[2]), "+v"(v[3]), "+v"(v[4]), "+v"(v[5]),
                         "+v"(v[6]), "+v"(v[7]));
        }
        const double took = (thread_seconds() - start) * 1e9 / (static_cast<double>(rounds) * chains);
        if (took < best) best = took;
    }
    return best;
}

}  // namespace zorv::bench
