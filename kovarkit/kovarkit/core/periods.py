"""One fit per period: ``kovarkit.fit_periods``.

Period k (1-based) of a series of ndat steps covers the steps
(k-1)*npoint+1 .. k*npoint; a partial period at the end belongs to none.
Period k is fitted on its own window of `window` whole periods centred on
it (for an even window, one period more after it than before), shifted
inward where it would cross an end of the series and shortened to the
whole series when that has fewer periods.  Each window is fitted by the
engine exactly as ``kovarkit.fit`` fits that slice of the series, so
period k's products equal those of the slice, bit for bit.  Periods whose
windows coincide share one fit.
"""

from typing import NamedTuple

import numpy as np

MAX_WINDOW_STEPS = 200   # the engine's longest series


class PeriodProducts(NamedTuple):
    """The products of each period's fit, the pixels' leading shape first.

    p: float32 (..., nperiod, 2*nfunc+2); order: uint8 (..., nperiod);
    aic: float32; min, max: int16 (..., nperiod), as kovarkit.fit gives them
    for the period's window. window_start: int (nperiod,), the 1-based first
    time step of each window; window_length: its number of steps. npoint,
    ndat: the period and the whole series' length.
    """
    p: np.ndarray
    order: np.ndarray
    aic: np.ndarray
    min: np.ndarray
    max: np.ndarray
    window_start: np.ndarray
    window_length: int
    npoint: int
    ndat: int


def windows(ndat, npoint, window=3):
    """(window_start (nperiod,), window_length) of the periods of a series
    of ndat steps: 1-based first step of each period's window, and its
    number of steps.  ValueError names the argument at fault."""
    for name, v in (("ndat", ndat), ("npoint", npoint), ("window", window)):
        if isinstance(v, (bool, np.bool_)) or int(v) != v or v < 1:
            raise ValueError(f"{name} = {v!r}: expected a whole number of at least 1")
    ndat, npoint, window = int(ndat), int(npoint), int(window)
    nperiod = ndat // npoint
    if nperiod == 0:
        raise ValueError(f"ndat = {ndat}: the series is shorter than one period "
                         f"(npoint = {npoint})")
    periods = min(window, nperiod)
    if periods * npoint > MAX_WINDOW_STEPS:
        raise ValueError(f"window = {window}: {periods} periods of {npoint} steps exceed the "
                         f"engine's {MAX_WINDOW_STEPS} steps; use window <= "
                         f"{MAX_WINDOW_STEPS // npoint}")
    k = np.arange(nperiod)
    first = np.clip(k - (periods - 1) // 2, 0, nperiod - periods)
    return first * npoint + 1, periods * npoint


def checked_windows(ndat, window, masked, **control):
    """(control values, dict(window_start, window_length, window, ndat)) of a fit
    per period of a series of ndat steps, the control values checked for
    each window; ValueError names the value at fault."""
    from . import fit as engine
    starts, length = windows(ndat, engine.control_values(None, masked, **control)["npoint"],
                             window)
    return (engine.control_values(length, masked, **control),
            dict(window_start=starts, window_length=length, window=window, ndat=ndat))


def fit_periods(samples, mask=None, *, window=3, threads=None, **control):
    """Fit each whole period of ``samples`` (..., ndat) on its own window.

    samples, mask, threads and the control keywords as for kovarkit.fit;
    `excluded` names steps of the whole series (those inside a window are
    passed to its fit, renumbered from the window's first step).
    Returns PeriodProducts.
    """
    from . import fit as engine   # the extension, loaded when a fit runs
    fit = engine.fit
    if not isinstance(samples, np.ndarray) or samples.ndim == 0:
        return fit(samples, mask, threads=threads, **control)  # the engine's own message
    npoint = control.get("npoint", engine.CONTROL_DEFAULTS["npoint"])
    ndat = samples.shape[-1]
    starts, length = windows(ndat, npoint, window)
    excluded = tuple(control.pop("excluded", ()))
    nperiod = starts.size
    lead = samples.shape[:-1]
    out = None
    for ws in np.unique(starts):
        sl = slice(ws - 1, ws - 1 + length)
        ex = tuple(int(t) - ws + 1 for t in excluded if ws <= t < ws + length)
        prod = fit(samples[..., sl], None if mask is None else mask[..., sl], threads=threads,
                   excluded=ex, **control)
        if out is None:
            out = [np.empty(lead + (nperiod,) + a.shape[len(lead):], a.dtype)
                   for a in (prod.p, prod.order, prod.aic, prod.min, prod.max)]
        cols = np.flatnonzero(starts == ws)
        for o, a in zip(out, (prod.p, prod.order, prod.aic, prod.min, prod.max)):
            o[(Ellipsis,) + (cols,) + (slice(None),) * (a.ndim - len(lead))] = \
                a[(Ellipsis, None) + (slice(None),) * (a.ndim - len(lead))]
    return PeriodProducts(*out, window_start=starts, window_length=length, npoint=int(npoint),
                          ndat=ndat)
