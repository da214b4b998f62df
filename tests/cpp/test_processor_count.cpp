#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>

#include "pool/processor_count.hpp"

namespace zorv::pool {
namespace {

TEST(ParseUnsigned, AcceptsOptionalPlusAndDigitsOnly) {
    EXPECT_EQ(parse_unsigned("0"), 0u);
    EXPECT_EQ(parse_unsigned("+3"), 3u);
    EXPECT_EQ(parse_unsigned("007"), 7u);
    EXPECT_EQ(parse_unsigned("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
    for (const char* bad : {"", "+", "++3", "-1", "-0", " 3", "3 ", "3\n", "3a", "a", "0x10", "1e3", "3.0",
                            "18446744073709551616", "99999999999999999999"}) {
        EXPECT_EQ(parse_unsigned(bad), std::nullopt) << '"' << bad << '"';
    }
}

int processor_count_calls = 0;
std::size_t seven_processors() {
    ++processor_count_calls;
    return 7;
}
std::size_t many_processors() { return 100000; }

std::size_t count_for(std::optional<std::string_view> num_threads, std::optional<std::string_view> rs_num_cpus) {
    return choose_thread_count(num_threads, rs_num_cpus, &seven_processors);
}

TEST(ChooseThreadCount, FirstVariableDecidesWhenItIsANumber) {
    EXPECT_EQ(count_for("4", "5"), 4u);
    EXPECT_EQ(count_for("+3", std::nullopt), 3u);
    EXPECT_EQ(count_for("+3", "5"), 3u);
    // 0 means the processor count, and the second variable is not consulted.
    EXPECT_EQ(count_for("0", "5"), 7u);
    EXPECT_EQ(count_for("0", std::nullopt), 7u);
}

TEST(ChooseThreadCount, NotANumberFallsThroughToSecondVariable) {
    EXPECT_EQ(count_for("abc", "5"), 5u);
    EXPECT_EQ(count_for(" 4", "5"), 5u);
    EXPECT_EQ(count_for("4 ", "5"), 5u);
    EXPECT_EQ(count_for("-1", "5"), 5u);
    EXPECT_EQ(count_for("", "5"), 5u);
    EXPECT_EQ(count_for("18446744073709551616", "2"), 2u);
    EXPECT_EQ(count_for(std::nullopt, "+5"), 5u);
}

TEST(ChooseThreadCount, OtherwiseProcessorCount) {
    EXPECT_EQ(count_for(std::nullopt, std::nullopt), 7u);
    EXPECT_EQ(count_for(std::nullopt, "0"), 7u);
    EXPECT_EQ(count_for(std::nullopt, "x"), 7u);
    EXPECT_EQ(count_for("x", " 5"), 7u);
}

TEST(ChooseThreadCount, ProcessorCountIsOnlyAskedWhenNeeded) {
    processor_count_calls = 0;
    count_for("4", "5");
    count_for("x", "5");
    EXPECT_EQ(processor_count_calls, 0);
    count_for("0", "5");
    EXPECT_EQ(processor_count_calls, 1);
}

TEST(ChooseThreadCount, CappedAt65535) {
    EXPECT_EQ(count_for("100000", std::nullopt), 65535u);
    EXPECT_EQ(count_for("65535", std::nullopt), 65535u);
    EXPECT_EQ(count_for("65534", std::nullopt), 65534u);
    EXPECT_EQ(count_for(std::nullopt, "100000"), 65535u);
    EXPECT_EQ(count_for("18446744073709551615", std::nullopt), 65535u);
    EXPECT_EQ(choose_thread_count(std::nullopt, std::nullopt, &many_processors), 65535u);
}

TEST(ThreadCountFromEnvironment, ReadsBothVariables) {
    ASSERT_EQ(setenv("RAYON_NUM_THREADS", "3", 1), 0);
    ASSERT_EQ(setenv("RAYON_RS_NUM_CPUS", "5", 1), 0);
    EXPECT_EQ(thread_count_from_environment(), 3u);
    ASSERT_EQ(setenv("RAYON_NUM_THREADS", "three", 1), 0);
    EXPECT_EQ(thread_count_from_environment(), 5u);
    ASSERT_EQ(unsetenv("RAYON_NUM_THREADS"), 0);
    EXPECT_EQ(thread_count_from_environment(), 5u);
    ASSERT_EQ(unsetenv("RAYON_RS_NUM_CPUS"), 0);
    EXPECT_EQ(thread_count_from_environment(), std::min(processor_count(), max_thread_count));
}

// "VARIABLE COUNT", "-" for no variable and "processors" for no count.
std::string request_for(std::optional<std::string_view> num_threads, std::optional<std::string_view> rs_num_cpus) {
    const ThreadCountRequest request = thread_count_request(num_threads, rs_num_cpus);
    return std::string(request.variable ? request.variable : "-") + " " +
           (request.count ? std::to_string(*request.count) : "processors");
}

TEST(ThreadCountRequest, NamesTheVariableThatDecides) {
    EXPECT_EQ(request_for("4", "5"), "RAYON_NUM_THREADS 4");
    EXPECT_EQ(request_for("0", "5"), "RAYON_NUM_THREADS processors");
    EXPECT_EQ(request_for("four", "+5"), "RAYON_RS_NUM_CPUS 5");
    EXPECT_EQ(request_for(std::nullopt, "0"), "- processors");
    EXPECT_EQ(request_for("x", std::nullopt), "- processors");
}

TEST(ThreadCountFromEnvironment, OriginAgreesWithTheCount) {
    ASSERT_EQ(unsetenv("RAYON_RS_NUM_CPUS"), 0);
    ASSERT_EQ(setenv("RAYON_NUM_THREADS", "3", 1), 0);
    const ThreadCountOrigin asked = thread_count_origin_from_environment();
    EXPECT_EQ(asked.count, 3u);
    EXPECT_EQ(asked.processors, std::nullopt);
    ASSERT_EQ(setenv("RAYON_NUM_THREADS", "0", 1), 0);
    const ThreadCountOrigin counted = thread_count_origin_from_environment();
    EXPECT_EQ(counted.count, thread_count_from_environment());
    EXPECT_EQ(counted.processors, processor_count_source());
    ASSERT_EQ(unsetenv("RAYON_NUM_THREADS"), 0);
}

TEST(LogicalProcessorCount, FollowsTheCallingThreadsAffinityMask) {
    cpu_set_t original;
    ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
    EXPECT_EQ(logical_processor_count(), static_cast<std::size_t>(CPU_COUNT(&original)));

    int first_cpu = 0;
    while (!CPU_ISSET(first_cpu, &original)) ++first_cpu;
    cpu_set_t single;
    CPU_ZERO(&single);
    CPU_SET(first_cpu, &single);
    ASSERT_EQ(sched_setaffinity(0, sizeof single, &single), 0);
    EXPECT_EQ(logical_processor_count(), 1u);
    ASSERT_EQ(sched_setaffinity(0, sizeof original, &original), 0);
}

TEST(ProcessorCount, IsBetweenOneAndTheLogicalCount) {
    const std::size_t count = processor_count();
    EXPECT_GE(count, 1u);
    EXPECT_LE(count, logical_processor_count());
    EXPECT_EQ(processor_count(), count);
}

// A throw-away directory standing in for "/" of the control-group files.
class FakeRoot : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "zorv_cgroup_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    void write(const std::string& path, const std::string& text) {
        const std::filesystem::path full = root_ + path;
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full) << text;
    }
    std::optional<std::size_t> limit(std::size_t logical_count = 8) { return cgroup_cpu_limit(root_, logical_count); }

    // A v2-only system: the group and its cpu.max.
    void version_2(const std::string& group, const std::string& cpu_max) {
        write("/proc/self/cgroup", "0::" + group + "\n");
        write("/proc/self/mountinfo", v2_mount);
        write("/sys/fs/cgroup" + group + "/cpu.max", cpu_max);
    }
    // A v1 cpu controller mounted at /sys/fs/cgroup/cpu,cpuacct.
    void version_1(const std::string& group, const std::string& quota, const std::string& period) {
        write("/proc/self/cgroup", "4:cpu,cpuacct:" + group + "\n");
        write("/proc/self/mountinfo", v1_mounts);
        write_v1_files(group, quota, period);
    }
    void write_v1_files(const std::string& group, const std::string& quota, const std::string& period) {
        write("/sys/fs/cgroup/cpu,cpuacct" + group + "/cpu.cfs_quota_us", quota);
        write("/sys/fs/cgroup/cpu,cpuacct" + group + "/cpu.cfs_period_us", period);
    }

    static constexpr const char* v2_mount =
        "25 30 0:22 / /proc rw,nosuid - proc proc rw\n"
        "36 25 0:30 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";
    static constexpr const char* v1_mounts =
        "40 30 0:35 / /sys/fs/cgroup/memory rw,nosuid shared:12 - cgroup cgroup rw,memory\n"
        "41 30 0:36 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:13 - cgroup cgroup rw,cpu,cpuacct\n"
        "42 30 0:37 / /sys/fs/cgroup/cpuset rw,nosuid shared:14 - cgroup cgroup rw,cpuset\n"
        "36 25 0:30 / /sys/fs/cgroup/unified rw,nosuid shared:4 - cgroup2 cgroup2 rw\n";

    std::string root_;
};

TEST_F(FakeRoot, Version2QuotaIsCeilingOfQuotaOverPeriodCappedAtLogicalCount) {
    version_2("/job", "150000 100000\n");
    EXPECT_EQ(limit(8), 2u);
    EXPECT_EQ(limit(1), 1u);
    version_2("/job", "400000 100000\r\n");
    EXPECT_EQ(limit(8), 4u);
    version_2("/job", "100001 100000 extra");
    EXPECT_EQ(limit(8), 2u);
    version_2("/job", "18446744073709551615 1\n");
    EXPECT_EQ(limit(8), 8u);
}

TEST_F(FakeRoot, Version2WithoutANumberOrWithZeroSetsNoLimit) {
    for (const char* cpu_max : {"max 100000\n", "0 100000\n", "150000 0\n", "150000\n", "150000  100000\n",
                                "-1 100000\n", ""}) {
        version_2("/job", cpu_max);
        EXPECT_EQ(limit(), std::nullopt) << cpu_max;
    }
}

TEST_F(FakeRoot, Version1QuotaAndPeriodAreTrimmed) {
    version_1("/docker/abc", " 250000\n", "100000 \n");
    EXPECT_EQ(limit(8), 3u);
    EXPECT_EQ(limit(2), 2u);
}

TEST_F(FakeRoot, Version1UnlimitedOrIncompleteSetsNoLimit) {
    version_1("/docker/abc", "-1\n", "100000\n");
    EXPECT_EQ(limit(), std::nullopt);
    version_1("/docker/abc", "50000\n", "0\n");
    EXPECT_EQ(limit(), std::nullopt);
    std::filesystem::remove(root_ + "/sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_period_us");
    EXPECT_EQ(limit(), std::nullopt);
}

TEST_F(FakeRoot, MissingOrUnmatchedFilesSetNoLimit) {
    EXPECT_EQ(limit(), std::nullopt);  // no /proc/self/cgroup at all
    write("/proc/self/cgroup", "0::/job\n");
    EXPECT_EQ(limit(), std::nullopt);  // no mountinfo
    write("/sys/fs/cgroup/job/cpu.max", "200000 100000\n");
    write("/proc/self/mountinfo", "40 30 0:35 / /sys/fs/cgroup rw - cgroup cgroup rw,cpu\n");
    EXPECT_EQ(limit(), std::nullopt);  // no cgroup2 mount for a v2 group
    write("/proc/self/cgroup", "5:cpuset:/job\n6:cpuacct:/job\n");
    write("/proc/self/mountinfo", v1_mounts);
    EXPECT_EQ(limit(), std::nullopt);  // "cpu" must be an exact entry
}

TEST_F(FakeRoot, GroupPathIsTakenRelativeToTheMountRoot) {
    write("/proc/self/cgroup", "0::/docker/abc/inner\n");
    write("/proc/self/mountinfo", "36 25 0:30 /docker/abc /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
    write("/sys/fs/cgroup/inner/cpu.max", "300000 100000\n");
    EXPECT_EQ(limit(), 3u);
    write("/proc/self/cgroup", "0::/docker/abc\n");
    write("/sys/fs/cgroup/cpu.max", "500000 100000\n");
    EXPECT_EQ(limit(), 5u);
}

TEST_F(FakeRoot, GroupPathOutsideTheMountRootSetsNoLimit) {
    write("/proc/self/mountinfo", "36 25 0:30 /docker/abc /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
    write("/sys/fs/cgroup/cpu.max", "300000 100000\n");
    write("/sys/fs/cgroup/other/cpu.max", "300000 100000\n");
    write("/sys/fs/cgroup/abcd/cpu.max", "300000 100000\n");
    write("/proc/self/cgroup", "0::/other\n");
    EXPECT_EQ(limit(), std::nullopt);
    // A prefix by names, not by characters.
    write("/proc/self/cgroup", "0::/docker/abcd\n");
    EXPECT_EQ(limit(), std::nullopt);
}

TEST_F(FakeRoot, MountinfoTakesTheFirstMatchingMount) {
    write("/proc/self/cgroup", "4:cpu:/g\n");
    write("/proc/self/mountinfo",
          "40 30 0:35 / /m/memory rw shared:1 - cgroup cgroup rw,memory\n"
          "41 30 0:36 / /m/first rw shared:2 master:7 - cgroup cgroup rw,cpuacct,cpu\n"
          "42 30 0:37 / /m/second rw - cgroup cgroup rw,cpu\n");
    write("/m/memory/g/cpu.cfs_quota_us", "900000");
    write("/m/memory/g/cpu.cfs_period_us", "100000");
    write("/m/first/g/cpu.cfs_quota_us", "200000");
    write("/m/first/g/cpu.cfs_period_us", "100000");
    write("/m/second/g/cpu.cfs_quota_us", "300000");
    write("/m/second/g/cpu.cfs_period_us", "100000");
    EXPECT_EQ(limit(), 2u);

    write("/proc/self/cgroup", "0::/g\n");
    write("/proc/self/mountinfo",
          "41 30 0:36 / /m/first rw - cgroup cgroup rw,cpu\n"
          "50 30 0:40 / /m/v2a rw - cgroup2 cgroup2 rw\n"
          "51 30 0:41 / /m/v2b rw - cgroup2 cgroup2 rw\n");
    write("/m/v2a/g/cpu.max", "400000 100000");
    write("/m/v2b/g/cpu.max", "500000 100000");
    EXPECT_EQ(limit(), 4u);
}

TEST_F(FakeRoot, CandidateSelectionAcrossVersions) {
    write("/proc/self/mountinfo", v1_mounts);
    // Version 2 files live under the unified mount of this hybrid layout.
    write("/sys/fs/cgroup/unified/v2group/cpu.max", "500000 100000\n");
    write("/sys/fs/cgroup/unified/v2second/cpu.max", "600000 100000\n");
    write_v1_files("/v1group", "300000", "100000");
    write_v1_files("/v1later", "200000", "100000");

    // A version-1 line replaces an earlier version-2 candidate...
    write("/proc/self/cgroup", "0::/v2group\n4:cpu,cpuacct:/v1group\n");
    EXPECT_EQ(limit(), 3u);
    // ...but a version-2 line never replaces a candidate found before.
    write("/proc/self/cgroup", "4:cpu,cpuacct:/v1group\n0::/v2group\n");
    EXPECT_EQ(limit(), 3u);
    write("/proc/self/cgroup", "0::/v2group\n0::/v2second\n");
    EXPECT_EQ(limit(), 5u);
    // Of version-1 lines the last one wins; lines without cpu are skipped.
    write("/proc/self/cgroup", "4:cpu,cpuacct:/v1group\n3:memory:/elsewhere\n5:cpuacct,cpu:/v1later\n");
    EXPECT_EQ(limit(), 2u);
    write("/proc/self/cgroup", "3:memory:/elsewhere\n0::/v2group\n");
    EXPECT_EQ(limit(), 5u);
    // Malformed lines are no candidates.
    write("/proc/self/cgroup", "garbage\n4:cpu\n0::/v2group\n");
    EXPECT_EQ(limit(), 5u);
}

}  // namespace
}  // namespace zorv::pool
