"""The control file cntl.dat: read by the programs' own reader, and written.

Reading goes through the engine (kovarkit._engine), so that the syntax
accepted and the messages given are those of kovarind itself.
"""

import os
from dataclasses import dataclass, field

from ..core.fit import engine
from ..core.screening import residual_limits
from ..errors import KitError

# Defaults of the program for the keys that the tools use.
DEFAULTS = {
    "NFUNC": 6,
    "NDEF": 0,
    "NWIN": 3,
    "INTP": 0,
    "MMSW": 1,
    "TCLD": 0.15000000596046448,
    "FITSW": 1,
    "MASK": 0,
    "FITMD": 0,
    "NPOINT": 46,
}


@dataclass
class Control:
    ndat: int
    nline: int
    npix: int
    keys: dict = field(default_factory=dict)
    excluded: list = field(default_factory=list)  # retained excluded steps
    path: str = "cntl.dat"

    def get(self, key):
        return self.keys.get(key, DEFAULTS[key])

    @property
    def nfunc(self):
        return self.get("NFUNC")

    @property
    def npara(self):
        return 2 * self.nfunc + 2

    def residual_limits(self):
        """(tlo, thi) in model units (raw counts / 4096)."""
        return residual_limits(self.get("TCLD"), self.get("FITMD"))

    def fit_values(self):
        """The control values as kovarkit.fit takes them."""
        values = {k.lower(): self.get(k) for k in ("NFUNC", "NPOINT", "NWIN", "INTP", "MMSW",
                                                    "TCLD", "FITSW", "FITMD")}
        values["excluded"] = tuple(self.excluded)
        return values


# Keys of the reader's result that the tools keep, under their file names.
_KEYS = ("NFUNC", "NDEF", "NWIN", "INTP", "MMSW", "TCLD", "FITSW", "MASK", "FITMD", "NPOINT")


def read_values(path):
    """Every value of a control file as the engine's reader gives them (a dict
    with lower-case keys, "excluded" the retained steps). A file without the
    NPT group, as the fixed-period program reads it, has NPOINT 46. Raises
    KitError with the reader's message (file, line and what was expected)."""
    if not os.path.exists(path):
        raise KitError(f"{path}: not found (the scene needs a control file; "
                       "'kovarkit import' writes one)")
    try:
        return engine().read_control(path)
    except (ValueError, OSError) as e:
        try:
            return engine().read_control(path, fixed_period=True)
        except (ValueError, OSError):
            raise KitError(str(e)) from None


def read_control(path):
    """The control file at path for the scene tools (see read_values)."""
    c = read_values(path)
    keys = {k: c[k.lower()] for k in _KEYS}
    ctl = Control(c["ndat"], c["nline"], c["npix"], keys, list(c["excluded"]), path)
    if ctl.nline < 1 or ctl.npix < 1:
        raise KitError(f"{path}: NLINE = {ctl.nline}, NPIX = {ctl.npix}: both must be at "
                       "least 1")
    return ctl


def control_template(ndat, nline, npix, mask=False, period=46, nfunc=6, nwin=3):
    """Text of a commented control file for a freshly imported scene.

    Comments stand only after the last value of a record and after the
    closing slash of a group, where the program ignores the rest of the
    line.  TCLD is left out so that its default applies exactly.
    """
    return (
        f"{ndat:<12d}      ! NDAT: time steps = bands of data.bsq\n"
        f"{nline} {npix:<10d}     ! NLINE NPIX: lines, pixels per line\n"
        f"&DATA NFUNC={nfunc}, NDEF=0 /   ! NFUNC: harmonics (1..6 are 1,2,3,4,6,12 cycles per period); "
        f"NDEF: excluded time steps, one per line after &NPT\n"
        f"&CONTRL NWIN={nwin}, INTP=0, MMSW=1, FITSW=1, MASK={1 if mask else 0}, FITMD=0 /   "
        f"! MASK=1: mask.bsq decides usable samples; INTP=1 writes the first-pass fit i.bsq; "
        f"TCLD (default 0.15) residual tolerance\n"
        f"&NPT NPOINT={period} /   ! NPOINT: period of the harmonics in time steps\n"
    )

