#include "rasterio/putdatf.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "rasterio/test_support.hpp"

namespace kov {
namespace {

using testing::Bytes;
using testing::TempDir;

TEST(AicSingle, MagnitudesAbove1e8BecomeZero) {
  EXPECT_EQ(aic_single(1.0e8), 1.0e8f);
  EXPECT_EQ(aic_single(-1.0e8), -1.0e8f);
  EXPECT_EQ(aic_single(std::nextafter(1.0e8, 2.0e8)), 0.0f);
  EXPECT_EQ(aic_single(2.0e8), 0.0f);
  EXPECT_EQ(aic_single(-2.0e8), 0.0f);
  EXPECT_EQ(aic_single(9.9e9), 0.0f);
  EXPECT_EQ(aic_single(-12.75), -12.75f);
  EXPECT_TRUE(std::isnan(aic_single(std::nan(""))));
}

TEST(Putdatf, WritesOneLineInPlaceLeavingTheRest) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("aic.dat");
  testing::write_file(path, Bytes(40, 0xAA));
  RasterFile f;
  ASSERT_TRUE(f.open_product(path).ok());
  const double v[3] = {-1.0, 2.0e8, 1.0e8};
  ASSERT_TRUE(putdatf(2, 3, v, f).ok());
  ASSERT_TRUE(f.close().ok());
  Bytes want(40, 0xAA);
  const unsigned char line[12] = {0x00, 0x00, 0x80, 0xBF, 0, 0, 0, 0,
                                  0x20, 0xBC, 0xBE, 0x4C};  // 1e8f
  std::copy(line, line + 12, want.begin() + 12);
  EXPECT_EQ(testing::read_file(path), want);
}

}  // namespace
}  // namespace kov
