#include "rasterio/putbsq4.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "rasterio/test_support.hpp"

namespace kov {
namespace {

std::uint32_t le32(const testing::Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

TEST(Putbsq4, SinglesTiesToEvenInfinitiesAndNaN) {
  testing::TempDir dir;
  const double h = std::ldexp(1.0, -24);  // half an ulp of 1.0f
  // One pixel, eight bands: -1.0 is 00 00 80 BF.
  const double v[8] = {-1.0, 1.0 + h, 1.0 + 3 * h, 1.0 + 1.5 * h, 1e39, -1e39, std::nan(""), 0.1};
  const testing::Bytes got = testing::product_after(
      dir.file("p.bsq"), {}, [&](const RasterFile& f) { return putbsq4(1, 1, 1, 1, 8, v, 8, f); });
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

TEST(Putbsq4, BandRangeOfALineLandsAtItsRecords) {
  testing::TempDir dir;
  // Bands 2..3 of line 2 of a 2-line, 3-pixel scene: records 10..12, 16..18.
  double v[9];
  for (int i = 0; i < 9; ++i) v[i] = 10 * (i % 3 + 1) + i / 3 + 1;  // 10k + j
  const testing::Bytes got = testing::product_after(
      dir.file("p.bsq"), {}, [&](const RasterFile& f) { return putbsq4(2, 2, 3, 2, 3, v, 3, f); });
  ASSERT_EQ(got.size(), 18u * 4);
  for (int r = 1; r <= 18; ++r) {
    const int k = (r - 1) / 6 + 1, j = (r - 1) % 3 + 1;
    const bool written = k >= 2 && (r - 1) % 6 >= 3;
    EXPECT_EQ(std::bit_cast<float>(le32(got, 4 * (r - 1))), written ? 10.0f * k + j : 0.0f) << r;
  }
}

}  // namespace
}  // namespace kov
