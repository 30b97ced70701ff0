// The number of CPUs available to the process: its affinity mask and its control-group CPU quota.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace zam {

/// Where the CPU count is read from; the defaults read the running process.
struct CpuSources {
    /// CPUs in the process's affinity mask (0 when unknown).
    std::size_t affinity = 0;
    /// Text of /proc/self/cgroup and /proc/self/mountinfo.
    std::string cgroup;
    std::string mountinfo;
    /// Reads a whole file; nullopt when it cannot be read.
    std::function<std::optional<std::string>(const std::string& path)> read_file;
};

/// CPUs available to the running process.
std::size_t available_cpus();

/// min(affinity, every CPU quota on the process's control-group path and its ancestors), at
/// least 1. A quota is floor(quota / period): cgroup v2 "cpu.max" ("max" = none), v1
/// "cpu.cfs_quota_us" / "cpu.cfs_period_us" (-1 = none).
std::size_t available_cpus(const CpuSources& sources);

}  // namespace zam
