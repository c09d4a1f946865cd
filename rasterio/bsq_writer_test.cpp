
#include "rasterio/bsq_writer.hpp"

#include <bit>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

#include "test/support.hpp"

namespace kov {

namespace {

std::uint32_t le32(const test::Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

TEST(BsqWriter, SinglesTiesToEvenInfinitiesAndNaN) {
  test::TempDir dir;
  const double h = std::ldexp(1.0, -24);  // half an ulp of 1.0f
  // One pixel, eight bands: -1.0 is 00 00 80 BF.
  const double v[8] = {-1.0, 1.0 + h, 1.0 + 3 * h, 1.0 + 1.5 * h, 1e39, -1e39, std::nan(""), 0.1};
  const test::Bytes got = test::product_after(
      dir.file("p.bsq"), {}, [&](const RasterFile& f) { return write_line_f32(1, 1, 1, 1, 8, v, 8, f); });
  ASSERT_EQ(got.size(), 32u);
  const std::uint32_t want[8] = {0xBF800000u, 0x3F800000u, 0x3F800002u, 0x3F800001u,
                                 0x7F800000u, 0xFF800000u, 0, 0x3DCCCCCDu};
  for (int i = 0; i < 8; ++i) {
    if (i == 6) {
      EXPECT_TRUE(std::isnan(std::bit_cast<float>(le32(got, 24))));
    } else {
      EXPECT_EQ(le32(got, 4 * i), want[i]) << i;
    }
  }
}

TEST(BsqWriter, BandRangeOfALineLandsAtItsRecords) {
  test::TempDir dir;
  // Bands 2..3 of line 2 of a 2-line, 3-pixel scene: records 10..12, 16..18.
  double v[9];
  for (int i = 0; i < 9; ++i) v[i] = 10 * (i % 3 + 1) + i / 3 + 1;  // 10k + j
  const test::Bytes got = test::product_after(
      dir.file("p.bsq"), {}, [&](const RasterFile& f) { return write_line_f32(2, 2, 3, 2, 3, v, 3, f); });
  ASSERT_EQ(got.size(), 18u * 4);
  for (int r = 1; r <= 18; ++r) {
    const int k = (r - 1) / 6 + 1, j = (r - 1) % 3 + 1;
    const bool written = k >= 2 && (r - 1) % 6 >= 3;
    EXPECT_EQ(std::bit_cast<float>(le32(got, 4 * (r - 1))), written ? 10.0f * k + j : 0.0f) << r;
  }
}

}  // namespace

namespace {

using test::Bytes;

TEST(BsqWriter, RoundsHalfUpTruncatesTowardZeroAndSaturates) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct { double x; int want; } cases[] = {
      {1.0, 4096}, {0.25, 1024}, {0.5 / 4096, 1}, {0.4999 / 4096, 0},
      {-0.5 / 4096, 0}, {-1.5 / 4096, -1}, {-0.25, -1023},  // -1023.5 -> -1023
      {32766.5 / 4096, 32767}, {32767.5 / 4096, 32767}, {8.0, 32767}, {16.0, 32767}, {1e300, 32767}, {inf, 32767},
      {-32768.5 / 4096, -32768}, {-32769.5 / 4096, -32768}, {-16.0, -32768}, {-inf, -32768}, {std::nan(""), 0}};
  for (const auto& c : cases) EXPECT_EQ(counts_i16(c.x), c.want) << c.x;
}

TEST(BsqWriter, WritesLittleEndianBandSegmentsInPlace) {
  test::TempDir dir;
  // Line 2 of a 3-line, 2-pixel scene, bands 1..3 of a buffer with leading
  // dimension 4, over an older and larger product whose other bytes stay.
  const double v[] = {1.0, -0.25, 8.0, 99.0, 0.25, std::nan(""), 0.5 / 4096, 99.0};
  const Bytes got = test::product_after(dir.file("f.bsq"), Bytes(100, 0xAA),
                                           [&](const RasterFile& f) { return write_line_i16(2, 3, 2, 1, 3, v, 4, f); });
  Bytes want(100, 0xAA);
  const std::pair<int, Bytes> lines[] = {{4, {0x00, 0x10, 0x00, 0x04}},    // 4096, 1024
                                         {16, {0x01, 0xFC, 0x00, 0x00}},   // -1023, NaN
                                         {28, {0xFF, 0x7F, 0x01, 0x00}}};  // 32767, 1
  for (const auto& [at, b] : lines) std::copy(b.begin(), b.end(), want.begin() + at);
  EXPECT_EQ(got, want);

  // A failed write names band, line and byte offset.
  test::write_bytes(dir.file("in.bsq"), Bytes{});
  RasterFile in;
  ASSERT_TRUE(in.open_input(dir.file("in.bsq")).ok());
  const Status st = write_line_i16(3, 4, 1, 2, 2, v, 2, in);
  EXPECT_EQ(st.code, Code::kIo);
  EXPECT_EQ(st.msg.rfind(dir.file("in.bsq") + ": band 2, line 3: ", 0), 0u) << st.msg;
  EXPECT_NE(st.msg.find("byte offset 12"), std::string::npos) << st.msg;
}

}  // namespace

}  // namespace kov
