#include "rasterio/putdat1.hpp"

#include <gtest/gtest.h>

#include "rasterio/test_support.hpp"

namespace kov {
namespace {

using testing::Bytes;

TEST(Putdat1, LowEightBitsAtTheLineRecordsAndTheFailureReport) {
  testing::TempDir dir;
  const std::int16_t v[4] = {-1, 6, 0x1234, 255};  // order -1 is byte 255
  EXPECT_EQ(testing::product_after(dir.file("o.dat"), Bytes(12, 0xAA),
                                   [&](const RasterFile& f) { return putdat1(2, 4, v, f); }),
            (Bytes{0xAA, 0xAA, 0xAA, 0xAA, 0xFF, 0x06, 0x34, 0xFF, 0xAA, 0xAA, 0xAA, 0xAA}));

  // A file opened for reading fails every write: record 1 is reported.
  const std::string path = dir.file("ro.dat");
  testing::write_file(path, Bytes(3, 0xAA));
  int rc = -1;
  const std::string out = testing::run_captured(
      [&] {
        RasterFile f;
        if (!f.open_input(path).ok()) return 10;
        const Status st = putdat1(1, 3, v, f);
        if (st.code != Code::kWriteReported) return 11;
        return st.msg.rfind(path + ": line 1, pixel 1: ", 0) == 0 ? 0 : 12;
      },
      &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, " 1 1 -1\n");
  EXPECT_EQ(testing::read_file(path), Bytes(3, 0xAA));
}

}  // namespace
}  // namespace kov
