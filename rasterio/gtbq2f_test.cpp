#include "rasterio/gtbq2f.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "rasterio/test_support.hpp"

namespace kov {
namespace {

using testing::Bytes;

// Sample of band k, line L, pixel j: distinct for every position, so a
// misplaced record shows as a wrong value.
unsigned sample(int k, int l, int j) { return 1000u * k + 10u * l + j; }

// A 2-byte little-endian scene built by appending records in storage order,
// independently of the reader's offset arithmetic.
Bytes scene2(int bands, int nline, int npix) {
  Bytes b;
  for (int k = 1; k <= bands; ++k)
    for (int l = 1; l <= nline; ++l)
      for (int j = 1; j <= npix; ++j) b.insert(b.end(), {static_cast<unsigned char>(sample(k, l, j)),
                                                        static_cast<unsigned char>(sample(k, l, j) >> 8)});
  return b;
}

void put2(Bytes& b, std::int64_t at, unsigned char lo, unsigned char hi) {
  b[static_cast<std::size_t>(at)] = lo;
  b[static_cast<std::size_t>(at) + 1] = hi;
}

TEST(BsqOffset, RecordPositionsIn64BitArithmetic) {
  // Line 3 of a 5-line, 4-pixel scene, band 2, pixel 1 is record 29.
  EXPECT_EQ(bsq_offset(2, 3, 5, 4, 2), 56);
  EXPECT_EQ(bsq_offset(2, 3, 5, 4, 1), 28);
  EXPECT_EQ(bsq_offset(200, 50000, 50000, 50000, 4),  // bands beyond 2^31 records
            (199LL * 2500000000LL + 49999LL * 50000LL) * 4LL);
}

TEST(Gtbq2f, ReadsABandRangeIntoItsSlotsOnly) {
  testing::TempDir dir;
  const std::string path = dir.file("data.bsq");
  Bytes bytes = scene2(12, 5, 4);
  // 0 and 32767 are accepted; bands 11 and 12 have top bits but are not read.
  put2(bytes, bsq_offset(2, 3, 5, 4, 2), 0x00, 0x00);
  put2(bytes, bsq_offset(2, 3, 5, 4, 2) + 6, 0xFF, 0x7F);
  for (int k = 11; k <= 12; ++k) put2(bytes, bsq_offset(k, 3, 5, 4, 2), 0x00, 0x80);
  testing::write_file(path, bytes);
  RasterFile f;
  ASSERT_TRUE(f.open_input(path).ok());
  const int ldb = 13;
  std::vector<std::int16_t> buf(ldb * 4, -7);
  ASSERT_TRUE(gtbq2f(3, 5, 4, 2, 10, buf.data(), ldb, f).ok());
  for (int j = 1; j <= 4; ++j)
    for (int k = 1; k <= ldb; ++k) {
      int want = k < 2 || k > 10 ? -7 : static_cast<int>(sample(k, 3, j));
      if (k == 2 && j == 1) want = 0;
      if (k == 2 && j == 4) want = 32767;
      EXPECT_EQ(buf[(j - 1) * ldb + (k - 1)], want) << "band " << k << " pixel " << j;
    }
}

TEST(Gtbq2f, TopBitStopsInReadingOrderAndShortFilesAreNamed) {
  testing::TempDir dir;
  const std::string path = dir.file("data.bsq");
  Bytes bytes = scene2(3, 2, 5);
  // Line 2: band 2 pixels 3 and 5, band 3 pixel 1. The one in band 3 comes
  // first in pixel order but later in reading order (band by band).
  put2(bytes, bsq_offset(2, 2, 2, 5, 2) + 4, 0x40, 0x9C);  // 40000
  put2(bytes, bsq_offset(2, 2, 2, 5, 2) + 8, 0x00, 0x80);
  put2(bytes, bsq_offset(3, 2, 2, 5, 2), 0xFF, 0xFF);
  testing::write_file(path, bytes);
  RasterFile f;
  ASSERT_TRUE(f.open_input(path).ok());
  std::vector<std::int16_t> buf(3 * 5, -7);
  EXPECT_TRUE(gtbq2f(1, 2, 5, 1, 3, buf.data(), 3, f).ok());
  std::fill(buf.begin(), buf.end(), -7);
  Status st = gtbq2f(2, 2, 5, 1, 3, buf.data(), 3, f);
  ASSERT_EQ(st.code, Code::kTopBit);
  EXPECT_EQ(st.msg, path + ": band 2, line 2, pixel 3: sample 40000 has its top bit set, "
                           "expected 0..32767");
  // Band 1 complete, band 2 up to and including the offending sample.
  const int want[] = {1021, 2021, -7, 1022, 2022, -7, 1023, 40000 - 65536, -7,
                      1024, -7, -7, 1025, -7, -7};
  for (int i = 0; i < 15; ++i) EXPECT_EQ(buf[i], want[i]) << i;

  // Cut after pixel 2 of band 3, line 2 (byte 54): the short read is named,
  // unless a top bit among the samples that did arrive comes first.
  bytes = scene2(3, 2, 5);
  bytes.resize(static_cast<std::size_t>(bsq_offset(3, 2, 2, 5, 2)) + 4);
  testing::write_file(path, bytes);
  st = gtbq2f(2, 2, 5, 1, 3, buf.data(), 3, f);
  EXPECT_EQ(st.code, Code::kShortRead);
  EXPECT_EQ(st.msg.rfind(path + ": band 3, line 2, pixel 3: ", 0), 0u) << st.msg;
  EXPECT_NE(st.msg.find("byte offset 54"), std::string::npos) << st.msg;
  put2(bytes, bsq_offset(3, 2, 2, 5, 2) + 2, 0x00, 0x80);
  testing::write_file(path, bytes);
  EXPECT_EQ(gtbq2f(2, 2, 5, 1, 3, buf.data(), 3, f).code, Code::kTopBit);
}

}  // namespace
}  // namespace kov
