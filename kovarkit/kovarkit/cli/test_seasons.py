"""`kovarkit seasons` and the maps of its outputs: the metrics of a scene and
of a fit dataset, written as GeoTIFFs, NetCDF and Zarr with the source's
georeferencing, equal to kovarkit.seasons."""

import json
import os

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
xr = pytest.importorskip("xarray")
pytest.importorskip("rioxarray")
from rasterio.crs import CRS  # noqa: E402

from kovarkit.cli import main  # noqa: E402
from kovarkit.core.seasons import seasons  # noqa: E402
from kovarkit.test_support import make_scene  # noqa: E402
from kovarkit.xarray import seasons as xr_seasons  # noqa: E402


def fit_dataset(tmp_path):
    """A 3 x 4 scene's products as a scene directory and as a fit Dataset."""
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
    p, ds, gt = fit_dataset(tmp_path)
    want = seasons(p, npoint=23, ndat=23)
    # the failed pixel alone has no model among pixels computed in one block
    assert (want.quality == 1).sum() == 1 and want.quality[1, 2] == 1
    for got in (xr_seasons(ds), xr_seasons(ds.chunk({"y": 2})).compute()):
        assert got.spatial_ref.attrs["crs_wkt"] == ds.spatial_ref.attrs["crs_wkt"]
        for name in want._fields:
            np.testing.assert_array_equal(got[name].transpose("y", "x", "season"),
                                          getattr(want, name), err_msg=name)
    dated = ds.assign_coords(time=np.arange("2020-01-01", 23 * 16, 16, dtype="datetime64[D]")
                             .astype("datetime64[ns]"))
    dated.to_netcdf(tmp_path / "fit.nc")
    for src, out in [(tmp_path, "maps"), (tmp_path, "m.nc"), (tmp_path / "fit.nc", "m.zarr"),
                     (tmp_path / "fit.nc", "dated")]:
        assert main(["seasons", str(src), "--out", str(tmp_path / out)]) == 0
    with rasterio.open(tmp_path / "maps" / "end_time.tif") as r:
        assert r.transform.to_gdal() == tuple(gt) and r.crs.to_epsg() == 32633
        np.testing.assert_array_equal(np.moveaxis(r.read(), 0, -1), want.end_time)
    with rasterio.open(tmp_path / "dated" / "peak_doy.tif") as r:
        assert r.descriptions[0].startswith("season 1: period 1, year 2020")
        days = (want.peak_time - 1) * 16 + 1    # 2020-01-01 is day 1
        np.testing.assert_allclose(np.moveaxis(r.read(), 0, -1), days, rtol=1e-6)
    assert not os.path.exists(tmp_path / "dated" / "peak_time.tif")
    for out in ("m.nc", "m.zarr"):
        back = (xr.open_zarr if out.endswith("zarr") else xr.open_dataset)(
            tmp_path / out, decode_coords="all")
        assert back.rio.transform().to_gdal() == tuple(gt) and back.rio.crs.to_epsg() == 32633
        assert back.large_integral.dims == ("season", "y", "x")
        assert (back.peak_time.dtype.kind == "M") == out.endswith("zarr")
    status = main(["seasons", str(tmp_path), "--out", str(tmp_path / "maps")])
    assert status == 1   # exists; --force replaces it
    for argv in (["map", str(tmp_path / "maps" / "end_time.tif"), "1"],
                 ["map", f"{tmp_path / 'm.nc'}:length", "1", "-o", str(tmp_path / "l.png")],
                 ["plot", "-C", str(tmp_path), "1", "2", "-o", str(tmp_path / "p.png")]):
        assert main(argv) == 0
    assert "map_end_time_s1.png" in os.listdir(tmp_path / "maps")
    assert {"l.png", "p.png"} <= set(os.listdir(tmp_path))


def test_fit_per_period_to_seasons(tmp_path):
    import kovarkit
    from rasterio.transform import from_origin
    # 230 steps (five periods, beyond one fit's 200): a cycle of 52 steps
    t = np.arange(1, 231)
    rng = np.random.default_rng(1)
    v = 0.3 + 0.1 * np.cos(2 * np.pi * (t - 12.0) / 52.0)[:, None, None] \
        + rng.uniform(-0.002, 0.002, (230, 3, 4))
    with rasterio.open(tmp_path / "stack.tif", "w", driver="GTiff", width=4, height=3,
                       count=230, dtype="float32", crs="EPSG:32633",
                       transform=from_origin(500000, 4200000, 30, 30)) as d:
        d.write(v.astype("float32"))
    samples = np.floor(4096 * v.astype("float32").astype(np.float64) + 0.5).astype(np.int16)
    pp = kovarkit.fit_periods(np.ascontiguousarray(np.moveaxis(samples, 0, -1)), nfunc=2)
    want = kovarkit.seasons(pp.p, npoint=46, ndat=230, window_start=pp.window_start)
    for out in ("fp", "fp.nc"):
        assert main(["fit", str(tmp_path / "stack.tif"), "--scale", "4096", "--nfunc", "2",
                     "--periods", "--quiet", "--out", str(tmp_path / out)]) == 0
        assert main(["seasons", str(tmp_path / out), "--out", str(tmp_path / f"s{out}")]) == 0
    with rasterio.open(tmp_path / "sfp" / "start_time.tif") as r:
        np.testing.assert_array_equal(np.moveaxis(r.read(), 0, -1), want.start_time)
    back = xr.open_dataset(tmp_path / "sfp.nc")
    np.testing.assert_array_equal(back.start_time.transpose("y", "x", "season"),
                                  want.start_time)


def test_dated_cf_cube_to_seasons_in_dates_and_index_units(tmp_path):
    from kovarkit.test_support_cubes import vegetation_index
    ndvi, _ = vegetation_index(tmp_path / "cube.nc", steps=69, height=12, width=10)
    for periods in ([], ["--periods"]):
        out = tmp_path / f"fit{len(periods)}.nc"
        assert main(["fit", str(tmp_path / "cube.nc"), "--var", "ndvi", "--scale", "1536",
                     "--cadence", "16-day", "--quiet", "--out", str(out)] + periods) == 0
        assert main(["seasons", str(out), "--out", str(tmp_path / f"s{len(periods)}.nc"),
                     "--year-start", "07-01"]) == 0
        s = xr.open_dataset(tmp_path / f"s{len(periods)}.nc")
        s0 = s if not periods else s0
        assert s.peak_time.dims == ("season", "lat", "lon") and s.sizes["season"] == 3
        # xarray reads the lengths (units days) back as time spans
        assert s.peak_time.dtype.kind == "M" and s.length.dtype.kind == "m"
        # no model where the cube has no valid sample (north-up or not), else
        # every season complete
        lake = xr.open_dataset(tmp_path / "cube.nc").ndvi.isnull().all("time")
        assert ((s.quality == 1) == lake).all() and s.quality.where(~lake).isin([0, 4]).sum() \
            == 3 * (~lake).sum()
        # the index itself: the peaks of the fitted NDVI; a sine above 20% of its
        # amplitude for acos(-0.6) / pi of a year
        land = ~np.isnan(ndvi).all(axis=0)
        assert abs(float(s.peak_value.max()) - np.nanmax(ndvi[:, land])) < 0.05
        days = float(s.length.median() / np.timedelta64(1, "D"))
        assert abs(days - 365.25 * np.arccos(-0.6) / np.pi) < 8
        year = s.year.where(s.quality != 1)
        assert set(np.unique(year.values[~np.isnan(year.values)])) <= {2019, 2020, 2021, 2022}
    # the GeoTIFF route: dates and units from the tags, days of the year in the bands
    assert main(["fit", str(tmp_path / "cube.nc"), "--var", "ndvi", "--scale", "1536",
                 "--cadence", "16-day", "--quiet", "--out", str(tmp_path / "tifs")]) == 0
    assert main(["seasons", str(tmp_path / "tifs"), "--out", str(tmp_path / "st"),
                 "--year-start", "07-01"]) == 0
    with rasterio.open(tmp_path / "st" / "peak_doy.tif") as r:
        doy = r.read()
        assert r.descriptions[0].startswith("season 1: period 1, year 2019")   # July-June
    np.testing.assert_allclose(doy, s0.peak_doy.values, atol=1e-3)
