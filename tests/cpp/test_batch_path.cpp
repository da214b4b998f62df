// The choice of the batch path from its inputs: the CPU, the operating
// system, the switches and the fast atan2's agreement check of the width
// taken, and the names and lines Python reports it by.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

#include "sim/run.hpp"

namespace {

using namespace zorv::sim;

// The width the last choice asked the agreement check about, and its answer.
FastAtan2Width asked_width;
int asked_count;
bool agreement;

bool record_agreement(FastAtan2Width width) {
    asked_width = width;
    ++asked_count;
    return agreement;
}

struct Case {
    const char* name;
    BatchPathInputs inputs;
    bool agrees;
    BatchPath path;
    BatchPathReason reason;
    Avx512Reason avx512;
    int checks;  // how many times the agreement check ran (0 or 1)
    FastAtan2Width checked_width;
};

constexpr BatchPathInputs avx2_fma{.avx2 = true, .fma = true};
constexpr BatchPathInputs avx512{.avx2 = true, .fma = true, .avx512 = Avx512Support::usable};

BatchPathInputs with(BatchPathInputs in, void (*change)(BatchPathInputs&)) {
    change(in);
    return in;
}

TEST(BatchPath, ChoiceFollowsTheMachineAndTheSwitches) {
    using enum BatchPath;
    using R = BatchPathReason;
    using W = Avx512Reason;
    constexpr auto four = FastAtan2Width::four_lanes, eight = FastAtan2Width::eight_lanes;
    const Case cases[] = {
        {"no AVX2", {}, true, portable, R::no_avx2, W::no_lanes, 0, four},
        {"AVX2 and FMA", avx2_fma, true, avx2_lanes_with_fast_atan2, R::fast_atan2_agrees, W::cpu_lacks, 1, four},
        {"AVX2 without FMA", with(avx2_fma, [](auto& i) { i.fma = false; }), true, avx2_lanes, R::no_fma,
         W::cpu_lacks, 0, four},
        {"four lanes disagree", avx2_fma, false, avx2_lanes, R::fast_atan2_disagrees, W::cpu_lacks, 1, four},
        {"AVX-512", avx512, true, avx512_lanes_with_fast_atan2, R::fast_atan2_agrees, W::taken, 1, eight},
        {"AVX-512 without FMA", with(avx512, [](auto& i) { i.fma = false; }), true,
         avx512_lanes_with_fast_atan2, R::fast_atan2_agrees, W::taken, 1, eight},
        {"eight lanes disagree", avx512, false, avx512_lanes, R::fast_atan2_disagrees, W::taken, 1, eight},
        {"system lacks", with(avx512, [](auto& i) { i.avx512 = Avx512Support::system_lacks; }), true,
         avx2_lanes_with_fast_atan2, R::fast_atan2_agrees, W::system_lacks, 1, four},
        {"AVX-512 off", with(avx512, [](auto& i) { i.no_avx512 = true; }), true,
         avx2_lanes_with_fast_atan2, R::fast_atan2_agrees, W::switched_off, 1, four},
        {"library atan2", with(avx512, [](auto& i) { i.library_atan2 = true; }), true, avx512_lanes,
         R::library_atan2_switched_on, W::taken, 0, four},
        {"AVX-512 off, library atan2", with(avx512, [](auto& i) { i.no_avx512 = i.library_atan2 = true; }),
         true, avx2_lanes, R::library_atan2_switched_on, W::switched_off, 0, four},
        {"no SIMD", with(avx512, [](auto& i) { i.no_simd = i.no_avx512 = true; }), true, portable,
         R::simd_switched_off, W::no_lanes, 0, four},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        agreement = c.agrees;
        asked_count = 0;
        asked_width = FastAtan2Width::four_lanes;
        const BatchPathChoice choice = choose_batch_path(c.inputs, record_agreement);
        EXPECT_EQ(choice.path, c.path);
        EXPECT_EQ(choice.reason, c.reason);
        EXPECT_EQ(choice.avx512, c.avx512);
        EXPECT_EQ(asked_count, c.checks);
        EXPECT_EQ(asked_width, c.checked_width);
    }
}

TEST(BatchPath, EveryPathAndReasonHasItsOwnNameAndLine) {
    std::set<std::string> names, lines;
    for (BatchPath p : {BatchPath::portable, BatchPath::avx2_lanes, BatchPath::avx2_lanes_with_fast_atan2,
                        BatchPath::avx512_lanes, BatchPath::avx512_lanes_with_fast_atan2}) {
        names.insert(batch_path_name(p));
        lines.insert(batch_path_description(p));
    }
    EXPECT_EQ(names.size(), 5u);
    EXPECT_EQ(lines.size(), 5u);
    EXPECT_EQ(names.count("unknown"), 0u);
    EXPECT_STREQ(avx512_reason_description(Avx512Reason::switched_off),
                 "not taken: ZORV_FAST_NO_AVX512 is set");
}

TEST(BatchPath, ThisProcessTakesEightLanesWhereTheMachineAllowsThem) {
    const BatchPathChoice choice = batch_path_choice();
    const bool eight = choice.path == BatchPath::avx512_lanes ||
                       choice.path == BatchPath::avx512_lanes_with_fast_atan2;
    EXPECT_EQ(eight, choice.avx512 == Avx512Reason::taken);
    if (avx512_support() == Avx512Support::usable && std::getenv("ZORV_FAST_NO_AVX512") == nullptr &&
        std::getenv("ZORV_FAST_NO_SIMD") == nullptr) {
        EXPECT_TRUE(eight);
    }
}

}  // namespace
