#include "rasterio/putdat2.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "rasterio/test_support.hpp"

namespace kov {
namespace {

using testing::Bytes;
using testing::TempDir;

TEST(Putdat2, StoresLittleEndianTwoByteRecords) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("min.dat");
  RasterFile f;
  ASSERT_TRUE(f.open_product(path).ok());
  const std::int16_t v[3] = {3000, -1, -32768};
  ASSERT_TRUE(putdat2(1, 3, v, f).ok());
  ASSERT_TRUE(f.close().ok());
  EXPECT_EQ(testing::read_file(path), (Bytes{0xB8, 0x0B, 0xFF, 0xFF, 0x00, 0x80}));
}

TEST(Putdat2, WriteStoppedMidLineReportsTheFirstRecordNotWritten) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("max.dat");
  int rc = -1;
  // Line 2 of 4 pixels spans bytes 8..15; a file size limit of 11 bytes lets
  // record 5 and half of record 6 through, so pixel 2 is the one reported.
  const std::string out = testing::run_captured(
      [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        RasterFile f;
        if (!f.open_product(path).ok()) return 10;
        const rlimit lim{11, 11};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 11;
        const std::int16_t v[4] = {300, -2, 7, 8};
        const Status st = putdat2(2, 4, v, f);
        if (st.code != Code::kWriteReported) return 12;
        if (st.msg.rfind(path + ": line 2, pixel 2: ", 0) != 0) return 13;
        return f.close().ok() ? 0 : 14;
      },
      &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, " 2 2 -2\n");
  const Bytes got = testing::read_file(path);
  ASSERT_EQ(got.size(), 11u);
  EXPECT_EQ(got[8], 0x2C);  // 300 = 01 2C
  EXPECT_EQ(got[9], 0x01);
}

}  // namespace
}  // namespace kov
