// End-to-end tests of both programs: scenes are generated with mkscene or
// written byte by byte, the program runs in a scratch directory, and its
// standard output, exit status and every product byte are checked.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/readcntl.hpp"
#include "driver/scanline.hpp"
#include "driver/testing.hpp"
#include "harmonic/dims.hpp"
#include "pixel/qenpros.hpp"
#include "rasterio/putbsq2.hpp"
#include "rasterio/putdatf.hpp"

namespace kov {
namespace {

using e2e::exists;
using e2e::file_size;
using e2e::read_file;
using e2e::RunResult;
using e2e::ScratchDir;
using e2e::write_file;

const std::string kExe = KOVARIND_EXE;
const std::string kFixedExe = KOVARIND_FIXED_EXE;
const std::string kMkscene = KOVARIND_MKSCENE_EXE;

const char* const kProducts[] = {"p.bsq",   "i.bsq",   "f.bsq",  "order.dat",
                                 "aic.dat", "min.dat", "max.dat"};

void mkscene(const ScratchDir& d, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {kMkscene, d.path()};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult r = e2e::run(argv, d.path());
  ASSERT_EQ(r.status, 0) << r.err;
}

RunResult run_kovarind(const ScratchDir& d, int threads = 2,
                       const std::string& exe = kExe) {
  return e2e::run({exe}, d.path(), {"OMP_NUM_THREADS=" + std::to_string(threads)});
}

std::string le16(std::int16_t v) {
  auto u = static_cast<std::uint16_t>(v);
  return std::string{static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
}

std::string lef32(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
  return s;
}

// The products of a scene computed pixel by pixel with the library, laid out
// as the program must write them.
std::map<std::string, std::string> expected_products(const ScratchDir& d, Build build) {
  Control c;
  std::FILE* sink = std::tmpfile();
  Status s = readcntl(d.file("cntl.dat"), build, c, sink);
  std::fclose(sink);
  EXPECT_TRUE(s.ok()) << s.msg;
  PixelModel model(c, build);
  const PixelParams& pp = model.pp;
  auto ws = std::make_unique<PixelScratch>(c.ndat, c.nwin);

  const std::string data = read_file(d.file("data.bsq"));
  const std::string mask = c.mask == 1 ? read_file(d.file("mask.bsq")) : std::string();
  const std::size_t plane = static_cast<std::size_t>(c.nline) * c.npix;
  std::map<std::string, std::string> out;
  out["p.bsq"].assign(plane * c.npara * 4, '\0');
  out["f.bsq"].assign(plane * c.ndat * 2, '\0');
  if (c.intp == 1) out["i.bsq"].assign(plane * c.ndat * 2, '\0');
  out["order.dat"].assign(plane, '\0');
  out["aic.dat"].assign(plane * 4, '\0');
  out["min.dat"].assign(plane * 2, '\0');
  out["max.dat"].assign(plane * 2, '\0');
  for (std::size_t px = 0; px < plane; ++px) {
    std::int16_t kpix[kMaxSteps], kflg[kMaxSteps];
    double pix[kMaxSteps], pix0[kMaxSteps] = {}, para[kMaxCols];
    for (int t = 0; t < c.ndat; ++t) {
      const std::size_t r = static_cast<std::size_t>(t) * plane + px;
      kpix[t] = e2e::le16(data, 2 * r);
      kflg[t] = c.mask == 1 ? static_cast<unsigned char>(mask[r]) : 1;
    }
    int kmax = 0, kmin = 0, iord = 0;
    double aic = 0.0;
    qenpros(pp, kpix, pix, pix0, kflg, para, kmax, kmin, aic, iord, *ws);
    for (int t = 0; t < c.ndat; ++t) {
      const std::size_t r = static_cast<std::size_t>(t) * plane + px;
      out["f.bsq"].replace(2 * r, 2, le16(scale16(pix[t])));
      if (c.intp == 1) out["i.bsq"].replace(2 * r, 2, le16(scale16(pix0[t])));
    }
    for (int k = 0; k < c.npara; ++k) {
      const std::size_t r = static_cast<std::size_t>(k) * plane + px;
      out["p.bsq"].replace(4 * r, 4, lef32(static_cast<float>(para[k])));
    }
    out["order.dat"][px] = static_cast<char>(iord & 0xFF);
    out["aic.dat"].replace(4 * px, 4, lef32(aic_single(aic)));
    out["min.dat"].replace(2 * px, 2, le16(static_cast<std::int16_t>(kmin)));
    out["max.dat"].replace(2 * px, 2, le16(static_cast<std::int16_t>(kmax)));
  }
  return out;
}

void expect_products_match_library(const ScratchDir& d, Build build) {
  for (const auto& [name, bytes] : expected_products(d, build)) {
    const std::string got = read_file(d.file(name));
    ASSERT_EQ(got.size(), bytes.size()) << name;
    EXPECT_TRUE(got == bytes) << name << " differs from the pixel pipeline's results";
  }
}

std::string progress(int line, int nline) {
  char buf[64];
  std::snprintf(buf, sizeof buf, " %5d/%5dline\n", line, nline);
  return buf;
}

TEST(Scene, ProductsHoldThePipelineResultsOfEveryPixel) {
  ScratchDir d;
  mkscene(d, {"--lines", "5", "--pixels", "7", "--intp", "--exclude", "5,60,17", "--seed", "3"});
  RunResult r = run_kovarind(d);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::string want = " ----\n 3\n 1 5\n 2 17\n ----\n";
  for (int l = 1; l <= 5; ++l) want += progress(l, 5);
  want += " Program Deadified\n";
  EXPECT_EQ(r.out, want);
  // Sizes after a run into new files.
  EXPECT_EQ(file_size(d.file("p.bsq")), 4 * 14 * 35);
  EXPECT_EQ(file_size(d.file("i.bsq")), 2 * 46 * 35);
  EXPECT_EQ(file_size(d.file("f.bsq")), 2 * 46 * 35);
  EXPECT_EQ(file_size(d.file("order.dat")), 35);
  EXPECT_EQ(file_size(d.file("aic.dat")), 4 * 35);
  EXPECT_EQ(file_size(d.file("min.dat")), 2 * 35);
  EXPECT_EQ(file_size(d.file("max.dat")), 2 * 35);
  expect_products_match_library(d, Build::kFull);
}

TEST(Scene, ResultsDoNotDependOnTheNumberOfThreads) {
  ScratchDir one, three;
  for (const ScratchDir* d : {&one, &three})
    mkscene(*d, {"--lines", "4", "--pixels", "33", "--intp", "--seed", "11"});
  ASSERT_EQ(run_kovarind(one, 1).status, 0);
  ASSERT_EQ(run_kovarind(three, 3).status, 0);
  for (const char* name : kProducts)
    EXPECT_TRUE(read_file(one.file(name)) == read_file(three.file(name))) << name;
}

TEST(Scene, MaskRunReadsFlagsFromMaskAndLeavesFirstPassFileAlone) {
  ScratchDir d;
  mkscene(d, {"--lines", "3", "--pixels", "6", "--mask", "--seed", "5"});
  write_file(d.file("i.bsq"), "left by an earlier run");
  RunResult r = run_kovarind(d);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(d.file("i.bsq")), "left by an earlier run");
  expect_products_match_library(d, Build::kFull);
}

TEST(Scene, NoMaskFileNeededWithoutMaskAndNoFirstPassFileWithoutIntp) {
  ScratchDir d;
  mkscene(d, {"--lines", "2", "--pixels", "3"});
  ASSERT_EQ(unlink(d.file("mask.bsq").c_str()), 0);
  RunResult r = run_kovarind(d);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(exists(d.file("mask.bsq")));
  EXPECT_FALSE(exists(d.file("i.bsq")));
}

TEST(Scene, FailedFitStoresOrderMinusOneAsByte255) {
  // A narrow bump on a zero background: every harmonic model undershoots
  // zero, so every attempt is rejected and the fit fails with order -1.
  ScratchDir d;
  write_file(d.file("cntl.dat"),
             "46\n1 2\n&DATA /\n&CONTRL MASK=1, MMSW=0 /\n&NPT /\n");
  std::string data(46 * 2 * 2, '\0'), mask(46 * 2, '\1');
  const int bump[] = {300, 700, 1100, 700, 300};
  for (int k = 0; k < 5; ++k) data.replace(2 * ((20 + k) * 2 + 0), 2, le16(bump[k]));
  for (int t = 0; t < 46; ++t) data.replace(2 * (t * 2 + 1), 2, le16(800));  // pixel 2: flat
  write_file(d.file("data.bsq"), data);
  write_file(d.file("mask.bsq"), mask);
  RunResult r = run_kovarind(d);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string order = read_file(d.file("order.dat"));
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>(order[0]), 255);
  expect_products_match_library(d, Build::kFull);
}

TEST(Scene, EmptyScenesCreateEmptyProducts) {
  ScratchDir none, narrow;
  write_file(none.file("cntl.dat"), "46\n0 25\n&DATA /\n&CONTRL /\n&NPT /\n");
  write_file(none.file("data.bsq"), "");
  RunResult r = run_kovarind(none);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, " Program Deadified\n");
  for (const char* name : kProducts)
    if (std::string(name) != "i.bsq") {
      EXPECT_EQ(file_size(none.file(name)), 0) << name;
    }

  write_file(narrow.file("cntl.dat"), "46\n3 0\n&DATA /\n&CONTRL /\n&NPT /\n");
  write_file(narrow.file("data.bsq"), "");
  r = run_kovarind(narrow);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, progress(1, 3) + progress(2, 3) + progress(3, 3) + " Program Deadified\n");
  EXPECT_EQ(file_size(narrow.file("f.bsq")), 0);
}

TEST(Scene, StepCountLimitsAreInclusive) {
  for (int steps : {3, 200}) {
    ScratchDir d;
    mkscene(d, {"--lines", "1", "--pixels", "2", "--steps", std::to_string(steps)});
    RunResult r = run_kovarind(d);
    EXPECT_EQ(r.status, 0) << steps << r.err;
    EXPECT_EQ(file_size(d.file("f.bsq")), 2 * steps * 2);
  }
}

TEST(Scene, TopBitSampleStopsTheRunBeforeItsLineIsWritten) {
  ScratchDir full, stopped;
  mkscene(full, {"--lines", "3", "--pixels", "4", "--seed", "9"});
  mkscene(stopped, {"--lines", "3", "--pixels", "4", "--seed", "9", "--top-bit", "2"});
  ASSERT_EQ(run_kovarind(full).status, 0);
  RunResult r = run_kovarind(stopped);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, progress(1, 3) + progress(2, 3) + " 3 4\n");
  EXPECT_NE(r.err.find("data.bsq"), std::string::npos);
  EXPECT_NE(r.err.find("line 2"), std::string::npos) << r.err;
  // Line 1 of every product is complete and nothing of line 2 is there.
  const std::size_t plane = 12, npix = 4;
  struct P {
    const char* name;
    std::size_t bands, rec;
  } products[] = {{"p.bsq", 14, 4}, {"f.bsq", 46, 2}, {"order.dat", 1, 1},
                  {"aic.dat", 1, 4}, {"min.dat", 1, 2}, {"max.dat", 1, 2}};
  for (const P& p : products) {
    const std::string want = read_file(full.file(p.name));
    const std::string got = read_file(stopped.file(p.name));
    ASSERT_EQ(got.size(), ((p.bands - 1) * plane + npix) * p.rec) << p.name;
    for (std::size_t k = 0; k < p.bands; ++k) {
      const std::size_t off = k * plane * p.rec;
      EXPECT_EQ(got.substr(off, npix * p.rec), want.substr(off, npix * p.rec)) << p.name;
      if (k + 1 < p.bands) {
        EXPECT_EQ(got.substr(off + npix * p.rec, (plane - npix) * p.rec),
                  std::string((plane - npix) * p.rec, '\0'))
            << p.name;
      }
    }
  }
}

TEST(Scene, SmallerRunUpdatesProductsInPlaceAndKeepsTheirTails) {
  ScratchDir big, small, ref;
  mkscene(big, {"--lines", "4", "--pixels", "5", "--seed", "1"});
  ASSERT_EQ(run_kovarind(big).status, 0);
  std::map<std::string, std::string> before;
  for (const char* name : kProducts) before[name] = read_file(big.file(name));
  mkscene(big, {"--lines", "2", "--pixels", "5", "--seed", "2"});
  mkscene(ref, {"--lines", "2", "--pixels", "5", "--seed", "2"});
  ASSERT_EQ(run_kovarind(big).status, 0);
  ASSERT_EQ(run_kovarind(ref).status, 0);
  // The single-band products: the first 10 records are the new run's, the
  // rest is the old content. (Band-sequential ones interleave differently.)
  for (const char* name : {"order.dat", "aic.dat", "min.dat", "max.dat"}) {
    const std::string now = read_file(big.file(name));
    const std::string fresh = read_file(ref.file(name));
    ASSERT_EQ(now.size(), before[name].size()) << name;
    EXPECT_EQ(now.substr(0, fresh.size()), fresh) << name;
    EXPECT_EQ(now.substr(fresh.size()), before[name].substr(fresh.size())) << name;
  }
  EXPECT_EQ(read_file(big.file("f.bsq")).size(), before["f.bsq"].size());
}

TEST(Scene, FixedPeriodBuildHasNoNptGroupAndNoProgressLines) {
  ScratchDir full, fixed_with_npt, fixed_plain;
  for (const ScratchDir* d : {&full, &fixed_with_npt, &fixed_plain})
    mkscene(*d, {"--lines", "2", "--pixels", "3", "--seed", "4"});
  write_file(fixed_plain.file("cntl.dat"),
             "46\n2 3\n &DATA NFUNC=6, NDEF=0 /\n"
             " &CONTRL NWIN=3, INTP=0, MMSW=1, TCLD=0.15, FITSW=1, MASK=0, FITMD=0 /\n");
  ASSERT_EQ(run_kovarind(full).status, 0);
  for (const ScratchDir* d : {&fixed_with_npt, &fixed_plain}) {
    RunResult r = run_kovarind(*d, 2, kFixedExe);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, " Program Deadified\n");
    for (const char* name : kProducts)
      EXPECT_TRUE(read_file(d->file(name)) == read_file(full.file(name))) << name;
  }
  // Without an NPT group the full build fails at the third group; with one
  // and excluded steps the fixed-period build fails where the first step
  // is expected.
  RunResult r = run_kovarind(fixed_plain);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cntl.dat"), std::string::npos);
  write_file(fixed_with_npt.file("cntl.dat"),
             "46\n2 3\n&DATA NDEF=1 /\n&CONTRL /\n&NPT NPOINT=46 /\n7\n");
  r = run_kovarind(fixed_with_npt, 2, kFixedExe);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cntl.dat:5"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace kov
