#include "rasterio/gtbq2f.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "rasterio/test_support.hpp"

namespace kov {
namespace {

using testing::Bytes;
using testing::TempDir;

// Sample of band k, line L, pixel j in the test scenes: distinct for every
// position, so a misplaced record shows as a wrong value.
unsigned sample(int k, int l, int j) { return 1000u * k + 10u * l + j; }

// A 2-byte band-sequential scene, little-endian, built independently of the
// reader's offset arithmetic by appending records in storage order.
Bytes scene2(int bands, int nline, int npix) {
  Bytes b;
  for (int k = 1; k <= bands; ++k)
    for (int l = 1; l <= nline; ++l)
      for (int j = 1; j <= npix; ++j) {
        const unsigned v = sample(k, l, j);
        b.push_back(static_cast<unsigned char>(v & 0xFF));
        b.push_back(static_cast<unsigned char>(v >> 8));
      }
  return b;
}

void put2(Bytes& b, std::int64_t offset, unsigned char lo, unsigned char hi) {
  b[static_cast<std::size_t>(offset)] = lo;
  b[static_cast<std::size_t>(offset) + 1] = hi;
}

TEST(BsqOffset, RecordPositionsIn64BitArithmetic) {
  // Line 3 of a 5-line, 4-pixel scene, band 2, pixel 1 is record 29.
  EXPECT_EQ(bsq_offset(2, 3, 5, 4, 2), 56);
  EXPECT_EQ(bsq_offset(2, 3, 5, 4, 1), 28);
  EXPECT_EQ(bsq_offset(1, 1, 5, 4, 4), 0);
  // Band 200 of a 20000 x 20000 scene lies far beyond 2^31 records.
  EXPECT_EQ(bsq_offset(200, 20000, 20000, 20000, 4),
            (199LL * 400000000LL + 19999LL * 20000LL) * 4LL);
}

TEST(Gtbq2f, ReadsOneLineOfABandRangeIntoItsSlotsOnly) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("data.bsq");
  Bytes bytes = scene2(12, 5, 4);
  // Edge values: 0 and FF 7F (32767) are accepted; bands 11 and 12 carry
  // samples with the top bit set and must never be read.
  put2(bytes, bsq_offset(2, 3, 5, 4, 2), 0x00, 0x00);
  put2(bytes, bsq_offset(2, 3, 5, 4, 2) + 6, 0xFF, 0x7F);
  for (int k = 11; k <= 12; ++k)
    for (int j = 0; j < 4; ++j) put2(bytes, bsq_offset(k, 3, 5, 4, 2) + 2 * j, 0x00, 0x80);
  testing::write_file(path, bytes);

  RasterFile f;
  ASSERT_TRUE(f.open_input(path).ok());
  const int ldb = 13;
  std::vector<std::int16_t> buf(ldb * 4, -7);
  ASSERT_TRUE(gtbq2f(3, 5, 4, 2, 10, buf.data(), ldb, f).ok());
  for (int j = 1; j <= 4; ++j)
    for (int k = 1; k <= ldb; ++k) {
      const std::int16_t got = buf[(j - 1) * ldb + (k - 1)];
      if (k < 2 || k > 10) {
        EXPECT_EQ(got, -7) << "band " << k << " pixel " << j;
      } else if (k == 2 && j == 1) {
        EXPECT_EQ(got, 0);
      } else if (k == 2 && j == 4) {
        EXPECT_EQ(got, 32767);
      } else {
        EXPECT_EQ(got, static_cast<std::int16_t>(sample(k, 3, j)))
            << "band " << k << " pixel " << j;
      }
    }
}

TEST(Gtbq2f, StopsAtTheFirstTopBitInReadingOrder) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("data.bsq");
  Bytes bytes = scene2(3, 2, 5);
  // Offending samples in line 2: band 2 pixels 3 and 5, band 3 pixel 1. The
  // one in band 3 comes earlier in the file's pixel order but later in
  // reading order (bands first); line 1 is clean.
  put2(bytes, bsq_offset(2, 2, 2, 5, 2) + 4, 0x40, 0x9C);  // 40000
  put2(bytes, bsq_offset(2, 2, 2, 5, 2) + 8, 0x00, 0x80);
  put2(bytes, bsq_offset(3, 2, 2, 5, 2), 0xFF, 0xFF);
  testing::write_file(path, bytes);

  RasterFile f;
  ASSERT_TRUE(f.open_input(path).ok());
  std::vector<std::int16_t> buf(3 * 5, -7);
  EXPECT_TRUE(gtbq2f(1, 2, 5, 1, 3, buf.data(), 3, f).ok());
  std::fill(buf.begin(), buf.end(), -7);
  const Status st = gtbq2f(2, 2, 5, 1, 3, buf.data(), 3, f);
  ASSERT_EQ(st.code, Code::kTopBit);
  EXPECT_EQ(st.msg, path + ": band 2, line 2, pixel 3: sample 40000 has its "
                           "top bit set, expected 0..32767");
  // Band 1 complete, band 2 up to and including the offending sample.
  for (int j = 1; j <= 5; ++j) EXPECT_EQ(buf[(j - 1) * 3], sample(1, 2, j));
  EXPECT_EQ(buf[0 * 3 + 1], sample(2, 2, 1));
  EXPECT_EQ(buf[1 * 3 + 1], sample(2, 2, 2));
  EXPECT_EQ(buf[2 * 3 + 1], static_cast<std::int16_t>(40000 - 65536));
  EXPECT_EQ(buf[3 * 3 + 1], -7);
  for (int j = 1; j <= 5; ++j) EXPECT_EQ(buf[(j - 1) * 3 + 2], -7);
}

TEST(Gtbq2f, ShortFileNamesBandLineAndOffset) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("data.bsq");
  // Two bands of 5 x 4, cut after pixel 2 of band 2, line 3 (byte 60).
  Bytes bytes = scene2(2, 5, 4);
  bytes.resize(static_cast<std::size_t>(bsq_offset(2, 3, 5, 4, 2)) + 4);
  testing::write_file(path, bytes);
  RasterFile f;
  ASSERT_TRUE(f.open_input(path).ok());
  std::vector<std::int16_t> buf(2 * 4, 0);
  ASSERT_TRUE(gtbq2f(2, 5, 4, 1, 2, buf.data(), 2, f).ok());
  const Status st = gtbq2f(3, 5, 4, 1, 2, buf.data(), 2, f);
  EXPECT_EQ(st.code, Code::kShortRead);
  EXPECT_EQ(st.msg.rfind(path + ": band 2, line 3, pixel 3: ", 0), 0u) << st.msg;
  EXPECT_NE(st.msg.find("byte offset 60"), std::string::npos) << st.msg;

  // A top bit among the samples that did arrive still stops first.
  put2(bytes, bsq_offset(2, 3, 5, 4, 2) + 2, 0x00, 0x80);
  testing::write_file(path, bytes);
  EXPECT_EQ(gtbq2f(3, 5, 4, 1, 2, buf.data(), 2, f).code, Code::kTopBit);
}

}  // namespace
}  // namespace kov
