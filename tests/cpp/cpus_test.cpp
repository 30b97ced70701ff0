// CPU count from affinity and control-group quotas, on fake /proc and cgroup files.
#include <map>

#include <gtest/gtest.h>

#include "zam/cpus.hpp"

namespace {

using zam::CpuSources;

CpuSources sources(std::size_t affinity, std::string cgroup, std::string mountinfo,
                   std::map<std::string, std::string> files) {
    CpuSources s;
    s.affinity = affinity;
    s.cgroup = std::move(cgroup);
    s.mountinfo = std::move(mountinfo);
    s.read_file = [files](const std::string& path) -> std::optional<std::string> {
        const auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    };
    return s;
}

const std::string v2_mount =
    "30 23 0:26 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:4 - cgroup2 cgroup2 rw\n";
const std::string v1_mounts =
    "31 25 0:27 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
    "32 25 0:28 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n";

TEST(Cpus, AffinityAloneWhenNoQuota) {
    EXPECT_EQ(available_cpus(sources(6, "0::/user.slice\n", v2_mount,
                                     {{"/sys/fs/cgroup/user.slice/cpu.max", "max 100000\n"}})),
              6u);
    EXPECT_EQ(available_cpus(sources(3, "", "", {})), 3u);
}

TEST(Cpus, CgroupV2QuotaAndItsAncestors) {
    const auto s = sources(16, "0::/a/b\n", v2_mount,
                           {{"/sys/fs/cgroup/a/b/cpu.max", "400000 100000\n"},
                            {"/sys/fs/cgroup/a/cpu.max", "250000 100000\n"},
                            {"/sys/fs/cgroup/cpu.max", "max 100000\n"}});
    EXPECT_EQ(available_cpus(s), 2u);  // floor(2.5), the tighter ancestor
}

TEST(Cpus, FractionalQuotaKeepsOneWorker) {
    EXPECT_EQ(available_cpus(
                  sources(8, "0::/\n", v2_mount, {{"/sys/fs/cgroup/cpu.max", "50000 100000"}})),
              1u);
}

TEST(Cpus, AffinityTighterThanQuota) {
    EXPECT_EQ(available_cpus(
                  sources(2, "0::/\n", v2_mount, {{"/sys/fs/cgroup/cpu.max", "800000 100000"}})),
              2u);
}

TEST(Cpus, CgroupV1Quota) {
    const auto s =
        sources(16, "5:memory:/x\n4:cpu,cpuacct:/docker/abc\n", v1_mounts,
                {{"/sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_quota_us", "300000\n"},
                 {"/sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_period_us", "100000\n"}});
    EXPECT_EQ(available_cpus(s), 3u);
}

TEST(Cpus, CgroupV1UnlimitedAndContainerRoot) {
    // -1: no quota.
    EXPECT_EQ(
        available_cpus(sources(4, "4:cpu,cpuacct:/\n", v1_mounts,
                               {{"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n"},
                                {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}})),
        4u);
    // Inside a container the mount's root is the group itself.
    const std::string mounted_at_group =
        "32 25 0:28 /docker/abc /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu,cpuacct\n";
    EXPECT_EQ(available_cpus(sources(8, "4:cpu,cpuacct:/docker/abc\n", mounted_at_group,
                                     {{"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "150000"},
                                      {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000"}})),
              1u);
}

TEST(Cpus, MountRootMatchesWholePathComponents) {
    // Root /foo shows /foo and what lies below it, never its sibling /foobar.
    const std::string mounted_at_foo = "30 23 0:26 /foo /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
    const std::map<std::string, std::string> quotas = {
        {"/sys/fs/cgroupbar/cpu.max", "200000 100000"},
        {"/sys/fs/cpu.max", "200000 100000"},
        {"/sys/fs/cgroup/bar/cpu.max", "300000 100000"}};
    EXPECT_EQ(available_cpus(sources(16, "0::/foobar\n", mounted_at_foo, quotas)), 16u);
    EXPECT_EQ(available_cpus(sources(16, "0::/foo/bar\n", mounted_at_foo, quotas)), 3u);
}

TEST(Cpus, MalformedFilesAreIgnored) {
    EXPECT_EQ(available_cpus(
                  sources(5, "0::/\ngarbage\n", v2_mount, {{"/sys/fs/cgroup/cpu.max", "lots 0"}})),
              5u);
    EXPECT_EQ(available_cpus(sources(5, "0::/\n", v2_mount, {{"/sys/fs/cgroup/cpu.max", "1 0"}})),
              5u);
}

TEST(Cpus, ThisProcessHasAtLeastOne) {
    EXPECT_GE(zam::available_cpus(), 1u);
}

}  // namespace
