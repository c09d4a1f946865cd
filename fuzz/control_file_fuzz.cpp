// Fuzz harness of the control-file reader: arbitrary bytes become cntl.dat,
// read by both builds. A read either succeeds with every value inside its
// start-up limits, or fails as a malformed file or a value out of range with
// a one-line message that begins with the file name and holds no control
// character.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/control_file.hpp"
#include "base/limits.hpp"

namespace {

// Standard error as it was at start-up (the fuzzer may close it for the
// target's own output).
int g_report_fd = 2;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::string shown;
  for (char ch : detail) {
    const auto u = static_cast<unsigned char>(ch);
    char esc[8];
    std::snprintf(esc, sizeof esc, "\\x%02x", u);
    shown += (u < 0x20 || u == 0x7f) ? std::string(esc) : std::string(1, ch);
  }
  dprintf(g_report_fd, "read_control_file invariant broken: %s: %s\n", what, shown.c_str());
  std::abort();
}

std::string g_path;

void remove_scratch() { unlink(g_path.c_str()); }

const std::string& scratch_path() {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  g_path = std::string(base) + "/kovfuzz-cntl." + std::to_string(getpid());
  std::atexit(remove_scratch);
  return g_path;
}

void check(const kov::Status& st, const kov::Control& c, kov::Build build,
           const std::string& path) {
  using kov::Code;
  if (!st.ok()) {
    if (st.code != Code::kBadControl && st.code != Code::kInvalid)
      fail("unexpected status code", st.msg);
    if (st.msg.compare(0, path.size(), path) != 0)
      fail("message does not begin with the file name", st.msg);
    for (char ch : st.msg) {
      const auto u = static_cast<unsigned char>(ch);
      if (u < 0x20 || u == 0x7f) fail("control character in message", st.msg);
    }
    return;
  }
  if (c.ndat < 3 || c.ndat > kov::kMaxSteps) fail("NDAT", std::to_string(c.ndat));
  if (c.nline < 0 || c.npix < 0) fail("NLINE/NPIX", std::to_string(c.nline));
  if (c.nfunc < 0 || c.nfunc > kov::kMaxHarmonics) fail("NFUNC", std::to_string(c.nfunc));
  if (c.npara != 2 * c.nfunc + 2) fail("NPARA", std::to_string(c.npara));
  if (c.ndef < 0 || c.ndef > c.ndat) fail("NDEF", std::to_string(c.ndef));
  if (c.npoint <= 0) fail("NPOINT", std::to_string(c.npoint));
  if (build == kov::Build::kFixedPeriod && c.npoint != 46)
    fail("NPOINT of the fixed-period build", std::to_string(c.npoint));
  if (c.kdef.size() > static_cast<std::size_t>(c.ndef) ||
      c.kdef.size() > static_cast<std::size_t>(kov::kMaxSteps))
    fail("retained steps", std::to_string(c.kdef.size()));
  for (std::int16_t t : c.kdef)
    if (t < 1 || t > c.ndat) fail("retained step outside 1..NDAT", std::to_string(t));
  if (c.nwin < 0 && c.mmsw > 0 && (c.fitmd == 0 || c.fitmd == 1))
    fail("negative NWIN with the filter on", std::to_string(c.nwin));
  if (c.tcld != c.tcld || c.tlo != c.tlo || c.thi != c.thi)
    fail("residual limits not a number", std::to_string(c.tcld));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_report_fd = dup(2);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = scratch_path();
  static std::FILE* sink = std::fopen("/dev/null", "w");
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) fail("cannot create the scratch file", path);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t w = write(fd, data + done, size - done);
    if (w <= 0) fail("cannot write the scratch file", path);
    done += static_cast<std::size_t>(w);
  }
  close(fd);
  for (kov::Build build : {kov::Build::kFull, kov::Build::kFixedPeriod}) {
    kov::Control c;
    const kov::Status st = kov::read_control_file(path, build, c, sink);
    check(st, c, build, path);
  }
  return 0;
}
