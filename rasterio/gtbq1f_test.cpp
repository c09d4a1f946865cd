#include "rasterio/gtbq1f.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "rasterio/gtbq2f.hpp"
#include "rasterio/test_support.hpp"

namespace kov {
namespace {

using testing::Bytes;
using testing::TempDir;

TEST(Gtbq1f, BytesAreUnsignedAndPlacedByRecordNumber) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("mask.bsq");
  // Three bands of 5 x 4; every byte holds its own offset, except the line
  // read below in band 2, which carries 00 and bytes with the top bit set.
  Bytes bytes(3 * 20);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i);
  const std::size_t at = static_cast<std::size_t>(bsq_offset(2, 3, 5, 4, 1));
  ASSERT_EQ(at, 28u);
  bytes[at] = 0x00;
  bytes[at + 1] = 0xFF;
  bytes[at + 2] = 0x80;
  testing::write_file(path, bytes);

  RasterFile f;
  ASSERT_TRUE(f.open_input(path).ok());
  std::vector<std::int16_t> buf(4 * 4, -7);
  ASSERT_TRUE(gtbq1f(3, 5, 4, 1, 3, buf.data(), 4, f).ok());
  for (int j = 1; j <= 4; ++j) {
    EXPECT_EQ(buf[(j - 1) * 4 + 0], 8 + j - 1);
    EXPECT_EQ(buf[(j - 1) * 4 + 2], 48 + j - 1);
    EXPECT_EQ(buf[(j - 1) * 4 + 3], -7);
  }
  EXPECT_EQ(buf[0 * 4 + 1], 0);
  EXPECT_EQ(buf[1 * 4 + 1], 255);
  EXPECT_EQ(buf[2 * 4 + 1], 128);
  EXPECT_EQ(buf[3 * 4 + 1], 31);

  const Status st = gtbq1f(5, 6, 4, 1, 3, buf.data(), 4, f);
  EXPECT_EQ(st.code, Code::kShortRead);
  EXPECT_EQ(st.msg.rfind(path + ": band 3, line 5, pixel 1: ", 0), 0u) << st.msg;
}

}  // namespace
}  // namespace kov
