// End-to-end runs of both programs on scenes that succeed: standard output,
// exit status, and every product byte against the pixel pipeline.

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test/support.hpp"

namespace kov {
namespace {

using namespace test;

TEST(Run, ProductsHoldThePipelineResultsOfEveryPixel) {
  const std::string old = "left by an earlier run";
  struct Case {
    std::vector<std::string> args;
    int threads;
    std::string echo;
  } cases[] = {
      {{"--lines", "5", "--pixels", "7", "--intp", "--exclude", "5,60,17", "--seed", "3"},
       2,
       " ----\n 3\n 1 5\n 2 17\n ----\n"},
      {{"--lines", "4", "--pixels", "33", "--intp", "--seed", "11"}, 3, ""},
      {{"--lines", "3", "--pixels", "6", "--mask", "--seed", "5"}, 1, ""},
      {{"--lines", "2", "--pixels", "3", "--steps", "3"}, 2, ""},
      {{"--lines", "1", "--pixels", "2", "--steps", "200"}, 2, ""},
  };
  for (const Case& k : cases) {
    const bool mask = k.args[4] == "--mask", intp = k.args[4] == "--intp";
    SCOPED_TRACE(k.args[1] + " lines, " + k.args[3] + " pixels, " + k.args[4]);
    TempDir d;
    mkscene(d, k.args);
    // Without MASK no mask file is read; without INTP i.bsq is neither
    // created (scene 4) nor touched (scene 3).
    ASSERT_TRUE(mask || unlink(d.file("mask.bsq").c_str()) == 0);
    if (mask) write_file(d.file("i.bsq"), old);
    const RunResult r = run_kovarind(d, k.threads);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const int nline = std::stoi(k.args[1]);
    EXPECT_EQ(r.out, k.echo + progress(nline, nline) + " Program Deadified\n");
    Oracle(d).expect_scene();
    EXPECT_TRUE(mask ? read_file(d.file("i.bsq")) == old : intp || !exists(d.file("i.bsq")));
    EXPECT_TRUE(mask || !exists(d.file("mask.bsq")));
  }
}

TEST(Run, FailedFitStoresOrderMinusOneAsByte255) {
  // A narrow bump on a zero background: every harmonic model undershoots
  // zero, every attempt is rejected, and the fit fails.
  TempDir d;
  write_file(d.file("cntl.dat"), "46\n1 2\n&DATA /\n&CONTRL MASK=1, MMSW=0 /\n&NPT /\n");
  std::string data(46 * 2 * 2, '\0');
  for (int k = 0; k < 5; ++k)
    data.replace(2 * ((20 + k) * 2), 2, enc16(1100 - 400 * std::abs(k - 2)));
  for (int t = 0; t < 46; ++t) data.replace(2 * (t * 2 + 1), 2, enc16(800));
  write_file(d.file("data.bsq"), data);
  write_file(d.file("mask.bsq"), std::string(46 * 2, '\1'));
  ASSERT_EQ(run_kovarind(d).status, 0);
  EXPECT_EQ(read_file(d.file("order.dat"))[0], '\xFF');
  Oracle(d).expect_scene();
}

TEST(Run, EmptyScenesCreateEmptyProducts) {
  for (const char* sizes : {"0 25", "3 0"}) {
    const int nline = sizes[0] - '0';
    TempDir d;
    write_file(d.file("cntl.dat"), "46\n" + std::string(sizes) + "\n&DATA /\n&CONTRL /\n&NPT /\n");
    write_file(d.file("data.bsq"), "");
    const RunResult r = run_kovarind(d);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, progress(nline, nline) + " Program Deadified\n");
    for (const char* name : kProducts)
      EXPECT_EQ(file_size(d.file(name)), std::string(name) == "i.bsq" ? -1 : 0) << name;
  }
}

TEST(Run, SmallerRunUpdatesProductsInPlaceAndKeepsTheirTails) {
  TempDir d;
  mkscene(d, {"--lines", "4", "--pixels", "5", "--intp", "--seed", "1"});
  ASSERT_EQ(run_kovarind(d).status, 0);
  std::vector<std::string> before;
  for (const char* name : kProducts) before.push_back(read_file(d.file(name)));
  mkscene(d, {"--lines", "2", "--pixels", "5", "--intp", "--seed", "2"});
  ASSERT_EQ(run_kovarind(d).status, 0);
  Oracle now(d);
  now.expect_scene(false);
  // Outside the records of the smaller scene every byte is the old one.
  const std::size_t plane = 2 * 5;
  for (const Product& p : products(now.c)) {
    const std::size_t i = std::find(std::begin(kProducts), std::end(kProducts), p.name) - kProducts;
    const std::string got = read_file(d.file(p.name));
    std::string want = before[i];
    for (int k = 0; k < p.bands; ++k) {
      const std::size_t off = k * plane * p.rec, n = plane * p.rec;
      want.replace(off, n, got, off, n);
    }
    EXPECT_TRUE(got == want) << p.name;
  }
}

TEST(Run, FixedPeriodBuildReadsNoNptGroupAndWritesNoProgress) {
  for (bool npt : {true, false}) {
    TempDir d;
    mkscene(d, {"--lines", "2", "--pixels", "3", "--seed", "4"});
    if (!npt)
      write_file(d.file("cntl.dat"),
                 "46\n2 3\n &DATA NFUNC=6, NDEF=1 /\n &CONTRL NWIN=3, INTP=0, MMSW=1 /\n9\n");
    const RunResult r = run_kovarind(d, 2, KOVARIND_FIXED_EXE);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, npt ? " Program Deadified\n" : " ----\n 1\n 1 9\n ----\n Program Deadified\n");
    Oracle(d, Build::kFixedPeriod).expect_scene();
  }
}

}  // namespace
}  // namespace kov
