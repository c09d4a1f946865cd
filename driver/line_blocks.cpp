// Block boundaries in 64-bit arithmetic: r*nline overflows 32 bits for large
// scenes on many processes.
#include "driver/line_blocks.hpp"

#include <cstdint>

namespace kov {

LineBlock line_block(int nline, int rank, int ranks) {
  const std::int64_t n = nline, p = ranks, r = rank;
  return LineBlock{static_cast<int>(r * n / p) + 1,
                   static_cast<int>((r + 1) * n / p) + 1};
}

int line_owner(int line, int nline, int ranks) {
  // The largest r with floor(r*n/p) <= line-1, i.e. r*n < line*p.
  const std::int64_t n = nline, p = ranks, l = line;
  return static_cast<int>((l * p - 1) / n);
}

}  // namespace kov
