// Static block distribution of the image lines over the processes of a run.
#pragma once

namespace kov {

// Lines first..end-1 (1-based) of one process: process r of p gets the lines
// after floor(r*nline/p) up to floor((r+1)*nline/p), so the blocks are
// contiguous, in rank order, and differ in size by at most one line.
struct LineBlock {
  int first;
  int end;
};

// The block of process `rank` (0..ranks-1) for a scene of nline >= 0 lines.
LineBlock line_block(int nline, int rank, int ranks);

// The rank whose block holds line 1..nline.
int line_owner(int line, int nline, int ranks);

}  // namespace kov
