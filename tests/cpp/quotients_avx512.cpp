// The eight lanes' quotients over arrays, compiled as the AVX-512 lanes are.
#define ZORV_ISA avx512

#include "quotients.hpp"
#include "simd/avx512.hpp"

namespace zorv::test {

void quotients_avx512(QuotientForm form, const double* a, const double* b, double* q, std::uint8_t* settled,
                      std::size_t count) {
    using simd::Double8;
    for (std::size_t i = 0; i < count; i += 8) {
        simd::Quotients<Double8> quotients;
        Double8 out;
        switch (form) {
            case QuotientForm::any: out = quotients(Double8::load(a + i), Double8::load(b + i)); break;
            case QuotientForm::moderate:
                out = quotients.with_moderate_numerator(Double8::load(a + i), Double8::load(b + i));
                break;
            case QuotientForm::constant_numerator: out = quotients(a[0], Double8::load(b + i)); break;
            case QuotientForm::constant_divisor: out = quotients(Double8::load(a + i), b[0]); break;
        }
        store(q + i, out);
        const unsigned lanes = lane_bits(quotients.settled());
        for (int lane = 0; lane < 8; ++lane) settled[i + lane] = (lanes >> lane) & 1u;
    }
}

}  // namespace zorv::test
