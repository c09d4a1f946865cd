#include "base/control.hpp"

#include "base/limits.hpp"

namespace kov {

Status check_limits(const ControlValues& c, const std::string& origin,
                    const ValueLines& lines) {
  const auto invalid = [&](int line, const std::string& what) {
    std::string at = origin;
    if (!at.empty() && line > 0) at += ":" + std::to_string(line);
    return Status(Code::kInvalid, at.empty() ? what : at + ": " + what);
  };
  const auto str = [](long v) { return std::to_string(v); };
  if (c.ndat < 3 || c.ndat > kMaxSteps)
    return invalid(lines.ndat, "NDAT = " + str(c.ndat) + " is outside 3.." + str(kMaxSteps));
  if (c.ndef < 0 || c.ndef > c.ndat)
    return invalid(lines.ndef,
                   "NDEF = " + str(c.ndef) + " is outside 0..NDAT (" + str(c.ndat) + ")");
  if (c.nfunc < 0 || c.nfunc > kMaxHarmonics)
    return invalid(lines.nfunc,
                   "NFUNC = " + str(c.nfunc) + " is outside 0.." + str(kMaxHarmonics));
  if (c.npoint <= 0)
    return invalid(lines.npoint, "NPOINT = " + str(c.npoint) + " is not positive");
  if (c.nline < 0) return invalid(lines.nline, "NLINE = " + str(c.nline) + " is negative");
  if (c.npix < 0) return invalid(lines.npix, "NPIX = " + str(c.npix) + " is negative");
  if (c.nwin < 0 && envelope_on(c))
    return invalid(lines.nwin, "NWIN = " + str(c.nwin) +
                                   " is negative while the envelope filter is on (MMSW = " +
                                   str(c.mmsw) + ", FITMD = " + str(c.fitmd) + ")");
  return Status();
}

void derive_limits(ControlValues& c) {
  c.npara = 2 * c.nfunc + 2;
  if (c.fitmd == 1) {
    c.thi = c.tcld;
    c.tlo = -2.0 * c.tcld;
  } else if (c.fitmd == 2) {
    c.thi = c.tcld;
    c.tlo = -c.tcld;
  } else {
    c.thi = 2.0 * c.tcld;
    c.tlo = -c.tcld;
  }
}

}  // namespace kov
