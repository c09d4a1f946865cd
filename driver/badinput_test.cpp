// Bad-input suite: one case per kind of missing, malformed, out-of-range,
// truncated or corrupt input and unwritable product (the reader tests hold
// every message). A refused run ends with status 1 and diagnostics naming
// file and position, changes no input, creates nothing but products, and
// leaves the lines completed before the failure as a clean run writes them.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/memory_limit.hpp"
#include "test/support.hpp"

namespace kov {
namespace {

using namespace test;

// In the child: limits the address space, so that no overcommit policy decides.
void small_memory() {
  const rlimit lim{rlim_t{4} << 30, rlim_t{4} << 30};
  if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(126);
}

TEST(BadInput, RefusedRunsNameTheFailureAndKeepWhatWasComplete) {
  // A 3-line, 4-pixel scene with 46 steps and a mask, and its clean run.
  TempDir ref;
  mkscene(ref, {"--lines", "3", "--pixels", "4", "--mask", "--seed", "21"});
  ASSERT_EQ(run_kovarind(ref).status, 0);
  const Control c = control_of(ref);
  std::string per_line;
  for (int l = 1; l <= 3; ++l)
    per_line += progress_line(l, 3) + " " + std::to_string(l) + " 1 " +
                std::to_string(le16(read_file(ref.file("min.dat")), 8 * (l - 1))) + "\n";

  const auto cntl = [](const std::string& text) {
    return [=](const TempDir& d) { write_file(d.file("cntl.dat"), text); };
  };
  const auto dir = [](const std::string& name) {
    return [=](const TempDir& d) {
      unlink(d.file(name).c_str());
      ASSERT_EQ(mkdir(d.file(name).c_str(), 0755), 0);
    };
  };
  const auto cut = [](const std::string& name, std::size_t size) {
    return [=](const TempDir& d) {
      write_file(d.file(name), read_file(d.file(name)).substr(0, size));
    };
  };
  const auto full = [](const std::string& name) {
    return [=](const TempDir& d) { ASSERT_EQ(symlink("/dev/full", d.file(name).c_str()), 0); };
  };
  struct Case {
    std::function<void(const TempDir&)> prepare;
    std::string file, where, out;
    int done = -1;  // lines complete in every product; -1: no product may be created
    int lines = 1;
    std::function<void()> in_child = {};
  };
  const Case cases[] = {
      // Refused before any raster file is opened; the echo may already stand.
      {cntl("46\n3 4\n&DATA NDEF=2 /\n&CONTRL MASK=1 /\n&NPT /\n12\nx\n"), "cntl.dat",
       ":7: expected an integer for step 2 of 2", " ----\n 2\n 1 12\n"},
      {cntl("46\n3 4\n&DATA NFUNC=24, NDEF=1 /\n&CONTRL /\n&NPT /\n9\n"), "cntl.dat",
       ":3: NFUNC = 24 is outside 0..23", " ----\n 1\n 1 9\n ----\n"},
      {[](const TempDir& d) { unlink(d.file("cntl.dat").c_str()); }, "cntl.dat",
       ": cannot open: No such file", ""},
      {dir("cntl.dat"), "cntl.dat", ": cannot read: Is a directory", ""},
#if !defined(__SANITIZE_ADDRESS__)  // AddressSanitizer reserves more address space
      {cntl("46\n1 2000000000\n&DATA /\n&CONTRL /\n&NPT /\n"), "cntl.dat",
       ": NPIX = 2000000000, NDAT = 46, NWIN = 3: cannot allocate", "", -1, 1, small_memory},
#endif
      // Inputs: missing, unreadable, truncated, a sample with its top bit set.
      {[](const TempDir& d) { unlink(d.file("data.bsq").c_str()); }, "data.bsq",
       ": cannot open for reading: No such file", ""},
      {dir("data.bsq"), "data.bsq", ": band 1, line 1, pixel 1: read at byte offset 0 failed",
       progress(1, 3), 0},
      {cut("data.bsq", 1091), "data.bsq",
       ": band 46, line 2, pixel 2: file ends before byte offset 1091\n", progress(2, 3), 1},
      {cut("mask.bsq", 546), "mask.bsq",
       ": band 46, line 2, pixel 3: file ends before byte offset 546\n", progress(2, 3), 1},
      {[](const TempDir& d) {
         const std::string data = read_file(d.file("data.bsq"));
         write_file(d.file("data.bsq"), std::string(data).replace(1102, 2, enc16(40000)));
       },
       "data.bsq",
       ": band 46, line 3, pixel 4: sample 40000 has its top bit set", progress(3, 3) + " 3 4\n",
       2},
      // Products that cannot be opened or written.
      {[&](const TempDir& d) { write_file(d.file("p.bsq"), "old"), dir("f.bsq")(d); }, "f.bsq",
       ": cannot open for writing: Is a directory", ""},  // p.bsq is opened, not changed
      {full("p.bsq"), "p.bsq", ": band 1, line 1: write at byte offset 0 failed: No space left",
       progress(1, 3), 0},
      // The 1- and 2-byte single-band products report each line; the run goes on.
      {full("min.dat"), "min.dat", ": line 1, pixel 1: write at byte offset 0 failed: No space",
       per_line + " Program Deadified\n", 3, 3},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.file + k.where);
    TempDir d;
    for (const char* name : {"cntl.dat", "data.bsq", "mask.bsq"})
      write_file(d.file(name), read_file(ref.file(name)));
    k.prepare(d);
    const auto before = snapshot(d);
    const RunResult r = run_kovarind(d, 2, KOVARIND_EXE, k.in_child);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), k.lines) << r.err;
    EXPECT_EQ(r.err.rfind("kovarind: " + k.file, 0), 0u) << r.err;
    EXPECT_NE(r.err.find(k.where), std::string::npos) << r.err;
    EXPECT_EQ(r.out, k.out);
    // No file but a product is created or changed, and none before a line starts.
    const auto after = snapshot(d);
    const auto product = [&](const std::string& name) {
      return k.done >= 0 && std::count(std::begin(kProducts), std::end(kProducts), name);
    };
    for (const auto& [name, bytes] : before)
      EXPECT_TRUE(after.count(name) && (after.at(name) == bytes || (product(name) && k.done > 0)))
          << name;
    for (const auto& [name, bytes] : after)
      EXPECT_TRUE(before.count(name) || product(name)) << name;
    if (k.done >= 0) expect_lines_intact(ref, d, c, k.done, 3, '\0', k.file);
  }
}

// Line buffers beyond the memory the process can get (the limit of its
// cgroup included: MemoryLimit) are refused before anything is allocated, at
// once, with the bytes they need and the limit that applied.
TEST(BadInput, SizesBeyondTheMemoryAreRefusedAtOnce) {
  TempDir d;
  write_file(d.file("cntl.dat"), "200\n1 100000000\n&DATA /\n&CONTRL /\n&NPT /\n");
  const Control c = control_of(d);
  const MemoryLimit have = memory_available();
  const auto start = std::chrono::steady_clock::now();
  const RunResult r = run_kovarind(d);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kovarind: cntl.dat: NPIX = 100000000, NDAT = 200, NWIN = 3: cannot allocate "
                   "the line buffers: " + std::to_string(scan_bytes(c, 2)) + " bytes needed, " +
                   std::to_string(have.bytes) + " bytes available (" + have.source + ")\n");
  EXPECT_EQ(snapshot(d).size(), 1u);  // cntl.dat alone
}

// The envelope's scratch follows NWIN only while the filter is on.
TEST(BadInput, HugeNwinWithTheFilterOffNeedsNoMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit";
#endif
  TempDir d;
  mkscene(d, {"--lines", "1", "--pixels", "2", "--no-cntl"});
  write_file(d.file("cntl.dat"), "46\n1 2\n&DATA /\n&CONTRL NWIN=1000000000, MMSW=0 /\n&NPT /\n");
  EXPECT_EQ(run_kovarind(d, 2, KOVARIND_EXE, small_memory).status, 0);
}

}  // namespace
}  // namespace kov
