
#include "rasterio/bsq_reader.hpp"

#include <gtest/gtest.h>
#include <vector>

#include "test/support.hpp"

namespace kov {

namespace {

using test::Bytes;

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

TEST(BsqReader, RecordPositionsIn64BitArithmetic) {
  // Line 3 of a 5-line, 4-pixel scene, band 2, pixel 1 is record 29.
  EXPECT_EQ(record_offset(2, 3, 5, 4, 2), 56);
  EXPECT_EQ(record_offset(2, 3, 5, 4, 1), 28);
  EXPECT_EQ(record_offset(200, 50000, 50000, 50000, 4),  // bands beyond 2^31 records
            (199LL * 2500000000LL + 49999LL * 50000LL) * 4LL);
}

TEST(BsqReader, ReadsABandRangeIntoItsSlotsOnly) {
  test::TempDir dir;
  const std::string path = dir.file("data.bsq");
  Bytes bytes = scene2(12, 5, 4);
  // 0 and 32767 are accepted; bands 11 and 12 have top bits but are not read.
  put2(bytes, record_offset(2, 3, 5, 4, 2), 0x00, 0x00);
  put2(bytes, record_offset(2, 3, 5, 4, 2) + 6, 0xFF, 0x7F);
  for (int k = 11; k <= 12; ++k) put2(bytes, record_offset(k, 3, 5, 4, 2), 0x00, 0x80);
  test::write_bytes(path, bytes);
  RasterFile f;
  ASSERT_TRUE(f.open_input(path).ok());
  const int ldb = 13;
  std::vector<std::int16_t> buf(ldb * 4, -7);
  ASSERT_TRUE(read_line_i16(3, 5, 4, 2, 10, buf.data(), ldb, f).ok());
  for (int j = 1; j <= 4; ++j)
    for (int k = 1; k <= ldb; ++k) {
      int want = k < 2 || k > 10 ? -7 : static_cast<int>(sample(k, 3, j));
      if (k == 2 && j == 1) want = 0;
      if (k == 2 && j == 4) want = 32767;
      EXPECT_EQ(buf[(j - 1) * ldb + (k - 1)], want) << "band " << k << " pixel " << j;
    }
}

TEST(BsqReader, TopBitStopsInReadingOrderAndShortFilesAreNamed) {
  test::TempDir dir;
  const std::string path = dir.file("data.bsq");
  Bytes bytes = scene2(3, 2, 5);
  // Line 2: band 2 pixels 3 and 5, band 3 pixel 1. The one in band 3 comes
  // first in pixel order but later in reading order (band by band).
  put2(bytes, record_offset(2, 2, 2, 5, 2) + 4, 0x40, 0x9C);  // 40000
  put2(bytes, record_offset(2, 2, 2, 5, 2) + 8, 0x00, 0x80);
  put2(bytes, record_offset(3, 2, 2, 5, 2), 0xFF, 0xFF);
  test::write_bytes(path, bytes);
  RasterFile f;
  ASSERT_TRUE(f.open_input(path).ok());
  std::vector<std::int16_t> buf(3 * 5, -7);
  EXPECT_TRUE(read_line_i16(1, 2, 5, 1, 3, buf.data(), 3, f).ok());
  std::fill(buf.begin(), buf.end(), -7);
  Status st = read_line_i16(2, 2, 5, 1, 3, buf.data(), 3, f);
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
  bytes.resize(static_cast<std::size_t>(record_offset(3, 2, 2, 5, 2)) + 4);
  test::write_bytes(path, bytes);
  st = read_line_i16(2, 2, 5, 1, 3, buf.data(), 3, f);
  EXPECT_EQ(st.code, Code::kShortRead);
  EXPECT_EQ(st.msg.rfind(path + ": band 3, line 2, pixel 3: ", 0), 0u) << st.msg;
  EXPECT_NE(st.msg.find("byte offset 54"), std::string::npos) << st.msg;
  put2(bytes, record_offset(3, 2, 2, 5, 2) + 2, 0x00, 0x80);
  test::write_bytes(path, bytes);
  EXPECT_EQ(read_line_i16(2, 2, 5, 1, 3, buf.data(), 3, f).code, Code::kTopBit);
}

}  // namespace

namespace {

TEST(BsqReader, BytesAreUnsignedAndPlacedByRecordNumber) {
  test::TempDir dir;
  const std::string path = dir.file("mask.bsq");
  // Three bands of 5 x 4, every byte its own offset; line 3 of band 2
  // (bytes 28..31) carries 00 and bytes with the top bit set.
  test::Bytes bytes(3 * 20);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i);
  bytes[28] = 0x00;
  bytes[29] = 0xFF;
  bytes[30] = 0x80;
  test::write_bytes(path, bytes);
  RasterFile f;
  ASSERT_TRUE(f.open_input(path).ok());
  std::vector<std::int16_t> buf(4 * 4, -7);
  ASSERT_TRUE(read_line_u8(3, 5, 4, 1, 3, buf.data(), 4, f).ok());
  const std::vector<std::int16_t> want = {8, 0, 48, -7, 9, 255, 49, -7, 10, 128, 50, -7, 11, 31, 51, -7};
  EXPECT_EQ(buf, want);

  const Status st = read_line_u8(5, 6, 4, 1, 3, buf.data(), 4, f);
  EXPECT_EQ(st.code, Code::kShortRead);
  EXPECT_EQ(st.msg.rfind(path + ": band 3, line 5, pixel 1: ", 0), 0u) << st.msg;
}

}  // namespace

}  // namespace kov
