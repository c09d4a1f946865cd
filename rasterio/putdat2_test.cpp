#include "rasterio/putdat2.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "rasterio/test_support.hpp"

namespace kov {
namespace {

using testing::Bytes;

TEST(Putdat2, LittleEndianRecordsAndAWriteStoppedMidLine) {
  testing::TempDir dir;
  const std::int16_t v[4] = {3000, -2, -32768, 8};
  EXPECT_EQ(testing::product_after(dir.file("min.dat"), {},
                                   [&](const RasterFile& f) { return putdat2(1, 3, v, f); }),
            (Bytes{0xB8, 0x0B, 0xFE, 0xFF, 0x00, 0x80}));

  // Line 2 of 4 pixels spans bytes 8..15; a file size limit of 11 bytes lets
  // record 5 and half of record 6 through: pixel 2 is the one reported.
  const std::string path = dir.file("max.dat");
  int rc = -1;
  const std::string out = testing::run_captured(
      [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        RasterFile f;
        const rlimit lim{11, 11};
        if (!f.open_product(path).ok() || setrlimit(RLIMIT_FSIZE, &lim) != 0) return 10;
        const Status st = putdat2(2, 4, v, f);
        if (st.code != Code::kWriteReported) return 11;
        if (st.msg.rfind(path + ": line 2, pixel 2: ", 0) != 0) return 12;
        return f.close().ok() ? 0 : 13;
      },
      &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, " 2 2 -2\n");
  const Bytes got = testing::read_file(path);
  ASSERT_EQ(got.size(), 11u);
  EXPECT_EQ(got[8], 0xB8);
  EXPECT_EQ(got[9], 0x0B);
}

}  // namespace
}  // namespace kov
