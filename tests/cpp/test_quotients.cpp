// The eight AVX-512 lanes' quotients against the divider, bit for bit, on
// millions of operand pairs: every lane the sequence settles must hold the
// IEEE quotient (round to nearest, ties to even) that a plain division
// gives; an unsettled lane's value is unspecified, since its stage redoes
// it with the divider. Settled lanes are never NaN, so a NaN quotient's
// payload never needs to agree. And the sequence must settle almost every
// quotient of ordinary operands, or the lanes would gain nothing.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "dispatch/cpu_support.hpp"
#include "exact_double.hpp"
#include "quotients.hpp"

namespace zorv::test {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

double from_bits(std::uint64_t b) { return std::bit_cast<double>(b); }

struct Pairs {
    std::vector<double> a, b;
    void add(double x, double y) { a.push_back(x), b.push_back(y); }
    // A multiple of the eight lanes; the padding divides 1 by 1.
    void pad() { while (a.size() % 8 != 0) add(1.0, 1.0); }
};

// A double whose exponent field is drawn from [low, high] and whose
// significand is random, all ones, all zeros or one off either (the
// neighbours of powers of two), with a random sign.
double draw(std::mt19937_64& rng, unsigned low, unsigned high) {
    const std::uint64_t exponent = std::uniform_int_distribution<unsigned>(low, high)(rng);
    std::uint64_t mantissa = rng() & 0x000fffffffffffffULL;
    switch (rng() % 8) {
        case 0: mantissa = 0; break;
        case 1: mantissa = 1; break;
        case 2: mantissa = 0x000fffffffffffffULL; break;
        case 3: mantissa = 0x000ffffffffffffeULL; break;
        default: break;
    }
    return from_bits((rng() & 0x8000000000000000ULL) | exponent << 52 | mantissa);
}

struct Result {
    std::size_t pairs = 0, settled = 0, wrong = 0;
    std::string first_wrong;
};

Result check(QuotientForm form, Pairs& p) {
    p.pad();
    std::vector<double> q(p.a.size());
    std::vector<std::uint8_t> settled(p.a.size());
    quotients_avx512(form, p.a.data(), p.b.data(), q.data(), settled.data(), p.a.size());
    Result r;
    r.pairs = p.a.size();
    for (std::size_t i = 0; i < p.a.size(); ++i) {
        if (!settled[i]) continue;
        ++r.settled;
        const double a = form == QuotientForm::constant_numerator ? p.a[0] : p.a[i];
        const double b = form == QuotientForm::constant_divisor ? p.b[0] : p.b[i];
        const double divider = a / b;
        if (bits(q[i]) != bits(divider)) {
            if (r.wrong++ == 0) r.first_wrong = describe(a) + " / " + describe(b) + " gave " + describe(q[i]) +
                                               ", the divider " + describe(divider);
        }
    }
    return r;
}

class Quotients8 : public ::testing::Test {
protected:
    void SetUp() override {
        if (dispatch::avx512_support() != dispatch::Avx512Support::usable) GTEST_SKIP() << "this CPU lacks AVX-512";
    }
    std::mt19937_64 rng{20261210};
};

TEST_F(Quotients8, AgreeWithTheDividerOverEveryExponentRange) {
    // Both operands anywhere from the subnormals (field 0) to the
    // infinities and NaN (field 2047); then both near 1, where almost all
    // of the step's quotients lie; then the edges: 1/b subnormal, b
    // subnormal, quotients that underflow or overflow.
    struct Band {
        unsigned a_low, a_high, b_low, b_high;
        int count;
    };
    const Band bands[] = {{0, 2047, 0, 2047, 2'000'000}, {1013, 1033, 1013, 1033, 2'000'000},
                          {1, 2046, 2045, 2046, 250'000}, {0, 2046, 0, 2, 250'000},
                          {0, 60, 900, 2046, 250'000},   {1980, 2046, 0, 120, 250'000}};
    Pairs p;
    for (const Band& band : bands) {
        for (int i = 0; i < band.count; ++i) p.add(draw(rng, band.a_low, band.a_high), draw(rng, band.b_low, band.b_high));
    }
    const Result r = check(QuotientForm::any, p);
    EXPECT_EQ(r.wrong, 0u) << r.first_wrong;
    // Every lane with finite nonzero normal operands and a normal quotient
    // well inside the range is about two thirds of the pairs; the few
    // quotients the sequence leaves are zeros, subnormals, infinities and
    // NaN, and about one in 2^24 of the others.
    EXPECT_GT(r.settled, r.pairs / 2);
}

TEST_F(Quotients8, AgreeOnQuotientsNearTheRoundingBoundaries) {
    // a = RN(m b) for m a midpoint between two neighbouring doubles: a / b
    // lies within an ulp or so of m, on either side. And exact quotients
    // (a = q b with short significands), where r is zero.
    Pairs near, exact;
    for (int i = 0; i < 1'000'000; ++i) {
        const double b = draw(rng, 1000, 1046);
        const double q = draw(rng, 990, 1056);
        const double midpoint = q + (std::nextafter(q, 2 * q) - q) / 2;
        near.add(midpoint * b, b);
        const double short_b = std::ldexp(static_cast<double>(rng() >> 38 | 1), static_cast<int>(rng() % 40) - 20);
        const double short_q = std::ldexp(static_cast<double>(rng() >> 38 | 1), static_cast<int>(rng() % 40) - 20);
        exact.add(short_q * short_b, short_b);
        exact.add(0.0, short_b * ((rng() & 1) ? -1.0 : 1.0));
    }
    const Result r = check(QuotientForm::any, near);
    EXPECT_EQ(r.wrong, 0u) << r.first_wrong;
    // Some of these lie within 2^-100 of the midpoint (1 + 2^-52 over
    // 2 - 2^-52, say), closer than the bracket: the divider takes them.
    EXPECT_GT(r.settled, r.pairs * 95 / 100);
    // A moderate numerator (or +0) needs no look at r: exact quotients and
    // zeros settle.
    const Result e = check(QuotientForm::moderate, exact);
    EXPECT_EQ(e.wrong, 0u) << e.first_wrong;
    EXPECT_GT(e.settled, e.pairs * 99 / 100);
}

TEST_F(Quotients8, AgreeOnSubnormalTiesAndTheEdgesOfTheRange) {
    // The only exact midpoints of a quotient: subnormal ones, (2k + 1)
    // 2^-1075 = a / 2^m, for numerators on both sides of 2^-965. Then the
    // special operands against one another and against ordinary ones.
    Pairs p;
    for (int i = 0; i < 400'000; ++i) {
        const int m = static_cast<int>(rng() % 200);
        const double odd = static_cast<double>(2 * (rng() >> 12) + 1);
        p.add(std::ldexp(odd, m - 1075) * ((rng() & 1) ? -1.0 : 1.0), std::ldexp(1.0, m) * ((rng() & 1) ? -1.0 : 1.0));
    }
    const double specials[] = {0.0,     -0.0,        inf,         -inf,        std::nan(""),
                               -std::nan(""), 0x1p-1074, -0x1p-1074, 0x1p-1022,   0x1.fffffffffffffp-1023,
                               0x1.fffffffffffffp+1023, -0x1p+1023, 0x1p-965, 0x1p-966, 1.0,
                               -3.0,    0x1.8p+1022, 0x1p+1022};
    for (double x : specials) {
        for (double y : specials) p.add(x, y);
        for (int i = 0; i < 2'000; ++i) {
            const double other = draw(rng, 0, 2047);
            p.add(x, other), p.add(other, x);
        }
    }
    for (QuotientForm form : {QuotientForm::any, QuotientForm::constant_divisor}) {
        const Result r = check(form, p);
        EXPECT_EQ(r.wrong, 0u) << r.first_wrong;
    }
    // Zero numerators settle, with the divider's sign, over ordinary
    // divisors of both signs.
    Pairs zeros;
    for (int i = 0; i < 100'000; ++i) zeros.add((rng() & 1) ? -0.0 : 0.0, draw(rng, 1, 2045));
    const Result z = check(QuotientForm::any, zeros);
    EXPECT_EQ(z.wrong, 0u) << z.first_wrong;
    EXPECT_EQ(z.settled, z.pairs);
}

TEST_F(Quotients8, AgreeWithAConstantNumeratorOrDivisor) {
    // A constant numerator of moderate size skips the look at r; one
    // outside [2^-965, 2^1024) keeps it. A power of two as divisor becomes
    // a product.
    const double numerators[] = {1.0, -1.0, 0x1p-965, 0x1.fffffffffffffp+1023, 0x1p-966, 0x1p-1074, 0.0, 3.0};
    const double divisors[] = {0.5, 0.9, 0x1p-1022, 0x1p+1023, 3.0, -0.0, inf};
    for (double numerator : numerators) {
        Pairs p;
        p.add(numerator, 1.0);
        for (int i = 0; i < 200'000; ++i) p.add(numerator, draw(rng, 0, 2047));
        const Result r = check(QuotientForm::constant_numerator, p);
        EXPECT_EQ(r.wrong, 0u) << r.first_wrong;
    }
    for (double divisor : divisors) {
        Pairs p;
        p.add(1.0, divisor);
        for (int i = 0; i < 200'000; ++i) p.add(draw(rng, 0, 2047), divisor);
        const Result r = check(QuotientForm::constant_divisor, p);
        EXPECT_EQ(r.wrong, 0u) << r.first_wrong;
    }
}

TEST_F(Quotients8, TheFastAtan2sModerateNumeratorsAreSo) {
    // The fast atan2 divides without a look at r, its numerators being +0
    // or at least 2^-632 in size for components in its range: held here
    // over components from the range's ends, ratios on and near the table's
    // steps k / 128 (where the numerators cancel), and components out of
    // range or not finite (computed on 1 / 1).
    Pairs p;
    const unsigned low = 1023 - 450, high = 1023 + 449;
    for (int i = 0; i < 400'000; ++i) {
        p.add(draw(rng, low, high), draw(rng, low, high));
        const double d = draw(rng, low, high);
        const double step = std::ldexp(static_cast<double>(rng() % 129), -7);
        const double n = (rng() % 3 == 0) ? d * step : std::nextafter(d * step, (rng() & 1) ? 0.0 : inf);
        if (n >= 0x1p-450) (rng() & 1) ? p.add(n, d) : p.add(-d, n);
        const double edge = (rng() & 1) ? 0x1p-450 : 0x1p450;
        p.add(edge, draw(rng, low, high)), p.add(draw(rng, low, high), -edge);
    }
    const double outside[] = {0.0, -0.0, 0x1p-451, 0x1p451, inf, std::nan(""), 0x1p-1074};
    for (double v : outside) {
        for (int i = 0; i < 1'000; ++i) p.add(v, draw(rng, 0, 2047)), p.add(draw(rng, 0, 2047), v);
    }
    p.pad();
    double first = 0.0;
    EXPECT_EQ(immoderate_atan2_numerators(p.a.data(), p.b.data(), p.a.size(), first), 0u)
        << "first: " << describe(first);
}

}  // namespace
}  // namespace zorv::test
