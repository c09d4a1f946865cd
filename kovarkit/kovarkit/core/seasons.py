"""Seasonal metrics of the fitted harmonic model, one set per whole period.

The model of a pixel is taken from its coefficient product p (constant,
trend, then amplitude and phase of each harmonic position) and evaluated on a
fine grid of time steps, so the metrics are free of the gaps and noise of the
samples.  Period k covers the time steps (k-1)*npoint+1 .. k*npoint; a
partial period at the end of the series is left out.  Within a period:

  peak        the highest grid value (the first one on ties);
  base        the mean of the lowest value before the peak and the lowest
              value after it; when the peak is the first or the last grid
              point of the period, the lowest value of the one side there is;
  amplitude   peak - base;
  start, end  where the model crosses base + threshold*amplitude, the last
              rising crossing before the peak and the first falling crossing
              after it, linearly interpolated between grid points; a
              crossing that the period does not contain is missing (NaN);
  length      end - start;
  integrals   of (model - base) and of the model from start to end, taken
              from the model's antiderivative;
  rates       the model's slope at start (rise) and at end (fall).

The season is the stretch around the highest value in which the model stays
above the level: a secondary bump that a dip below the level separates from
the peak is not part of it; one that stays above the level is.

Values are in raw counts (4096 counts = model value 1.0), times are
fractional time steps counted from 1, lengths in time steps, integrals in
counts x time steps, rates in counts per time step.  A pixel whose
coefficients are all zero (a failed fit) or not finite gets NaN everywhere,
and so does a period whose model leaves single precision.
"""

from typing import NamedTuple

import numpy as np

from .products import harmonic_number

COUNTS = 4096.0

# Metric name -> (unit, description); the order is the order of the fields.
METRICS = {
    "peak_time": ("time step", "time of the highest model value in the period"),
    "peak_value": ("counts", "highest model value in the period"),
    "base_value": ("counts", "mean of the lowest model values before and after the peak"),
    "amplitude": ("counts", "peak value minus base value"),
    "start_time": ("time step", "rising crossing of base + threshold * amplitude"),
    "end_time": ("time step", "falling crossing of base + threshold * amplitude"),
    "length": ("time steps", "end time minus start time"),
    "small_integral": ("counts x time steps", "integral of model minus base, start to end"),
    "large_integral": ("counts x time steps", "integral of the model, start to end"),
    "rise_rate": ("counts per time step", "slope of the model at the start"),
    "fall_rate": ("counts per time step", "slope of the model at the end"),
}


class Seasons(NamedTuple):
    """Seasonal metrics, each an array of shape (..., seasons)."""
    peak_time: np.ndarray
    peak_value: np.ndarray
    base_value: np.ndarray
    amplitude: np.ndarray
    start_time: np.ndarray
    end_time: np.ndarray
    length: np.ndarray
    small_integral: np.ndarray
    large_integral: np.ndarray
    rise_rate: np.ndarray
    fall_rate: np.ndarray


# Grid values held at once while a block of pixels is processed.
_BLOCK_VALUES = 1 << 22


def settings(npara, npoint, ndat, nfunc, threshold, step):
    """(npoint, ndat, nfunc) checked against each other and the coefficients'
    count npara; raises ValueError naming the value at fault."""
    if nfunc is None:
        nfunc = (npara - 2) // 2
    if npara != 2 * nfunc + 2:
        raise ValueError(f"coefficients have {npara} values, but nfunc = {nfunc} needs "
                       f"{2 * nfunc + 2}")
    if int(npoint) != npoint or npoint < 2:
        raise ValueError(f"npoint = {npoint}: the period must be a whole number of 2 or more "
                       "time steps")
    if int(ndat) != ndat or ndat < 1:
        raise ValueError(f"ndat = {ndat}: not a number of time steps")
    if not 0.0 < threshold < 1.0:
        raise ValueError(f"threshold = {threshold}: must lie between 0 and 1")
    if not 0.0 < step <= npoint - 1:
        raise ValueError(f"step = {step}: must be above 0 and at most npoint - 1")
    return int(npoint), int(ndat), nfunc


class Model:
    """The harmonic model of a block of pixels, in counts."""

    def __init__(self, p, npoint, nfunc):
        p = p.astype(np.float64)
        self.omega = 2.0 * np.pi / npoint
        self.n = np.array([harmonic_number(k) for k in range(1, nfunc + 1)], np.float64)
        self.c0 = p[:, 0] * COUNTS
        self.c1 = p[:, 1] * COUNTS
        amp, phase = p[:, 2::2] * COUNTS, p[:, 3::2]
        self.amp, self.phase = amp, phase
        # A sin(a + phi) = (A cos phi) sin a + (A sin phi) cos a
        self.coef = np.concatenate([self.c0[:, None], self.c1[:, None],
                                    amp * np.cos(phase), amp * np.sin(phase)], axis=1)

    def basis(self, t):
        """(2 + 2*nfunc, len(t)) rows: 1, 0.1 t, sin a_k(t), cos a_k(t)."""
        a = (self.omega * t)[None, :] * self.n[:, None]
        return np.concatenate([np.ones((1, t.size)), 0.1 * t[None, :], np.sin(a), np.cos(a)])

    def _angle(self, t):
        return (self.omega * t)[..., None] * self.n + self.phase[:, None, :]

    def slope(self, t):
        """dm/dt at t of shape (pixels, seasons)."""
        w = self.omega * self.n
        return 0.1 * self.c1[:, None] + np.sum(self.amp[:, None, :] * w * np.cos(self._angle(t)),
                                               axis=-1)

    def antiderivative(self, t):
        """An antiderivative of the model at t of shape (pixels, seasons)."""
        w = self.omega * self.n
        ang = self._angle(t)
        periodic = np.where(w > 0, -np.cos(ang) / np.where(w > 0, w, 1.0),
                            np.sin(self.phase[:, None, :]) * t[..., None])
        return (self.c0[:, None] * t + 0.05 * self.c1[:, None] * t * t
                + np.sum(self.amp[:, None, :] * periodic, axis=-1))


def _block(p, npoint, nfunc, nseason, threshold, step, tgrid):
    """Metrics of pixels p (n, npara), as float64 arrays (n, nseason)."""
    model = Model(p, npoint, nfunc)
    g = tgrid.shape[1]
    used = (model.coef != 0).any(axis=0)  # terms no pixel of the block uses cost nothing
    # numpy's own loops outrun a reference BLAS for this thin product
    v = np.einsum("nk,kg->ng", model.coef[:, used].astype(np.float32),
                  model.basis(tgrid.ravel())[used].astype(np.float32)).reshape(len(p), nseason, g)
    ip = np.argmax(v, axis=-1)
    # The grid of every (pixel, season) is one segment of the flat values.
    flat = v.reshape(-1)
    seg = np.arange(ip.size).reshape(ip.shape) * g
    top = seg + ip
    peak = flat[top].astype(np.float64)
    # minima of [segment start, peak) and [peak, segment end); an empty first
    # range yields the peak, which the edge rule below then ignores
    low = np.minimum.reduceat(flat, np.stack([seg, top], axis=-1).ravel()).astype(np.float64)
    low_before, low_after = low[0::2].reshape(ip.shape), low[1::2].reshape(ip.shape)
    base = np.where(ip == 0, low_after,
                    np.where(ip == g - 1, low_before, 0.5 * (low_before + low_after)))
    amplitude = peak - base
    # the level as the float32 grid sees it, so that the interpolation agrees
    # with the comparison
    level = (base + threshold * amplitude).astype(np.float32).astype(np.float64)
    # the last grid point below the level before the peak and the first one
    # after it (the peak itself is never below the level)
    below = np.flatnonzero(v < level[..., None].astype(np.float32))
    j = np.searchsorted(below, top)
    rise = below[np.maximum(j - 1, 0)] if below.size else seg
    fall = below[np.minimum(j, below.size - 1)] if below.size else seg
    has_rise = (j > 0) & (rise >= seg)
    has_fall = (j < below.size) & (fall > top) & (fall < seg + g)
    i = np.where(has_rise, rise, top)        # crossing between points i and i + 1
    k = np.where(has_fall, fall - 1, top)    # crossing between points k and k + 1
    t = tgrid[np.arange(nseason)]            # (seasons, g)

    def crossing(i):
        a, b = flat[i].astype(np.float64), flat[np.minimum(i + 1, flat.size - 1)]
        with np.errstate(invalid="ignore", divide="ignore"):  # where there is no crossing
            return t[np.arange(nseason), i - seg] + step * (level - a) / (b - a)

    start = np.where(has_rise, crossing(i), np.nan)
    end = np.where(has_fall, crossing(k), np.nan)
    large = model.antiderivative(end) - model.antiderivative(start)
    length = end - start
    return (t[np.arange(nseason), ip], peak, base, amplitude, start, end, length,
            large - base * length, large, model.slope(start), model.slope(end))


def seasons(p, *, npoint, ndat, nfunc=None, threshold=0.2, step=0.1):
    """Seasonal metrics of coefficient products p of shape (..., 2*nfunc+2).

    Returns Seasons, each field a float32 array of shape (..., ndat // npoint).
    """
    p = np.asarray(p)
    npoint, ndat, nfunc = settings(p.shape[-1], npoint, ndat, nfunc, threshold, step)
    nseason = ndat // npoint
    lead = p.shape[:-1]
    npix = int(np.prod(lead))
    out = [np.full((npix, nseason), np.nan, np.float32) for _ in METRICS]
    if nseason == 0 or npix == 0:
        return Seasons(*(o.reshape(lead + (nseason,)) for o in out))
    if p.flags.c_contiguous or p.ndim == 1:  # one pixel, perhaps a strided view
        flat = p.reshape(npix, p.shape[-1])
        rows_of = lambda lo, hi: flat[lo:hi]  # noqa: E731
    else:  # e.g. the bands of p.bsq moved last: copy one block at a time
        rows_of = lambda lo, hi: p[np.unravel_index(np.arange(lo, hi), lead)]  # noqa: E731
    g = int(np.floor((npoint - 1) / step + 1e-9)) + 1
    first = np.arange(nseason) * npoint + 1.0
    tgrid = first[:, None] + step * np.arange(g)[None, :]
    block = max(1, _BLOCK_VALUES // (nseason * g))
    for lo in range(0, npix, block):
        chunk = np.asarray(rows_of(lo, min(lo + block, npix)), dtype=np.float64)
        ok = np.isfinite(chunk).all(axis=1) & (chunk != 0).any(axis=1)
        if not ok.any():
            continue
        rows = lo + np.flatnonzero(ok)
        with np.errstate(over="ignore", invalid="ignore"):
            metrics = [np.asarray(r, np.float32) for r in
                       _block(chunk[ok], npoint, nfunc, nseason, threshold, step, tgrid)]
        # A model beyond single precision has no metrics, rather than some.
        lost = ~np.isfinite(metrics[1]) | ~np.isfinite(metrics[3])
        lost |= np.logical_or.reduce([np.isinf(m) for m in metrics])
        for o, m in zip(out, metrics):
            o[rows] = np.where(lost, np.float32(np.nan), m)
    return Seasons(*(o.reshape(lead + (nseason,)) for o in out))

