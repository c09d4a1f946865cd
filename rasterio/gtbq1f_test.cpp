#include "rasterio/gtbq1f.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "rasterio/test_support.hpp"

namespace kov {
namespace {

TEST(Gtbq1f, BytesAreUnsignedAndPlacedByRecordNumber) {
  testing::TempDir dir;
  const std::string path = dir.file("mask.bsq");
  // Three bands of 5 x 4, every byte its own offset; line 3 of band 2
  // (bytes 28..31) carries 00 and bytes with the top bit set.
  testing::Bytes bytes(3 * 20);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i);
  bytes[28] = 0x00;
  bytes[29] = 0xFF;
  bytes[30] = 0x80;
  testing::write_file(path, bytes);
  RasterFile f;
  ASSERT_TRUE(f.open_input(path).ok());
  std::vector<std::int16_t> buf(4 * 4, -7);
  ASSERT_TRUE(gtbq1f(3, 5, 4, 1, 3, buf.data(), 4, f).ok());
  const std::vector<std::int16_t> want = {8, 0, 48, -7, 9, 255, 49, -7, 10, 128, 50, -7, 11, 31, 51, -7};
  EXPECT_EQ(buf, want);

  const Status st = gtbq1f(5, 6, 4, 1, 3, buf.data(), 4, f);
  EXPECT_EQ(st.code, Code::kShortRead);
  EXPECT_EQ(st.msg.rfind(path + ": band 3, line 5, pixel 1: ", 0), 0u) << st.msg;
}

}  // namespace
}  // namespace kov
