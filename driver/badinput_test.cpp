// Bad-input suite: the program on inputs that are missing, malformed, out of
// range, truncated or corrupt, and on products that cannot be written. Every
// refused run ends with status 1 and diagnostic lines naming file and
// position, changes no input, creates nothing but products, and leaves the
// product lines completed before the failure as a clean run writes them.

#include <grp.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test/support.hpp"

namespace kov {
namespace {

using namespace test;

bool is_product(const std::string& name) {
  return std::find(std::begin(kProducts), std::end(kProducts), name) != std::end(kProducts);
}

// Runs the program in d and checks that it refused: status 1, `lines`
// diagnostic lines of which the first begins "kovarind: <file>" and holds
// `where`, inputs unchanged, no file created but products (none unless
// `products_allowed`).
RunResult refused(const TempDir& d, const std::string& file, const std::string& where,
                  bool products_allowed, const std::function<void()>& in_child = {},
                  int lines = 1, const std::string& exe = KOVARIND_EXE) {
  const auto before = snapshot(d);
  const RunResult r = run_kovarind(d, 2, exe, in_child);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), lines) << r.err;
  EXPECT_EQ(r.err.rfind("kovarind: " + file, 0), 0u) << r.err;
  EXPECT_NE(r.err.find(where), std::string::npos) << "expected '" << where << "' in " << r.err;
  const auto after = snapshot(d);
  for (const auto& [name, bytes] : before)
    EXPECT_TRUE(is_product(name) || (after.count(name) && after.at(name) == bytes)) << name;
  for (const auto& [name, bytes] : after)
    EXPECT_TRUE(before.count(name) || (products_allowed && is_product(name)))
        << name << " was created";
  return r;
}

// In the child: drops root, so that permission bits apply.
void as_unprivileged_user() {
  if (geteuid() != 0) return;
  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
}

TEST(BadControlFile, RefusedBeforeAnyRasterFileIsOpened) {
  const std::string full =
      "46\n3 4\n&DATA NFUNC=6, NDEF=2 /\n&CONTRL NWIN=3, MMSW=1, MASK=1 /\n"
      "&NPT NPOINT=46 /\n12\n30\n";
  const auto cntl = [](const std::string& rec1, const std::string& rec2, const std::string& data,
                       const std::string& contrl, const std::string& npt = "") {
    return rec1 + "\n" + rec2 + "\n&DATA " + data + " /\n&CONTRL " + contrl + " /\n&NPT " + npt +
           " /\n";
  };
  struct Case {
    std::string text, where, out;
  };
  std::vector<Case> cases = {
      {"\n  \n", ": end of file while reading record 1", ""},
      {"46\n3", ": end of file while reading record 2 (expected NPIX)", ""},
      {"46\n3 4\n&CONTRL /\n&DATA /\n&NPT /\n", ":3: group &CONTRL out of order", ""},
      {"46\n3 4\n&DATA /\n&NPT /\n&CONTRL /\n", ":4: group &NPT out of order", ""},
      {cntl("46", "3 4", "", "NWINDOW=3"), ":4: unknown key NWINDOW", ""},
      {cntl("46", "3 x4", "", ""), ":2: expected an integer for NPIX", ""},
      {cntl("46", "3 4", "NFUNC=6.0", ""), ":3: expected an integer for NFUNC", ""},
      {cntl("46", "3 4", "", "TCLD=0.1.5"), ":4: expected a number for TCLD", ""},
      {full.substr(0, full.size() - 3) + "x\n", ":7: expected an integer for step 2 of 2",
       " ----\n 2\n 1 12\n"},
      {"46\n3 4\n&DATA NFUNC=6\n&CONTRL /\n&NPT /\n",
       ":4: expected a key or '/' in group &DATA, found '&CONTRL'", ""},
      {cntl("2", "3 4", "", ""), ":1: NDAT = 2 is outside 3..200", ""},
      {cntl("201", "3 4", "", ""), ":1: NDAT = 201 is outside 3..200", ""},
      {cntl("46", "3 4", "NDEF=-1", ""), ":3: NDEF = -1 is outside 0..NDAT", ""},
      {cntl("46", "3 4", "NDEF=47", "") + "xx\n", ":3: NDEF = 47 is outside 0..NDAT (46)", ""},
      {cntl("46", "-1 4", "", ""), ":2: NLINE = -1 is negative", ""},
      {cntl("46", "3 -4", "", ""), ":2: NPIX = -4 is negative", ""},
      {cntl("46", "3 4", "NFUNC=-1", ""), ":3: NFUNC = -1 is outside 0..23", ""},
      {cntl("46", "3 4", "NFUNC=24", ""), ":3: NFUNC = 24 is outside 0..23", ""},
      {cntl("46", "3 4", "", "", "NPOINT=0"), ":5: NPOINT = 0 is not positive", ""},
      {cntl("46", "3 4", "", "NWIN=-1"), ":4: NWIN = -1 is negative", ""},
      {cntl("46", "3 4", "", "NWIN=-1, MMSW=1, FITMD=1"), ":4: NWIN = -1 is negative", ""},
      // The excluded steps are echoed before the limits are checked.
      {cntl("46", "3 4", "NFUNC=24, NDEF=1", "") + "9\n", ":3: NFUNC = 24",
       " ----\n 1\n 1 9\n ----\n"},
  };
  // Cut off before each line and before the closing slash of each group.
  const char* expected[] = {"record 1",
                            "record 2",
                            "(expected group &DATA)",
                            "(expected group &CONTRL)",
                            "(expected group &NPT)",
                            "(expected step 1 of 2)",
                            "(expected step 2 of 2)"};
  for (std::size_t line = 0, at = 0; line < 7; ++line, at = full.find('\n', at) + 1)
    cases.push_back({full.substr(0, at), expected[line],
                     line < 5    ? ""
                     : line == 5 ? " ----\n 2\n"
                                 : " ----\n 2\n 1 12\n"});
  for (const char* group : {"&DATA", "&CONTRL", "&NPT"})
    cases.push_back({full.substr(0, full.find('/', full.find(group))),
                     std::string(": end of file while reading group ") + group + " (expected '/')",
                     ""});
  cases.push_back({"<missing>", ": cannot open: No such file", ""});
  cases.push_back({"<directory>", ": cannot read: Is a directory", ""});

  for (const Case& k : cases) {
    SCOPED_TRACE("cntl.dat:\n" + k.text);
    TempDir d;
    write_file(d.file("data.bsq"), std::string(2 * 46 * 12, '\0'));
    write_file(d.file("mask.bsq"), std::string(46 * 12, '\1'));
    if (k.text == "<directory>") {
      ASSERT_EQ(mkdir(d.file("cntl.dat").c_str(), 0755), 0);
    } else if (k.text != "<missing>") {
      write_file(d.file("cntl.dat"), k.text);
    }
    EXPECT_EQ(refused(d, "cntl.dat", k.where, false).out, k.out);
  }
}

TEST(BadControlFile, SizesBeyondTheMemoryAreRefusedWithoutACrash) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit";
#endif
  // A 4 GiB address-space limit, so that no overcommit policy decides.
  const auto limited = [] {
    const rlimit lim{rlim_t{4} << 30, rlim_t{4} << 30};
    if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(126);
  };
  struct Case {
    const char* cntl;
    const char* where;  // nullptr: the run succeeds
  } cases[] = {
      {"46\n1 2000000000\n&DATA /\n&CONTRL /\n&NPT /\n",
       ": NPIX = 2000000000, NDAT = 46, NWIN = 3: cannot allocate"},
      {"46\n1 2\n&DATA /\n&CONTRL NWIN=1000000000 /\n&NPT /\n",
       ": NPIX = 2, NDAT = 46, NWIN = 1000000000: cannot allocate"},
      {"46\n1 2\n&DATA /\n&CONTRL NWIN=1000000000, MMSW=0 /\n&NPT /\n", nullptr},
  };
  for (const Case& k : cases) {
    TempDir d;
    mkscene(d, {"--lines", "1", "--pixels", "2", "--no-cntl"});
    write_file(d.file("cntl.dat"), k.cntl);
    if (k.where) {
      refused(d, "cntl.dat", k.where, false, limited);
    } else {
      EXPECT_EQ(run_kovarind(d, 2, KOVARIND_EXE, limited).status, 0);
    }
  }
}

TEST(BadControlFile, SizesBeyondPhysicalMemoryAreRefusedAtOnce) {
  TempDir d;
  write_file(d.file("cntl.dat"), "200\n1 100000000\n&DATA /\n&CONTRL /\n&NPT /\n");
  const auto start = std::chrono::steady_clock::now();
  refused(d, "cntl.dat", "NPIX = 100000000, NDAT = 200, NWIN = 3: cannot allocate the line buffers: " +
      std::to_string(scan_bytes(control_of(d), 2)) + " bytes needed, " +
      std::to_string(memory_available()), false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

// A 3-line, 4-pixel scene with 46 steps and a mask, and its clean run.
struct Scene {
  static constexpr int kLines = 3, kPix = 4, kPlane = kLines * kPix;
  TempDir ref;
  Control c;
  explicit Scene(bool intp = false) {
    std::vector<std::string> args = {"--lines", "3", "--pixels", "4", "--mask", "--seed", "21"};
    if (intp) args.push_back("--intp");
    mkscene(ref, args);
    c = control_of(ref);
    EXPECT_EQ(run_kovarind(ref).status, 0);
  }
  // Copies the inputs into d.
  void inputs(const TempDir& d) const {
    for (const char* name : {"cntl.dat", "data.bsq", "mask.bsq"})
      write_file(d.file(name), read_file(ref.file(name)));
  }
};

TEST(BadRasterInput, MissingOrUnreadableInput) {
  const Scene s;
  for (const char* file : {"data.bsq", "mask.bsq"}) {
    TempDir d;
    s.inputs(d);
    ASSERT_EQ(unlink(d.file(file).c_str()), 0);
    refused(d, file, ": cannot open for reading: No such file", false);
  }
  TempDir d;
  s.inputs(d);
  ASSERT_EQ(unlink(d.file("data.bsq").c_str()), 0);
  ASSERT_EQ(mkdir(d.file("data.bsq").c_str(), 0755), 0);
  refused(d, "data.bsq", ": band 1, line 1, pixel 1: read at byte offset 0 failed", true);
}

TEST(BadRasterInput, TruncatedOrTopBitInputStopsAtItsFirstBadRecord) {
  // Reading goes line by line, band by band: a cut inside the file's middle
  // band already stops line 1, in band 24.
  const Scene s;
  struct Case {
    const char* file;
    bool top_bit;  // else truncated to `at` bytes
    std::size_t at;
    int band, line, pixel;
    long value;  // the first missing byte, or the raw sample
  } cases[] = {
      {"data.bsq", false, 0, 1, 1, 1, 0},        {"data.bsq", false, 1, 1, 1, 1, 1},
      {"data.bsq", false, 540, 24, 1, 1, 552},   {"data.bsq", false, 1091, 46, 2, 2, 1091},
      {"data.bsq", false, 1103, 46, 3, 4, 1103}, {"mask.bsq", false, 3, 1, 1, 4, 3},
      {"mask.bsq", false, 546, 46, 2, 3, 546},   {"mask.bsq", false, 551, 46, 3, 4, 551},
      {"data.bsq", true, 0, 1, 1, 1, 0x8000},    {"data.bsq", true, 1088, 46, 2, 1, 0xFFFF},
      {"data.bsq", true, 1102, 46, 3, 4, 40000},
  };
  for (const Case& k : cases) {
    const std::string what = k.top_bit
                                 ? "sample " + std::to_string(k.value) + " has its top bit set"
                                 : "file ends before byte offset " + std::to_string(k.value) + "\n";
    SCOPED_TRACE(k.file + (": " + what));
    TempDir d;
    s.inputs(d);
    if (k.top_bit) {
      write_at(d.file(k.file), k.at, enc16(static_cast<int>(k.value)));
    } else {
      write_file(d.file(k.file), read_file(d.file(k.file)).substr(0, k.at));
    }
    const RunResult r =
        refused(d, k.file,
                ": band " + std::to_string(k.band) + ", line " + std::to_string(k.line) +
                    ", pixel " + std::to_string(k.pixel) + ": " + what,
                true);
    EXPECT_EQ(r.out, progress(k.line, 3) + (k.top_bit ? " 3 4\n" : ""));
    expect_lines_intact(s.ref, d, s.c, k.line - 1, Scene::kLines);
  }
}

TEST(BadProduct, ProductThatCannotBeOpened) {
  const Scene s(true);
  for (const char* name : kProducts) {
    SCOPED_TRACE(name);
    TempDir d;
    s.inputs(d);
    ASSERT_EQ(mkdir(d.file(name).c_str(), 0755), 0);
    EXPECT_EQ(refused(d, name, ": cannot open for writing: Is a directory", true).out, "");
    for (const char* other : kProducts)
      EXPECT_TRUE(std::string(other) == name || file_size(d.file(other)) <= 0) << other;
  }
  // The unprivileged runs use a copy of the program in a directory that user
  // can reach, whatever the permissions of the build tree's parents.
  TempDir bin, ro_file, ro_dir;
  const std::string exe = bin.file("kovarind");
  write_file(exe, read_file(KOVARIND_EXE));
  ASSERT_EQ(chmod(exe.c_str(), 0755), 0);
  ASSERT_EQ(chmod(bin.path().c_str(), 0755), 0);
  for (const TempDir* d : {&ro_file, &ro_dir}) s.inputs(*d);
  write_file(ro_file.file("f.bsq"), "old");
  ASSERT_EQ(chmod(ro_file.file("f.bsq").c_str(), 0444), 0);
  ASSERT_EQ(chmod(ro_file.path().c_str(), 0777), 0);
  refused(ro_file, "f.bsq", ": cannot open for writing: Permission denied", true,
          as_unprivileged_user, 1, exe);
  EXPECT_EQ(read_file(ro_file.file("f.bsq")), "old");
  ASSERT_EQ(chmod(ro_dir.path().c_str(), 0555), 0);
  refused(ro_dir, "p.bsq", ": cannot open for writing: Permission denied", false,
          as_unprivileged_user, 1, exe);
}

TEST(BadProduct, FullDeviceStopsTheRunOrIsReportedPerLine) {
  // Parameters, fitted series and criterion stop the run at once; the 1- and
  // 2-byte single-band products report each line, and the run goes on.
  const Scene s;
  for (const char* name : kProducts) {
    if (std::string(name) == "i.bsq") continue;
    SCOPED_TRACE(name);
    const bool per_line = std::string(name) == "order.dat" || std::string(name) == "min.dat" ||
                          std::string(name) == "max.dat";
    TempDir d;
    s.inputs(d);
    ASSERT_EQ(symlink("/dev/full", d.file(name).c_str()), 0);
    const RunResult r =
        refused(d, name, "No space left on device", true, {}, per_line ? Scene::kLines : 1);
    if (per_line) {
      EXPECT_NE(r.out.find("\n 3 1 "), std::string::npos) << r.out;
      EXPECT_EQ(r.out.substr(r.out.size() - 19), " Program Deadified\n");
      expect_lines_intact(s.ref, d, s.c, Scene::kLines, Scene::kLines, '\0', name);
    } else {
      EXPECT_EQ(r.out, progress(1, 3));
    }
  }
}

TEST(BadProduct, FileSizeLimitStopsTheRunWithTheLinesBeforeIntact) {
  // RLIMIT_FSIZE holds for root as well. f.bsq is the largest product: three
  // bytes short of it fail its last band in the last line.
  const Scene s;
  struct Case {
    rlim_t limit;
    const char* file;
    const char* where;
    int done;
  } cases[] = {{2 * 46 * 12 - 3, "f.bsq", ": band 46, line 3: write at byte offset 1101", 2},
               {100, "p.bsq", ": band 3, line 1: write at byte offset 100", 0}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.where);
    TempDir d;
    s.inputs(d);
    const RunResult r = refused(d, k.file, k.where, true, [&k] {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit lim{k.limit, k.limit};
      if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(126);
    });
    EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, progress(k.done + 1, 3));
    expect_lines_intact(s.ref, d, s.c, k.done, k.done);
  }
}

}  // namespace
}  // namespace kov
