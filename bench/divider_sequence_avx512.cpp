// The eight lanes' quotients 1.5 / v, by the FMA sequence and by the
// divider, each at full rate and in a chain (chains.hpp).
#define ZORV_ISA avx512

#include "chains.hpp"
#include "divider_sequence.hpp"
#include "simd/avx512.hpp"

using zorv::simd::Double8;

namespace {

struct DividerOp {
    __m512d start(double v) const { return _mm512_set1_pd(v); }
    __m512d operator()(__m512d v) const { return _mm512_div_pd(_mm512_set1_pd(1.5), v); }
};

// The numerator goes in as a register, so the sequence looks at r as it
// does for the step's numerators. The lanes settled are kept across the
// whole run, as a stage keeps them across its quotients.
struct SequenceOp {
    zorv::simd::Quotients<Double8>* quotients;
    __m512d start(double v) const { return _mm512_set1_pd(v); }
    __m512d operator()(__m512d v) const { return (*quotients)(Double8(_mm512_set1_pd(1.5)), Double8(v)).v; }
};

}  // namespace

QuotientRates divider8_ns(long rounds) {
    return {zorv::bench::ns_each<__m512d>(rounds, true, DividerOp{}),
            zorv::bench::ns_each<__m512d>(rounds, false, DividerOp{}), true};
}

QuotientRates sequence8_ns(long rounds) {
    zorv::simd::Quotients<Double8> quotients;
    const double throughput = zorv::bench::ns_each<__m512d>(rounds, true, SequenceOp{&quotients});
    const double latency = zorv::bench::ns_each<__m512d>(rounds, false, SequenceOp{&quotients});
    return {throughput, latency, quotients.all_settled()};
}
