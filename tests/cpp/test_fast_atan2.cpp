// The fast atan2 against the C library's atan2, bit for bit.
//
// The sampled check covers 5e8 pairs in its default run (2 to 4 s per 1e8 on
// two threads here); ZORV_ATAN2_SAMPLES=N runs N pairs in total instead,
// spread over the same families in the same proportions.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "exact_double.hpp"
#include "fast_atan2/fast_atan2.hpp"
#include "fast_atan2/inputs.hpp"
#include "fast_atan2_survey.hpp"
#include "instruction_set_rows.hpp"

namespace {

using zorv::fast_atan2::Atan2Family;
using zorv::fast_atan2::Atan2Input;
using zorv::fast_atan2::draw_atan2_input;
using zorv::fast_atan2::fast_atan2_before_rounding_lanes;
using zorv::fast_atan2::fast_atan2_hard_inputs;
using zorv::fast_atan2::fast_atan2_lanes;
using zorv::fast_atan2::fast_atan2_lanes8;
using zorv::fast_atan2::fast_atan2_special_values;
using zorv::fast_atan2::SplitMix64;
using zorv::dispatch::fast_atan2_agrees_with;
using zorv::dispatch::fast_atan2_agrees_with_unchecked;
using zorv::dispatch::fast_atan2_available;
using zorv::dispatch::instruction_set;
using zorv::dispatch::InstructionSet;
using zorv::test::bits;

double library_atan2(double y, double x) { return std::atan2(y, x); }

// The rows of the four-lane and the eight-lane kernels.
const InstructionSet& four_lanes() { return instruction_set("avx2"); }
const InstructionSet& eight_lanes() { return instruction_set("avx512"); }

double from_bits(std::uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

// ULP of a finite nonzero double: the spacing just above its magnitude.
double ulp_of(double v) {
    int e;
    std::frexp(v, &e);
    return std::ldexp(1.0, e - 53);
}

struct FamilyRun {
    Atan2Family family;
    const char* name;
    double share;  // of the total sample count
};

const FamilyRun families[] = {
    {Atan2Family::uniform, "uniform", 0.25}, {Atan2Family::link, "link-like", 0.35},
    {Atan2Family::weak, "x>0,|y/x| in [1/16,1/2)", 0.10}, {Atan2Family::near_axis, "near-axis", 0.10},
    {Atan2Family::tiny, "tiny components", 0.07}, {Atan2Family::wide, "wide exponents", 0.07},
    {Atan2Family::special, "special values", 0.03}, {Atan2Family::power_of_two, "angles near 2^k", 0.03},
};

void make_pair(Atan2Family family, SplitMix64& r, double& y, double& x) {
    const Atan2Input in = draw_atan2_input(family, r);
    y = in.y;
    x = in.x;
}

struct Tally {
    std::uint64_t checked = 0;
    std::uint64_t mismatches = 0;
    std::uint64_t library_lanes = 0;
    double first_y = 0, first_x = 0, first_got = 0, first_want = 0;

    void add(const Tally& o) {
        if (mismatches == 0 && o.mismatches != 0) {
            first_y = o.first_y;
            first_x = o.first_x;
            first_got = o.first_got;
            first_want = o.first_want;
        }
        checked += o.checked;
        mismatches += o.mismatches;
        library_lanes += o.library_lanes;
    }
};

// Checks four lanes against the C library.
void check_lanes(const double* y, const double* x, Tally& t) {
    double out[4];
    const unsigned library = fast_atan2_lanes(y, x, out);
    t.library_lanes += static_cast<unsigned>(__builtin_popcount(library));
    for (int i = 0; i < 4; ++i) {
        const double want = std::atan2(y[i], x[i]);
        ++t.checked;
        if (bits(out[i]) != bits(want)) {
            if (t.mismatches == 0) {
                t.first_y = y[i];
                t.first_x = x[i];
                t.first_got = out[i];
                t.first_want = want;
            }
            ++t.mismatches;
        }
    }
}

Tally run_family(Atan2Family family, std::uint64_t seed, std::uint64_t count) {
    SplitMix64 r{seed};
    Tally t;
    for (std::uint64_t n = 0; n < count; n += 4) {
        double y[4], x[4];
        for (int i = 0; i < 4; ++i) make_pair(family, r, y[i], x[i]);
        check_lanes(y, x, t);
    }
    return t;
}

// Two threads, each with its own seed, for one family.
Tally run_family_on_two_threads(Atan2Family family, std::uint64_t seed, std::uint64_t count) {
    Tally halves[2];
    std::thread other([&] { halves[1] = run_family(family, seed * 2 + 1, count / 2); });
    halves[0] = run_family(family, seed * 2, count - count / 2);
    other.join();
    halves[0].add(halves[1]);
    return halves[0];
}

std::uint64_t total_samples() {
    if (const char* s = std::getenv("ZORV_ATAN2_SAMPLES")) {
        const unsigned long long n = std::strtoull(s, nullptr, 10);
        if (n > 0) return n;
    }
    return 500'000'000;
}

// The check rejects reference on every width this CPU runs.
#define EXPECT_REJECTED(reference)                                                    \
    for (const InstructionSet* width : both_widths())                                 \
    if (fast_atan2_available(*width))                                                 \
    EXPECT_FALSE(fast_atan2_agrees_with_unchecked(reference, *width)) << name_of(*width)

#define REQUIRE_LANES()                                                             \
    do {                                                                            \
        if (!fast_atan2_available(four_lanes())) GTEST_SKIP() << "this CPU lacks AVX2 or FMA"; \
    } while (0)

TEST(FastAtan2, MatchesTheLibraryOnSampledFamilies) {
    REQUIRE_LANES();
    const std::uint64_t total = total_samples();
    Tally all;
    std::uint64_t seed = 2024;
    for (const FamilyRun& f : families) {
        const std::uint64_t count = static_cast<std::uint64_t>(f.share * static_cast<double>(total));
        const Tally t = run_family_on_two_threads(f.family, seed++, count);
        std::printf("  %-26s %11llu pairs, %llu mismatches, %.3f%% from the library\n", f.name,
                    static_cast<unsigned long long>(t.checked),
                    static_cast<unsigned long long>(t.mismatches),
                    100.0 * static_cast<double>(t.library_lanes) / static_cast<double>(t.checked));
        EXPECT_EQ(t.mismatches, 0u) << f.name << ": first at atan2(" << zorv::test::describe(t.first_y)
                                    << ", " << zorv::test::describe(t.first_x) << ") = "
                                    << zorv::test::describe(t.first_got) << ", library "
                                    << zorv::test::describe(t.first_want);
        all.add(t);
    }
    std::printf("  %-26s %11llu pairs, %llu mismatches, %.3f%% from the library\n", "all",
                static_cast<unsigned long long>(all.checked),
                static_cast<unsigned long long>(all.mismatches),
                100.0 * static_cast<double>(all.library_lanes) / static_cast<double>(all.checked));
    EXPECT_GE(static_cast<double>(all.checked), 0.999 * static_cast<double>(total));
}

// Every fixed input of the agreement check, with all four sign combinations,
// with y and x exchanged, and with each component moved up to 3 ULP either
// way: pairs near the library's wrong roundings.
TEST(FastAtan2, MatchesTheLibraryAroundTheHardInputs) {
    REQUIRE_LANES();
    const auto hard = fast_atan2_hard_inputs();
    const std::size_t count = hard.size();
    ASSERT_GT(count, 200u);
    Tally t;
    for (std::size_t i = 0; i < count; ++i) {
        for (int dy = -3; dy <= 3; ++dy) {
            for (int dx = -3; dx <= 3; ++dx) {
                double y = hard[i].y, x = hard[i].x;
                for (int k = 0; k < dy; ++k) y = std::nextafter(y, INFINITY);
                for (int k = 0; k > dy; --k) y = std::nextafter(y, -INFINITY);
                for (int k = 0; k < dx; ++k) x = std::nextafter(x, INFINITY);
                for (int k = 0; k > dx; --k) x = std::nextafter(x, -INFINITY);
                const double ys[4] = {y, -y, x, -x};
                const double xs[4] = {x, -x, y, -y};
                check_lanes(ys, xs, t);
                const double ys2[4] = {-y, y, -x, x};
                check_lanes(ys2, xs, t);
            }
        }
    }
    EXPECT_EQ(t.mismatches, 0u) << "first at atan2(" << zorv::test::describe(t.first_y) << ", "
                                << zorv::test::describe(t.first_x) << ") = "
                                << zorv::test::describe(t.first_got) << ", library "
                                << zorv::test::describe(t.first_want);
}

// Zeros, infinities, NaN, subnormals and components outside [2^-450, 2^450]
// are the library's, and so are its NaN payloads.
TEST(FastAtan2, SpecialValuesAreTheLibrarys) {
    REQUIRE_LANES();
    const auto special_values = fast_atan2_special_values();
    for (std::size_t i = 0; i < special_values.size(); ++i) {
        for (std::size_t j = 0; j < special_values.size(); ++j) {
            const double y[4] = {special_values[i], special_values[i], 1.5, -0.75};
            const double x[4] = {special_values[j], 0.5, special_values[j], special_values[i]};
            double out[4];
            const unsigned library = fast_atan2_lanes(y, x, out);
            for (int k = 0; k < 4; ++k) {
                EXPECT_SAME_DOUBLE(out[k], std::atan2(y[k], x[k]))
                    << "atan2(" << zorv::test::describe(y[k]) << ", " << zorv::test::describe(x[k]) << ")";
                const double a = std::fabs(y[k]), b = std::fabs(x[k]);
                const bool in_range = a >= 0x1p-450 && a <= 0x1p450 && b >= 0x1p-450 && b <= 0x1p450;
                if (!in_range) {
                    EXPECT_TRUE((library >> k) & 1u)
                        << "atan2(" << zorv::test::describe(y[k]) << ", " << zorv::test::describe(x[k])
                        << ") was not handed to the library";
                }
            }
        }
    }
}

// The eight-lane kernel is the four-lane one's source on wider registers:
// the same angle and the same choice of the library's lanes on every pair,
// drawn from every family, around every fixed input and among the special
// values, with the lanes of one register in both orders.
TEST(FastAtan2, EightLanesGiveTheFourLanesBits) {
    REQUIRE_LANES();
    if (!fast_atan2_available(eight_lanes())) GTEST_SKIP() << "this CPU lacks AVX-512";
    std::vector<Atan2Input> pairs;
    SplitMix64 r{77};
    for (const FamilyRun& f : families) {
        for (int i = 0; i < 200'000; ++i) pairs.push_back(draw_atan2_input(f.family, r));
    }
    for (const Atan2Input& in : fast_atan2_hard_inputs()) {
        for (int d = -2; d <= 2; ++d) {
            const double y = d < 0 ? std::nextafter(in.y, -INFINITY) : d > 0 ? std::nextafter(in.y, INFINITY) : in.y;
            pairs.push_back({y, in.x});
            pairs.push_back({-in.x, y});
        }
    }
    for (const double a : fast_atan2_special_values()) {
        for (const double b : fast_atan2_special_values()) pairs.push_back({a, b});
    }
    while (pairs.size() % 8 != 0) pairs.push_back({1.0, 1.0});
    std::size_t differing = 0, from_library = 0;
    for (std::size_t i = 0; i < pairs.size(); i += 8) {
        double y[8], x[8], four[8], eight[8];
        for (int k = 0; k < 8; ++k) {
            // Reversed for the eight lanes every other register.
            const std::size_t at = i + static_cast<std::size_t>((i / 8) % 2 ? 7 - k : k);
            y[k] = pairs[at].y;
            x[k] = pairs[at].x;
        }
        const unsigned library4 = fast_atan2_lanes(y, x, four) | fast_atan2_lanes(y + 4, x + 4, four + 4) << 4;
        const unsigned library8 = fast_atan2_lanes8(y, x, eight);
        from_library += static_cast<std::size_t>(__builtin_popcount(library8));
        for (int k = 0; k < 8; ++k) {
            if (bits(four[k]) != bits(eight[k]) || ((library4 ^ library8) >> k & 1u)) {
                if (differing++ == 0) {
                    ADD_FAILURE() << "atan2(" << zorv::test::describe(y[k]) << ", "
                                  << zorv::test::describe(x[k]) << "): four lanes "
                                  << zorv::test::describe(four[k]) << ((library4 >> k & 1u) ? " (library)" : "")
                                  << ", eight " << zorv::test::describe(eight[k])
                                  << ((library8 >> k & 1u) ? " (library)" : "");
                }
            }
        }
    }
    EXPECT_EQ(differing, 0u);
    EXPECT_GT(from_library, pairs.size() / 200);  // the comparison reaches the library's lanes too
}

// The output array may be one of the inputs.
TEST(FastAtan2, OutputMayOverwriteAnInput) {
    REQUIRE_LANES();
    double y[4] = {0.3, -1.25, 0.0, 7.0};
    double x[4] = {1.0, 0.5, -2.0, -3.5};
    const double want[4] = {std::atan2(0.3, 1.0), std::atan2(-1.25, 0.5), std::atan2(0.0, -2.0),
                            std::atan2(7.0, -3.5)};
    fast_atan2_lanes(y, x, y);
    for (int i = 0; i < 4; ++i) EXPECT_SAME_DOUBLE(y[i], want[i]);
}

// atan2 to 300 bits as hi + lo, for pairs spread over the octants and for the
// pairs where the lanes' value was found least accurate (t just below 1/256).
struct Exact {
    double y, x, hi, lo;
};
const Exact exact_values[] = {
    {0x1.244b0a341a4bap-13, 0x1.25c24a9c0740cp-5, 0x1.fd714ec36123cp-9, 0x1.598a4122c100ep-71},
    {0x1.7f7ae6e388191p-9, 0x1.923e0ab4606c7p-1, 0x1.e81dad19b3a8ep-9, -0x1.3ef3ad0108115p-63},
    {0x1.78570214d9800p-9, 0x1.9a488becd291cp-1, 0x1.d5a3a78d0cf1ap-9, 0x1.e8e0499cddaa2p-63},
    {0x1.528682a7c1a80p-8, 0x1.7a8cf8b67f182p+0, 0x1.c9dce86cf3437p-9, 0x1.b9c98db4032f9p-64},
    {0x1.76c1485e90d5ep-9, 0x1.7960b7ac9ce9bp-1, 0x1.fc70641baa147p-9, 0x1.f870bdfe6e378p-63},
    {0x1.9021ce9b05306p-10, 0x1.b91d743d0a9f5p-2, 0x1.d06de6b012ef4p-9, -0x1.f0f5675fdf3a6p-63},
    {0x1.67113e62b6e00p-9, 0x1.81bd402311330p-1, 0x1.dc9880926e13dp-9, 0x1.82729a4aa915cp-68},
    {0x1.41754c782a200p-9, 0x1.4b4a81fca8f30p-1, 0x1.f0cd1f6a12127p-9, -0x1.ff6edc0628c14p-72},
    {0x1.3fdb13f44e800p-8, 0x1.bacae5a55d006p-1, 0x1.71d83466dd6d5p-8, -0x1.9413a412b7b83p-63},
    {0x1.f379cfd368f16p-11, 0x1.0d59e2c4bbfa0p+0, 0x1.dab7c38d29d09p-11, 0x1.c20a180517c38p-65},
    {-0x1.151494882046fp-3, 0x1.62dcffd5b7787p+0, -0x1.8e830dc3aa65ap-4, -0x1.9692e75225282p-59},
    {-0x1.13422dac03e60p-12, 0x1.f87697d1f85b1p-3, -0x1.175eecd3595a0p-10, 0x1.3e476c391adbdp-64},
    {0x1.05b126d918f00p-6, 0x1.14a5b62a8d074p-2, 0x1.e3c234ec61428p-5, -0x1.405d7b717e775p-59},
    {0x1.11745b419952bp-4, 0x1.8fab2e8baa147p+0, 0x1.5e194102f0797p-5, 0x1.b57f94531505dp-59},
    {0x1.23db4f79efc26p-3, 0x1.eaac28a671703p+0, 0x1.2ffbb0444f346p-4, 0x1.1bfa136a0727ap-58},
    {-0x1.2761d40afe036p-431, 0x1.46230019a270bp-421, -0x1.cfb7ece370d16p-11, -0x1.a09ccc5857f77p-69},
    {0x1.7aed110893328p-3, 0x1.84ed1b045f26ap+0, 0x1.f0640eea5a1a3p-4, -0x1.fcfa5c0da7d35p-60},
    {-0x1.47effa1b8f6e3p-10, 0x1.0a0dca839b792p+0, -0x1.3b8b7d234b78bp-10, -0x1.b551cee53ec7ep-64},
    {-0x1.0ee9984ca2c32p-3, 0x1.cb63dcd7f37d9p+0, -0x1.2d6480120a227p-4, 0x1.d2b9daf702554p-60},
    {0x1.477d47b7d1db4p-7, 0x1.21a5292da94a2p-2, 0x1.2153ef85f1708p-5, -0x1.524746306e7c6p-61},
    {-0x1.44c7abe3fd411p-7, 0x1.8fa54b97ddbd2p+0, -0x1.a014d2243b0fcp-8, 0x1.5c2ed21b776d5p-62},
    {-0x1.ec19b56dcb094p-5, 0x1.6ed27237bd20ep+0, -0x1.573aa2c9f6762p-5, 0x1.e0388dac47a02p-59},
    {0x1.6b5073a0e09b4p-5, 0x1.55b5c0bbb68acp-1, 0x1.0fc928ceb7d11p-4, -0x1.e0bc5d3f07dbcp-58},
    {-0x1.91965eb683317p-4, 0x1.a5d5694971492p+0, -0x1.e6da263b5f276p-5, -0x1.09b14c4ba2352p-59},
    {-0x1.dad80bdb17156p-3, 0x1.437c141c1f3c0p+0, -0x1.73a6211b3d507p-3, 0x1.84c3688b826e7p-58},
    {0x1.756ac3589a352p-3, 0x1.83016b4fc43dfp+0, 0x1.eba5db901d5e1p-4, -0x1.4fa4dbde90d06p-58},
    {-0x1.2e84c8f11cf60p-4, 0x1.fb17099fc89e4p-1, -0x1.30e232016fb97p-4, -0x1.b88ee6cf09b22p-59},
    {-0x1.6a87f4cd500f4p-8, 0x1.a2d3cdfdf5477p+0, -0x1.bb2da626868eap-9, 0x1.e1030a52f3a70p-63},
    {-0x1.904fd5b34c91bp-3, 0x1.8432adc8baca7p+0, -0x1.068a78f8a43f4p-3, 0x1.0159547fcbb1cp-58},
    {0x1.30931b1680f4dp-4, 0x1.1f83eb9bb978fp+0, 0x1.0ecb4f968c814p-4, 0x1.45ca769c63185p-58},
    {-0x1.51ab8066628dap-3, 0x1.751b87f4cedbfp+0, -0x1.cd68a4633be23p-4, -0x1.ab8eb5d034626p-61},
    {-0x1.527352ab756c0p-2, 0x1.6edffa4febc5cp+0, -0x1.d036f51545632p-3, -0x1.7f1d913e5720bp-57},
    {-0x1.bdf03224b750ep-3, 0x1.97200381880bcp+0, -0x1.16ac49152b4a3p-3, 0x1.0e912e8304c4dp-58},
    {-0x1.2de75cb5aecbfp-4, 0x1.04c0098747040p-1, -0x1.265c299bdefaap-3, -0x1.1274b178bd5a1p-58},
    {0x1.2eddb6c2a5968p-3, 0x1.af7a7f611a3cap-1, 0x1.63c392ba9e27cp-3, 0x1.1af081c62a59cp-59},
    {0x1.a4553196229d4p-5, 0x1.0fb70d26027cep-1, 0x1.8acb8a9accd22p-4, -0x1.2d25deef2dda6p-59},
    {0x1.ac87723104bf5p-2, 0x1.c1de16b202b40p+0, 0x1.decbdad42369ap-3, 0x1.7d10fc7f9a7d9p-59},
    {0x1.bb14b8109054ap-4, 0x1.9ebe556e011c6p+0, 0x1.1115fe155c746p-4, -0x1.2f1383a1a341bp-60},
    {0x1.2e50daa768c39p-3, 0x1.24bdf5531255cp+0, 0x1.06eb11bb802e4p-3, -0x1.f465ce6ee98ddp-57},
    {-0x1.337b8011d9b44p-2, 0x1.a298641820331p+0, -0x1.73f30bffcb171p-3, 0x1.f7a930e6098a1p-60},
    {0x1.cdf25a355374cp-1, 0x1.f4363661a9290p-2, 0x1.1316c9bfa6c04p+0, 0x1.b2a697e68c2fep-54},
    {0x1.af4c564686dacp+0, -0x1.af4c564686d47p+0, 0x1.2d97c7f3321c3p+1, 0x1.c1906dba4a08ap-54},
    {0x1.86487da7e6278p-3, -0x1.a9d4e4e70dc08p-3, 0x1.332a315f59e8ap+1, 0x1.4196db13483d8p-56},
    {-0x1.b90f02691dc26p+0, 0x1.b92636bef06bfp+0, -0x1.92123db8afac2p-1, -0x1.196b198b46257p-55},
    {-0x1.28bcb3af1ddabp-1, -0x1.1fbebdc114ea5p+0, -0x1.552fde4614104p+1, -0x1.7c672c314446cp-53},
    {0x1.bc1b7dcef81d1p-3, -0x1.ba841ea15d37ap-3, 0x1.2d5cf83de129fp+1, -0x1.1487a9b249622p-54},
    {-0x1.42d5810d3499cp-1, 0x1.3c084ccd29a8cp-1, -0x1.9793171ac30a1p-1, -0x1.ea48b79b588bfp-57},
    {-0x1.553145713acd2p-1, -0x1.760d867e5de24p-1, -0x1.33782d3a1c54cp+1, -0x1.5713982825dfap-54},
    {-0x1.04e053c789c38p-1, 0x1.da6b9124b4d20p-2, -0x1.aa6ecfdd6490ap-1, 0x1.e1a864b7278ffp-57},
    {0x1.5f32644e186c7p+0, -0x1.634d7eb001a05p+0, 0x1.2e563661457cbp+1, 0x1.c4d1f81b19fa4p-59},
    {-0x1.3da529cf4bd64p-119, 0x1.3a749831dc29ep-206, -0x1.921fb54442d18p+0, -0x1.1a626330c7098p-54},
    {-0x1.0c0e8b0702b6ap-2, 0x1.b3fe656d5274ep-1, -0x1.3165db928ed8dp-2, 0x1.c0a7274fc7014p-61},
    {-0x1.3f7bfb4bc507cp+0, -0x1.68e246b21cc92p-5, -0x1.9b28220a545ddp+0, 0x1.249230817217fp-56},
    {0x1.1c52188476c3fp-3, 0x1.2dc7982256a34p-1, 0x1.d9be8b4113d5cp-3, 0x1.0ec29bbc2c911p-57},
    {0x1.fbf8c34fceb23p-60, -0x1.94fd672ecd87ap+0, 0x1.921fb54442d18p+1, 0x1.17e031dcf9ae2p-53},
    {-0x1.d6fa683a8fddap-1, -0x1.c36e217059d14p-1, -0x1.2ae174a723646p+1, 0x1.cd1fa62212c73p-54},
    {0x1.0633cda0569b0p+0, 0x1.0633be5d31151p+0, 0x1.921fc42afc800p-1, -0x1.6cb373fc1df20p-57},
    {-0x1.dc8b7b2a8e1eep-1, 0x1.cbc3b824f8a42p-1, -0x1.9b4c7fa565728p-1, -0x1.58be75f1bbf14p-55},
    {-0x1.55192f64804a5p-2, 0x1.22652ef3278aep+0, -0x1.2479d982fd19fp-2, 0x1.9b73dafefa047p-59},
    {-0x1.d5b3fc000e28ep-1, -0x1.d802e0a17a94ep-1, -0x1.2de818b17201fp+1, 0x1.420fdf505c901p-53},
    {0x1.7646042d32328p-3, 0x1.5f8c588506a20p-3, 0x1.a22632114d8c7p-1, 0x1.d72c814ac5c64p-55},
    {0x1.8acd6c8bab031p-1, -0x1.9ae31b7f003e5p-1, 0x1.3025defb760f2p+1, 0x1.2565896d05729p-55},
    {-0x1.bcc7d4fb73e8dp-4, -0x1.63d310c91f226p+0, -0x1.8824e5bd045c6p+1, -0x1.b95fb253be45bp-54},
    {-0x1.48064da4ec7cep+0, 0x1.75772edd1e187p-2, -0x1.4b22a3dfaa60ep+0, -0x1.ee6f4be8fe852p-56},
    {0x1.2d4d731d9c147p+0, -0x1.2d4d717ca9642p+0, 0x1.2d97c79aa1a1cp+1, -0x1.4efe99bdf7a46p-59},
    {0x1.5c76b5ca8cfaep+0, 0x1.715f825fe97b7p+0, 0x1.8336e1b2b26c6p-1, 0x1.75513a296067ap-55},
    {-0x1.49f68f699c4afp+0, -0x1.25087ad72bdcbp-8, -0x1.93030e239cf46p+0, -0x1.707e416e7c65bp-54},
    {0x1.6aab20eca5c1ap-3, -0x1.3c38ae255833ap-2, 0x1.4f7aaab3e4a8cp+1, -0x1.bf183cd20ac7cp-56},
    {-0x1.12462709340d4p-1, -0x1.f47bdd57e9134p-2, -0x1.27bb79e8e495cp+1, 0x1.0d2e0bb497700p-53},
    {0x1.3f18c78b6fbbcp-1, -0x1.3a9f55c04cb44p-1, 0x1.2cb06ced22908p+1, -0x1.1d66ccb84ce5cp-53},
    {-0x1.7396240186d5cp-2, 0x1.60be98da65508p-2, -0x1.9f708157522d8p-1, 0x1.b5c92b8a0a408p-58},
    {-0x1.3b2ea4be163eep-41, -0x1.22b64c0503a78p+0, -0x1.921fb544428c2p+1, -0x1.527797589a7cbp-55},
    {-0x1.d9e4acb2dff70p-1, 0x1.c743fd8d9af7ap-1, -0x1.9c6312a8f739dp-1, 0x1.d80c653a6553bp-55},
    {0x1.c6f63ebd74684p-1, -0x1.009b086e20032p-1, 0x1.0acb8886194eap+1, -0x1.c004f2076abd3p-54},
    {0x1.07231887c48e3p-1, 0x1.d3cc9d633f789p+0, 0x1.18bf5a30afbaap-2, -0x1.d5f98f59a8d82p-56},
    {0x1.de61407282ff4p+95, -0x1.4834866c49dacp-71, 0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54},
    {0x1.f63b8a5b303d8p-2, -0x1.0a4ac5cd3ab78p-1, 0x1.31589a99a7534p+1, 0x1.c34fb0cee54cdp-53},
    {0x1.a81c34db22474p-1, 0x1.8e56aef5a642ap-1, 0x1.a229873d3e57bp-1, -0x1.eecfc536cd113p-55},
    {-0x1.d6b76dfb67882p-1, 0x1.8b64dbc3a86c8p-1, -0x1.be89f721e064cp-1, -0x1.3d402f1c3cd48p-56},
    {-0x1.eb1cd98cc9149p-1, -0x1.c5332f10d2853p-1, -0x1.2874e6827e0e6p+1, -0x1.35e6c5fdf08a6p-55},
};

TEST(FastAtan2, ValueBeforeRoundingIsWithin2e5Ulp) {
    REQUIRE_LANES();
    double worst = 0;
    for (const Exact& e : exact_values) {
        const double y[4] = {e.y, -e.y, e.y, e.y};
        const double x[4] = {e.x, e.x, e.x, e.x};
        double nearest[4], residual[4], out[4];
        ASSERT_EQ(fast_atan2_before_rounding_lanes(y, x, nearest, residual), 0xfu);
        const unsigned library = fast_atan2_lanes(y, x, out);
        for (int i = 0; i < 2; ++i) {
            const double sign = i == 0 ? 1.0 : -1.0;
            // nearest and hi are neighbours or equal, so their difference is exact.
            const double error = ((nearest[i] - sign * e.hi) + (residual[i] - sign * e.lo)) / ulp_of(e.hi);
            worst = std::fmax(worst, std::fabs(error));
            EXPECT_LT(std::fabs(error), 2e-5) << "atan2(" << y[i] << ", " << x[i] << ")";
            EXPECT_LE(std::fabs(residual[i]), 0.5 * ulp_of(nearest[i]));
            if (!((library >> i) & 1u)) EXPECT_SAME_DOUBLE(out[i], nearest[i]);
        }
    }
    std::printf("  largest error before rounding: %.3g ULP\n", worst);
}

// Near a midpoint the lanes defer; elsewhere they round themselves, which is
// what makes them fast: on link-like pairs about 3 in 100 go to the library.
TEST(FastAtan2, LanesRoundMostLinkLikePairsThemselves) {
    REQUIRE_LANES();
    const Tally t = run_family(Atan2Family::link, 99, 1'000'000);
    const double share = static_cast<double>(t.library_lanes) / static_cast<double>(t.checked);
    std::printf("  link-like pairs from the library: %.3f%%\n", 100.0 * share);
    EXPECT_EQ(t.mismatches, 0u);
    EXPECT_GT(share, 0.01);
    EXPECT_LT(share, 0.05);
}

// Distance of nearest + residual from the nearer rounding midpoint: below a
// power of two the spacing is half that above it.
double from_midpoint(double nearest, double residual) {
    double spacing = ulp_of(nearest);
    const double magnitude = std::fabs(nearest);
    if (magnitude == std::ldexp(1.0, std::ilogb(magnitude)) && residual * nearest < 0) spacing *= 0.5;
    return 0.5 * spacing - std::fabs(residual);
}

// Wherever the lanes round for themselves, their value lies farther from a
// midpoint than 1.25 times the library's stated bound for that region.
TEST(FastAtan2, LanesNeverRoundWithinTheBand) {
    REQUIRE_LANES();
    const Atan2Family checked[] = {Atan2Family::uniform, Atan2Family::link, Atan2Family::weak,
                                  Atan2Family::near_axis, Atan2Family::power_of_two};
    std::uint64_t own = 0, near_power = 0;
    for (const Atan2Family family : checked) {
        SplitMix64 r{7 + static_cast<std::uint64_t>(family)};
        for (int n = 0; n < 1'000'000; n += 4) {
            double y[4], x[4], out[4], nearest[4], residual[4];
            for (int i = 0; i < 4; ++i) make_pair(family, r, y[i], x[i]);
            const unsigned library = fast_atan2_lanes(y, x, out);
            fast_atan2_before_rounding_lanes(y, x, nearest, residual);
            for (int i = 0; i < 4; ++i) {
                if ((library >> i) & 1u) continue;
                ++own;
                const double d = from_midpoint(nearest[i], residual[i]);
                const double band = 1.25 * zorv::fast_atan2::atan2_library_bound(y[i], x[i], nearest[i]);
                const double magnitude = std::fabs(nearest[i]);
                near_power += magnitude == std::ldexp(1.0, std::ilogb(magnitude));
                ASSERT_GE(d, band)
                    << "atan2(" << zorv::test::describe(y[i]) << ", " << zorv::test::describe(x[i])
                    << ") rounded by the lanes at " << d / ulp_of(nearest[i]) << " ULP from a midpoint, "
                    << d / band << " of the band";
            }
        }
    }
    std::printf("  %llu lanes rounded by the lanes, %llu of them to a power of two\n",
                static_cast<unsigned long long>(own), static_cast<unsigned long long>(near_power));
}

// --- the agreement check ---

// Every test of the check runs it for both widths the CPU can run: each
// process checks the kernel of the path it takes.
std::array<const InstructionSet*, 2> both_widths() { return {&four_lanes(), &eight_lanes()}; }
const char* name_of(const InstructionSet& width) { return width.lanes == 8 ? "eight lanes" : "four lanes"; }

TEST(FastAtan2Agreement, AcceptsTheLibrary) {
    for (const InstructionSet* width : both_widths()) {
        EXPECT_EQ(fast_atan2_agrees_with(library_atan2, *width), fast_atan2_available(*width))
            << name_of(*width);
    }
}

double off_by_one_bit(double y, double x) { return from_bits(bits(std::atan2(y, x)) ^ 1u); }

TEST(FastAtan2Agreement, RejectsAReferenceOffInTheLastBit) {
    REQUIRE_LANES();
    EXPECT_REJECTED(off_by_one_bit);
}

// Off in the last bit for about one pair in a thousand, chosen by a hash.
double sometimes_off(double y, double x) {
    const double r = std::atan2(y, x);
    const std::uint64_t h = (bits(y) * 0x9e3779b97f4a7c15ULL) ^ (bits(x) * 0xc2b2ae3d27d4eb4fULL);
    return (h >> 40) % 1000 == 0 ? from_bits(bits(r) ^ 1u) : r;
}

TEST(FastAtan2Agreement, RejectsAReferenceOffOnceInAThousand) {
    REQUIRE_LANES();
    EXPECT_REJECTED(sometimes_off);
}

// Off on exactly one pair: each fixed input in turn.
double off_y, off_x;
double off_at_one_pair(double y, double x) {
    const double r = std::atan2(y, x);
    return bits(y) == bits(off_y) && bits(x) == bits(off_x) ? from_bits(bits(r) ^ 1u) : r;
}

TEST(FastAtan2Agreement, ChecksEveryFixedInput) {
    REQUIRE_LANES();
    const auto hard = fast_atan2_hard_inputs();
    for (std::size_t i = 0; i < hard.size(); ++i) {
        off_y = hard[i].y;
        off_x = hard[i].x;
        EXPECT_REJECTED(off_at_one_pair)
            << "fixed input " << i << ": atan2(" << zorv::test::describe(off_y) << ", "
            << zorv::test::describe(off_x) << ")";
    }
}

// A library a little less accurate than this one: it rounds to the other
// neighbour whenever the exact value lies within 0.04 to 0.08 ULP of a
// midpoint, where the lanes round for themselves outside the library's least
// accurate part.
double less_accurate(double y, double x) {
    const double r = std::atan2(y, x);
    double ys[4] = {y, y, y, y}, xs[4] = {x, x, x, x}, nearest[4], residual[4];
    if (!(fast_atan2_before_rounding_lanes(ys, xs, nearest, residual) & 1u)) return r;
    const double from_midpoint = 0.5 - std::fabs(residual[0]) / ulp_of(nearest[0]);
    if (from_midpoint < 0.04 || from_midpoint > 0.08) return r;
    return residual[0] > 0 ? std::nextafter(nearest[0], INFINITY) : std::nextafter(nearest[0], -INFINITY);
}

TEST(FastAtan2Agreement, RejectsALibraryThatRoundsNearMidpointsDifferently) {
    REQUIRE_LANES();
    EXPECT_REJECTED(less_accurate);
}

// A library that keeps its stated bound everywhere but in one region, where
// it rounds to the other neighbour whenever the exact value lies between 1.3
// and 1.65 times that bound from a midpoint: just outside the lanes' band.
int loose_region;
double loose_in_one_region(double y, double x) {
    const double r = std::atan2(y, x);
    double ys[4] = {y, y, y, y}, xs[4] = {x, x, x, x}, nearest[4], residual[4];
    if (!(fast_atan2_before_rounding_lanes(ys, xs, nearest, residual) & 1u)) return r;
    if (zorv::fast_atan2::atan2_region(y, x) != loose_region) return r;
    const double bound = zorv::fast_atan2::atan2_library_bound(y, x, nearest[0]);
    const double d = 0.5 * ulp_of(nearest[0]) - std::fabs(residual[0]);
    if (d < 1.3 * bound || d > 1.65 * bound) return r;
    return residual[0] > 0 ? std::nextafter(nearest[0], INFINITY) : std::nextafter(nearest[0], -INFINITY);
}

TEST(FastAtan2Agreement, RejectsALibraryLessAccurateThanItStatesInAnyRegion) {
    REQUIRE_LANES();
    for (int g = 0; g < zorv::fast_atan2::atan2_bounds::region_count; ++g) {
        loose_region = g;
        EXPECT_REJECTED(loose_in_one_region) << zorv::fast_atan2::atan2_bounds::region(loose_region).name;
    }
}

// A correctly rounded atan2 (wherever the lanes' value settles the rounding)
// differs from this library exactly on the pairs it rounds the wrong way.
double correctly_rounded(double y, double x) {
    double ys[4] = {y, y, y, y}, xs[4] = {x, x, x, x}, nearest[4], residual[4];
    if (!(fast_atan2_before_rounding_lanes(ys, xs, nearest, residual) & 1u)) return std::atan2(y, x);
    const double from_midpoint = 0.5 - std::fabs(residual[0]) / ulp_of(nearest[0]);
    return from_midpoint > 1e-4 ? nearest[0] : std::atan2(y, x);
}

TEST(FastAtan2Agreement, RejectsACorrectlyRoundedReference) {
    REQUIRE_LANES();
    EXPECT_REJECTED(correctly_rounded);
}

}  // namespace
