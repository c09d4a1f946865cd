// The memory a process can get before it is refused or killed: physical
// memory and swap, its address-space and data-size limits, and the memory
// limit of its control group and of every ancestor group (the limit a
// container runtime or a batch scheduler sets, enforced by the kernel's
// out-of-memory killer).
#pragma once

#include <cstdint>
#include <string>

namespace kov {

// A number of bytes and what sets it, for messages ("physical memory and
// swap", "the address-space limit, ulimit -v", "the cgroup limit
// /sys/fs/cgroup/batch/memory.max", ...). UINT64_MAX with an empty source
// when nothing limits.
struct MemoryLimit {
  std::uint64_t bytes = UINT64_MAX;
  std::string source;
};

// The smallest memory limit of the process's own cgroup and its ancestors,
// under cgroup v2 (memory.max) and v1 (memory.limit_in_bytes of the memory
// controller's hierarchy). The groups come from /proc/self/cgroup, their
// directories from /proc/self/mountinfo or, when that lists no cgroup
// mount, the usual mounts under /sys/fs/cgroup. Every one of these paths is
// read below `root` ("" for the system itself; tests prepare a tree); the
// source names the file without the root.
MemoryLimit cgroup_memory_limit(const std::string& root);

// The smallest of physical memory and swap, the address-space and
// data-size limits and cgroup_memory_limit(cgroup_root).
MemoryLimit memory_available(const std::string& cgroup_root = "");

}  // namespace kov
