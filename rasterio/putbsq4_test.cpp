#include "rasterio/putbsq4.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "rasterio/test_support.hpp"

namespace kov {
namespace {

using testing::Bytes;
using testing::TempDir;

std::uint32_t le32(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

TEST(Putbsq4, SinglePrecisionTiesToEvenInfinitiesAndNaN) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("p.bsq");
  RasterFile f;
  ASSERT_TRUE(f.open_product(path).ok());
  // One line, one pixel, eight bands (leading dimension 8).
  const double half_ulp = std::ldexp(1.0, -24);
  const double v[8] = {-1.0,
                       1.0 + half_ulp,       // tie: down to the even 1.0
                       1.0 + 3 * half_ulp,   // tie: up to the even 1 + 2^-22
                       1.0 + 1.5 * half_ulp, // nearest: 1 + 2^-23
                       1e39, -1e39, std::nan(""), 0.1};
  ASSERT_TRUE(putbsq4(1, 1, 1, 1, 8, v, 8, f).ok());
  ASSERT_TRUE(f.close().ok());
  const Bytes got = testing::read_file(path);
  ASSERT_EQ(got.size(), 32u);
  EXPECT_EQ((Bytes{got.begin(), got.begin() + 4}), (Bytes{0x00, 0x00, 0x80, 0xBF}));
  EXPECT_EQ(le32(got, 4), 0x3F800000u);
  EXPECT_EQ(le32(got, 8), 0x3F800002u);
  EXPECT_EQ(le32(got, 12), 0x3F800001u);
  EXPECT_EQ(le32(got, 16), 0x7F800000u);
  EXPECT_EQ(le32(got, 20), 0xFF800000u);
  EXPECT_TRUE(std::isnan(std::bit_cast<float>(le32(got, 24))));
  EXPECT_EQ(le32(got, 28), 0x3DCCCCCDu);
}

TEST(Putbsq4, BandRangeOfALineLandsAtItsRecords) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("p.bsq");
  RasterFile f;
  ASSERT_TRUE(f.open_product(path).ok());
  // Bands 2..3 of line 2 of a 2-line, 3-pixel scene.
  const int ldb = 3;
  double v[ldb * 3];
  for (int j = 1; j <= 3; ++j)
    for (int k = 1; k <= ldb; ++k) v[(j - 1) * ldb + (k - 1)] = 10 * k + j;
  ASSERT_TRUE(putbsq4(2, 2, 3, 2, 3, v, ldb, f).ok());
  ASSERT_TRUE(f.close().ok());
  const Bytes got = testing::read_file(path);
  // Band 2 line 2 starts at record 10, band 3 line 2 ends at record 18.
  ASSERT_EQ(got.size(), 18u * 4);
  for (std::size_t i = 0; i < 36; ++i) EXPECT_EQ(got[i], 0) << i;
  for (int k = 2; k <= 3; ++k)
    for (int j = 1; j <= 3; ++j) {
      const std::size_t at = ((k - 1) * 6 + 3 + (j - 1)) * 4;
      EXPECT_EQ(std::bit_cast<float>(le32(got, at)), static_cast<float>(10 * k + j));
    }
}

}  // namespace
}  // namespace kov
