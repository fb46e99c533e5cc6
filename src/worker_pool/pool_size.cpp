#include "worker_pool/pool_size.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

namespace kestrova::worker_pool {
namespace {

std::string_view trim(std::string_view s) {
    const char* blanks = " \t\r\n";
    auto first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    auto last = s.find_last_not_of(blanks);
    return s.substr(first, last - first + 1);
}

std::optional<std::uint64_t> parse_u64(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return std::nullopt;
        unsigned digit = unsigned(ch - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        auto at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

bool list_contains(std::string_view comma_list, std::string_view item) {
    for (auto part : split(comma_list, ','))
        if (part == item) return true;
    return false;
}

// mountinfo writes blanks, tabs, newlines and backslashes in paths as \ooo.
std::string unescape_mount_path(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto octal = [](char c) { return c >= '0' && c <= '7'; };
        if (s[i] == '\\' && i + 3 < s.size() && octal(s[i + 1]) && octal(s[i + 2]) && octal(s[i + 3])) {
            out.push_back(char((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
            i += 3;
            continue;
        }
        out.push_back(s[i]);
    }
    return out;
}

std::size_t ceil_div(std::uint64_t quota, std::uint64_t period) {
    std::uint64_t q = quota / period + (quota % period != 0 ? 1 : 0);
    return q > std::numeric_limits<std::size_t>::max() ? std::numeric_limits<std::size_t>::max()
                                                       : std::size_t(q);
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(content).str();
}

// The group's directory path relative to the mount, or nullopt when the group
// lies outside the part of the hierarchy that is mounted.
std::optional<std::string> relative_to_mount_root(const std::string& group, const std::string& root) {
    if (root == "/") return group == "/" ? std::string() : group;
    if (group.compare(0, root.size(), root) != 0) return std::nullopt;
    if (group.size() == root.size()) return std::string();
    if (group[root.size()] != '/') return std::nullopt;
    return group.substr(root.size());
}

std::optional<std::size_t> smaller(std::optional<std::size_t> a, std::optional<std::size_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

std::optional<std::size_t> limit_in_hierarchy(const std::string& root, const std::string& proc_cgroup,
                                              const std::string& mountinfo, bool v2) {
    auto group = cgroup_path_from_proc(proc_cgroup, v2);
    if (!group) return std::nullopt;
    auto mount = cgroup_mount_from_mountinfo(mountinfo, v2);
    if (!mount) return std::nullopt;
    auto relative = relative_to_mount_root(*group, mount->root);
    if (!relative) return std::nullopt;

    std::string base = root;
    while (!base.empty() && base.back() == '/') base.pop_back();
    base += mount->mount_point;
    while (base.size() > 1 && base.back() == '/') base.pop_back();

    // A quota on an ancestor limits this group as well.
    std::optional<std::size_t> limit;
    std::string rel = *relative;
    for (;;) {
        std::string dir = base + rel;
        if (v2) {
            if (auto content = read_file(dir + "/cpu.max")) limit = smaller(limit, parse_cpu_max(*content));
        } else {
            auto quota = read_file(dir + "/cpu.cfs_quota_us");
            auto period = read_file(dir + "/cpu.cfs_period_us");
            if (quota && period) limit = smaller(limit, parse_cfs_quota(*quota, *period));
        }
        if (rel.empty()) break;
        auto slash = rel.rfind('/');
        rel.resize(slash == std::string::npos ? 0 : slash);
    }
    return limit;
}

}  // namespace

std::optional<std::size_t> parse_thread_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    auto value = parse_u64(text);
    if (!value || *value > std::numeric_limits<std::size_t>::max()) return std::nullopt;
    return std::size_t(*value);
}

std::optional<std::size_t> thread_count_from_env(const char* rayon_num_threads,
                                                 const char* rayon_rs_num_cpus) {
    if (rayon_num_threads != nullptr) {
        if (auto n = parse_thread_count(rayon_num_threads)) {
            if (*n > 0) return n;
            return std::nullopt;  // 0: the processor count, without looking further
        }
    }
    if (rayon_rs_num_cpus != nullptr) {
        if (auto n = parse_thread_count(rayon_rs_num_cpus); n && *n > 0) return n;
    }
    return std::nullopt;
}

std::optional<std::size_t> parse_cpu_max(std::string_view content) {
    auto fields = split(trim(content), ' ');
    if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
    auto quota = parse_u64(fields[0]);
    auto period = parse_u64(fields[1]);
    // A zero period would divide by zero; the kernel never writes one.
    if (!quota || !period || *period == 0 || *quota == 0) return std::nullopt;
    return ceil_div(*quota, *period);
}

std::optional<std::size_t> parse_cfs_quota(std::string_view quota_text, std::string_view period_text) {
    auto q = trim(quota_text);
    if (!q.empty() && q.front() == '-') return std::nullopt;  // -1: unlimited
    auto quota = parse_u64(q);
    auto period = parse_u64(trim(period_text));
    if (!quota || !period || *period == 0 || *quota == 0) return std::nullopt;
    return ceil_div(*quota, *period);
}

std::optional<std::string> cgroup_path_from_proc(std::string_view proc_self_cgroup, bool v2) {
    for (auto line : split(proc_self_cgroup, '\n')) {
        auto first = line.find(':');
        if (first == std::string_view::npos) continue;
        auto second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        auto id = line.substr(0, first);
        auto controllers = line.substr(first + 1, second - first - 1);
        auto path = line.substr(second + 1);
        if (path.empty() || path.front() != '/') continue;
        if (v2 ? (id == "0" && controllers.empty()) : list_contains(controllers, "cpu")) return std::string(path);
    }
    return std::nullopt;
}

std::optional<CgroupMount> cgroup_mount_from_mountinfo(std::string_view mountinfo, bool v2) {
    for (auto line : split(mountinfo, '\n')) {
        auto fields = split(line, ' ');
        // id parent major:minor root mount-point options [optional...] - type source super-options
        if (fields.size() < 10) continue;
        std::size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-") ++dash;
        if (dash + 3 >= fields.size()) continue;
        auto type = fields[dash + 1];
        auto super_options = fields[dash + 3];
        bool match = v2 ? type == "cgroup2" : (type == "cgroup" && list_contains(super_options, "cpu"));
        if (match) return CgroupMount{unescape_mount_path(fields[3]), unescape_mount_path(fields[4])};
    }
    return std::nullopt;
}

std::optional<std::size_t> cgroup_cpu_limit(const std::string& root) {
    std::string base = root;
    while (!base.empty() && base.back() == '/') base.pop_back();
    auto proc_cgroup = read_file(base + "/proc/self/cgroup");
    auto mountinfo = read_file(base + "/proc/self/mountinfo");
    if (!proc_cgroup || !mountinfo) return std::nullopt;
    if (auto limit = limit_in_hierarchy(root, *proc_cgroup, *mountinfo, true)) return limit;
    return limit_in_hierarchy(root, *proc_cgroup, *mountinfo, false);
}

std::size_t affinity_processor_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int count = CPU_COUNT(&set);
        if (count > 0) return std::size_t(count);
    }
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? std::size_t(online) : 1;
}

std::size_t processor_count() {
    static const std::size_t count = [] {
        std::size_t n = affinity_processor_count();
        if (auto limit = cgroup_cpu_limit("/")) n = std::min(n, *limit);
        return n;
    }();
    return count;
}

std::size_t configured_pool_size() {
    if (auto n = thread_count_from_env(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS")))
        return *n;
    return processor_count();
}

}  // namespace kestrova::worker_pool
