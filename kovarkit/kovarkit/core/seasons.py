"""Seasons of the fitted harmonic model, found where they are: kovarkit.seasons.

A pixel's model (constant, trend, then amplitude and phase of each harmonic
position, as in the coefficient product p) is evaluated on a grid of `step`
time steps.  Period k covers the time steps (k-1)*npoint+1 up to, not
including, k*npoint+1; a partial period at the end of the series is left
out.  For each period:

  peak      the main season's peak is the highest local maximum of the model
            that lies in the period;
  troughs   its left and right troughs are the lowest model values between
            it and the neighbouring peaks: the same season's peak one period
            earlier and later, or the second season's peaks when there is
            one.  They lie within one period of the peak and may cross
            period boundaries and the ends of the series;
  start     the last rising crossing, before the peak, of
            left_trough + threshold * (peak - left_trough);
  end       the first falling crossing, after it, of
            right_trough + end_threshold * (peak - right_trough);
            both interpolated linearly between grid points;
  second    with max_seasons=2, the other local maximum of the period with
            the largest amplitude over its own troughs becomes a second
            season when that amplitude is at least second_ratio times the
            main season's (both measured with the troughs between them).

The model of a period is periodic with period npoint apart from its trend,
so one period of grid values describes it everywhere: the grid of one
period is evaluated, and its neighbours are the same values shifted by the
trend's rise over a period.

Values are in counts (4096 counts = model value 1.0), times are fractional
time steps counted from 1, lengths in time steps, integrals in counts x
time steps, rates in counts per time step.  quality holds bits: 1 = no model
(non-finite or all-zero coefficients, as after a failed fit, or a model
beyond single precision), 2 = no season
(amplitude below min_amplitude, no local maximum, or an empty second slot),
4 = a trough, the start or the end lies beyond the series (before step 1 or
after step ndat).  Seasons of quality 0 or 4 have every metric finite, those
with bit 1 or 2 NaN metrics.

With window_start, p holds one model per period (fit_periods): period k's
model was fitted to the time steps window_start[k] onwards, whose first
step is its time 1.
"""

from typing import NamedTuple

import numpy as np

from .model import Model
from .season_search import find_seasons

NO_MODEL, NO_SEASON, BEYOND_SERIES = 1, 2, 4

# Metric name -> (unit, description); the order is the order of the fields.
METRICS = {
    "peak_time": ("time step", "time of the season's highest model value"),
    "peak_value": ("counts", "highest model value of the season"),
    "left_base": ("counts", "lowest model value between the previous peak and this one"),
    "right_base": ("counts", "lowest model value between this peak and the next one"),
    "base_value": ("counts", "mean of left and right base"),
    "amplitude": ("counts", "peak value minus base value"),
    "start_time": ("time step", "rising crossing of left_base + threshold * (peak - left_base)"),
    "start_value": ("counts", "model value at the start"),
    "end_time": ("time step",
                 "falling crossing of right_base + end_threshold * (peak - right_base)"),
    "end_value": ("counts", "model value at the end"),
    "length": ("time steps", "end time minus start time"),
    "small_integral": ("counts x time steps", "integral of model minus base, start to end"),
    "large_integral": ("counts x time steps", "integral of the model, start to end"),
    "rise_rate": ("counts per time step", "slope of the model at the start"),
    "fall_rate": ("counts per time step", "slope of the model at the end"),
    "quality": ("1", "bits: 1 no model, 2 no season, 4 trough, start or end beyond the series"),
}


class Seasons(NamedTuple):
    """Seasonal metrics, each an array of shape (..., nperiod * max_seasons);
    float32, quality uint8."""
    peak_time: np.ndarray
    peak_value: np.ndarray
    left_base: np.ndarray
    right_base: np.ndarray
    base_value: np.ndarray
    amplitude: np.ndarray
    start_time: np.ndarray
    start_value: np.ndarray
    end_time: np.ndarray
    end_value: np.ndarray
    length: np.ndarray
    small_integral: np.ndarray
    large_integral: np.ndarray
    rise_rate: np.ndarray
    fall_rate: np.ndarray
    quality: np.ndarray


# Grid values held at once while a block of models is processed.
_BLOCK_VALUES = 1 << 23


def _number(name, value, lo, hi, lo_open=False, hi_open=False):
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name}: expected a number, got {value!r}") from None
    if not (lo < v if lo_open else lo <= v) or not (v < hi if hi_open else v <= hi):
        raise ValueError(f"{name} = {value}: must lie in {'(' if lo_open else '['}{lo}, "
                         f"{hi}{')' if hi_open else ']'}")
    return v


def settings(npara, *, npoint, ndat, nfunc=None, threshold=0.2, end_threshold=None,
             max_seasons=1, second_ratio=0.5, min_amplitude=1.0, step=0.1):
    """The arguments of seasons checked against each other and the
    coefficients' count npara, as a dict; ValueError names the one at fault."""
    if nfunc is None:
        nfunc = (npara - 2) // 2
    if npara != 2 * nfunc + 2:
        raise ValueError(f"p: the coefficients have {npara} values, but nfunc = {nfunc} needs "
                         f"{2 * nfunc + 2}")
    if int(npoint) != npoint or npoint < 2:
        raise ValueError(f"npoint = {npoint}: the period must be a whole number of 2 or more "
                         "time steps")
    if int(ndat) != ndat or ndat < 1:
        raise ValueError(f"ndat = {ndat}: not a number of time steps")
    if max_seasons not in (1, 2):
        raise ValueError(f"max_seasons = {max_seasons}: must be 1 or 2")
    end_threshold = threshold if end_threshold is None else end_threshold
    return dict(npoint=int(npoint), ndat=int(ndat), nfunc=int(nfunc),
                threshold=_number("threshold", threshold, 0, 1, True, True),
                end_threshold=_number("end_threshold", end_threshold, 0, 1, True, True),
                max_seasons=int(max_seasons),
                second_ratio=_number("second_ratio", second_ratio, 0, 1),
                min_amplitude=_number("min_amplitude", min_amplitude, 0, np.inf),
                step=_number("step", step, 0, npoint / 4, True))


def _metrics(model, times, shift, found, s, periodic=False):
    """The metric arrays (float64, quality uint8) of seasons with the given
    times (dict of arrays (n, m, slots) of series time steps) of models (n
    rows); shift (m,) turns series time into the models' own time.
    periodic: the times of period c are those of the first plus c periods,
    so the model is evaluated for the first and shifted by the trend."""
    local = {k: t - shift for k, t in times.items()}
    lift = 0.0
    if periodic:
        local = {k: t[:, :1] for k, t in local.items()}
        lift = (0.1 * s["npoint"] * model.c1)[:, None, None] * np.arange(
            times["peak"].shape[1])[None, :, None]
    value = {}
    for k in ("peak", "left", "right"):
        value[k] = model.at(local[k])[0] + lift
    vs, rise, fs = model.at(local["start"])
    ve, fall, fe = model.at(local["end"])
    vs, ve = vs + lift, ve + lift
    base = 0.5 * (value["left"] + value["right"])
    length = times["end"] - times["start"]
    large = fe - fs + lift * length
    beyond = ((times["left"] < 1) | (times["start"] < 1) | (times["right"] > s["ndat"])
              | (times["end"] > s["ndat"]))
    amplitude = value["peak"] - base
    weak = amplitude < s["min_amplitude"]
    quality = np.where(found & ~weak, np.where(beyond, BEYOND_SERIES, 0), NO_SEASON)
    m = dict(peak_time=times["peak"], peak_value=value["peak"], left_base=value["left"],
             right_base=value["right"], base_value=base, amplitude=amplitude,
             start_time=times["start"], start_value=vs, end_time=times["end"], end_value=ve,
             length=length, small_integral=large - base * length, large_integral=large,
             rise_rate=rise, fall_rate=fall)
    bad = (quality & (NO_MODEL | NO_SEASON)) != 0
    for k in m:
        m[k] = np.where(bad, np.nan, m[k])
    m["quality"] = quality.astype(np.uint8)
    return m


def _block(p, origin, offset, shift, s, h, g):
    """Metrics of the models p (n, npara) over m periods: period c starts
    at series time offset[c], has the grid values of the model's own time
    origin[c] onwards (the same up to the trend when the model is periodic)
    and series time t is the model's time t - shift[c].
    Returns (n, m * max_seasons) arrays."""
    n, m, ns = p.shape[0], origin.size, s["max_seasons"]
    model = Model(p, s["npoint"], s["nfunc"])
    coef = model.coefficients()
    used = (coef != 0).any(axis=0)
    grid = np.arange(g) * h
    times = {k: np.empty((n, m, ns)) for k in ("peak", "left", "right", "start", "end")}
    found = np.empty((n, m, ns), bool)
    delta = 0.1 * model.c1 * s["npoint"]
    for origins in np.unique(origin):
        cols = np.flatnonzero(origin == origins)
        basis = model.basis(origins + grid)[used].astype(np.float32)
        v = np.einsum("nk,kg->ng", coef[:, used].astype(np.float32), basis)
        a = find_seasons(v, delta, g, s)
        for k in times:
            slots = a[k][:, :ns] * h
            if ns == 2:
                slots = np.where(a["first"][:, None], slots[:, ::-1], slots)
            times[k][:, cols] = (slots[:, None, :] + offset[cols][None, :, None])
        f = a["found"][:, :ns]
        if ns == 2:
            f = np.where(a["first"][:, None], f[:, ::-1], f)
        found[:, cols] = f[:, None, :]
    periodic = np.unique(origin).size == 1 and not shift.any()
    met = _metrics(model, times, shift[None, :, None], found, s, periodic)
    met = {k: a.reshape(n, m * ns) for k, a in met.items()}
    # a season of a model beyond single precision has no metric rather than some
    values = {k: a.astype(np.float32) for k, a in met.items() if k != "quality"}
    lost = np.isin(met["quality"], (0, BEYOND_SERIES)) & ~np.logical_and.reduce(
        [np.isfinite(a) for a in values.values()])
    for k, a in values.items():
        a[lost] = np.nan
    values["quality"] = np.where(lost, NO_MODEL, met["quality"]).astype(np.uint8)
    return values


def seasons(p, *, npoint, ndat, nfunc=None, threshold=0.2, end_threshold=None, max_seasons=1,
            second_ratio=0.5, min_amplitude=1.0, step=0.1, window_start=None):
    """Seasons of the models p: one model per pixel, shape (..., 2*nfunc+2),
    as kovarkit.fit gives it, or with window_start (the 1-based first time
    step of each period's window, as fit_periods gives it) one model per
    period, shape (..., nperiod, 2*nfunc+2).

    Returns Seasons, each field of shape (..., nperiod * max_seasons),
    nperiod = ndat // npoint; with max_seasons=2 the two slots of a period
    hold its seasons in time order.
    """
    p = np.asarray(p)
    if p.ndim < 1:
        raise ValueError("p: a scalar; expected coefficients (..., 2*nfunc+2)")
    s = settings(p.shape[-1], npoint=npoint, ndat=ndat, nfunc=nfunc, threshold=threshold,
                 end_threshold=end_threshold, max_seasons=max_seasons,
                 second_ratio=second_ratio, min_amplitude=min_amplitude, step=step)
    npoint, ns = s["npoint"], s["max_seasons"]
    nperiod = s["ndat"] // npoint
    first = 1.0 + npoint * np.arange(nperiod)
    if window_start is None:
        lead = p.shape[:-1]
        rows = p.reshape(-1, 1, p.shape[-1])
        origin = None
    else:
        ws = np.asarray(window_start)
        if ws.shape != (nperiod,) or p.ndim < 2 or p.shape[-2] != nperiod:
            raise ValueError(f"window_start: expected one start per period ({nperiod}) and p "
                             f"of shape (..., {nperiod}, {p.shape[-1]}); got {ws.shape} and "
                             f"{p.shape}")
        lead = p.shape[:-2]
        rows = p.reshape(-1, nperiod, p.shape[-1])
        origin = first - ws + 1.0
    npix = rows.shape[0]
    out = {k: np.full((npix, nperiod * ns), np.nan, np.float32) for k in METRICS}
    out["quality"] = np.full((npix, nperiod * ns), NO_MODEL, np.uint8)
    g = max(2, int(round(npoint / s["step"])))
    h = npoint / g
    if nperiod and npix:
        block = max(1, _BLOCK_VALUES // (3 * g))
        for lo in range(0, npix, block):
            _chunk(rows[lo:lo + block], lo, out, origin, first, s, h, g)
    shape = lead + (nperiod * ns,)
    return Seasons(*(out[k].reshape(shape) for k in METRICS))


def _chunk(rows, lo, out, origin, first, s, h, g):
    """The seasons of rows (n, 1 or nperiod, npara) of p into out[..][lo:]."""
    nperiod, ns = first.size, s["max_seasons"]
    chunk = np.asarray(rows, np.float64)
    ok = np.isfinite(chunk).all(axis=-1) & (chunk != 0).any(axis=-1)
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        if chunk.shape[1] == 1:   # one model for every period
            good = np.flatnonzero(ok[:, 0])
            if good.size:
                met = _block(chunk[good, 0], np.ones(nperiod), first, np.zeros(nperiod), s, h, g)
                for k, a in met.items():
                    out[k][lo + good] = a
            return
        for c in range(nperiod):  # each period's own model
            good = np.flatnonzero(ok[:, c])
            if good.size:
                met = _block(chunk[good, c], origin[c:c + 1], first[c:c + 1],
                             first[c:c + 1] - origin[c:c + 1], s, h, g)
                for k, a in met.items():
                    out[k][lo + good, c * ns:(c + 1) * ns] = a
