"""Cadences of image time series and the control values that suit them.

A harmonic of number h over a period of NPOINT steps has NPOINT/h steps per
cycle. Below 3 steps a cycle cannot be told from the constant, the trend or
another harmonic (at 2 steps a sine is zero at every sample, at 1 step both
sine and cosine are constants), and its amplitude is whatever the rounding
makes of a near-singular system. Positions beyond the sixth carry harmonic
0, a second constant. The basis is sound when every one of its NFUNC
harmonics has at least 3 steps per cycle.

The running envelope's half-width is at most 24 days (3 steps of 8 days)
and at least one step, so that its window spans weeks, not seasons.
"""

from typing import NamedTuple

from .products import HARMONIC_NUMBERS, harmonic_number

MIN_STEPS_PER_CYCLE = 3
ENVELOPE_DAYS = 24


class Cadence(NamedTuple):
    days: float   # days per time step
    npoint: int   # steps per year: the period of the harmonics
    nfunc: int    # the most harmonics with at least 3 steps per cycle
    nwin: int     # envelope half-width in steps


def largest_safe_nfunc(npoint):
    """The largest NFUNC whose harmonics all have 3 or more steps per cycle."""
    n = 0
    while n < len(HARMONIC_NUMBERS) and npoint >= MIN_STEPS_PER_CYCLE * HARMONIC_NUMBERS[n]:
        n += 1
    return n


def _cadence(days, npoint):
    return Cadence(days, npoint, largest_safe_nfunc(npoint), max(1, int(ENVELOPE_DAYS // days)))


CADENCES = {
    "monthly": _cadence(365.25 / 12, 12),
    "16-day": _cadence(16, 23),
    "10-day": _cadence(10, 36),
    "8-day": _cadence(8, 46),
    "daily": _cadence(1, 365),
}


def cadence(name):
    """The Cadence of a name in CADENCES; ValueError naming the known ones."""
    try:
        return CADENCES[name]
    except (KeyError, TypeError):
        raise ValueError(f"cadence: {name!r} is not one of {', '.join(CADENCES)}") from None


def suited(npoint):
    """(NFUNC, NWIN) for a period of npoint steps: those of the cadence of that
    period, else the largest safe NFUNC (at most 6) and the program's NWIN 3."""
    for c in CADENCES.values():
        if c.npoint == npoint:
            return c.nfunc, c.nwin
    return largest_safe_nfunc(npoint), 3


def aliasing_warning(nfunc, npoint):
    """One line naming the first harmonic of the basis with fewer than 3
    steps per cycle and the largest safe NFUNC, or None when all are sound."""
    for k in range(1, nfunc + 1):
        h = harmonic_number(k)
        if h == 0:
            what = f"position {k} is harmonic 0, a second constant"
        elif npoint < MIN_STEPS_PER_CYCLE * h:
            what = f"harmonic {h} has {npoint / h:.3g} steps per cycle (at least 3 needed)"
        else:
            continue
        return (f"NFUNC = {nfunc} at NPOINT = {npoint}: {what}, so its amplitude is not "
                f"determined; the largest safe NFUNC is {largest_safe_nfunc(npoint)}")
    return None


def short_series_warning(ndat, npoint):
    """One line when the series is shorter than one period, else None."""
    if ndat >= npoint:
        return None
    return (f"{ndat} time steps are less than one period (NPOINT = {npoint}): the "
            "harmonics are extrapolated beyond the data and no whole season can be measured")
