"""Seasons against closed-form answers of simple models."""

import math

import numpy as np
import pytest

from .seasons import BEYOND_SERIES, NO_MODEL, NO_SEASON, seasons

P = 46
W = 2 * math.pi / P
C, A = 0.5, 0.2          # model units
K = 4096.0


def harmonics(tp, a1=A, a2=0.0, trend=0.0):
    """Coefficients of C + trend 0.1 t + a1 cos(W(t-tp)) + a2 cos(2W(t-tp))."""
    return np.array([C, trend, a1, math.pi / 2 - W * tp, a2, math.pi / 2 - 2 * W * tp])


def test_first_harmonic_peak_anywhere_in_the_period():
    # peaks on the first and last grid points of period 1, between grid
    # points, and near both ends of the series
    tps = np.array([1.0, 1.05, 8.3, 23.5, 40.0, 46.0, 46.9])
    p = np.stack([harmonics(tp)[:4] for tp in tps]).astype(np.float32)
    ndat = 2 * P + 5
    s = seasons(p, npoint=P, ndat=ndat, threshold=0.3, end_threshold=0.6)
    c, a = C * K, A * K
    rs, re = math.acos(-1 + 2 * 0.3) / W, math.acos(-1 + 2 * 0.6) / W
    for k in range(2):
        tp = tps + k * P
        want = dict(peak_time=tp, peak_value=c + a, left_base=c - a, right_base=c - a,
                    base_value=c - a, amplitude=2 * a, start_time=tp - rs, end_time=tp + re,
                    start_value=c - a + 0.3 * 2 * a, end_value=c - a + 0.6 * 2 * a,
                    length=rs + re, rise_rate=a * W * math.sin(W * rs),
                    fall_rate=-a * W * math.sin(W * re),
                    large_integral=c * (rs + re) + a * (math.sin(W * rs) + math.sin(W * re)) / W)
        want["small_integral"] = want["large_integral"] - (c - a) * (rs + re)
        for name, value in want.items():
            tol = 2e-3 if name.endswith(("time", "length")) \
                else 0.2 if name.endswith("integral") else 0.02
            np.testing.assert_allclose(getattr(s, name)[:, k], value, atol=tol, err_msg=name)
        beyond = (tp - P / 2 < 1) | (tp + P / 2 > ndat)
        np.testing.assert_array_equal(s.quality[:, k], np.where(beyond, BEYOND_SERIES, 0))


def test_trend_and_models_without_season():
    b = 0.01
    p = np.stack([harmonics(20.0, trend=b)[:4], [0.5, 0, 0, 0], [0, 0, 0, 0],
                  [np.nan, 0, 0.1, 0], [0.5, 0, 0.0001, 0], [0.5, -0.01, 0, 0]])
    s = seasons(p, npoint=P, ndat=3 * P, nfunc=1)
    rise = 0.1 * b * P * K
    for name, shift in [("peak_time", P), ("start_time", P), ("end_time", P),
                        ("peak_value", rise), ("left_base", rise), ("amplitude", 0),
                        ("length", 0), ("small_integral", 0), ("rise_rate", 0)]:
        np.testing.assert_allclose(np.diff(getattr(s, name)[0]), shift, atol=0.02, err_msg=name)
    # one trough ends a season and begins the next
    np.testing.assert_allclose(s.left_base[0, 1:], s.right_base[0, :-1], atol=1e-3)
    assert (s.right_base[0] - s.left_base[0] > 0.4 * rise).all()
    np.testing.assert_array_equal(s.quality[1:], [[NO_SEASON] * 3, [NO_MODEL] * 3,
                                                  [NO_MODEL] * 3, [NO_SEASON] * 3,
                                                  [NO_SEASON] * 3])
    assert np.isnan(s.length[1:]).all() and np.isfinite(s.length[0]).all()


@pytest.mark.parametrize("tp", [15.0, 40.0])
def test_double_season(tp):
    # C + a1 cos u + a2 cos 2u, u = W (t - tp): peaks at u = 0 and u = pi,
    # both troughs at cos u = -a1 / (4 a2)
    a1, a2 = 0.03, 0.1
    p = harmonics(tp, a1, a2)
    low = C - a1 * a1 / (8 * a2) - a2
    one = seasons(p, npoint=P, ndat=2 * P)
    two = seasons(p, npoint=P, ndat=2 * P, max_seasons=2)
    weak = seasons(p, npoint=P, ndat=2 * P, max_seasons=2, second_ratio=0.9)
    assert one.peak_time.shape == (2,) and two.peak_time.shape == (4,)

    def half(peak, near):   # distance from the peak to the 20% level
        x = np.roots([2 * a2, a1, -a2 - (low + 0.2 * (peak - low) - C)])
        return math.acos(x.max()) / W if near else P / 2 - math.acos(x.min()) / W

    second = tp + P / 2 if tp + P / 2 < P + 1 else tp - P / 2
    order = [(tp, C + a1 + a2, True), (second, C - a1 + a2, False)]
    order.sort()
    for slot, (t, peak, main) in enumerate(order):
        d = half(peak, main)
        for got, k in ((two, slot), (two, slot + 2)):
            shift = (k // 2) * P
            np.testing.assert_allclose([got.peak_time[k], got.start_time[k], got.end_time[k]],
                                       [t + shift, t + shift - d, t + shift + d], atol=2e-3)
            np.testing.assert_allclose([got.peak_value[k], got.base_value[k]],
                                       [peak * K, low * K], atol=0.01)
        if main:
            np.testing.assert_allclose(one.start_time[0], t - d, atol=2e-3)
            np.testing.assert_allclose(weak.end_time[[0, 2]], [t + d, t + d + P], atol=2e-3)
    assert (two.quality & NO_SEASON == 0).all()
    assert ((weak.quality == NO_SEASON) == ~np.isfinite(weak.length)).all()
    assert (weak.quality == NO_SEASON).sum() == 2
