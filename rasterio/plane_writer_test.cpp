
#include "rasterio/plane_writer.hpp"

#include <cmath>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "test/support.hpp"

namespace kov {

namespace {

using test::Bytes;

TEST(PlaneWriter, LowEightBitsAtTheLineRecordsAndTheFailureReport) {
  test::TempDir dir;
  const std::int16_t v[4] = {-1, 6, 0x1234, 255};  // order -1 is byte 255
  EXPECT_EQ(test::product_after(dir.file("o.dat"), Bytes(12, 0xAA),
                                   [&](const RasterFile& f) { return write_plane_u8(2, 4, v, f); }),
            (Bytes{0xAA, 0xAA, 0xAA, 0xAA, 0xFF, 0x06, 0x34, 0xFF, 0xAA, 0xAA, 0xAA, 0xAA}));

  // A file opened for reading fails every write: record 1 is reported.
  const std::string path = dir.file("ro.dat");
  test::write_bytes(path, Bytes(3, 0xAA));
  int rc = -1;
  const std::string out = test::run_captured(
      [&] {
        RasterFile f;
        if (!f.open_input(path).ok()) return 10;
        const Status st = write_plane_u8(1, 3, v, f);
        if (st.code != Code::kWriteReported) return 11;
        return st.msg.rfind(path + ": line 1, pixel 1: ", 0) == 0 ? 0 : 12;
      },
      &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, " 1 1 -1\n");
  EXPECT_EQ(test::read_bytes(path), Bytes(3, 0xAA));
}

}  // namespace

namespace {

using test::Bytes;

TEST(PlaneWriter, LittleEndianRecordsAndAWriteStoppedMidLine) {
  test::TempDir dir;
  const std::int16_t v[4] = {3000, -2, -32768, 8};
  EXPECT_EQ(test::product_after(dir.file("min.dat"), {},
                                   [&](const RasterFile& f) { return write_plane_i16(1, 3, v, f); }),
            (Bytes{0xB8, 0x0B, 0xFE, 0xFF, 0x00, 0x80}));

  // Line 2 of 4 pixels spans bytes 8..15; a file size limit of 11 bytes lets
  // record 5 and half of record 6 through: pixel 2 is the one reported.
  const std::string path = dir.file("max.dat");
  int rc = -1;
  const std::string out = test::run_captured(
      [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        RasterFile f;
        const rlimit lim{11, 11};
        if (!f.open_product(path).ok() || setrlimit(RLIMIT_FSIZE, &lim) != 0) return 10;
        const Status st = write_plane_i16(2, 4, v, f);
        if (st.code != Code::kWriteReported) return 11;
        if (st.msg.rfind(path + ": line 2, pixel 2: ", 0) != 0) return 12;
        return f.close().ok() ? 0 : 13;
      },
      &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, " 2 2 -2\n");
  const Bytes got = test::read_bytes(path);
  ASSERT_EQ(got.size(), 11u);
  EXPECT_EQ(got[8], 0xB8);
  EXPECT_EQ(got[9], 0x0B);
}

}  // namespace

namespace {

TEST(PlaneWriter, MagnitudesAbove1e8BecomeZeroInTheLineRecords) {
  const double above = std::nextafter(1.0e8, 2.0e8);
  for (double v : {above, -above, 2.0e8, 9.9e9}) EXPECT_EQ(criterion_f32(v), 0.0f) << v;
  EXPECT_EQ(criterion_f32(-1.0e8), -1.0e8f);
  EXPECT_EQ(criterion_f32(-12.75), -12.75f);
  EXPECT_TRUE(std::isnan(criterion_f32(std::nan(""))));

  test::TempDir dir;
  const double v[3] = {-1.0, 2.0e8, 1.0e8};
  test::Bytes want(40, 0xAA);
  const unsigned char line[12] = {0x00, 0x00, 0x80, 0xBF, 0, 0, 0, 0, 0x20, 0xBC, 0xBE, 0x4C};
  std::copy(line, line + 12, want.begin() + 12);
  EXPECT_EQ(test::product_after(dir.file("aic.dat"), test::Bytes(40, 0xAA),
                                   [&](const RasterFile& f) { return write_plane_f32(2, 3, v, f); }),
            want);
}

}  // namespace

}  // namespace kov
