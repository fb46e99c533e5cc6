// How many worker threads the process-wide pool gets. The parsing steps are
// pure functions over strings or a root directory so that tests can feed them
// synthetic environments and fake /proc trees.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova::worker_pool {

// A decimal count with an optional leading '+' that fits a size_t; nothing
// else (no sign '-', no blanks, no empty string).
std::optional<std::size_t> parse_thread_count(std::string_view text);

// The count the two variables ask for, or nullopt when the processor count
// applies. Null pointers stand for unset variables.
std::optional<std::size_t> thread_count_from_env(const char* rayon_num_threads,
                                                 const char* rayon_rs_num_cpus);

// Control-group v2 "cpu.max" content ("max 100000" or "150000 100000"):
// ceil(quota / period), or nullopt when it sets no usable limit.
std::optional<std::size_t> parse_cpu_max(std::string_view content);

// Control-group v1 cpu.cfs_quota_us and cpu.cfs_period_us contents; a
// negative quota (-1) means no limit.
std::optional<std::size_t> parse_cfs_quota(std::string_view quota, std::string_view period);

// Where the process's group sits in one hierarchy, from /proc/self/cgroup.
// v2 is the "0::path" line; v1 the line whose controller list names "cpu".
std::optional<std::string> cgroup_path_from_proc(std::string_view proc_self_cgroup, bool v2);

struct CgroupMount {
    std::string root;         // the part of the hierarchy mounted there
    std::string mount_point;
};

// The first mount of a cgroup2 file system (v2) or of a v1 hierarchy carrying
// the cpu controller, from /proc/self/mountinfo.
std::optional<CgroupMount> cgroup_mount_from_mountinfo(std::string_view mountinfo, bool v2);

// The CPU limit of the process's control group and of its ancestors up to the
// mount point (the smallest one wins), reading "<root>/proc/self/cgroup",
// "<root>/proc/self/mountinfo" and the control files under "<root><mount point>".
// v2 is tried first, then v1. nullopt when no quota applies.
std::optional<std::size_t> cgroup_cpu_limit(const std::string& root = "/");

// Processors in the affinity mask (1024 slots), else the online count; >= 1.
std::size_t affinity_processor_count();

// affinity_processor_count() lowered to the control-group limit; computed on
// the first call and kept for the life of the process.
std::size_t processor_count();

// The pool size from the environment, falling back to processor_count().
std::size_t configured_pool_size();

}  // namespace kestrova::worker_pool
