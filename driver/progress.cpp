#include "driver/progress.hpp"

#include <cstdio>

namespace kov {
namespace {

// An integer right-aligned in five columns, or five asterisks when it needs
// more (a sign counts as a column).
std::string field5(int v) {
  char buf[16];
  int len = std::snprintf(buf, sizeof buf, "%5d", v);
  if (len > 5) return "*****";
  return buf;
}

}  // namespace

std::string progress_line(int line, int nline) {
  return " " + field5(line) + "/" + field5(nline) + "line\n";
}

}  // namespace kov
