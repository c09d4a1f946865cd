#include "rasterio/putbsq2.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "rasterio/test_support.hpp"

namespace kov {
namespace {

using testing::Bytes;

TEST(Scale16, RoundsHalfUpTruncatesTowardZeroAndSaturates) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct { double x; int want; } cases[] = {
      {1.0, 4096}, {0.25, 1024}, {0.5 / 4096, 1}, {0.4999 / 4096, 0},
      {-0.5 / 4096, 0}, {-1.5 / 4096, -1}, {-0.25, -1023},  // -1023.5 -> -1023
      {32766.5 / 4096, 32767}, {32767.5 / 4096, 32767}, {8.0, 32767}, {16.0, 32767}, {1e300, 32767}, {inf, 32767},
      {-32768.5 / 4096, -32768}, {-32769.5 / 4096, -32768}, {-16.0, -32768}, {-inf, -32768}, {std::nan(""), 0}};
  for (const auto& c : cases) EXPECT_EQ(scale16(c.x), c.want) << c.x;
}

TEST(Putbsq2, WritesLittleEndianBandSegmentsInPlace) {
  testing::TempDir dir;
  // Line 2 of a 3-line, 2-pixel scene, bands 1..3 of a buffer with leading
  // dimension 4, over an older and larger product whose other bytes stay.
  const double v[] = {1.0, -0.25, 8.0, 99.0, 0.25, std::nan(""), 0.5 / 4096, 99.0};
  const Bytes got = testing::product_after(dir.file("f.bsq"), Bytes(100, 0xAA),
                                           [&](const RasterFile& f) { return putbsq2(2, 3, 2, 1, 3, v, 4, f); });
  Bytes want(100, 0xAA);
  const std::pair<int, Bytes> lines[] = {{4, {0x00, 0x10, 0x00, 0x04}},    // 4096, 1024
                                         {16, {0x01, 0xFC, 0x00, 0x00}},   // -1023, NaN
                                         {28, {0xFF, 0x7F, 0x01, 0x00}}};  // 32767, 1
  for (const auto& [at, b] : lines) std::copy(b.begin(), b.end(), want.begin() + at);
  EXPECT_EQ(got, want);

  // A failed write names band, line and byte offset.
  testing::write_file(dir.file("in.bsq"), Bytes{});
  RasterFile in;
  ASSERT_TRUE(in.open_input(dir.file("in.bsq")).ok());
  const Status st = putbsq2(3, 4, 1, 2, 2, v, 2, in);
  EXPECT_EQ(st.code, Code::kIo);
  EXPECT_EQ(st.msg.rfind(dir.file("in.bsq") + ": band 2, line 3: ", 0), 0u) << st.msg;
  EXPECT_NE(st.msg.find("byte offset 12"), std::string::npos) << st.msg;
}

}  // namespace
}  // namespace kov
