#include "driver/progress.hpp"

#include <gtest/gtest.h>

namespace kov {
namespace {

TEST(ProgressLine, FiveRightAlignedColumnsOrFiveAsterisks) {
  const char* const cases[][3] = {
      {"7", "12", "     7/   12line\n"},          {"99999", "99999", " 99999/99999line\n"},
      {"100000", "100000", " *****/*****line\n"}, {"5", "123456", "     5/*****line\n"},
      {"-1234", "5", " -1234/    5line\n"},       {"-12345", "5", " *****/    5line\n"},
  };
  for (const auto& k : cases)
    EXPECT_EQ(progress_line(std::stoi(k[0]), std::stoi(k[1])), k[2]) << k[0] << " of " << k[1];
}

}  // namespace
}  // namespace kov
