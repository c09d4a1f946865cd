#include "driver/line_blocks.hpp"

#include <algorithm>

#include <gtest/gtest.h>

namespace kov {
namespace {

TEST(LineBlocks, ContiguousBlocksInRankOrderWithinOneLineOfEachOther) {
  for (int nline = 0; nline <= 40; ++nline)
    for (int ranks = 1; ranks <= 9; ++ranks) {
      int next = 1, smallest = nline + 1, largest = -1;
      for (int r = 0; r < ranks; ++r) {
        const LineBlock b = line_block(nline, r, ranks);
        ASSERT_EQ(b.first, next) << nline << " lines, rank " << r << " of " << ranks;
        ASSERT_LE(b.first, b.end);
        smallest = std::min(smallest, b.end - b.first);
        largest = std::max(largest, b.end - b.first);
        for (int line = b.first; line < b.end; ++line) ASSERT_EQ(line_owner(line, nline, ranks), r);
        next = b.end;
      }
      EXPECT_EQ(next, nline + 1);
      EXPECT_LE(largest - smallest, 1) << nline << " lines on " << ranks;
    }
  // No overflow of rank * nline.
  const LineBlock last = line_block(2000000000, 4095, 4096);
  EXPECT_EQ(last.end, 2000000001);
  EXPECT_EQ(line_owner(last.first, 2000000000, 4096), 4095);
  EXPECT_EQ(line_owner(last.first - 1, 2000000000, 4096), 4094);
}

}  // namespace
}  // namespace kov
