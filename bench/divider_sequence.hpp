// The eight AVX-512 lanes' quotients (src/simd/avx512.hpp) and the divider
// on the same quotients, timed as bench/divider_throughput.cpp times the
// divider: defined in divider_sequence_avx512.cpp, compiled as the lanes
// are; call only where the CPU has AVX-512 F and DQ.
#pragma once

struct QuotientRates {
    double throughput, latency;  // ns a register
    bool all_settled;            // the sequence settled every lane
};

QuotientRates divider8_ns(long rounds);
QuotientRates sequence8_ns(long rounds);
