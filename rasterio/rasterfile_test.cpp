#include "rasterio/rasterfile.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "rasterio/test_support.hpp"

namespace kov {
namespace {

using testing::Bytes;
using testing::TempDir;

TEST(RasterFile, MissingInputIsAnErrorNamingItAndIsNeverCreated) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("data.bsq");
  RasterFile f;
  const Status st = f.open_input(path);
  EXPECT_EQ(st.code, Code::kIo);
  EXPECT_NE(st.msg.find(path), std::string::npos) << st.msg;
  EXPECT_FALSE(f.is_open());
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(RasterFile, ProductIsCreatedAndNeverTruncated) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string fresh = dir.file("f.bsq");
  {
    RasterFile f;
    ASSERT_TRUE(f.open_product(fresh).ok());
    ASSERT_TRUE(f.close().ok());
  }
  EXPECT_TRUE(std::filesystem::exists(fresh));
  EXPECT_EQ(std::filesystem::file_size(fresh), 0u);

  const std::string old = dir.file("p.bsq");
  testing::write_file(old, Bytes(10, 0xAA));
  RasterFile f;
  ASSERT_TRUE(f.open_product(old).ok());
  const unsigned char two[2] = {1, 2};
  ASSERT_TRUE(f.write_at(3, two, 2).ok());
  ASSERT_TRUE(f.close().ok());
  Bytes want(10, 0xAA);
  want[3] = 1;
  want[4] = 2;
  EXPECT_EQ(testing::read_file(old), want);
}

TEST(RasterFile, ShortReadReportsTheFirstMissingByte) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("mask.bsq");
  testing::write_file(path, Bytes{1, 2, 3, 4, 5});
  RasterFile f;
  ASSERT_TRUE(f.open_input(path).ok());
  unsigned char buf[4] = {0, 0, 0, 0};
  std::size_t got = 99;
  ASSERT_TRUE(f.read_at(1, buf, 4, &got).ok());
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(buf[0], 2);
  EXPECT_EQ(buf[3], 5);
  const Status st = f.read_at(3, buf, 4, &got);
  EXPECT_EQ(st.code, Code::kShortRead);
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(st.msg.rfind(path + ": ", 0), 0u) << st.msg;
  EXPECT_NE(st.msg.find("byte offset 5"), std::string::npos) << st.msg;
  // The located form keeps the file name first and the detail last.
  const Status at = f.located(st, "band 2, line 3");
  EXPECT_EQ(at.code, Code::kShortRead);
  EXPECT_EQ(at.msg, path + ": band 2, line 3: " + st.msg.substr(path.size() + 2));
}

TEST(RasterFile, WriteToAnInputFailsWithNothingWritten) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("data.bsq");
  testing::write_file(path, Bytes(4, 0));
  RasterFile f;
  ASSERT_TRUE(f.open_input(path).ok());
  const unsigned char b[2] = {7, 7};
  std::size_t written = 99;
  const Status st = f.write_at(2, b, 2, &written);
  EXPECT_EQ(st.code, Code::kIo);
  EXPECT_EQ(written, 0u);
  EXPECT_NE(st.msg.find("byte offset 2"), std::string::npos) << st.msg;
  EXPECT_EQ(testing::read_file(path), Bytes(4, 0));
}

}  // namespace
}  // namespace kov
