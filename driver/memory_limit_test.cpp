// Memory limits from prepared cgroup trees: v2 and v1 hierarchies, limits
// set on the group or on an ancestor, mounts that show the whole hierarchy
// or only a container's part of it, and the usual mounts when mountinfo
// lists none.
#include "driver/memory_limit.hpp"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "test/support.hpp"

namespace kov {
namespace {

using namespace test;

const std::string kV2 = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
const std::string kCg = "/sys/fs/cgroup/";

TEST(MemoryLimit, TheSmallestLimitOfTheGroupAndItsAncestors) {
  struct Case {
    std::string cgroup, mountinfo;
    std::vector<std::pair<std::string, std::string>> files;  // path, content
    std::uint64_t bytes;
    std::string file;  // the limit that applies
  };
  const Case cases[] = {
      // v2: the ancestor's limit, then the group's own, is the smaller one
      {"0::/b/job\n", kV2, {{kCg + "b/memory.max", "2000000\n"}, {kCg + "b/job/memory.max", "max\n"}},
       2000000, kCg + "b/memory.max"},
      {"0::/b/job\n", kV2, {{kCg + "b/memory.max", "2\n"}, {kCg + "b/job/memory.max", "1\n"}}, 1,
       kCg + "b/job/memory.max"},
      // v1 memory controller beside an empty v2 hierarchy (hybrid)
      {"4:memory:/api/x\n1:cpu:/\n0::/\n",
       kV2 + "35 31 0:32 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n",
       {{kCg + "memory/memory.limit_in_bytes", "9223372036854771712\n"},
        {kCg + "memory/api/memory.limit_in_bytes", "536870912\n"},
        {kCg + "memory/api/x/memory.limit_in_bytes", "9223372036854771712\n"}},
       536870912, kCg + "memory/api/memory.limit_in_bytes"},
      // a container's part of the hierarchy mounted (no cgroup namespace)
      {"5:cpuacct,memory:/docker/c1\n",
       "35 31 0:32 /docker/c1 /sys/fs/cgroup/memory ro - cgroup cgroup rw,cpuacct,memory\n",
       {{kCg + "memory/memory.limit_in_bytes", "300000000\n"}}, 300000000,
       kCg + "memory/memory.limit_in_bytes"},
      {"0::/a\n", "30 23 0:26 / /mnt/cg\\040x rw - cgroup2 none rw\n",
       {{"/mnt/cg x/a/memory.max", "4096\n"}}, 4096, "/mnt/cg x/a/memory.max"},
      // no mountinfo: the usual v2 mount; no limit anywhere
      {"0::/u\n", "", {{kCg + "u/memory.max", "123456789\n"}}, 123456789, kCg + "u/memory.max"},
      {"0::/u\n", kV2, {{kCg + "u/memory.max", "max\n"}, {kCg + "memory.max", "x\n"}}, UINT64_MAX,
       ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.cgroup + k.file);
    TempDir root;
    std::vector<std::pair<std::string, std::string>> files = k.files;
    files.push_back({"/proc/self/cgroup", k.cgroup});
    if (!k.mountinfo.empty()) files.push_back({"/proc/self/mountinfo", k.mountinfo});
    for (const auto& [path, text] : files) {
      std::filesystem::create_directories(std::filesystem::path(root.path() + path).parent_path());
      write_file(root.path() + path, text);
    }
    const MemoryLimit m = cgroup_memory_limit(root.path());
    EXPECT_EQ(m.bytes, k.bytes);
    EXPECT_EQ(m.source, k.file.empty() ? "" : "the cgroup limit " + k.file);
    // The process gets the group's limit, named, unless another one is smaller.
    const MemoryLimit all = memory_available(root.path());
    EXPECT_TRUE(all.bytes == k.bytes ? all.source == m.source : all.bytes < k.bytes);
  }
}

}  // namespace
}  // namespace kov
