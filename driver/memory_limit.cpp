// The memory limits of this process. A cgroup's limit is the file
// memory.max (v2; "max" when unlimited) or memory.limit_in_bytes (v1, the
// memory controller's hierarchy) in the group's directory; a group is held
// to the limit of every ancestor too, so the walk reads each directory from
// the group up to the mount point of its hierarchy.
#include "driver/memory_limit.hpp"

#include <sys/resource.h>
#include <sys/sysinfo.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

namespace kov {
namespace {

std::optional<std::string> read_text(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return s.str();
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = s.find(sep, start);
    parts.push_back(s.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

bool contains(const std::vector<std::string>& items, const std::string& item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

// Paths in mountinfo have blanks, tabs, newlines and backslashes as octal
// escapes (\040).
std::string unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto octal = [&](std::size_t k) { return s[k] >= '0' && s[k] <= '7'; };
    if (s[i] == '\\' && i + 3 < s.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

struct Mount {
  std::string root, point;  // the hierarchy's directory it shows, and where
};

// A hierarchy that can hold a memory limit: the file that holds it, the
// process's group in it, and where it is mounted.
struct Hierarchy {
  const char* file = "";
  std::string group = "/";
  std::vector<Mount> mounts;
};

// A limit file's bytes; nullopt for "max" and anything unreadable.
std::optional<std::uint64_t> limit_value(const std::string& text) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (*end != '\0' && *end != '\n') return std::nullopt;
  return static_cast<std::uint64_t>(v);
}

void take(MemoryLimit& m, std::uint64_t bytes, const std::string& source) {
  if (bytes < m.bytes) {
    m.bytes = bytes;
    m.source = source;
  }
}

// The group's directory below a mount of its hierarchy, relative to the
// mount point ("" for the mount point itself); nullopt when the mount does
// not show the group.
std::optional<std::string> below(const Mount& mount, const std::string& group) {
  if (group.find("/..") != std::string::npos) return std::nullopt;
  const std::string r = mount.root == "/" ? "" : mount.root;
  if (group.compare(0, r.size(), r) != 0) return std::nullopt;
  std::string rel = group.substr(r.size());
  if (!rel.empty() && rel[0] != '/') return std::nullopt;
  while (!rel.empty() && rel.back() == '/') rel.pop_back();
  return rel;
}

// The limits from the group's directory up to the mount point. A mount
// that shows another part of the hierarchy (a container's view without
// its own cgroup namespace) holds the container's group at its mount point.
void walk(const std::string& root, const Hierarchy& h, MemoryLimit& m) {
  if (h.mounts.empty()) return;
  const Mount* mount = &h.mounts.front();
  std::string rel;
  for (const Mount& candidate : h.mounts)
    if (const auto r = below(candidate, h.group)) {
      mount = &candidate;
      rel = *r;
      break;
    }
  const std::string point = mount->point == "/" ? "" : mount->point;
  for (;;) {
    const std::string path = point + rel + "/" + h.file;
    if (const auto text = read_text(root + path))
      if (const auto v = limit_value(*text)) take(m, *v, "the cgroup limit " + path);
    if (rel.empty()) return;
    rel.erase(rel.rfind('/'));
  }
}

}  // namespace

MemoryLimit cgroup_memory_limit(const std::string& root) {
  Hierarchy v2, v1;
  v2.file = "memory.max";
  v1.file = "memory.limit_in_bytes";
  // hierarchy-ID:controllers:path; v2 is "0::path".
  if (const auto text = read_text(root + "/proc/self/cgroup"))
    for (const std::string& line : split(*text, '\n')) {
      const std::size_t a = line.find(':'), b = line.find(':', a + 1);
      if (a == std::string::npos || b == std::string::npos) continue;
      const std::string controllers = line.substr(a + 1, b - a - 1), path = line.substr(b + 1);
      if (line.compare(0, a, "0") == 0 && controllers.empty()) v2.group = path;
      if (contains(split(controllers, ','), "memory")) v1.group = path;
    }
  // ID parent major:minor root mount-point options [optional...] - fstype
  // source super-options
  if (const auto text = read_text(root + "/proc/self/mountinfo"))
    for (const std::string& line : split(*text, '\n')) {
      const std::vector<std::string> f = split(line, ' ');
      const auto dash = std::find(f.begin() + std::min<std::size_t>(f.size(), 6), f.end(), "-");
      if (f.end() - dash < 4) continue;
      const Mount mount{unescape(f[3]), unescape(f[4])};
      if (dash[1] == "cgroup2") v2.mounts.push_back(mount);
      if (dash[1] == "cgroup" && contains(split(dash[3], ','), "memory"))
        v1.mounts.push_back(mount);
    }
  if (v2.mounts.empty()) v2.mounts.push_back({"/", "/sys/fs/cgroup"});
  if (v1.mounts.empty()) v1.mounts.push_back({"/", "/sys/fs/cgroup/memory"});
  MemoryLimit m;
  walk(root, v2, m);
  walk(root, v1, m);
  return m;
}

MemoryLimit memory_available(const std::string& cgroup_root) {
  // Swap counts: a run that fits only with it is slow, but it ends.
  MemoryLimit m;
  struct sysinfo si;
  if (sysinfo(&si) == 0 && si.totalram > 0)
    take(m, (static_cast<std::uint64_t>(si.totalram) + si.totalswap) * std::max(si.mem_unit, 1u),
         "physical memory and swap");
  const std::pair<int, const char*> limits[] = {
      {RLIMIT_AS, "the address-space limit, ulimit -v"},
      {RLIMIT_DATA, "the data-size limit, ulimit -d"}};
  for (const auto& [resource, name] : limits) {
    rlimit lim;
    if (getrlimit(resource, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
      take(m, lim.rlim_cur, name);
  }
  const MemoryLimit group = cgroup_memory_limit(cgroup_root);
  take(m, group.bytes, group.source);
  return m;
}

}  // namespace kov
