#include "driver/progress.hpp"

#include <gtest/gtest.h>

namespace kov {
namespace {

TEST(ProgressLine, RightAlignsBothNumbersInFiveColumns) {
  EXPECT_EQ(progress_line(1, 500), "     1/  500line\n");
  EXPECT_EQ(progress_line(7, 12), "     7/   12line\n");
  EXPECT_EQ(progress_line(99999, 99999), " 99999/99999line\n");
  // 16 characters before the newline, whatever the numbers.
  EXPECT_EQ(progress_line(123, 4567).size(), 17u);
}

TEST(ProgressLine, NumbersWiderThanFiveColumnsShowAsAsterisks) {
  EXPECT_EQ(progress_line(100000, 100000), " *****/*****line\n");
  EXPECT_EQ(progress_line(5, 123456), "     5/*****line\n");
  EXPECT_EQ(progress_line(-1234, 5), " -1234/    5line\n");
  EXPECT_EQ(progress_line(-12345, 5), " *****/    5line\n");
}

}  // namespace
}  // namespace kov
