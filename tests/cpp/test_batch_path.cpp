// The choice of the batch path from its inputs: the CPU, the operating
// system, the switches and the fast atan2's agreement check of the width
// taken, and the names and lines Python reports it by.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cmath>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "exact_double.hpp"
#include "fast_atan2/splitmix64.hpp"
#include "instruction_set_rows.hpp"
#include "sim/batch_path_choice.hpp"
#include "sim/run.hpp"
#include "sim/scoring.hpp"

namespace {

using namespace zorv::dispatch;
using namespace zorv::sim;
using zorv::fast_atan2::SplitMix64;

// The rows of the table of instruction sets, and the five paths they make.
const InstructionSet& portable_lanes = instruction_set("portable");
const InstructionSet& four_lanes = instruction_set("avx2");
const InstructionSet& eight_lanes = instruction_set("avx512");
const BatchPath portable{&portable_lanes};
const BatchPath avx2_lanes{&four_lanes, Atan2Source::c_library};
const BatchPath avx2_lanes_with_fast_atan2{&four_lanes, Atan2Source::fast_atan2};
const BatchPath avx512_lanes{&eight_lanes, Atan2Source::c_library};
const BatchPath avx512_lanes_with_fast_atan2{&eight_lanes, Atan2Source::fast_atan2};

// The widths the last choice asked the agreement check about (bit 0: four
// lanes, bit 1: eight), and the widths that agree.
unsigned asked;
unsigned agreeing;

bool record_agreement(const InstructionSet& width) {
    const unsigned bit = &width == &eight_lanes ? 2u : 1u;
    asked |= bit;
    return (agreeing & bit) != 0;
}

struct Case {
    const char* name;
    Inputs inputs;
    unsigned agrees;  // the widths that agree, as in `agreeing`
    BatchPath path;
    BatchPathReason reason;
    Avx512Reason avx512;
    unsigned checked;  // the widths that must have been checked
};

constexpr Inputs avx2_fma{.avx2 = true, .fma = true};
constexpr Inputs avx512{.avx2 = true, .fma = true, .avx512 = Avx512Support::usable};

Inputs with(Inputs in, void (*change)(Inputs&)) {
    change(in);
    return in;
}

TEST(BatchPath, ChoiceFollowsTheMachineAndTheSwitches) {
    using R = BatchPathReason;
    using W = Avx512Reason;
    constexpr unsigned none = 0, four = 1, eight = 2, both = 3;
    const Case cases[] = {
        {"no AVX2", {}, both, portable, R::no_avx2, W::no_lanes, none},
        {"AVX2 and FMA", avx2_fma, both, avx2_lanes_with_fast_atan2, R::fast_atan2_agrees, W::cpu_lacks, four},
        {"AVX2 without FMA", with(avx2_fma, [](auto& i) { i.fma = false; }), both, avx2_lanes, R::no_fma,
         W::cpu_lacks, none},
        {"four lanes disagree", avx2_fma, eight, avx2_lanes, R::fast_atan2_disagrees, W::cpu_lacks, four},
        // Single plans take the four-lane kernel: both widths must agree.
        {"AVX-512", avx512, both, avx512_lanes_with_fast_atan2, R::fast_atan2_agrees, W::taken, both},
        {"eight lanes disagree", avx512, four, avx512_lanes, R::fast_atan2_disagrees, W::taken, both},
        {"four lanes disagree on AVX-512", avx512, eight, avx512_lanes, R::fast_atan2_disagrees, W::taken, four},
        {"AVX-512 without FMA", with(avx512, [](auto& i) { i.fma = false; }), both, avx512_lanes, R::no_fma,
         W::taken, none},
        {"system lacks", with(avx512, [](auto& i) { i.avx512 = Avx512Support::system_lacks; }), both,
         avx2_lanes_with_fast_atan2, R::fast_atan2_agrees, W::system_lacks, four},
        {"AVX-512 off", with(avx512, [](auto& i) { i.no_avx512 = true; }), both,
         avx2_lanes_with_fast_atan2, R::fast_atan2_agrees, W::switched_off, four},
        {"library atan2", with(avx512, [](auto& i) { i.library_atan2 = true; }), both, avx512_lanes,
         R::library_atan2_switched_on, W::taken, none},
        {"AVX-512 off, library atan2", with(avx512, [](auto& i) { i.no_avx512 = i.library_atan2 = true; }),
         both, avx2_lanes, R::library_atan2_switched_on, W::switched_off, none},
        {"no SIMD", with(avx512, [](auto& i) { i.no_simd = i.no_avx512 = true; }), both, portable,
         R::simd_switched_off, W::no_lanes, none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        agreeing = c.agrees;
        asked = 0;
        const BatchPathChoice choice = choose_batch_path(c.inputs, record_agreement);
        EXPECT_EQ(choice.path, c.path);
        // The optimizer's build comes from the row of the lanes.
        EXPECT_EQ(choice.path.lanes, &instruction_set_for(c.inputs));
        EXPECT_EQ(choice.reason, c.reason);
        EXPECT_EQ(choice.avx512, c.avx512);
        EXPECT_EQ(asked & c.checked, c.checked);
        if (c.checked == none) EXPECT_EQ(asked, none);
    }
}

TEST(BatchPath, EveryPathAndReasonHasItsOwnNameAndLine) {
    std::set<std::string> names, lines;
    for (BatchPath p : {portable, avx2_lanes, avx2_lanes_with_fast_atan2, avx512_lanes,
                        avx512_lanes_with_fast_atan2}) {
        names.insert(batch_path_name(p));
        lines.insert(batch_path_description(p));
    }
    EXPECT_EQ(names, (std::set<std::string>{"portable", "avx2_lanes", "avx2_lanes_with_fast_atan2",
                                            "avx512_lanes", "avx512_lanes_with_fast_atan2"}));
    EXPECT_EQ(lines.size(), 5u);
    // batch_paths() lists the same five, each once.
    const std::vector<BatchPath> listed = batch_paths();
    EXPECT_EQ(listed.size(), 5u);
    for (BatchPath p : listed) EXPECT_EQ(names.count(batch_path_name(p)), 1u);
    EXPECT_STREQ(avx512_reason_description(Avx512Reason::switched_off),
                 "not taken: ZORV_FAST_NO_AVX512 is set");
}

TEST(BatchPath, ThisProcessTakesEightLanesWhereTheMachineAllowsThem) {
    const BatchPathChoice choice = batch_path_choice();
    const bool eight = choice.path.lanes == &eight_lanes;
    EXPECT_EQ(eight, choice.avx512 == Avx512Reason::taken);
    if (avx512_support() == Avx512Support::usable && std::getenv("ZORV_FAST_NO_AVX512") == nullptr &&
        std::getenv("ZORV_FAST_NO_SIMD") == nullptr) {
        EXPECT_TRUE(eight);
    }
}

double library_atan2(double y, double x) { return std::atan2(y, x); }

// Every entry point this CPU can run, called directly in one process, gives
// the scalar run's bits on the same plans: runs of every length (values in
// and beyond [-1, 1], some special), in batches of sizes around both lane
// widths, so that lanes start and end at different steps and idle at the end.
TEST(BatchPath, EveryPathThisCpuRunsGivesTheScalarRunsBits) {
    SplitMix64 r{2026};
    const double special[] = {NAN, INFINITY, -INFINITY, -0.0, 0.0, 1e-300, 5.0};
    std::vector<Plan> plans(301);
    for (Plan& plan : plans) {
        const double scale = (r.next() & 1) ? 1.0 : 3.0;
        for (double& v : plan) {
            v = r.next() % 50 == 0 ? special[r.next() % 7] : scale * (2.0 * r.unit() - 1.0);
        }
    }
    std::vector<double> expected(plans.size());
    PlanCursor scalar_cursor(plans.data(), expected.data(), plans.size());
    score_plans_scalar(scalar_cursor);

    using Path = std::size_t (*)(PlanCursor&);
    struct Entry {
        const char* name;
        bool runs_here;
        Path path;
    };
    const bool avx2 = __builtin_cpu_supports("avx2");
    const bool fast4 = fast_atan2_agrees_with(library_atan2, four_lanes);
    const bool avx512 = avx512_support() == Avx512Support::usable;
    const bool fast8 = fast_atan2_agrees_with(library_atan2, eight_lanes);
    const Entry entries[] = {
        {"score_plans", true, [](PlanCursor& c) { return score_plans(c); }},
        {"four lanes, library atan2", avx2,
         [](PlanCursor& c) { return score_plans_avx2(c, Atan2Source::c_library); }},
        {"four lanes, fast atan2", fast4, [](PlanCursor& c) { return score_plans_avx2(c, Atan2Source::fast_atan2); }},
        {"one lane, fast atan2", fast4, score_plans_one_lane_avx2},
        {"eight lanes, library atan2", avx512,
         [](PlanCursor& c) { return score_plans_avx512(c, Atan2Source::c_library); }},
        {"eight lanes, fast atan2", fast8,
         [](PlanCursor& c) { return score_plans_avx512(c, Atan2Source::fast_atan2); }},
    };
    for (const Entry& entry : entries) {
        if (!entry.runs_here) continue;
        SCOPED_TRACE(entry.name);
        std::size_t start = 0;
        for (std::size_t size : {std::size_t{1}, std::size_t{7}, std::size_t{8}, std::size_t{9},
                                 std::size_t{17}, std::size_t{259}}) {
            std::vector<double> scores(size, -123.0);
            PlanCursor cursor(plans.data() + start, scores.data(), size);
            EXPECT_EQ(entry.path(cursor), size);
            for (std::size_t i = 0; i < size; ++i) {
                ASSERT_EQ(zorv::test::bits(scores[i]), zorv::test::bits(expected[start + i]))
                    << "plan " << start + i << " in a batch of " << size;
            }
            start += size;
        }
    }
}

}  // namespace
