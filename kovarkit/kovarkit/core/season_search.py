"""The search of seasons on the grid of one period of a model: peaks,
troughs, start and end crossings, and a second season.

The grid values v (n, g) of a period are enough: the model is periodic apart
from its trend, so the period before and after hold the same values shifted
by the trend's rise over a period (delta).  Positions are given in grid
intervals from the period's first grid point.
"""

import numpy as np


def _range_argmin(u, lo, hi):
    """Index of the lowest u[:, lo..hi] (inclusive, per row)."""
    idx = np.arange(u.shape[1])
    inside = (idx >= lo[:, None]) & (idx <= hi[:, None])
    return np.where(inside, u, np.inf).argmin(axis=1)


def _last_at_or_below(w, level, before):
    """Largest index below `before` (per row) with w <= level; the rows are
    known to hold one."""
    idx = np.arange(w.shape[1])
    ok = (w <= level[:, None]) & (idx < before[:, None])
    return w.shape[1] - 1 - ok[:, ::-1].argmax(axis=1)


def _first_at_or_below(w, level, after):
    idx = np.arange(w.shape[1])
    return ((w <= level[:, None]) & (idx > after[:, None])).argmax(axis=1)


def _crossing(w, i, level):
    """Fractional index of the crossing of level between w[i] and w[i+1]
    (rows without a season, which hold none, get some index in range)."""
    r = np.arange(w.shape[0])
    i = np.clip(i, 0, w.shape[1] - 2)
    a, b = w[r, i].astype(np.float64), w[r, i + 1].astype(np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        f = np.where(b != a, (level - a) / (b - a), 0.0)
    return i + np.clip(f, 0.0, 1.0)


def _level(low, peak, fraction):
    """low + fraction * (peak - low) as the float32 grid compares it."""
    return (low + fraction * (peak - low)).astype(np.float32).astype(np.float64)


def find_seasons(v, delta, g, s):
    """Seasons of models whose grid values over one period are v (n, g),
    float32, rising by delta (n,) from one period to the next.

    Returns a dict of (n, 2) arrays, slot 0 the main season and slot 1 the
    second: positions in grid intervals from the period's first grid point
    (peak, left and right trough, start, end) and `found`; slots in time
    order are the caller's business (`first` = 1 when the second season
    comes first).
    """
    n = v.shape[0]
    rows = np.arange(n)
    d32 = delta.astype(np.float32)[:, None]
    before = np.concatenate([v[:, -1:] - d32, v[:, :-1]], axis=1)
    after = np.concatenate([v[:, 1:], v[:, :1] + d32], axis=1)
    local_max = (v >= before) & (v > after)
    del before, after
    has = local_max.any(axis=1)
    pk = np.where(local_max, v, -np.inf).argmax(axis=1)
    del local_max
    # u: the grid from the main peak (index 0) to its copy one period later
    # (index g); w: the same preceded by the period before, peak at index g.
    ext = np.concatenate([v, v + d32], axis=1)
    u = ext.reshape(-1)[(rows * (2 * g) + pk)[:, None] + np.arange(g + 1)]
    del ext
    w = np.concatenate([u[:, :-1] - d32, u], axis=1)
    peak = u[:, 0].astype(np.float64)
    lo_r = u.argmin(axis=1)              # the lowest value over one period
    lo_l = lo_r.copy()                   # in w: the same point a period earlier
    second = np.zeros(n, bool)
    q = np.zeros(n, np.int64)
    if s["max_seasons"] == 2:
        inner = (u[:, 1:-1] >= u[:, :-2]) & (u[:, 1:-1] > u[:, 2:])
        pm = np.minimum.accumulate(u, axis=1)
        sm = np.minimum.accumulate(u[:, ::-1], axis=1)[:, ::-1]
        amp2 = np.where(inner, u[:, 1:-1] - 0.5 * (pm[:, 1:-1] + sm[:, 1:-1]), -np.inf)
        q = amp2.argmax(axis=1) + 1
        a2 = amp2[rows, q - 1].astype(np.float64)
        main = peak - 0.5 * (pm[rows, q].astype(np.float64) + sm[rows, q] - d32[:, 0])
        second = (has & inner.any(axis=1) & (a2 >= s["second_ratio"] * main)
                  & (a2 >= s["min_amplitude"]) & (main >= s["min_amplitude"]))
        del inner, pm, sm, amp2
        if second.any():
            k = np.flatnonzero(second)
            lo_r[k] = _range_argmin(u[k], np.zeros(k.size, np.int64), q[k])
            lo_l[k] = _range_argmin(u[k], q[k], np.full(k.size, g))
    left = w[rows, lo_l].astype(np.float64)      # w index lo_l: u index lo_l - g
    right = u[rows, lo_r].astype(np.float64)
    ls = _level(left, peak, s["threshold"])
    le = _level(right, peak, s["end_threshold"])
    i = g - 1 - (w[:, g - 1::-1] <= ls[:, None]).argmax(axis=1)
    j = g + 1 + (w[:, g + 1:] <= le[:, None]).argmax(axis=1)
    start = _crossing(w, i, ls)
    end = _crossing(w, j - 1, le)
    # w indices of the extremes: main peak g, second peak g + q, the main
    # season's left trough lo_l and right trough g + lo_r
    wi = dict(peak=np.stack([np.full(n, g), g + q], axis=1),
              left=np.stack([lo_l, g + lo_r], axis=1), right=np.stack([g + lo_r, g + lo_l], axis=1))
    out = {key: _refine(w, i) for key, i in wi.items()}
    out["start"] = np.stack([start, start], axis=1)
    out["end"] = np.stack([end, end], axis=1)
    if second.any():
        k = np.flatnonzero(second)
        wk, qk = w[k], q[k] + g
        peak2 = u[k, q[k]].astype(np.float64)
        ls2 = _level(right[k], peak2, s["threshold"])
        le2 = _level(u[k, lo_l[k]].astype(np.float64), peak2, s["end_threshold"])
        out["start"][k, 1] = _crossing(wk, _last_at_or_below(wk, ls2, qk), ls2)
        out["end"][k, 1] = _crossing(wk, _first_at_or_below(wk, le2, qk) - 1, le2)
    # grid intervals from the period's first grid point; the peak stays in the period
    for key in out:
        out[key] += (pk - g)[:, None]
    # the second season comes first in time when it lies before the main peak
    first = (pk + q >= g) & second
    for key in out:
        out[key][:, 1] -= np.where(first, g, 0)
    # the refined peak stays in its period and between its start and end
    out["peak"] = np.clip(np.clip(out["peak"], out["start"], out["end"]), 0.0, g - 0.5)
    out["found"] = np.stack([has, second], axis=1)
    out["first"] = first
    return out


def _refine(w, i):
    """Fractional indices of the extremes w[i] (i of shape (n, 2)): the
    vertex of the parabola through the grid point and its neighbours."""
    r = np.arange(w.shape[0])[:, None]
    inner = (i > 0) & (i < w.shape[1] - 1)
    j = np.clip(i, 1, w.shape[1] - 2)
    a, b, c = (w[r, j + d].astype(np.float64) for d in (-1, 0, 1))
    curv = a - 2 * b + c
    with np.errstate(invalid="ignore", divide="ignore"):
        d = np.where(inner & (curv != 0), 0.5 * (a - c) / curv, 0.0)
    return i + np.clip(d, -0.5, 0.5)
