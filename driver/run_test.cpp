// The program end to end on scenes that succeed (standard output, status and
// every product byte against the pixel pipeline; the generated scenes hold
// failed fits too), at scale, and its progress lines and line blocks.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/line_blocks.hpp"
#include "rasterio/bsq_reader.hpp"
#include "test/support.hpp"

namespace kov {
namespace {

using namespace test;

// Scenes of every size (more than 7500 pixels a line included) and option,
// on both programs: the fixed-period one reads no NPT group (one is
// tolerated while NDEF is 0) and writes no progress lines.
TEST(Run, ProductsHoldThePipelineResultsOfEveryPixel) {
  const std::string old = "left by an earlier run";
  struct Case {
    std::vector<std::string> args;
    std::string echo = {}, cntl = {};  // cntl: replaces the generated one
    std::string exe = KOVARIND_EXE;
  } cases[] = {
      {{"--lines", "5", "--pixels", "7", "--intp", "--exclude", "5,60,17", "--seed", "3"},
       " ----\n 3\n 1 5\n 2 17\n ----\n"},
      // Clouds over whole stretches of a line: pixels fitted in groups.
      {{"--lines", "4", "--pixels", "33", "--intp", "--seed", "11", "--clouds", "coherent"}},
      {{"--lines", "9", "--pixels", "40", "--mask", "--seed", "3", "--clouds", "coherent"}},
      {{"--lines", "2", "--pixels", "3", "--steps", "3"}},
      {{"--lines", "1", "--pixels", "2", "--steps", "200"}},
      {{"--lines", "1", "--pixels", "7601", "--intp", "--seed", "17"}},
      {{"--lines", "0", "--pixels", "25", "--seed", "1"}},
      {{"--lines", "3", "--pixels", "0", "--seed", "1"}},
      {{"--lines", "2", "--pixels", "3", "--seed", "4"}, "", "", KOVARIND_FIXED_EXE},
      {{"--lines", "2", "--pixels", "3", "--seed", "4"}, " ----\n 1\n 1 9\n ----\n",
       "46\n2 3\n &DATA NFUNC=6, NDEF=1 /\n &CONTRL NWIN=3, INTP=0, MMSW=1 /\n9\n",
       KOVARIND_FIXED_EXE},
  };
  int threads = 0;
  for (const Case& k : cases) {
    const bool mask = k.args[4] == "--mask", intp = k.args[4] == "--intp";
    const bool full = k.exe == KOVARIND_EXE;
    SCOPED_TRACE(k.args[1] + " lines, " + k.args[3] + " pixels, " + k.args[4] + " " + k.exe);
    TempDir d;
    mkscene(d, k.args);
    if (!k.cntl.empty()) write_file(d.file("cntl.dat"), k.cntl);
    // Without MASK no mask file is read; without INTP i.bsq is neither
    // created nor touched.
    ASSERT_TRUE(mask || unlink(d.file("mask.bsq").c_str()) == 0);
    if (mask) write_file(d.file("i.bsq"), old);
    const RunResult r = run_kovarind(d, 1 + threads++ % 3, k.exe);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const int nline = std::stoi(k.args[1]);
    EXPECT_EQ(r.out, k.echo + (full ? progress(nline, nline) : "") + " Program Deadified\n");
    Oracle(d, full ? Build::kFull : Build::kFixedPeriod).expect_scene();
    EXPECT_TRUE(mask ? read_file(d.file("i.bsq")) == old : intp || file_size(d.file("i.bsq")) < 0);
    EXPECT_TRUE(mask || file_size(d.file("mask.bsq")) < 0);
  }
}

// Band 2 of 2.2e9 records: its last line starts past 2^32 records, as does
// line 2 * kNline of a single-band product. Every writer and reader places
// its records through record_offset and RasterFile; one of each is enough.
TEST(Scale, RecordsBeyond2To32AreReadAndWrittenAtTheirOffsets) {
  constexpr int kNpix = 1000, kNline = 2'200'000;
  const std::uint64_t bsq = (std::uint64_t{kNline} + kNline - 1) * kNpix;
  const std::uint64_t single = (2 * std::uint64_t{kNline} - 1) * kNpix;
  TempDir d;
  std::string s16, a32;
  std::vector<double> aic(kNpix);
  std::vector<std::int16_t> got(2 * kNpix);
  for (int i = 0; i < kNpix; ++i) {
    s16 += enc16((i * 37 + 11) % 32768);
    aic[i] = -10.0 - i;
    a32 += encf(static_cast<float>(aic[i]));
  }
  write_at(d.file("data.bsq"), 2 * bsq, s16);
  RasterFile data, product;
  ASSERT_TRUE(data.open_input(d.file("data.bsq")).ok());
  ASSERT_TRUE(read_line_i16(kNline, kNline, kNpix, 2, 2, got.data(), 2, data).ok());
  for (int i = 0; i < kNpix; ++i) ASSERT_EQ(got[2 * i + 1], le16(s16, 2 * i)) << i;
  ASSERT_TRUE(product.open_product(d.file("aic.dat")).ok());
  ASSERT_TRUE(write_plane_f32(2 * kNline, kNpix, aic.data(), product).ok());
  std::string got32(4 * kNpix, '\0');
  std::ifstream(d.file("aic.dat"), std::ios::binary)
      .seekg(std::streamoff(4 * single))
      .read(got32.data(), 4 * kNpix);
  EXPECT_TRUE(got32 == a32);
}

// 200 steps of 164 lines by 65536 pixels: 2^31 + 2^21 records, of which only
// the last line holds data; the fitted series (4.3 GB, mostly zeros) goes to
// /dev/null. About a minute on two cores: run by `make test-scale`.
TEST(Scale, SparseSceneBeyond2To31RecordsProcessesItsLastLine) {
  if (!std::getenv("KOVARIND_SCALE")) GTEST_SKIP() << "set KOVARIND_SCALE=1 (make test-scale)";
  constexpr int kWide = 65536;
  const std::size_t plane = std::size_t{164} * kWide, last = plane - kWide;
  TempDir d;
  write_file(d.file("cntl.dat"),
             "200\n164 65536\n&DATA NFUNC=2 /\n&CONTRL MMSW=0, MASK=1 /\n&NPT /\n");
  for (std::size_t k = 0; k < 200; ++k) {
    std::string seg;
    for (int j = 0; j < kWide; ++j)
      seg += enc16(700 + static_cast<int>(300 * std::sin(6.283185307179586 * k / 46 + j * 1e-4)));
    write_at(d.file("data.bsq"), 2 * (k * plane + last), seg);
    write_at(d.file("mask.bsq"), k * plane + last, std::string(kWide, '\1'));
  }
  ASSERT_EQ(symlink("/dev/null", d.file("f.bsq").c_str()), 0);
  const RunResult r = run_kovarind(d);
  ASSERT_EQ(r.status, 0) << r.err;
  // Lines without data score nothing (criterion 9.9e9, stored as 0); the last
  // line is fitted at every pixel.
  const std::string aic = read_file(d.file("aic.dat"));
  ASSERT_EQ(aic.size(), 4 * plane);
  EXPECT_EQ(aic.substr(0, 4 * kWide), std::string(4 * kWide, '\0'));
  for (std::size_t j = 0; j < kWide; j += 4099)
    EXPECT_NE(aic.substr(4 * (last + j), 4), encf(0.0f)) << j;
}

TEST(ProgressLine, FiveRightAlignedColumnsOrFiveAsterisks) {
  const char* const cases[][3] = {
      {"7", "12", "     7/   12line\n"},          {"99999", "99999", " 99999/99999line\n"},
      {"100000", "100000", " *****/*****line\n"}, {"5", "123456", "     5/*****line\n"},
      {"-1234", "5", " -1234/    5line\n"},       {"-12345", "5", " *****/    5line\n"},
  };
  for (const auto& k : cases)
    EXPECT_EQ(progress_line(std::stoi(k[0]), std::stoi(k[1])), k[2]) << k[0] << " of " << k[1];
}

TEST(LineBlocks, ContiguousBlocksInRankOrderWithinOneLineOfEachOther) {
  for (int nline = 0; nline <= 40; ++nline)
    for (int ranks = 1; ranks <= 9; ++ranks) {
      int next = 1, smallest = nline + 1, largest = -1;
      for (int r = 0; r < ranks; ++r) {
        const LineBlock b = line_block(nline, r, ranks);
        ASSERT_EQ(b.first, next) << nline << " lines, rank " << r << " of " << ranks;
        smallest = std::min(smallest, b.end - b.first);
        largest = std::max(largest, b.end - b.first);
        for (int line = b.first; line < b.end; ++line) ASSERT_EQ(line_owner(line, nline, ranks), r);
        next = b.end;
      }
      EXPECT_EQ(next, nline + 1);
      EXPECT_LE(largest - smallest, 1) << nline << " lines on " << ranks;
    }
  // No overflow of rank * nline.
  const LineBlock last = line_block(2000000000, 4095, 4096);
  EXPECT_EQ(last.end, 2000000001);
  EXPECT_EQ(line_owner(last.first, 2000000000, 4096), 4095);
}

}  // namespace
}  // namespace kov
