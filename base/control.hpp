// Run parameters: the control values with their defaults, the limits a run
// must respect, and the values derived from them.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "base/status.hpp"

namespace kov {

// Which of the two programs is running: the full build reads a third group
// NPT and reports progress; the fixed-period build has a period of 46.
enum class Build { kFull, kFixedPeriod };

// The scalar control values. Fields carry the control file's key names.
// Trivially copyable on purpose: the MPI program sends it as bytes, so a new
// key is one field here plus its line in the control-file reader.
struct ControlValues {
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
  // derived by derive_limits
  int npara = 0;   // 2*NFUNC + 2 parameters per pixel
  double tlo = 0;  // residual limits of the first-pass screening
  double thi = 0;
};
static_assert(std::is_trivially_copyable_v<ControlValues>);

struct Control : ControlValues {
  // retained excluded time steps (each in 1..NDAT), in the order read
  std::vector<std::int16_t> kdef;
};

// The envelope filter runs in both passes (MMSW > 0 and FITMD 0 or 1).
inline bool envelope_on(const ControlValues& c) {
  return c.mmsw > 0 && (c.fitmd == 0 || c.fitmd == 1);
}

// Where each checked value came from, for the messages: the control file's
// line of each key, or 0 when the value did not come from a file line.
struct ValueLines {
  int ndat = 0, nline = 0, npix = 0, nfunc = 0, ndef = 0, nwin = 0, npoint = 0;
};

// Checks the start-up limits in a fixed order (NDAT 3..200, NDEF 0..NDAT,
// NFUNC 0..23, NPOINT > 0, NLINE >= 0, NPIX >= 0, NWIN >= 0 while the
// envelope filter is on) and returns kInvalid for the first one broken. The
// message starts with "origin:line: " (or "origin: " for line 0, nothing
// for an empty origin) and names the key, its value and the limit.
Status check_limits(const ControlValues& c, const std::string& origin,
                    const ValueLines& lines = {});

// Sets npara and the residual limits from TCLD by FITMD: 1 gives -2 TCLD ..
// TCLD, 2 gives -TCLD .. TCLD, any other value -TCLD .. 2 TCLD.
void derive_limits(ControlValues& c);

}  // namespace kov
