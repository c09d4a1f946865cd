// The band readers and the five product writers: record positions, values,
// the stop at the first bad record, and the report of a failed write.
#include "rasterio/bsq_reader.hpp"
#include "rasterio/bsq_writer.hpp"
#include "rasterio/plane_writer.hpp"

#include <sys/resource.h>

#include <array>
#include <cmath>
#include <csignal>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test/support.hpp"

namespace kov {
namespace {

// Line 3 of four bands of 5 x 4 records, read band by band, pixel by pixel.
// Every case names how many samples, in that order, reach the buffer; the
// others keep -7, as do the slots of bands not read.
TEST(BsqReader, BandRangesTopBitsAndShortFilesInReadingOrder) {
  struct Case {
    int rec, kfirst, klast;
    std::vector<std::array<int, 3>> patch;  // band, pixel, raw value
    int cut;                                 // file cut to this many bytes (0: whole)
    int stored;
    Code code;
    std::string where;  // message after the file name
  };
  const Case cases[] = {
      // 0 and 32767 are accepted; a top bit in a band not read is not seen.
      {2, 2, 3, {{2, 1, 0}, {2, 4, 32767}, {4, 1, 0x8000}}, 0, 8, Code::kOk, ""},
      {2, 1, 4, {{2, 3, 40000}, {2, 4, 0x8000}, {3, 1, 0xFFFF}}, 0, 7, Code::kTopBit,
       "band 2, line 3, pixel 3: sample 40000 has its top bit set, expected 0..32767"},
      {2, 1, 4, {}, 101, 10, Code::kShortRead,
       "band 3, line 3, pixel 3: file ends before byte offset 101"},
      // A top bit among the samples that arrived comes first.
      {2, 1, 4, {{3, 2, 0x8000}}, 101, 10, Code::kTopBit, "band 3, line 3, pixel 2: sample 32768"},
      // Bytes are unsigned: 0x80 and 0xFF are 128 and 255.
      {1, 1, 4, {{2, 2, 0xFF}, {2, 3, 0x80}}, 0, 16, Code::kOk, ""},
      {1, 1, 4, {}, 70, 12, Code::kShortRead,
       "band 4, line 3, pixel 3: file ends before byte offset 70"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.where);
    test::TempDir dir;
    const std::string path = dir.file("in.bsq");
    std::string bytes;
    for (int r = 0; r < 4 * 20; ++r)
      bytes += test::enc16(1000 * (r / 20) + r % 20).substr(0, c.rec);
    for (auto [k, j, v] : c.patch)
      bytes.replace(c.rec * ((k - 1) * 20 + 8 + j - 1), c.rec, test::enc16(v).substr(0, c.rec));
    test::write_file(path, c.cut ? bytes.substr(0, c.cut) : bytes);
    RasterFile f;
    ASSERT_TRUE(f.open_input(path).ok());
    std::vector<std::int16_t> buf(5 * 4, -7), want(5 * 4, -7);
    const Status st = (c.rec == 2 ? read_line_i16 : read_line_u8)(3, 5, 4, c.kfirst, c.klast,
                                                                   buf.data(), 5, f);
    EXPECT_EQ(st.code, c.code);
    EXPECT_EQ(st.msg.rfind(c.where.empty() ? "" : path + ": " + c.where, 0), 0u) << st.msg;
    for (int k = c.kfirst, n = 0; k <= c.klast; ++k)
      for (int j = 1; j <= 4 && n < c.stored; ++j, ++n) {
        const int at = c.rec * ((k - 1) * 20 + 8 + j - 1);
        want[(j - 1) * 5 + (k - 1)] = c.rec == 2 ? test::le16(bytes, at)
                                                 : static_cast<unsigned char>(bytes[at]);
      }
    EXPECT_EQ(buf, want);
  }
}

TEST(Writers, StoredValues) {
  const double inf = std::numeric_limits<double>::infinity();
  // Half up in counts, truncated toward zero, saturated; NaN stores 0.
  const struct { double x; int want; } counts[] = {
      {1.0, 4096}, {0.5 / 4096, 1}, {0.4999 / 4096, 0}, {-0.5 / 4096, 0}, {-1.5 / 4096, -1},
      {-0.25, -1023}, {32766.5 / 4096, 32767}, {32767.5 / 4096, 32767}, {1e300, 32767},
      {inf, 32767}, {-32768.5 / 4096, -32768}, {-32769.5 / 4096, -32768}, {-inf, -32768},
      {std::nan(""), 0}};
  for (const auto& c : counts) EXPECT_EQ(counts_i16(c.x), c.want) << c.x;
  // The criterion: 0 beyond a magnitude of 1e8, else rounded to single.
  const double above = std::nextafter(1.0e8, 2.0e8);
  for (double v : {above, -above, 9.9e9}) EXPECT_EQ(criterion_f32(v), 0.0f) << v;
  EXPECT_EQ(criterion_f32(-1.0e8), -1.0e8f);
  EXPECT_TRUE(std::isnan(criterion_f32(std::nan(""))));
}

// Line 2 of a 3-line, 2-pixel scene (band k starts at record 6(k-1) + 3),
// bands 1..3 of buffers with leading dimension 4, over an older and larger
// product whose other bytes stay.
TEST(Writers, LittleEndianRecordsOfALineInPlace) {
  const float one = 1.0f, up1 = std::nextafter(one, 2.0f), up2 = std::nextafter(up1, 2.0f);
  const double h = std::ldexp(1.0, -24);  // half an ulp of 1.0f: ties go to even
  const double para[] = {1.0 + h, 1.0 + 3 * h, 1e39, 0, 1.0 + 1.5 * h, NAN, -1e39, 0};
  const double series[] = {1.0, -0.25, 8.0, 0, 0.25, NAN, 0.5 / 4096, 0};
  const std::int16_t ints[] = {-1, 6, 0x1234, 255};
  const double crit[] = {-1.0, 2.0e8, 1.0e8};
  const auto f = [](float a, float b) { return test::encf(a) + test::encf(b); };
  const auto i = [](int a, int b) { return test::enc16(a) + test::enc16(b); };
  const struct {
    const char* name;
    std::function<Status(const RasterFile&)> write;
    std::vector<std::pair<int, std::string>> want;  // byte offset, bytes
  } cases[] = {
      {"f32", [&](auto& file) { return write_line_f32(2, 3, 2, 1, 3, para, 4, file); },
       {{8, f(one, up1)}, {32, f(up2, NAN)}, {56, f(INFINITY, -INFINITY)}}},
      {"i16", [&](auto& file) { return write_line_i16(2, 3, 2, 1, 3, series, 4, file); },
       {{4, i(4096, 1024)}, {16, i(-1023, 0)}, {28, i(32767, 1)}}},
      {"plane u8", [&](auto& file) { return write_plane_u8(2, 4, ints, file); },
       {{4, "\xFF\x06\x34\xFF"}}},
      {"plane i16", [&](auto& file) { return write_plane_i16(2, 4, ints, file); },
       {{8, i(-1, 6) + i(0x1234, 255)}}},
      {"plane f32", [&](auto& file) { return write_plane_f32(2, 3, crit, file); },
       {{12, f(-1.0f, 0.0f) + test::encf(1.0e8f)}}},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    std::string want(100, '\xAA');
    for (const auto& [at, bytes] : c.want) want.replace(at, bytes.size(), bytes);
    test::write_file(dir.file("x"), std::string(100, '\xAA'));
    RasterFile f;
    ASSERT_TRUE(f.open_product(dir.file("x")).ok() && c.write(f).ok() && f.close().ok()) << c.name;
    EXPECT_EQ(test::read_file(dir.file("x")), want) << c.name;
  }
}

// A failed record write of the 1- and 2-byte single-band writers reports the
// first record not written on standard output and the run goes on; the other
// writers name band, line and byte offset. A file opened for reading fails
// every write; a file size limit of 11 bytes lets line 2 through up to half
// of its second 2-byte record.
TEST(PlaneWriter, FailedWriteReportsTheFirstRecordNotWritten) {
  const std::int16_t v[4] = {-1, -2, 3, 4};
  const double d[4] = {0.5, 0.5, 0.5, 0.5};
  const struct {
    bool read_only;
    std::function<Status(const RasterFile&)> write;
    Code code;
    std::string where, out;
  } cases[] = {
      {true, [&](auto& f) { return write_plane_u8(1, 3, v, f); }, Code::kWriteReported,
       "line 1, pixel 1: write at byte offset 0 failed", " 1 1 -1\n"},
      {false, [&](auto& f) { return write_plane_i16(2, 4, v, f); }, Code::kWriteReported,
       "line 2, pixel 2: write at byte offset 11 failed", " 2 2 -2\n"},
      {true, [&](auto& f) { return write_line_i16(3, 4, 1, 2, 2, d, 2, f); }, Code::kIo,
       "band 2, line 3: write at byte offset 12 failed", ""},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    const std::string path = dir.file("x");
    test::write_file(path, "\xAA");
    RasterFile f;
    ASSERT_TRUE((c.read_only ? f.open_input(path) : f.open_product(path)).ok());
    rlimit lim;
    getrlimit(RLIMIT_FSIZE, &lim);
    const rlimit small{11, lim.rlim_max};
    const auto old = std::signal(SIGXFSZ, SIG_IGN);
    testing::internal::CaptureStdout();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, c.read_only ? &lim : &small), 0);
    const Status st = c.write(f);
    setrlimit(RLIMIT_FSIZE, &lim);
    std::signal(SIGXFSZ, old);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_EQ(st.code, c.code);
    EXPECT_EQ(st.msg.rfind(path + ": " + c.where, 0), 0u) << st.msg;
    EXPECT_EQ(test::read_file(path).substr(0, 1), "\xAA");
  }
}

}  // namespace
}  // namespace kov
