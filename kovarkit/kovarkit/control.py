"""Reading and writing the control file cntl.dat.

The reader is tolerant: it needs the two leading records (NDAT; NLINE and
NPIX) and takes whatever namelist groups follow (``&NAME key=value ... /``,
also ``$NAME`` and ``&END``/``$END``, names without regard to case).  Keys
that are not given keep the program's defaults.  Excluded time steps follow
the groups when 1 <= NDEF <= NDAT.
"""

import re
from dataclasses import dataclass, field

from .errors import KitError

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

# Harmonic number of each harmonic position 1..6; positions beyond carry 0.
HARMONIC_NUMBERS = (1, 2, 3, 4, 6, 12)


def harmonic_number(position):
    """Harmonic number (cycles per period) of 1-based harmonic position."""
    return HARMONIC_NUMBERS[position - 1] if 1 <= position <= 6 else 0


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
        tcld = float(self.get("TCLD"))
        fitmd = self.get("FITMD")
        if fitmd == 1:
            return -2.0 * tcld, tcld
        if fitmd == 2:
            return -tcld, tcld
        return -tcld, 2.0 * tcld


_GROUP_START = re.compile(r"^\s*[&$]([A-Za-z_][A-Za-z0-9_]*)", re.ASCII)
_GROUP_END = re.compile(r"/|[&$]END\b", re.IGNORECASE)


def _number(text):
    t = text.strip().rstrip(",")
    if re.fullmatch(r"[+-]?\d+", t):
        return int(t)
    try:
        return float(t.replace("d", "e").replace("D", "E"))
    except ValueError:
        return None


class _Lines:
    def __init__(self, path, lines):
        self.path = path
        self.lines = lines
        self.pos = 0

    def fail(self, what):
        where = f"line {self.pos + 1}" if self.pos < len(self.lines) else "end of file"
        raise KitError(f"{self.path}: {where}: {what}")

    def skip_blank(self):
        while self.pos < len(self.lines) and not self.lines[self.pos].strip():
            self.pos += 1
        return self.pos < len(self.lines)

    def record(self, names):
        """Free-format record of integers: values may continue on following
        lines; the rest of the line after the last value is ignored."""
        values = []
        while len(values) < len(names):
            if not self.skip_blank():
                self.fail(f"expected {names[len(values)]} (an integer)")
            tokens = self.lines[self.pos].replace(",", " ").split()
            for tok in tokens:
                v = _number(tok)
                if not isinstance(v, int):
                    self.fail(f"expected {names[len(values)]} (an integer), found {tok!r}")
                values.append(v)
                if len(values) == len(names):
                    break
            self.pos += 1
        return values

    def groups(self):
        """All namelist groups from the current position; {NAME: {KEY: value}}."""
        groups = {}
        while self.skip_blank():
            m = _GROUP_START.match(self.lines[self.pos])
            if not m or m.group(1).upper() == "END":
                break
            name = m.group(1).upper()
            body = self.lines[self.pos][m.end():]
            start = self.pos
            values = {}
            while True:
                text = body.split("!", 1)[0]
                end = _GROUP_END.search(text)
                if end:
                    text = text[: end.start()]
                self._assignments(text, values, name)
                self.pos += 1
                if end:
                    break
                if self.pos >= len(self.lines):
                    self.pos = start
                    self.fail(f"group &{name} is not closed by '/'")
                body = self.lines[self.pos]
            groups[name] = values
        return groups

    def _assignments(self, text, values, group):
        tokens = text.replace("=", " = ").replace(",", " ").split()
        i = 0
        while i < len(tokens):
            if i + 2 >= len(tokens):
                self.fail(f"group &{group}: expected KEY = VALUE, found {' '.join(tokens[i:])!r}")
            key, eq, val = tokens[i], tokens[i + 1], tokens[i + 2]
            v = _number(val)
            if eq != "=" or v is None:
                self.fail(f"group &{group}: expected KEY = number, found {key} {eq} {val}")
            values[key.upper()] = v
            i += 3


def read_control(path):
    """Parse a control file; raises KitError naming file and line."""
    try:
        with open(path, encoding="latin-1") as fh:
            lines = fh.read().splitlines()
    except FileNotFoundError:
        raise KitError(f"{path}: not found (the scene needs a control file; "
                       "'kovarkit import' writes one)") from None
    except OSError as e:
        raise KitError(f"{path}: cannot read: {e.strerror}") from None
    rd = _Lines(path, lines)
    (ndat,) = rd.record(["NDAT"])
    nline, npix = rd.record(["NLINE", "NPIX"])
    keys = {}
    for values in rd.groups().values():
        keys.update(values)
    keys.pop("NDAT", None)  # record 1 decides
    excluded = []
    ndef = keys.get("NDEF", DEFAULTS["NDEF"])
    if isinstance(ndef, int) and 1 <= ndef <= ndat:
        for _ in range(ndef):
            (t,) = rd.record(["an excluded time step"])
            if 1 <= t <= ndat:
                excluded.append(t)
    ctl = Control(ndat, nline, npix, keys, excluded, path)
    _check(ctl)
    return ctl


def _check(ctl):
    p = ctl.path
    if not 1 <= ctl.ndat <= 10000:
        raise KitError(f"{p}: NDAT = {ctl.ndat} is not a usable number of time steps")
    if ctl.nline < 1 or ctl.npix < 1:
        raise KitError(f"{p}: NLINE = {ctl.nline}, NPIX = {ctl.npix}: both must be at least 1")
    nfunc = ctl.nfunc
    if not isinstance(nfunc, int) or not 0 <= nfunc <= 23:
        raise KitError(f"{p}: NFUNC = {nfunc} is outside 0..23")
    for key in ("INTP", "MASK", "FITSW", "FITMD", "MMSW", "NWIN", "NPOINT", "NDEF"):
        if not isinstance(ctl.get(key), int):
            raise KitError(f"{p}: {key} = {ctl.get(key)} is not an integer")


def control_template(ndat, nline, npix, mask=False, period=46):
    """Text of a commented control file for a freshly imported scene.

    Comments stand only after the last value of a record and after the
    closing slash of a group, where the program ignores the rest of the
    line.  TCLD is left out so that its default applies exactly.
    """
    return (
        f"{ndat:<12d}      ! NDAT: time steps = bands of data.bsq\n"
        f"{nline} {npix:<10d}     ! NLINE NPIX: lines, pixels per line\n"
        f"&DATA NFUNC=6, NDEF=0 /   ! NFUNC: harmonics (1..6 are 1,2,3,4,6,12 cycles per period); "
        f"NDEF: excluded time steps, one per line after &NPT\n"
        f"&CONTRL NWIN=3, INTP=0, MMSW=1, FITSW=1, MASK={1 if mask else 0}, FITMD=0 /   "
        f"! MASK=1: mask.bsq decides usable samples; INTP=1 writes the first-pass fit i.bsq; "
        f"TCLD (default 0.15) residual tolerance\n"
        f"&NPT NPOINT={period} /   ! NPOINT: period of the harmonics in time steps\n"
    )

