#include "rasterio/putdatf.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "rasterio/test_support.hpp"

namespace kov {
namespace {

TEST(Putdatf, MagnitudesAbove1e8BecomeZeroInTheLineRecords) {
  const double above = std::nextafter(1.0e8, 2.0e8);
  for (double v : {above, -above, 2.0e8, 9.9e9}) EXPECT_EQ(aic_single(v), 0.0f) << v;
  EXPECT_EQ(aic_single(-1.0e8), -1.0e8f);
  EXPECT_EQ(aic_single(-12.75), -12.75f);
  EXPECT_TRUE(std::isnan(aic_single(std::nan(""))));

  testing::TempDir dir;
  const double v[3] = {-1.0, 2.0e8, 1.0e8};
  testing::Bytes want(40, 0xAA);
  const unsigned char line[12] = {0x00, 0x00, 0x80, 0xBF, 0, 0, 0, 0, 0x20, 0xBC, 0xBE, 0x4C};
  std::copy(line, line + 12, want.begin() + 12);
  EXPECT_EQ(testing::product_after(dir.file("aic.dat"), testing::Bytes(40, 0xAA),
                                   [&](const RasterFile& f) { return putdatf(2, 3, v, f); }),
            want);
}

}  // namespace
}  // namespace kov
