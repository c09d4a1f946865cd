#include "rasterio/rasterfile.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "test/support.hpp"

namespace kov {
namespace {

// Reads and writes at offsets, short reads, creation and update in place are
// covered through the readers and writers.
TEST(RasterFile, MissingInputIsNamedAndNeverCreated) {
  test::TempDir dir;
  const std::string path = dir.file("data.bsq");
  RasterFile f;
  const Status st = f.open_input(path);
  EXPECT_EQ(st.code, Code::kIo);
  EXPECT_NE(st.msg.find(path), std::string::npos) << st.msg;
  EXPECT_FALSE(f.is_open());
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace kov
