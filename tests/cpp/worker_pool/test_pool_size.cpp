#include "worker_pool/pool_size.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fork_child.h"
#include "worker_pool/pool.h"

namespace kestrova::worker_pool {
namespace {

using Count = std::optional<std::size_t>;
constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

struct CountCase {
    const char* text;
    Count expected;
};

class ParseThreadCount : public ::testing::TestWithParam<CountCase> {};

TEST_P(ParseThreadCount, AcceptsOnlyUnsignedDecimalWords) {
    EXPECT_EQ(parse_thread_count(GetParam().text), GetParam().expected) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseThreadCount,
                         ::testing::Values(CountCase{"4", 4}, CountCase{"+4", 4}, CountCase{"0", 0},
                                           CountCase{"+0", 0}, CountCase{"007", 7},
                                           CountCase{"18446744073709551615", kMax},
                                           CountCase{"18446744073709551616", std::nullopt},
                                           CountCase{"99999999999999999999", std::nullopt},
                                           CountCase{"", std::nullopt}, CountCase{"+", std::nullopt},
                                           CountCase{"++4", std::nullopt}, CountCase{"abc", std::nullopt},
                                           CountCase{"4x", std::nullopt}, CountCase{"-1", std::nullopt},
                                           CountCase{"-0", std::nullopt}, CountCase{" 4", std::nullopt},
                                           CountCase{"4 ", std::nullopt}, CountCase{"4\n", std::nullopt},
                                           CountCase{"0x10", std::nullopt}));

struct EnvCase {
    const char* num_threads;     // nullptr: unset
    const char* rs_num_cpus;
    Count expected;              // nullopt: the processor count
};

class EnvPrecedence : public ::testing::TestWithParam<EnvCase> {};

TEST_P(EnvPrecedence, FirstVariableWinsWhenItIsANumber) {
    const auto& c = GetParam();
    EXPECT_EQ(thread_count_from_env(c.num_threads, c.rs_num_cpus), c.expected)
        << (c.num_threads ? c.num_threads : "<unset>") << " / " << (c.rs_num_cpus ? c.rs_num_cpus : "<unset>");
}

INSTANTIATE_TEST_SUITE_P(Cases, EnvPrecedence,
                         ::testing::Values(EnvCase{nullptr, nullptr, std::nullopt}, EnvCase{"3", nullptr, 3},
                                           EnvCase{"3", "5", 3}, EnvCase{"+3", "5", 3},
                                           // 0 asks for the processor count; the second is not consulted
                                           EnvCase{"0", "5", std::nullopt},
                                           // not a number: fall through to the second variable
                                           EnvCase{"abc", "5", 5}, EnvCase{"", "5", 5}, EnvCase{"-1", "5", 5},
                                           EnvCase{"18446744073709551616", "5", 5}, EnvCase{nullptr, "5", 5},
                                           EnvCase{nullptr, "0", std::nullopt}, EnvCase{"x", "y", std::nullopt},
                                           EnvCase{nullptr, " 2", std::nullopt}));

struct QuotaCase {
    const char* quota;
    const char* period;  // nullptr: v2 cpu.max content in `quota`
    Count expected;
};

class CgroupQuota : public ::testing::TestWithParam<QuotaCase> {};

TEST_P(CgroupQuota, RoundsUpAndIgnoresNoLimit) {
    const auto& c = GetParam();
    Count got = c.period ? parse_cfs_quota(c.quota, c.period) : parse_cpu_max(c.quota);
    EXPECT_EQ(got, c.expected) << c.quota << " / " << (c.period ? c.period : "v2");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CgroupQuota,
    ::testing::Values(QuotaCase{"max 100000\n", nullptr, std::nullopt}, QuotaCase{"150000 100000\n", nullptr, 2},
                      QuotaCase{"100000 100000", nullptr, 1}, QuotaCase{"50000 100000", nullptr, 1},
                      QuotaCase{"200001 100000", nullptr, 3}, QuotaCase{"0 100000", nullptr, std::nullopt},
                      QuotaCase{"100000 0", nullptr, std::nullopt}, QuotaCase{"150000", nullptr, std::nullopt},
                      QuotaCase{"", nullptr, std::nullopt}, QuotaCase{"-1", "100000\n", std::nullopt},
                      QuotaCase{"150000\n", "100000\n", 2}, QuotaCase{"300000", "100000", 3},
                      QuotaCase{"0", "100000", std::nullopt}, QuotaCase{"100000", "0", std::nullopt},
                      QuotaCase{"junk", "100000", std::nullopt}));

TEST(CgroupFiles, FindGroupAndMountLines) {
    const std::string proc = "12:pids:/x\n4:cpu,cpuacct:/v1/grp\n0::/v2/grp\n";
    EXPECT_EQ(cgroup_path_from_proc(proc, true), "/v2/grp");
    EXPECT_EQ(cgroup_path_from_proc(proc, false), "/v1/grp");
    // "cpuacct" or "cpuset" alone do not carry the quota
    EXPECT_EQ(cgroup_path_from_proc("3:cpuset:/a\n2:cpuacct:/b\n", false), std::nullopt);

    const std::string mountinfo =
        "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
        "33 31 0:30 / /sys/fs/cgroup/cpuacct rw,relatime shared:9 - cgroup cgroup rw,cpuacct\n"
        "32 31 0:29 /docker/x /sys/fs/cgroup/cpu\\040v1 rw,relatime shared:8 - cgroup cgroup rw,cpu,cpuacct\n"
        "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
    auto v1 = cgroup_mount_from_mountinfo(mountinfo, false);
    ASSERT_TRUE(v1.has_value());
    EXPECT_EQ(v1->root, "/docker/x");
    EXPECT_EQ(v1->mount_point, "/sys/fs/cgroup/cpu v1");
    auto v2 = cgroup_mount_from_mountinfo(mountinfo, true);
    ASSERT_TRUE(v2.has_value());
    EXPECT_EQ(v2->mount_point, "/sys/fs/cgroup/unified");
}

constexpr const char* kV2Mount = "30 1 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
constexpr const char* kV1Mount =
    "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
    "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n";
constexpr const char* kV1Dir = "sys/fs/cgroup/cpu,cpuacct/grp/";

struct TreeCase {
    const char* name;
    const char* proc_cgroup;
    const char* mountinfo;  // nullptr: no mountinfo file
    std::vector<std::pair<std::string, std::string>> files;
    Count expected;
};

// A fake root with proc/self/{cgroup,mountinfo} and control files below it.
class FakeRoot : public ::testing::TestWithParam<TreeCase> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrova-cgroup-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    void write(const std::string& relative, const std::string& content) {
        std::filesystem::path p = root_ / relative;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p) << content;
    }
    std::filesystem::path root_;
};

TEST_P(FakeRoot, QuotaOfTheGroupOrAnAncestor) {
    const auto& c = GetParam();
    write("proc/self/cgroup", c.proc_cgroup);
    if (c.mountinfo) write("proc/self/mountinfo", c.mountinfo);
    for (const auto& [path, content] : c.files) write(path, content);
    EXPECT_EQ(cgroup_cpu_limit(root_.string()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, FakeRoot,
    ::testing::Values(
        TreeCase{"v2", "0::/app\n", kV2Mount, {{"sys/fs/cgroup/app/cpu.max", "150000 100000\n"}}, 2},
        TreeCase{"v2_max", "0::/app\n", kV2Mount, {{"sys/fs/cgroup/app/cpu.max", "max 100000\n"}}, std::nullopt},
        TreeCase{"v2_zero", "0::/app\n", kV2Mount, {{"sys/fs/cgroup/app/cpu.max", "0 100000\n"}}, std::nullopt},
        // the smallest quota on the way up to the mount point counts
        TreeCase{"v2_ancestor",
                 "0::/a/b\n",
                 kV2Mount,
                 {{"sys/fs/cgroup/a/b/cpu.max", "max 100000\n"},
                  {"sys/fs/cgroup/a/cpu.max", "300000 100000\n"},
                  {"sys/fs/cgroup/cpu.max", "100000 100000\n"}},
                 1},
        // without a cgroup namespace the mount shows the process's own group
        TreeCase{"v2_container",
                 "0::/docker/abc\n",
                 "30 1 0:26 /docker/abc /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
                 {{"sys/fs/cgroup/cpu.max", "250000 100000\n"}},
                 3},
        TreeCase{"v2_outside_mount",
                 "0::/elsewhere\n",
                 "30 1 0:26 /docker/abc /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
                 {{"sys/fs/cgroup/cpu.max", "100000 100000\n"}},
                 std::nullopt},
        // hybrid layout: a unified mount without cpu.max, the quota in v1
        TreeCase{"v1",
                 "4:cpu,cpuacct:/grp\n0::/\n",
                 kV1Mount,
                 {{std::string(kV1Dir) + "cpu.cfs_quota_us", "150000\n"},
                  {std::string(kV1Dir) + "cpu.cfs_period_us", "100000\n"}},
                 2},
        TreeCase{"v1_unlimited",
                 "4:cpu,cpuacct:/grp\n",
                 kV1Mount,
                 {{std::string(kV1Dir) + "cpu.cfs_quota_us", "-1\n"},
                  {std::string(kV1Dir) + "cpu.cfs_period_us", "100000\n"}},
                 std::nullopt},
        TreeCase{"no_mountinfo", "0::/app\n", nullptr, {{"sys/fs/cgroup/app/cpu.max", "1 100000\n"}}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// The size is taken from the environment when the pool is created; a forked
// child rebuilds its pool, so it can set the variables first.
TEST(ConfiguredPoolSize, EnvironmentSizesTheProcessPool) {
    int status = run_in_child([] {
        setenv("RAYON_NUM_THREADS", "abc", 1);
        setenv("RAYON_RS_NUM_CPUS", "3", 1);
        if (configured_pool_size() != 3) return 1;
        setenv("RAYON_NUM_THREADS", "+5", 1);
        if (global_pool().thread_count() != 5) return 2;
        setenv("RAYON_NUM_THREADS", "7", 1);  // decided once
        if (global_pool().thread_count() != 5) return 3;
        return 0;
    });
    EXPECT_EQ(status, 0);
}

// A request comes before the environment; once the pool runs, none changes it.
TEST(ConfiguredPoolSize, RequestSizesThePoolUntilItStarts) {
    int status = run_in_child([] {
        setenv("RAYON_NUM_THREADS", "5", 1);
        if (request_pool_size(0) != processor_count()) return 1;
        if (request_pool_size(3) != 3) return 2;
        if (global_pool().thread_count() != 3) return 3;
        if (request_pool_size(4) != 3) return 4;
        return global_pool().thread_count() == 3 ? 0 : 5;
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace kestrova::worker_pool
