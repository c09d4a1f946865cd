#include "rasterio/putbsq2.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "rasterio/gtbq2f.hpp"
#include "rasterio/test_support.hpp"

namespace kov {
namespace {

using testing::Bytes;
using testing::TempDir;

TEST(Scale16, RoundsHalfUpInRawCountsAndSaturates) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(scale16(1.0), 4096);
  EXPECT_EQ(scale16(0.25), 1024);
  EXPECT_EQ(scale16(0.5 / 4096), 1);
  EXPECT_EQ(scale16(0.4999 / 4096), 0);
  EXPECT_EQ(scale16(-0.5 / 4096), 0);     // -0.5 + 0.5 = 0
  EXPECT_EQ(scale16(-1.5 / 4096), -1);    // -1.0 truncates to -1
  EXPECT_EQ(scale16(-0.25), -1023);       // -1023.5 truncates toward zero
  EXPECT_EQ(scale16(32766.5 / 4096), 32767);
  EXPECT_EQ(scale16(8.0), 32767);         // 32768.5 would wrap to -32768
  EXPECT_EQ(scale16(16.0), 32767);        // 65536.5 would wrap to 0
  EXPECT_EQ(scale16(-32768.5 / 4096), -32768);
  EXPECT_EQ(scale16(-16.0), -32768);
  EXPECT_EQ(scale16(1e300), 32767);
  EXPECT_EQ(scale16(inf), 32767);
  EXPECT_EQ(scale16(-inf), -32768);
  EXPECT_EQ(scale16(std::nan("")), 0);
}

TEST(Putbsq2, WritesLittleEndianSegmentsThatReadBackAsScaled) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("f.bsq");
  // An older, larger product: its bytes must survive outside what is written.
  testing::write_file(path, Bytes(100, 0xAA));
  RasterFile f;
  ASSERT_TRUE(f.open_product(path).ok());
  // Line 2 of a 3-line, 2-pixel scene, bands 1..3, buffer leading dim 4.
  const int ldb = 4;
  const double v[] = {1.0, -0.25, 8.0, 99.0,   // pixel 1: bands 1..3, unused
                      0.25, std::nan(""), 0.5 / 4096, 99.0};
  ASSERT_TRUE(putbsq2(2, 3, 2, 1, 3, v, ldb, f).ok());

  const Bytes got = testing::read_file(path);
  ASSERT_EQ(got.size(), 100u);
  Bytes want(100, 0xAA);
  const unsigned char b1[] = {0x00, 0x10, 0x00, 0x04};  // 4096, 1024
  const unsigned char b2[] = {0x01, 0xFC, 0x00, 0x00};  // -1023, NaN -> 0
  const unsigned char b3[] = {0xFF, 0x7F, 0x01, 0x00};  // 32767, 1
  std::copy(b1, b1 + 4, want.begin() + 4);
  std::copy(b2, b2 + 4, want.begin() + 16);
  std::copy(b3, b3 + 4, want.begin() + 28);
  EXPECT_EQ(got, want);

  std::vector<std::int16_t> back(2 * ldb, 0);
  ASSERT_TRUE(gtbq2f(2, 3, 2, 1, 1, back.data(), ldb, f).ok());
  EXPECT_EQ(back[0], scale16(1.0));
  EXPECT_EQ(back[ldb], scale16(0.25));
  ASSERT_TRUE(f.close().ok());
}

TEST(Putbsq2, FailedWriteNamesBandLineAndOffset) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("f.bsq");
  testing::write_file(path, Bytes{});
  RasterFile f;
  ASSERT_TRUE(f.open_input(path).ok());
  const double v[] = {0.5, 0.5};
  const Status st = putbsq2(3, 4, 1, 2, 2, v, 2, f);
  EXPECT_EQ(st.code, Code::kIo);
  EXPECT_EQ(st.msg.rfind(path + ": band 2, line 3: ", 0), 0u) << st.msg;
  EXPECT_NE(st.msg.find("byte offset 12"), std::string::npos) << st.msg;
}

}  // namespace
}  // namespace kov
