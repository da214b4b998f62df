// The eight lanes' quotients over arrays, compiled as the AVX-512 lanes are.
#define ZORV_ISA avx512

#include "quotients.hpp"

#include <bit>
#include <cmath>

#include "fast_atan2/kernel.hpp"
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

namespace {

// The divider's quotients, with a look at every numerator said to be moderate.
struct ModerationCheck {
    std::size_t immoderate = 0;
    double first = 0.0;

    simd::Double8 operator()(simd::Double8 a, simd::Double8 b) { return a / b; }
    simd::Double8 with_moderate_numerator(simd::Double8 a, simd::Double8 b) {
        for (int i = 0; i < 8; ++i) {
            const double v = lane(a, i);
            const double size = std::fabs(v);
            const bool plus_zero = std::bit_cast<std::uint64_t>(v) == 0;
            if (!plus_zero && !(size >= 0x1p-965 && size <= 0x1.fffffffffffffp+1023) && immoderate++ == 0) first = v;
        }
        return a / b;
    }
};

}  // namespace

std::size_t immoderate_atan2_numerators(const double* y, const double* x, std::size_t count,
                                        double& first_immoderate) {
    using simd::Double8;
    ModerationCheck check;
    for (std::size_t i = 0; i < count; i += 8) {
        const Double8 y8 = Double8::load(y + i), x8 = Double8::load(x + i);
        fast_atan2::kernel::Rounded<Double8> out[1];
        fast_atan2::kernel::evaluate<Double8, 1>(&y8, &x8, out, check);
    }
    first_immoderate = check.first;
    return check.immoderate;
}

}  // namespace zorv::test
