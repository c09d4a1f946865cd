#include "driver/lineblocks.hpp"

#include <gtest/gtest.h>

namespace kov {
namespace {

TEST(LineBlocks, BlocksPartitionTheLinesInRankOrderAndOwnersAgree) {
  for (int nline = 0; nline <= 40; ++nline) {
    for (int ranks = 1; ranks <= 9; ++ranks) {
      int next = 1, smallest = nline + 1, largest = -1;
      for (int r = 0; r < ranks; ++r) {
        const LineBlock b = line_block(nline, r, ranks);
        ASSERT_EQ(b.first, next) << nline << " lines, rank " << r << " of " << ranks;
        ASSERT_LE(b.first, b.end);
        const int size = b.end - b.first;
        smallest = size < smallest ? size : smallest;
        largest = size > largest ? size : largest;
        for (int line = b.first; line < b.end; ++line)
          ASSERT_EQ(line_owner(line, nline, ranks), r) << line << " of " << nline;
        next = b.end;
      }
      EXPECT_EQ(next, nline + 1);
      EXPECT_LE(largest - smallest, 1) << nline << " lines on " << ranks;
    }
  }
}

TEST(LineBlocks, LargeScenesOnManyRanksDoNotOverflow) {
  const int nline = 2000000000, ranks = 4096;
  const LineBlock last = line_block(nline, ranks - 1, ranks);
  EXPECT_EQ(last.end, nline + 1);
  EXPECT_EQ(line_owner(nline, nline, ranks), ranks - 1);
  EXPECT_EQ(line_owner(last.first, nline, ranks), ranks - 1);
  EXPECT_EQ(line_owner(last.first - 1, nline, ranks), ranks - 2);
}

}  // namespace
}  // namespace kov
