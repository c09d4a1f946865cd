#include "rasterio/putdat1.hpp"

#include <gtest/gtest.h>

#include "rasterio/test_support.hpp"

namespace kov {
namespace {

using testing::Bytes;
using testing::TempDir;

TEST(Putdat1, StoresTheLow8BitsAtTheLineRecords) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("order.dat");
  testing::write_file(path, Bytes(12, 0xAA));
  RasterFile f;
  ASSERT_TRUE(f.open_product(path).ok());
  const std::int16_t v[4] = {-1, 6, 0x1234, 255};
  ASSERT_TRUE(putdat1(2, 4, v, f).ok());
  ASSERT_TRUE(f.close().ok());
  EXPECT_EQ(testing::read_file(path),
            (Bytes{0xAA, 0xAA, 0xAA, 0xAA, 0xFF, 0x06, 0x34, 0xFF, 0xAA, 0xAA,
                   0xAA, 0xAA}));
}

TEST(Putdat1, FailedWriteIsReportedOnStandardOutput) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("order.dat");
  testing::write_file(path, Bytes(3, 0xAA));
  int rc = -1;
  const std::string out = testing::run_captured(
      [&] {
        RasterFile f;  // opened for reading: every write fails
        if (!f.open_input(path).ok()) return 10;
        const std::int16_t v[3] = {-1, 4, 5};
        const Status st = putdat1(1, 3, v, f);
        if (st.code != Code::kWriteReported) return 11;
        if (st.msg.rfind(path + ": line 1, pixel 1: ", 0) != 0) return 12;
        return 0;
      },
      &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, " 1 1 -1\n");
  EXPECT_EQ(testing::read_file(path), Bytes(3, 0xAA));
}

}  // namespace
}  // namespace kov
