#include "rasterio/rasterfile.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "rasterio/test_support.hpp"

namespace kov {
namespace {

TEST(RasterFile, MissingInputIsNamedAndNeverCreated) {
  testing::TempDir dir;
  const std::string path = dir.file("data.bsq");
  RasterFile f;
  const Status st = f.open_input(path);
  EXPECT_EQ(st.code, Code::kIo);
  EXPECT_NE(st.msg.find(path), std::string::npos) << st.msg;
  EXPECT_FALSE(f.is_open());
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(RasterFile, ShortReadReportsTheFirstMissingByte) {
  testing::TempDir dir;
  const std::string path = dir.file("mask.bsq");
  testing::write_file(path, testing::Bytes{1, 2, 3, 4, 5});
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

}  // namespace
}  // namespace kov
