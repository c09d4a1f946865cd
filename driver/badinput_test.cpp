// Bad-input suite: the real program runs in a scratch directory on inputs
// that are missing, malformed, out of range, truncated or corrupt, and on
// products that cannot be written. Every case must end with status 1 and one
// diagnostic line naming the file and the position, leave every input as it
// was, create no file besides the products, and leave every product line
// completed before the failure byte for byte as a clean run writes it.

#include <grp.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/testing.hpp"

namespace kov {
namespace {

using e2e::exists;
using e2e::read_file;
using e2e::RunResult;
using e2e::ScratchDir;
using e2e::write_file;

const std::string kExe = KOVARIND_EXE;
const std::string kMkscene = KOVARIND_MKSCENE_EXE;

// Layout of a product: bands (records per pixel) and bytes per record.
struct Product {
  const char* name;
  int bands;
  int rec;
};

// Products of a scene with 46 steps and NFUNC 6 (14 parameters), in the
// order a line writes them.
std::vector<Product> products(bool intp) {
  std::vector<Product> p = {{"p.bsq", 14, 4}};
  if (intp) p.push_back({"i.bsq", 46, 2});
  for (Product q : {Product{"f.bsq", 46, 2}, Product{"order.dat", 1, 1},
                    Product{"aic.dat", 1, 4}, Product{"min.dat", 1, 2},
                    Product{"max.dat", 1, 2}})
    p.push_back(q);
  return p;
}

const char* const kProductNames[] = {"p.bsq",   "i.bsq",   "f.bsq",  "order.dat",
                                     "aic.dat", "min.dat", "max.dat"};

// Every regular file of a directory with its content (the captured output
// of a run excluded).
std::map<std::string, std::string> snapshot(const ScratchDir& d) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(d.path())) {
    const std::string name = e.path().filename().string();
    if (name == ".stdout" || name == ".stderr") continue;
    files[name] = e.is_regular_file() ? read_file(e.path().string()) : "<not a file>";
  }
  return files;
}

// Runs the program in d; `in_child` runs in the forked child just before the
// program starts (after its output files are open).
RunResult run(const ScratchDir& d, const std::function<void()>& in_child = {}) {
  const std::string out_path = d.file(".stdout"), err_path = d.file(".stderr");
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(d.path().c_str()) != 0) _exit(127);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    setenv("OMP_NUM_THREADS", "2", 1);
    if (in_child) in_child();
    execl(kExe.c_str(), kExe.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  RunResult r;
  int ws = 0;
  if (pid > 0 && waitpid(pid, &ws, 0) == pid && WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  return r;
}

// In the child: drops root to an unprivileged user, so that permission bits
// apply as they do to any user. A no-op when not running as root.
void as_unprivileged_user() {
  if (geteuid() != 0) return;
  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
}

void mkscene(const ScratchDir& d, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {kMkscene, d.path()};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult r = e2e::run(argv, d.path());
  ASSERT_EQ(r.status, 0) << r.err;
}

// The run was refused: status 1, one diagnostic line on standard error that
// names the file and holds `where`, inputs unchanged and no file created but
// products (none at all when `products_allowed` is false).
void expect_refused(const RunResult& r, const ScratchDir& d,
                    const std::map<std::string, std::string>& before,
                    const std::string& file, const std::string& where,
                    bool products_allowed, int diagnostics = 1) {
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), diagnostics) << r.err;
  EXPECT_EQ(r.err.rfind("kovarind: " + file, 0), 0u) << r.err;
  EXPECT_NE(r.err.find(where), std::string::npos) << "expected '" << where << "' in " << r.err;
  const auto after = snapshot(d);
  for (const auto& [name, bytes] : before) {
    auto it = after.find(name);
    ASSERT_NE(it, after.end()) << name << " was removed";
    const bool is_product =
        std::find(std::begin(kProductNames), std::end(kProductNames), name) !=
        std::end(kProductNames);
    if (!is_product) {
      EXPECT_TRUE(it->second == bytes) << name << " was changed";
    }
  }
  for (const auto& [name, bytes] : after) {
    if (before.count(name)) continue;
    const bool is_product =
        std::find(std::begin(kProductNames), std::end(kProductNames), name) !=
        std::end(kProductNames);
    EXPECT_TRUE(products_allowed && is_product) << name << " was created";
  }
}

// Lines 1..done of every product hold exactly what the clean run `ref` wrote
// there; of later lines nothing was written (the bytes are zero or absent)
// unless `later_may_differ`. The product `skip` is not looked at.
void expect_lines_intact(const ScratchDir& ref, const ScratchDir& d, int nline,
                         int npix, bool intp, int done, bool later_may_differ = false,
                         const std::string& skip = "") {
  for (const Product& p : products(intp)) {
    if (p.name == skip) continue;
    const std::string want = read_file(ref.file(p.name));
    std::string got = read_file(d.file(p.name));
    ASSERT_EQ(want.size(), static_cast<std::size_t>(p.bands) * nline * npix * p.rec);
    ASSERT_LE(got.size(), want.size()) << p.name;
    got.resize(want.size(), '\0');
    const std::size_t seg = static_cast<std::size_t>(npix) * p.rec;
    for (int k = 1; k <= p.bands; ++k) {
      for (int l = 1; l <= nline; ++l) {
        const std::size_t off = (static_cast<std::size_t>(k - 1) * nline + (l - 1)) * seg;
        if (l <= done) {
          EXPECT_TRUE(got.compare(off, seg, want, off, seg) == 0)
              << p.name << " band " << k << " line " << l << " differs from a clean run";
        } else if (!later_may_differ) {
          EXPECT_EQ(got.substr(off, seg), std::string(seg, '\0'))
              << p.name << " band " << k << " line " << l << " was written";
        }
      }
    }
  }
}

std::string progress(int line, int nline) {
  char buf[64];
  std::snprintf(buf, sizeof buf, " %5d/%5dline\n", line, nline);
  return buf;
}

// ---------------------------------------------------------------- cntl.dat

// A control file with every record and group and two excluded steps.
const std::string kFullCntl =
    "46\n3 4\n&DATA NFUNC=6, NDEF=2 /\n&CONTRL NWIN=3, MMSW=1, MASK=1 /\n"
    "&NPT NPOINT=46 /\n12\n30\n";

struct ControlCase {
  std::string text;
  std::string where;  // position and problem expected in the diagnostic
  std::string out;    // standard output before the failure
};

void expect_control_refused(const ControlCase& c) {
  ScratchDir d;
  mkscene(d, {"--lines", "3", "--pixels", "4", "--mask", "--no-cntl"});
  write_file(d.file("cntl.dat"), c.text);
  const auto before = snapshot(d);
  RunResult r = run(d);
  SCOPED_TRACE("cntl.dat:\n" + c.text);
  expect_refused(r, d, before, "cntl.dat", c.where, false);
  EXPECT_EQ(r.out, c.out);
}

TEST(BadControlFile, MissingEmptyOrNotAFile) {
  {
    ScratchDir d;
    mkscene(d, {"--lines", "1", "--pixels", "2", "--no-cntl"});
    const auto before = snapshot(d);
    RunResult r = run(d);
    expect_refused(r, d, before, "cntl.dat", ": cannot open: No such file", false);
  }
  expect_control_refused({"", ": end of file while reading record 1", ""});
  expect_control_refused({"\n  \n", ": end of file while reading record 1", ""});
  {
    ScratchDir d;
    mkscene(d, {"--lines", "1", "--pixels", "2", "--no-cntl"});
    ASSERT_EQ(mkdir(d.file("cntl.dat").c_str(), 0755), 0);
    const auto before = snapshot(d);
    RunResult r = run(d);
    expect_refused(r, d, before, "cntl.dat", ": cannot read: Is a directory", false);
  }
}

TEST(BadControlFile, CutOffAtEveryRecordAndGroup) {
  // Cut before each line, in the middle of record 2 and before the closing
  // slash of each group: always an end of file naming what was expected.
  const std::string echo = " ----\n 2\n";
  std::vector<ControlCase> cases;
  std::size_t at = 0;
  const char* expected[] = {"record 1", "record 2", "(expected group &DATA)",
                            "(expected group &CONTRL)", "(expected group &NPT)",
                            "step 1 of 2", "step 2 of 2"};
  for (int line = 0; line < 7; ++line) {
    cases.push_back({kFullCntl.substr(0, at), expected[line],
                     line < 5 ? "" : (line == 5 ? echo : echo + " 1 12\n")});
    at = kFullCntl.find('\n', at) + 1;
  }
  cases.push_back({"46\n3", "record 2 (expected NPIX)", ""});
  for (const char* group : {"&DATA", "&CONTRL", "&NPT"}) {
    const std::size_t slash = kFullCntl.find('/', kFullCntl.find(group));
    cases.push_back({kFullCntl.substr(0, slash),
                     std::string("while reading group ") + group + " (expected '/')", ""});
  }
  for (const ControlCase& c : cases) expect_control_refused(c);
}

TEST(BadControlFile, MalformedRecordsAndGroups) {
  const ControlCase cases[] = {
      // groups out of order
      {"46\n3 4\n&CONTRL /\n&DATA /\n&NPT /\n", "cntl.dat:3: group &CONTRL out of order", ""},
      {"46\n3 4\n&DATA /\n&NPT /\n&CONTRL /\n", "cntl.dat:4: group &NPT out of order", ""},
      // unknown key
      {"46\n3 4\n&DATA /\n&CONTRL NWINDOW=3 /\n&NPT /\n", "cntl.dat:4: unknown key NWINDOW", ""},
      // not a number
      {"46\n3 x4\n&DATA /\n&CONTRL /\n&NPT /\n", "cntl.dat:2: expected an integer for NPIX", ""},
      {"46\n3 4\n&DATA NFUNC=6.0 /\n&CONTRL /\n&NPT /\n",
       "cntl.dat:3: expected an integer for NFUNC", ""},
      {"46\n3 4\n&DATA /\n&CONTRL TCLD=0.1.5 /\n&NPT /\n",
       "cntl.dat:4: expected a number for TCLD", ""},
      {"46\n3 4\n&DATA NDEF=2 /\n&CONTRL /\n&NPT /\n12\nx\n",
       "cntl.dat:7: expected an integer for step 2 of 2", " ----\n 2\n 1 12\n"},
      // an unterminated group runs into the next one
      {"46\n3 4\n&DATA NFUNC=6\n&CONTRL /\n&NPT /\n",
       "cntl.dat:4: expected a key or '/' in group &DATA, found '&CONTRL'", ""},
  };
  for (const ControlCase& c : cases) expect_control_refused(c);
}

TEST(BadControlFile, ValuesOutsideTheirLimits) {
  const auto cntl = [](const std::string& rec1, const std::string& rec2,
                       const std::string& data, const std::string& contrl,
                       const std::string& npt) {
    return rec1 + "\n" + rec2 + "\n&DATA " + data + " /\n&CONTRL " + contrl +
           " /\n&NPT " + npt + " /\n";
  };
  const ControlCase cases[] = {
      {cntl("2", "3 4", "", "", ""), "cntl.dat:1: NDAT = 2 is outside 3..200", ""},
      {cntl("201", "3 4", "", "", ""), "cntl.dat:1: NDAT = 201 is outside 3..200", ""},
      {cntl("46", "3 4", "NDEF=-1", "", ""), "cntl.dat:3: NDEF = -1 is outside 0..NDAT", ""},
      {cntl("46", "3 4", "NDEF=47", "", ""), "cntl.dat:3: NDEF = 47 is outside 0..NDAT", ""},
      {cntl("46", "-1 4", "", "", ""), "cntl.dat:2: NLINE = -1 is negative", ""},
      {cntl("46", "3 -4", "", "", ""), "cntl.dat:2: NPIX = -4 is negative", ""},
      {cntl("46", "3 4", "NFUNC=24", "", ""), "cntl.dat:3: NFUNC = 24 is outside 0..23", ""},
      {cntl("46", "3 4", "", "", "NPOINT=0"), "cntl.dat:5: NPOINT = 0 is not positive", ""},
      {cntl("46", "3 4", "", "NWIN=-1", ""), "cntl.dat:4: NWIN = -1 is negative", ""},
      {cntl("46", "3 4", "", "NWIN=-1, MMSW=1, FITMD=1", ""),
       "cntl.dat:4: NWIN = -1 is negative", ""},
      // The excluded steps are echoed before the limits are checked.
      {cntl("46", "3 4", "NFUNC=24, NDEF=1", "", "") + "9\n",
       "cntl.dat:3: NFUNC = 24", " ----\n 1\n 1 9\n ----\n"},
  };
  for (const ControlCase& c : cases) expect_control_refused(c);
}

TEST(BadControlFile, SizesBeyondTheMemoryAreRefusedWithoutACrash) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit";
#endif
  // Under a 4 GiB address-space limit (so that no machine's overcommit
  // policy decides), line buffers of 2e9 pixels and an envelope window of
  // 1e9 steps with the filter on cannot be allocated. With the filter off
  // the window needs no buffer and the run succeeds.
  const auto limited = [] {
    const rlimit lim{rlim_t{4} << 30, rlim_t{4} << 30};
    if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(126);
  };
  const ControlCase cases[] = {
      {"46\n1 2000000000\n&DATA /\n&CONTRL /\n&NPT /\n",
       "cntl.dat: NPIX = 2000000000, NDAT = 46, NWIN = 3: cannot allocate", ""},
      {"46\n1 2\n&DATA /\n&CONTRL NWIN=1000000000 /\n&NPT /\n",
       "cntl.dat: NPIX = 2, NDAT = 46, NWIN = 1000000000: cannot allocate", ""},
  };
  for (const ControlCase& c : cases) {
    ScratchDir d;
    mkscene(d, {"--lines", "1", "--pixels", "2", "--no-cntl"});
    write_file(d.file("cntl.dat"), c.text);
    const auto before = snapshot(d);
    RunResult r = run(d, limited);
    expect_refused(r, d, before, "cntl.dat", c.where, true);
  }
  ScratchDir d;
  mkscene(d, {"--lines", "1", "--pixels", "2", "--no-cntl"});
  write_file(d.file("cntl.dat"), "46\n1 2\n&DATA /\n&CONTRL NWIN=1000000000, MMSW=0 /\n&NPT /\n");
  RunResult r = run(d, limited);
  EXPECT_EQ(r.status, 0) << r.err;
}

// ------------------------------------------------------ data.bsq, mask.bsq

// A 3-line, 4-pixel scene with 46 steps and a mask, and its clean run.
struct Scene {
  ScratchDir ref, d;
  static constexpr int kLines = 3, kPix = 4, kSteps = 46;
  Scene() {
    for (const ScratchDir* s : {&ref, &d})
      mkscene(*s, {"--lines", "3", "--pixels", "4", "--mask", "--seed", "21"});
    RunResult r = run(ref);
    EXPECT_EQ(r.status, 0) << r.err;
  }
};

// Where reading stops on a band-sequential input of `size` bytes with
// records of `rec` bytes: lines are read in turn, each band by band.
struct Stop {
  int band, line, pixel;
};
Stop first_missing(std::size_t size, int rec) {
  const int plane = Scene::kLines * Scene::kPix;
  for (int l = 1; l <= Scene::kLines; ++l)
    for (int k = 1; k <= Scene::kSteps; ++k)
      for (int i = 1; i <= Scene::kPix; ++i) {
        const std::size_t end = (static_cast<std::size_t>(k - 1) * plane +
                                 static_cast<std::size_t>(l - 1) * Scene::kPix + i) * rec;
        if (end > size) return {k, l, i};
      }
  return {0, 0, 0};
}

void expect_truncation_refused(const char* file, int rec, std::size_t cut) {
  Scene s;
  const std::string full = read_file(s.d.file(file));
  ASSERT_LT(cut, full.size());
  write_file(s.d.file(file), full.substr(0, cut));
  const auto before = snapshot(s.d);
  RunResult r = run(s.d);
  const Stop at = first_missing(cut, rec);
  SCOPED_TRACE(std::string(file) + " cut to " + std::to_string(cut) + " bytes");
  const std::string where = "band " + std::to_string(at.band) + ", line " +
                            std::to_string(at.line) + ", pixel " +
                            std::to_string(at.pixel) + ": file ends before byte offset ";
  expect_refused(r, s.d, before, file, where, true);
  std::string out;
  for (int l = 1; l <= at.line; ++l) out += progress(l, Scene::kLines);
  EXPECT_EQ(r.out, out);
  expect_lines_intact(s.ref, s.d, Scene::kLines, Scene::kPix, false, at.line - 1);
}

TEST(BadRasterInput, MissingInputs) {
  for (const char* file : {"data.bsq", "mask.bsq"}) {
    ScratchDir d;
    mkscene(d, {"--lines", "2", "--pixels", "3", "--mask"});
    ASSERT_EQ(unlink(d.file(file).c_str()), 0);
    const auto before = snapshot(d);
    RunResult r = run(d);
    expect_refused(r, d, before, file, ": cannot open for reading: No such file", false);
    EXPECT_FALSE(exists(d.file(file)));
  }
}

TEST(BadRasterInput, DataFileIsADirectory) {
  ScratchDir d;
  mkscene(d, {"--lines", "2", "--pixels", "3"});
  ASSERT_EQ(unlink(d.file("data.bsq").c_str()), 0);
  ASSERT_EQ(mkdir(d.file("data.bsq").c_str(), 0755), 0);
  const auto before = snapshot(d);
  RunResult r = run(d);
  expect_refused(r, d, before, "data.bsq", "band 1, line 1, pixel 1: read at byte offset 0 failed",
                 true);
}

TEST(BadRasterInput, TruncatedDataFile) {
  const std::size_t plane = Scene::kLines * Scene::kPix, size = 2 * 46 * plane;
  // Empty; inside the first sample; in band 1 after line 1; in the middle
  // band within line 2; in the last band within line 3; one byte short.
  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{2 * 5 + 1},
                          2 * (22 * plane + 6), 2 * (45 * plane + 9), size - 1})
    expect_truncation_refused("data.bsq", 2, cut);
}

TEST(BadRasterInput, TruncatedMaskFile) {
  const std::size_t plane = Scene::kLines * Scene::kPix, size = 46 * plane;
  for (std::size_t cut : {std::size_t{0}, std::size_t{3}, 22 * plane + 5, size - 1})
    expect_truncation_refused("mask.bsq", 1, cut);
}

TEST(BadRasterInput, TopBitSampleInTheFirstAMiddleAndTheLastLine) {
  struct Case {
    int band, line, pixel, raw;
  } cases[] = {{1, 1, 1, 0x8000}, {46, 2, 1, 0xFFFF}, {46, 3, 4, 40000}};
  for (const Case& c : cases) {
    Scene s;
    std::string data = read_file(s.d.file("data.bsq"));
    const std::size_t r =
        (static_cast<std::size_t>(c.band - 1) * Scene::kLines + (c.line - 1)) * Scene::kPix +
        (c.pixel - 1);
    data[2 * r] = static_cast<char>(c.raw & 0xFF);
    data[2 * r + 1] = static_cast<char>(c.raw >> 8);
    write_file(s.d.file("data.bsq"), data);
    const auto before = snapshot(s.d);
    RunResult r_ = run(s.d);
    SCOPED_TRACE("top bit at line " + std::to_string(c.line));
    expect_refused(r_, s.d, before, "data.bsq",
                   "band " + std::to_string(c.band) + ", line " + std::to_string(c.line) +
                       ", pixel " + std::to_string(c.pixel) + ": sample " +
                       std::to_string(c.raw) + " has its top bit set",
                   true);
    std::string out;
    for (int l = 1; l <= c.line; ++l) out += progress(l, Scene::kLines);
    EXPECT_EQ(r_.out, out + " 3 4\n");
    expect_lines_intact(s.ref, s.d, Scene::kLines, Scene::kPix, false, c.line - 1);
  }
}

// ---------------------------------------------------------------- products

TEST(BadProduct, ProductPathIsADirectory) {
  for (const char* name : kProductNames) {
    ScratchDir d;
    mkscene(d, {"--lines", "2", "--pixels", "3", "--intp"});
    ASSERT_EQ(mkdir(d.file(name).c_str(), 0755), 0);
    const auto before = snapshot(d);
    RunResult r = run(d);
    SCOPED_TRACE(name);
    expect_refused(r, d, before, name, ": cannot open for writing: Is a directory", true);
    EXPECT_EQ(r.out, "");
    for (const char* other : kProductNames)
      if (exists(d.file(other)) && std::string(other) != name) {
        EXPECT_EQ(e2e::file_size(d.file(other)), 0) << other;
      }
  }
}

TEST(BadProduct, ReadOnlyFileAndReadOnlyDirectory) {
  // Run as an unprivileged user, for whom permission bits hold.
  {
    ScratchDir d;
    mkscene(d, {"--lines", "2", "--pixels", "3"});
    write_file(d.file("f.bsq"), "old");
    ASSERT_EQ(chmod(d.file("f.bsq").c_str(), 0444), 0);
    ASSERT_EQ(chmod(d.path().c_str(), 0777), 0);
    const auto before = snapshot(d);
    RunResult r = run(d, as_unprivileged_user);
    expect_refused(r, d, before, "f.bsq", ": cannot open for writing: Permission denied", true);
    EXPECT_EQ(read_file(d.file("f.bsq")), "old");
  }
  {
    ScratchDir d;
    mkscene(d, {"--lines", "2", "--pixels", "3"});
    ASSERT_EQ(chmod(d.path().c_str(), 0555), 0);
    const auto before = snapshot(d);
    RunResult r = run(d, as_unprivileged_user);
    ASSERT_EQ(chmod(d.path().c_str(), 0755), 0);
    expect_refused(r, d, before, "p.bsq", ": cannot open for writing: Permission denied", false);
  }
}

TEST(BadProduct, FullDeviceStopsTheRunOrIsReportedPerLine) {
  // A product that is the always-full device: every write fails with
  // ENOSPC. Parameters, fitted series and criterion stop the run at once;
  // the 1- and 2-byte single-band products report each line on standard
  // output, the run goes on and ends with status 1.
  for (const char* name : kProductNames) {
    if (std::string(name) == "i.bsq") continue;  // not written without INTP
    Scene s;
    const bool per_line = std::string(name) == "order.dat" ||
                          std::string(name) == "min.dat" || std::string(name) == "max.dat";
    ASSERT_EQ(symlink("/dev/full", s.d.file(name).c_str()), 0);
    const auto before = snapshot(s.d);
    RunResult r = run(s.d);
    SCOPED_TRACE(name);
    expect_refused(r, s.d, before, name, "No space left on device", true,
                   per_line ? Scene::kLines : 1);
    if (per_line) {
      EXPECT_NE(r.out.find(" Program Deadified\n"), std::string::npos);
      EXPECT_NE(r.out.find("\n 3 1 "), std::string::npos) << r.out;
      expect_lines_intact(s.ref, s.d, Scene::kLines, Scene::kPix, false, Scene::kLines,
                          false, name);
    } else {
      EXPECT_EQ(r.out, progress(1, Scene::kLines));
    }
  }
}

TEST(BadProduct, FileSizeLimitStopsTheRunWithTheLinesBeforeIntact) {
  // RLIMIT_FSIZE holds for root as well: a write past it fails with EFBIG
  // (SIGXFSZ ignored). f.bsq is the largest product: a limit three bytes
  // short of it fails the last pixel of its last band in the last line; a
  // small limit fails the first line.
  struct Case {
    rlim_t limit;
    const char* file;
    const char* where;
    int done;
  } cases[] = {{2 * 46 * 12 - 3, "f.bsq", "band 46, line 3: write at byte offset 1101", 2},
               {100, "p.bsq", "band 3, line 1: write at byte offset 100", 0}};
  for (const Case& c : cases) {
    Scene s;
    const auto before = snapshot(s.d);
    RunResult r = run(s.d, [&c] {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit lim{c.limit, c.limit};
      if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(126);
    });
    SCOPED_TRACE(c.where);
    expect_refused(r, s.d, before, c.file, c.where, true);
    EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Program Deadified"), std::string::npos);
    expect_lines_intact(s.ref, s.d, Scene::kLines, Scene::kPix, false, c.done, true);
  }
}

}  // namespace
}  // namespace kov
