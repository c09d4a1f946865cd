"""Seasonal metrics against closed-form answers of simple models."""

import math

import numpy as np
import pytest

from kovarkit.core.seasons import Model, seasons
from kovarkit.test_support import program

P = 46
W = 2 * math.pi / P
C, A = 0.5, 0.2          # model units
TOL_T, TOL_V = 2e-3, 0.05  # time steps, counts


def first_harmonic(tp, trend=0.0):
    """Coefficients of C + trend*0.1t + A sin(W t + phi), peaking at tp."""
    return np.array([C, trend, A, math.pi / 2 - W * tp], np.float32)


def sine_expected(tp, t0, t1, thr=0.2):
    """Closed-form metrics of first_harmonic(tp) in the period [t0, t1]."""
    c, a = C * 4096, A * 4096
    m = lambda t: c + a * math.cos(W * (t - tp))
    low_before = c - a if tp - P / 2 >= t0 else m(t0)
    low_after = c - a if tp + P / 2 <= t1 else m(t1)
    base = low_after if tp == t0 else low_before if tp == t1 else (low_before + low_after) / 2
    amp = c + a - base
    half = math.acos((base + thr * amp - c) / a) / W   # crossing distance from the peak
    ts, te = tp - half, tp + half
    ts = ts if ts >= t0 else math.nan
    te = te if te <= t1 else math.nan
    large = c * (te - ts) + 2 * a * math.sin(W * half) / W
    slope = a * W * math.sin(W * half)
    return dict(peak_time=tp, peak_value=c + a, base_value=base, amplitude=amp,
                start_time=ts, end_time=te, length=te - ts, large_integral=large,
                small_integral=large - base * (te - ts),
                rise_rate=slope + 0 * ts, fall_rate=-slope + 0 * te)   # NaN with the crossing


def check(got, want, season=0):
    for name, value in want.items():
        tol = TOL_T if name.endswith("time") or name == "length" else TOL_V
        if name.endswith("integral"):
            tol = 4.0   # a crossing within TOL_T at a level of about 3000 counts
        np.testing.assert_allclose(getattr(got, name)[..., season], value, atol=tol,
                                   equal_nan=True, err_msg=name)


@pytest.mark.parametrize("tp", [10.0, 23.5, 40.0, 1.0, 46.0],
                         ids=["trough-after", "troughs-outside", "trough-before",
                              "peak-at-start", "peak-at-end"])
def test_first_harmonic(tp):
    s = seasons(first_harmonic(tp), npoint=P, ndat=P + 20, nfunc=1)
    assert s.peak_time.shape == (1,)   # the partial second period is left out
    check(s, sine_expected(tp, 1, P))


def test_trend_shifts_each_season():
    b = 0.01
    s = seasons(first_harmonic(20.0, trend=b), npoint=P, ndat=3 * P, nfunc=1)
    rise = 0.1 * b * P * 4096   # counts the trend adds per period
    for name, shift in [("peak_time", P), ("start_time", P), ("end_time", P),
                        ("peak_value", rise), ("base_value", rise), ("amplitude", 0),
                        ("length", 0), ("small_integral", 0), ("rise_rate", 0)]:
        np.testing.assert_allclose(np.diff(getattr(s, name)), shift, atol=0.02, err_msg=name)
    np.testing.assert_allclose(np.diff(s.large_integral), rise * s.length[1:], rtol=1e-4)
    assert s.rise_rate[0] > sine_expected(20.0, 1, P)["rise_rate"]   # the trend adds slope


def test_secondary_bump_is_not_the_season():
    # C + a1 cos(u) + a2 cos(2u), u = W (t - tp): the peak at u = 0, minima at
    # cos u = -a1 / (4 a2), a secondary bump at u = pi (t = 38) that rises above
    # the level again but is cut off from the peak by the minimum
    a1, a2, tp = 0.1, 0.1, 15.0
    p = np.array([C, 0, a1, math.pi / 2 - W * tp, a2, math.pi / 2 - 2 * W * tp], np.float32)
    s = seasons(p, npoint=P, ndat=P, nfunc=2)
    base = C - a1 * a1 / (8 * a2) - a2
    amp = C + a1 + a2 - base
    assert C - a1 + a2 > base + 0.2 * amp
    x = np.roots([2 * a2, a1, -a2 - (base + 0.2 * amp - C)]).max()   # cos u at the level
    half = math.acos(x) / W
    k = 4096
    check(s, dict(peak_time=tp, peak_value=(C + a1 + a2) * k, base_value=base * k,
                  amplitude=amp * k, start_time=tp - half, end_time=tp + half,
                  large_integral=k * (C * 2 * half + 2 * a1 * math.sin(W * half) / W
                                      + a2 * math.sin(2 * W * half) / W)))


def test_a_flat_model_has_a_peak_but_no_season():
    # (failed fits and coefficients that are not finite: test_properties)
    s = seasons(np.array([[0.5, 0, 0, 0]], np.float32), npoint=P, ndat=2 * P, nfunc=1)
    finite = ["peak_time", "peak_value", "base_value", "amplitude"]
    for name, v in s._asdict().items():
        assert v.shape == (1, 2) and np.isfinite(v).all() == (name in finite), name
    assert (s.amplitude == 0).all() and (s.base_value == 2048).all()


def test_model_convention_matches_the_program(tmp_path):
    import subprocess
    from kovarkit.formats.scene import Scene
    from kovarkit.test_support import make_scene
    kovarind = program("KOVARIND", "kovarind")
    make_scene(tmp_path, ndat=46, nline=2, npix=3, nfunc=6)
    subprocess.run([kovarind], cwd=tmp_path, check=True, capture_output=True)
    scene = Scene(str(tmp_path))
    p = np.moveaxis(scene.open("p.bsq"), 0, -1).reshape(-1, 14)
    assert (p[:, 2] != 0).all()   # every pixel has a model
    model = Model(p, 46, 6)
    fit = model.coef @ model.basis(np.arange(1, 47.0))
    np.testing.assert_allclose(np.floor(fit + 0.5), scene.open("f.bsq").reshape(46, -1).T, atol=1)
