// Run parameters read from cntl.dat, with their defaults and derived limits.
#pragma once

#include <cstdint>
#include <vector>

namespace kov {

// Which of the two programs is running: the full build reads a third group
// NPT and reports progress; the fixed-period build has a period of 46.
enum class Build { kFull, kFixedPeriod };

struct Control {
  // record 1 and 2
  int ndat = 0;
  int nline = 0;
  int npix = 0;
  // group DATA (its NDAT is read and ignored)
  int nfunc = 6;
  int ndef = 0;
  int ispot = 0;
  // group CONTRL
  int nwin = 3;
  int intp = 0;
  std::int8_t select = 1;
  int mmsw = 1;
  double tcld = 0.15000000596046448;  // 0.15f widened
  std::int8_t fitsw = 1;
  int mask = 0;
  std::int8_t fitmd = 0;
  // group NPT (always 46 in the fixed-period build)
  int npoint = 46;
  // retained excluded time steps, in the order read
  std::vector<std::int16_t> kdef;
  // derived
  int npara = 0;
  double tlo = 0.0;
  double thi = 0.0;
};

}  // namespace kov
