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

const std::string kV2Mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
const std::string kV1Mount =
    "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n";

TEST(MemoryLimit, TheSmallestLimitOfTheGroupAndItsAncestors) {
  struct Case {
    std::string name, cgroup, mountinfo;
    std::vector<std::pair<std::string, std::string>> files;  // path, content
    std::uint64_t bytes;
    std::string source;
  };
  const Case cases[] = {
      {"v2, own namespace", "0::/\n", kV2Mount, {{"/sys/fs/cgroup/memory.max", "1073741824\n"}},
       1073741824, "the cgroup limit /sys/fs/cgroup/memory.max"},
      {"v2, the ancestor's limit is smaller", "0::/batch/job.scope\n", kV2Mount,
       {{"/sys/fs/cgroup/batch/memory.max", "2000000\n"},
        {"/sys/fs/cgroup/batch/job.scope/memory.max", "max\n"}},
       2000000, "the cgroup limit /sys/fs/cgroup/batch/memory.max"},
      {"v2, the group's limit is smaller", "0::/batch/job.scope\n", kV2Mount,
       {{"/sys/fs/cgroup/batch/memory.max", "2000000\n"},
        {"/sys/fs/cgroup/batch/job.scope/memory.max", "1999999\n"}},
       1999999, "the cgroup limit /sys/fs/cgroup/batch/job.scope/memory.max"},
      {"v1 beside an empty v2 (hybrid)", "4:memory:/api/x\n1:cpu:/\n0::/\n",
       kV1Mount + "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n",
       {{"/sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"},
        {"/sys/fs/cgroup/memory/api/memory.limit_in_bytes", "536870912\n"},
        {"/sys/fs/cgroup/memory/api/x/memory.limit_in_bytes", "9223372036854771712\n"}},
       536870912, "the cgroup limit /sys/fs/cgroup/memory/api/memory.limit_in_bytes"},
      {"v1, a container's part of the hierarchy at the mount point", "5:cpuacct,memory:/docker/c1\n",
       "35 31 0:32 /docker/c1 /sys/fs/cgroup/memory ro - cgroup cgroup rw,cpuacct,memory\n",
       {{"/sys/fs/cgroup/memory/memory.limit_in_bytes", "300000000\n"}}, 300000000,
       "the cgroup limit /sys/fs/cgroup/memory/memory.limit_in_bytes"},
      {"escaped mount point", "0::/a\n", "30 23 0:26 / /mnt/cg\\040x rw - cgroup2 none rw\n",
       {{"/mnt/cg x/a/memory.max", "4096\n"}}, 4096, "the cgroup limit /mnt/cg x/a/memory.max"},
      {"no mountinfo: the usual v2 mount", "0::/u\n", "",
       {{"/sys/fs/cgroup/u/memory.max", "123456789\n"}}, 123456789,
       "the cgroup limit /sys/fs/cgroup/u/memory.max"},
      {"no limit anywhere", "0::/u\n", kV2Mount,
       {{"/sys/fs/cgroup/u/memory.max", "max\n"}, {"/sys/fs/cgroup/memory.max", "garbage\n"}},
       UINT64_MAX, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    TempDir root;
    std::filesystem::create_directories(root.file("proc/self"));
    write_file(root.file("proc/self/cgroup"), k.cgroup);
    if (!k.mountinfo.empty()) write_file(root.file("proc/self/mountinfo"), k.mountinfo);
    for (const auto& [path, text] : k.files) {
      std::filesystem::create_directories(std::filesystem::path(root.path() + path).parent_path());
      write_file(root.path() + path, text);
    }
    const MemoryLimit m = cgroup_memory_limit(root.path());
    EXPECT_EQ(m.bytes, k.bytes);
    EXPECT_EQ(m.source, k.source);
    // Below the physical memory, the group's limit is what the process can get.
    const MemoryLimit all = memory_available(root.path());
    if (k.bytes < 1000000000) {
      EXPECT_EQ(all.source, k.source);
    }
    EXPECT_LE(all.bytes, k.bytes);
  }
}

}  // namespace
}  // namespace kov
