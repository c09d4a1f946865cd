// Fuzz harness of the control-file reader: arbitrary bytes become cntl.dat,
// read by both builds. A read either succeeds with values inside the start-up
// limits, or fails as a malformed file or a value out of range with a message
// of printable characters that begins with the file name.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/control_file.hpp"

namespace {

std::string g_path;   // the scratch control file
int g_report_fd = 2;  // standard error as it was at start-up (the fuzzer may close it)

void check(bool ok, const char* what, const std::string& detail) {
  if (ok) return;
  dprintf(g_report_fd, "read_control_file invariant broken: %s: %s\n", what, detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_report_fd = dup(2);
  g_path = "/tmp/kovfuzz-cntl." + std::to_string(getpid());
  std::atexit([] { unlink(g_path.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  std::FILE* f = std::fopen(g_path.c_str(), "wb");
  check(f && std::fwrite(data, 1, size, f) == size && std::fclose(f) == 0, "scratch file", g_path);
  for (kov::Build build : {kov::Build::kFull, kov::Build::kFixedPeriod}) {
    kov::Control c;
    const kov::Status st = kov::read_control_file(g_path, build, c, sink);
    bool plain = st.msg.compare(0, g_path.size(), g_path) == 0;
    for (char ch : st.msg) plain = plain && static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7f;
    const bool refused = st.code == kov::Code::kBadControl || st.code == kov::Code::kInvalid;
    check(st.ok() || (refused && plain), "refusal", st.msg);
    check(!st.ok() || (kov::check_limits(c, "").ok() && c.npara == 2 * c.nfunc + 2 &&
                       c.kdef.size() <= static_cast<std::size_t>(c.ndef) &&
                       (build == kov::Build::kFull || c.npoint == 46)),
          "values outside the limits", std::to_string(c.ndat) + " " + std::to_string(c.nfunc));
    for (std::int16_t t : c.kdef) check(t >= 1 && t <= c.ndat, "retained step", std::to_string(t));
  }
  return 0;
}
