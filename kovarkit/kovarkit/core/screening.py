"""Which raw samples of a pixel entered the final fit.

The products carry no per-sample flags, so the usable set is rebuilt from
the rules of the pixel pipeline:

* Raw limits: a sample above 1536, or one that rises more than 512 counts
  over the previous raw sample, is flagged.
* With MASK = 1 there is no first pass.  With FITSW > 0 the final fit uses
  exactly the samples whose mask value is 1 and that pass the raw limits;
  with FITSW <= 0 it uses every step that is not excluded (flagged samples
  then carry interpolated values).
* Without the mask, the residual screening against the first-pass fit
  replaces the raw flags: a sample enters the final fit when its residual
  (sample - first fit) lies within [tlo, thi] and its step is not excluded.
  The first-pass fit is only known from i.bsq (INTP = 1), rounded to whole
  counts, so a residual within one count of a limit is uncertain.
"""

from dataclasses import dataclass

import numpy as np

RAW_LIMIT = 1536
RISE_LIMIT = 512


@dataclass
class Screening:
    used: object        # bool array, or None when it cannot be known
    excluded: object    # bool array: steps excluded by the control file
    raw_flagged: object  # bool array: beyond the raw limits
    uncertain: object   # bool array: residual within one count of a limit, else None
    note: str


def residual_limits(tcld, fitmd):
    """(tlo, thi) of the residual screening in model units (counts / 4096)."""
    tcld = float(tcld)
    if fitmd == 1:
        return -2.0 * tcld, tcld
    if fitmd == 2:
        return -tcld, tcld
    return -tcld, 2.0 * tcld


def raw_flags(raw):
    raw = np.asarray(raw, dtype=np.int64)
    flagged = raw > RAW_LIMIT
    flagged[1:] |= (raw[1:] - raw[:-1]) > RISE_LIMIT
    return flagged


def screen(ctl, raw, mask=None, first_fit=None):
    """Rebuild the final fit's usable samples for one pixel.

    ctl: the control values (.excluded, .get(KEY) as in the control file);
    raw: the pixel's samples (counts); mask: its mask.bsq values (used only
    when MASK = 1); first_fit: its i.bsq series in counts, or None.
    """
    n = len(raw)
    excluded = np.zeros(n, bool)
    for t in ctl.excluded:
        excluded[t - 1] = True
    flagged = raw_flags(raw)
    raw = np.asarray(raw, dtype=np.float64)
    if ctl.get("MASK") == 1:
        if mask is None:
            return Screening(None, excluded, flagged, None,
                             "MASK=1 but no mask.bsq: usable samples unknown")
        masked = np.asarray(mask) != 1
        if ctl.get("FITSW") > 0:
            used = ~masked & ~flagged
            note = "mask=1 and raw limits decide (MASK=1, FITSW>0)"
        else:
            used = ~excluded
            note = "all steps not excluded enter the fit (MASK=1, FITSW<=0)"
        return Screening(used, excluded, flagged, None, note)
    if first_fit is None:
        return Screening(None, excluded, flagged, None,
                         "residual screening not shown: it needs i.bsq (set INTP=1); "
                         "without the mask the raw limits alone do not decide which "
                         "samples the final fit uses")
    tlo, thi = residual_limits(ctl.get("TCLD"), ctl.get("FITMD"))
    d = raw - np.asarray(first_fit, dtype=np.float64)  # counts
    lo, hi = tlo * 4096.0, thi * 4096.0
    out = (d < lo) | (d > hi)
    uncertain = (np.abs(d - lo) <= 1.0) | (np.abs(d - hi) <= 1.0)
    used = ~out & ~excluded
    note = (f"residual from first fit outside {lo:+.1f}..{hi:+.1f} counts "
            "(first fit from i.bsq)")
    return Screening(used, excluded, flagged, uncertain, note)
