"""Seasonal metrics against closed-form answers of simple models."""

import math
import os

import numpy as np
import pytest

from kovarkit.seasons import seasons

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


@pytest.mark.parametrize("p, finite", [
    ([0.5, 0, 0, 0], ["peak_time", "peak_value", "base_value", "amplitude"]),  # flat
    ([0, 0, 0, 0], []),                                                      # failed fit
    ([np.nan, 0, 0.1, 0], []),
])
def test_without_season(p, finite):
    s = seasons(np.array([p], np.float32), npoint=P, ndat=2 * P, nfunc=1)
    for name, v in s._asdict().items():
        assert v.shape == (1, 2)
        assert np.isfinite(v).all() == (name in finite), name
    if finite:
        assert (s.amplitude == 0).all() and (s.base_value == 2048).all()


def fit_dataset(tmp_path):
    """A 3 x 4 scene's products as a scene directory and as a fit Dataset."""
    import json
    import rioxarray  # noqa: F401
    import xarray as xr
    from rasterio.crs import CRS
    from .util import make_scene
    arrays = make_scene(tmp_path, ndat=23, nline=3, npix=4, nfunc=2)  # fit failed at line 2, pixel 3
    gt = [500000.0, 30.0, 0.0, 4200000.0, 0.0, -30.0]
    wkt = CRS.from_epsg(32633).to_wkt()
    with open(tmp_path / "kovarkit-georef.json", "w") as fh:
        json.dump({"width": 4, "height": 3, "crs": wkt, "transform": gt}, fh)
    p = np.moveaxis(arrays["p.bsq"], 0, -1)
    ds = xr.Dataset({"p": (("y", "x", "param"), p),
                     "f": (("time", "y", "x"), arrays["f.bsq"])},
                    coords={"x": gt[0] + 15 + 30 * np.arange(4), "y": gt[3] - 15 - 30 * np.arange(3)},
                    attrs={"npoint": 23})
    return p, ds.rio.write_crs(wkt), gt


def test_xarray_and_outputs_agree_with_numpy(tmp_path):
    import rasterio
    import xarray as xr
    from kovarkit.cli import main
    from kovarkit.xarray_seasons import seasons as xr_seasons
    p, ds, gt = fit_dataset(tmp_path)
    want = seasons(p, npoint=23, ndat=23)
    # the failed pixel alone is NaN among pixels that are computed in one block
    assert np.isnan(want.peak_time).sum() == 1 and np.isnan(want.peak_time[1, 2]).all()
    for got in (xr_seasons(ds), xr_seasons(ds.chunk({"y": 2})).compute()):
        assert got.spatial_ref.attrs["crs_wkt"] == ds.spatial_ref.attrs["crs_wkt"]
        for name in want._fields:
            np.testing.assert_array_equal(got[name].transpose("y", "x", "season"),
                                          getattr(want, name), err_msg=name)
    ds.to_netcdf(tmp_path / "fit.nc")
    for src, out in [(tmp_path, "maps"), (tmp_path, "m.nc"), (tmp_path / "fit.nc", "m.zarr")]:
        assert main(["seasons", str(src), "--out", str(tmp_path / out)]) == 0
    with rasterio.open(tmp_path / "maps" / "end_time.tif") as r:
        assert r.transform.to_gdal() == tuple(gt) and r.crs.to_epsg() == 32633
        np.testing.assert_array_equal(np.moveaxis(r.read(), 0, -1), want.end_time)
    for out in ("m.nc", "m.zarr"):
        back = (xr.open_zarr if out.endswith("zarr") else xr.open_dataset)(
            tmp_path / out, decode_coords="all")
        assert back.rio.transform().to_gdal() == tuple(gt) and back.rio.crs.to_epsg() == 32633
        np.testing.assert_array_equal(back.large_integral, want.large_integral)
    for argv in (["map", str(tmp_path / "maps" / "end_time.tif"), "1"],
                 ["map", f"{tmp_path / 'm.nc'}:length", "1", "-o", str(tmp_path / "l.png")],
                 ["plot", "-C", str(tmp_path), "1", "2", "-o", str(tmp_path / "p.png")]):
        assert main(argv) == 0
    assert "map_end_time_s1.png" in os.listdir(tmp_path / "maps")
    assert {"l.png", "p.png"} <= set(os.listdir(tmp_path))


KOVARIND = os.environ.get("KOVARIND") or os.path.join(os.path.dirname(__file__), "..", "..",
                                                      "build", "kovarind")


@pytest.mark.skipif(not os.access(KOVARIND, os.X_OK), reason="kovarind not built")
def test_model_convention_matches_the_program(tmp_path):
    import subprocess
    from kovarkit.scene import Scene
    from kovarkit.seasons import _Model
    from .util import make_scene
    make_scene(tmp_path, ndat=46, nline=2, npix=3, nfunc=6)
    subprocess.run([os.path.abspath(KOVARIND)], cwd=tmp_path, check=True, capture_output=True)
    scene = Scene(str(tmp_path))
    p = np.moveaxis(scene.open("p.bsq"), 0, -1).reshape(-1, 14)
    assert (p[:, 2] != 0).all()   # every pixel has a model
    model = _Model(p, 46, 6)
    fit = model.coef @ model.basis(np.arange(1, 47.0))
    np.testing.assert_allclose(np.floor(fit + 0.5), scene.open("f.bsq").reshape(46, -1).T, atol=1)


def test_seasons_of_an_engine_fit_take_the_period_from_its_attributes():
    xr = pytest.importorskip("xarray")
    import kovarkit.xarray as kx
    t = np.arange(1, 93)
    s = np.round(1200 + 300 * np.sin(2 * np.pi * t / 46)).astype(np.int16)
    ds = kx.fit(xr.DataArray(np.tile(s, (2, 3, 1)), dims=("y", "x", "time")))
    got = kx.seasons(ds)
    want = seasons(ds["p"].transpose(..., "param").values, npoint=46, ndat=92)
    np.testing.assert_array_equal(got["peak_time"].values, want.peak_time)
    assert got.sizes["season"] == 2
