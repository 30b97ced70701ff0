// CPU count from the affinity mask and cgroup v1/v2 quotas, walking the group's ancestors.
#include "zam/cpus.hpp"

#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>
#include <vector>

namespace zam {

namespace {

std::optional<std::string> read_whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return text.str();
}

std::size_t affinity_count() {
    // Masks of up to 64k CPUs; CPU_SETSIZE alone stops at 1024.
    for (std::size_t cpus = 1024; cpus <= 65536; cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (!set) return 0;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        const int status = sched_getaffinity(0, bytes, set);
        const int count = status == 0 ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (status == 0) return static_cast<std::size_t>(count);
    }
    return 0;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    return parts;
}

std::optional<std::uint64_t> parse_unsigned(const std::string& text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        if (value > (std::numeric_limits<std::uint64_t>::max() - 9) / 10) return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

std::string trim(const std::string& text) {
    const auto begin = text.find_first_not_of(" \t\n");
    if (begin == std::string::npos) return {};
    const auto end = text.find_last_not_of(" \t\n");
    return text.substr(begin, end - begin + 1);
}

std::optional<std::size_t> quota_cpus(std::uint64_t quota, std::uint64_t period) {
    if (period == 0) return std::nullopt;
    return std::max<std::uint64_t>(quota / period, 1);
}

struct Mount {
    std::string root;         // the group path the mount shows at its mount point
    std::string mount_point;  // where it is mounted
};

// The cgroup2 mount, or the v1 mount whose super options name `controller`.
std::optional<Mount> find_mount(const std::string& mountinfo, const std::string& controller) {
    for (const std::string& line : split(mountinfo, '\n')) {
        const auto dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        const std::vector<std::string> fields = split(line.substr(0, dash), ' ');
        const std::vector<std::string> tail = split(line.substr(dash + 3), ' ');
        if (fields.size() < 5 || tail.size() < 3) continue;
        const std::string& type = tail[0];
        if (controller.empty()) {
            if (type == "cgroup2") return Mount{fields[3], fields[4]};
        } else if (type == "cgroup") {
            for (const std::string& option : split(tail[2], ',')) {
                if (option == controller) return Mount{fields[3], fields[4]};
            }
        }
    }
    return std::nullopt;
}

// The directory of `group` under the mount, or nullopt when the mount does not show it: the
// mount's root must be the group itself or one of its ancestors, compared by whole components.
std::optional<std::string> group_directory(const Mount& mount, const std::string& group) {
    std::string relative = group;
    if (mount.root != "/") {
        if (group.compare(0, mount.root.size(), mount.root) != 0) return std::nullopt;
        relative = group.substr(mount.root.size());
        if (!relative.empty() && relative.front() != '/') return std::nullopt;
    }
    if (!relative.empty() && relative.back() == '/') relative.pop_back();
    return mount.mount_point + relative;
}

std::string parent_directory(const std::string& directory) {
    const auto slash = directory.find_last_of('/');
    return slash == std::string::npos ? std::string() : directory.substr(0, slash);
}

// The tightest quota on the group's directory under the mount for `controller` ("" for the
// unified v2 hierarchy) and on each of its ancestors up to the mount point.
template <class Quota>
std::optional<std::size_t> tightest(const CpuSources& sources, const std::string& controller,
                                    const std::string& group, Quota quota_in) {
    const auto mount = find_mount(sources.mountinfo, controller);
    if (!mount) return std::nullopt;
    auto directory = group_directory(*mount, group);
    if (!directory) return std::nullopt;
    std::optional<std::size_t> best;
    while (true) {
        if (const auto cpus = quota_in(*directory)) best = best ? std::min(*best, *cpus) : *cpus;
        if (directory->size() <= mount->mount_point.size()) break;
        directory = parent_directory(*directory);
    }
    return best;
}

// cgroup v2: "cpu.max" holds "QUOTA PERIOD", or "max PERIOD" for none.
std::optional<std::size_t> v2_limit(const CpuSources& sources, const std::string& group) {
    return tightest(sources, "", group, [&](const std::string& dir) -> std::optional<std::size_t> {
        const auto text = sources.read_file(dir + "/cpu.max");
        if (!text) return std::nullopt;
        const std::vector<std::string> parts = split(trim(*text), ' ');
        if (parts.size() != 2 || parts[0] == "max") return std::nullopt;
        const auto quota = parse_unsigned(parts[0]);
        const auto period = parse_unsigned(parts[1]);
        if (!quota || !period) return std::nullopt;
        return quota_cpus(*quota, *period);
    });
}

// cgroup v1: "cpu.cfs_quota_us" (-1 for none) over "cpu.cfs_period_us".
std::optional<std::size_t> v1_limit(const CpuSources& sources, const std::string& group) {
    return tightest(sources, "cpu", group,
                    [&](const std::string& dir) -> std::optional<std::size_t> {
                        const auto quota_text = sources.read_file(dir + "/cpu.cfs_quota_us");
                        const auto period_text = sources.read_file(dir + "/cpu.cfs_period_us");
                        if (!quota_text || !period_text) return std::nullopt;
                        const auto quota = parse_unsigned(trim(*quota_text));
                        const auto period = parse_unsigned(trim(*period_text));
                        if (!quota || !period) return std::nullopt;
                        return quota_cpus(*quota, *period);
                    });
}

}  // namespace

std::size_t available_cpus(const CpuSources& sources) {
    std::size_t cpus = sources.affinity;
    if (cpus == 0) cpus = std::max(1u, std::thread::hardware_concurrency());
    for (const std::string& line : split(sources.cgroup, '\n')) {
        // "hierarchy-id:controllers:path"
        const auto first = line.find(':');
        const auto second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string group = line.substr(second + 1);
        std::optional<std::size_t> limit;
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            limit = v2_limit(sources, group);
        } else {
            for (const std::string& controller : split(controllers, ',')) {
                if (controller == "cpu") limit = v1_limit(sources, group);
            }
        }
        if (limit) cpus = std::min(cpus, *limit);
    }
    return std::max<std::size_t>(cpus, 1);
}

std::size_t available_cpus() {
    CpuSources sources;
    sources.affinity = affinity_count();
    sources.cgroup = read_whole_file("/proc/self/cgroup").value_or("");
    sources.mountinfo = read_whole_file("/proc/self/mountinfo").value_or("");
    sources.read_file = read_whole_file;
    return available_cpus(sources);
}

}  // namespace zam
