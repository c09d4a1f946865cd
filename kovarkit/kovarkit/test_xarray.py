"""kovarkit.xarray.fit on numpy and Dask cubes and on a two-process cluster:
the same bytes as kovarkit.fit."""

import os

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask.array")

import kovarkit  # noqa: E402
import kovarkit.xarray as kx  # noqa: E402

from kovarkit.test_support import PKG  # noqa: E402


def cube(lines=7, pixels=9, steps=46, seed=3):
    rng = np.random.default_rng(seed)
    t = np.arange(steps)
    raw = 600 + 400 * np.sin(2 * np.pi * t / 46) + rng.normal(0, 30, (lines, pixels, steps))
    raw[rng.random(raw.shape) < 0.1] = 100  # clouds
    coords = {"y": 5000.0 - 30.0 * np.arange(lines), "x": 200.0 + 30.0 * np.arange(pixels),
              "time": np.arange(steps), "spatial_ref": 0}
    return (xr.DataArray(raw.astype(np.int16), coords, ("y", "x", "time")),
            xr.DataArray((rng.random(raw.shape) > 0.15).astype(np.uint8), coords,
                         ("y", "x", "time")))


def assert_same(ds, prod):
    for name, want in prod._asdict().items():
        if want is None:
            assert name not in ds
        else:
            core = [d for d in ds[name].dims if d in ("param", "time")]
            got = ds[name].transpose(..., *core).values
            assert got.dtype == want.dtype and got.tobytes() == want.tobytes(), name


@pytest.mark.parametrize("chunks,masked,control", [
    (None, False, {}),
    (None, True, {"intp": 1, "nfunc": 3}),
    ({"y": 3, "x": 4, "time": 10}, False, {"intp": 1, "excluded": (5, 6)}),
    ({"y": 2}, True, {"fitmd": 2, "tcld": 0.2}),
])
def test_cube_products_equal_the_numpy_engine(chunks, masked, control):
    samples, mask = cube()
    want = kovarkit.fit(samples.values, mask.values if masked else None, **control)
    if chunks:
        samples, mask = samples.chunk(chunks), mask.chunk(chunks)
    ds = kx.fit(samples, mask if masked else None, **control)
    if chunks:
        assert ds["p"].chunks is not None  # still lazy
        assert ds["f"].data.chunks[0] == (46,)
    assert_same(ds.compute(), want)
    nfunc = control.get("nfunc", 6)
    assert list(ds["param"].values[:4]) == ["constant", "trend", "amplitude_1", "phase_1"]
    assert ds["p"].dims == ("param", "y", "x") and ds.sizes["param"] == 2 * nfunc + 2
    assert "spatial_ref" in ds.coords and ds["x"].values[1] == 230.0
    assert "255 = failed fit" in ds["order"].attrs["comment"]
    assert ds["f"].attrs["units"] == "counts"


@pytest.mark.parametrize("args,kwargs,exc,message", [
    ((np.zeros((3, 46), np.int16),), {}, TypeError, "da: expected an xarray.DataArray"),
    (("cube",), {"dim": "t"}, ValueError, "da: no dimension 't'"),
    (("float",), {}, ValueError, "da holds floating-point values (100.."),
    (("cube", "short"), {}, ValueError, "mask: sizes"),
    (("cube",), {"nfunc": 30}, ValueError, "nfunc: NFUNC = 30"),
])
def test_bad_cubes_are_refused_before_any_work(args, kwargs, exc, message):
    samples, mask = cube()
    named = {"cube": samples.chunk({"y": 2}), "float": samples.astype(float).compute(),
             "short": mask.isel(y=slice(0, 3))}
    with pytest.raises(exc) as e:
        kx.fit(*[named.get(a, a) if isinstance(a, str) else a for a in args], **kwargs)
    assert message in str(e.value)


@pytest.mark.parametrize("chunks", [None, {"latitude": 10}])
def test_index_cube_with_scale_offset_and_nodata(tmp_path, chunks):
    from kovarkit.core.counts import index_to_counts
    from kovarkit.core.products import set_nodata
    from kovarkit.test_support_cubes import monthly_observations
    tas, _ = monthly_observations(tmp_path / "obs.nc")
    da = xr.open_dataset(tmp_path / "obs.nc", chunks=chunks)["tas"].transpose(..., "time")
    ds = kx.fit(da, scale=40, offset=100, cadence="monthly")
    with pytest.warns(UserWarning, match="harmonic 6 has 2 steps per cycle"):
        kx.fit(da, scale=40, offset=100, npoint=12)
    assert ds["latitude"].values[0] > ds["latitude"].values[-1]  # north-up
    counts, ok = index_to_counts(np.moveaxis(tas, 0, -1)[::-1], 40, 100)
    want = kovarkit.fit(counts, npoint=12, nfunc=4, nwin=1)._asdict()
    set_nodata(want, ~ok.any(axis=-1))
    assert_same(ds.compute(), kovarkit.Products(**want))
    assert (ds.attrs["kovarkit_scale"], ds.attrs["kovarkit_offset"]) == (40.0, 100.0)
    assert ds["f"].attrs["scale_factor"] == 1 / 40 and ds["f"].attrs["add_offset"] == -2.5
    # written and read back: the series in degC with the dates, the sea NaN
    ds.to_netcdf(tmp_path / "tas.nc")
    back = xr.open_dataset(tmp_path / "tas.nc")
    assert back["f"].attrs["units"] == "degC" and back["time"].dtype.kind == "M"
    f = back["f"].transpose("time", ...).values
    assert np.isnan(f[:, ~ok.any(axis=-1)]).all()
    assert np.nanmax(abs(f - tas[:, ::-1])) < 3 and np.nanmean(abs(f - tas[:, ::-1])) < 0.3


def test_readme_notebook_example_runs(tmp_path, monkeypatch):
    rasterio = pytest.importorskip("rasterio")
    pytest.importorskip("rioxarray")
    import matplotlib
    matplotlib.use("Agg")
    with open(os.path.join(os.path.dirname(PKG), "kovarkit", "README.md")) as fh:
        text = fh.read().split("a map in a notebook\n", 1)[1].split("\n###")[0]
    code = "\n".join(line[4:] for line in text.splitlines() if line.startswith("    "))
    samples, _ = cube(lines=4, pixels=5)
    ndvi = np.moveaxis((samples.values - 768) / 0.0768, -1, 0).round().astype(np.int16)
    ndvi[:, 1, 2] = -3000
    with rasterio.open(tmp_path / "ndvi_2020.tif", "w", driver="GTiff", width=5, height=4,
                       count=46, dtype="int16", nodata=-3000, crs="EPSG:32633",
                       transform=rasterio.transform.from_origin(0, 0, 30, 30)) as ds:
        ds.write(ndvi)
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README.md", "exec"), {})
    with rasterio.open(tmp_path / "amplitude_1.tif") as ds:
        amp = ds.read(1)
    assert ds.crs == "EPSG:32633" and np.isnan(amp[1, 2]) and np.isfinite(amp).sum() == 19


def test_local_cluster_of_two_processes_gives_the_same_bytes():
    distributed = pytest.importorskip("dask.distributed")
    samples, mask = cube(lines=12, pixels=10, seed=8)
    want = kovarkit.fit(samples.values, mask.values, intp=1)
    # the worker processes find kovarkit as this process does
    os.environ["PYTHONPATH"] = os.pathsep.join(
        p for p in (PKG, os.environ.get("PYTHONPATH")) if p)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        ds = kx.fit(samples.chunk({"y": 3}), mask.chunk({"y": 3}), intp=1)
        got = ds.compute()
        workers = client.run(lambda: os.getpid())
    assert len(set(workers.values())) == 2
    assert_same(got, want)



@pytest.mark.parametrize("cadence, year_start, first_day", [
    ("8D", None, "2020-01-01"),        # 46 steps a year
    ("MS", "07-01", "2019-07-01"),     # 12 monthly steps, a southern year
])
def test_seasons_in_dates_days_of_year_and_index_units(cadence, year_start, first_day):
    import math
    import pandas as pd
    npoint = 46 if cadence == "8D" else 12
    time = pd.date_range("2020-01-01", periods=2 * npoint, freq=cadence)
    w = 2 * math.pi / npoint
    tp = np.array([1.0, 7.5, npoint - 0.25])    # peaks as time steps, one per pixel
    p = np.zeros((3, 4), np.float32)
    p[:, 0], p[:, 2], p[:, 3] = 0.5, 0.2, math.pi / 2 - w * tp
    ds = xr.Dataset({"p": (("x", "param"), p)}, coords={"time": time},
                    attrs={"kovarind_npoint": npoint, "kovarind_ndat": 2 * npoint,
                           "kovarkit_time_dim": "time", "kovarkit_scale": 4096 * 2.0,
                           "kovarkit_offset": 100.0})
    s = kx.seasons(ds, year_start=year_start).transpose("x", "season")
    ns = time.values.astype(np.int64).astype(float)
    steps = np.stack([tp, tp + npoint], axis=1)
    i = np.clip(np.floor(steps).astype(int) - 1, 0, ns.size - 2)
    want = ns[i] + (steps - 1 - i) * (ns[i + 1] - ns[i])     # interpolated dates
    np.testing.assert_allclose(s.peak_time.values.astype(np.int64), want, atol=1e-3 * 86400e9)
    year = pd.DatetimeIndex(want.ravel()).year.values.reshape(want.shape)
    start = np.array([np.datetime64(f"{y}-{first_day[5:]}") for y in year.ravel()]).reshape(
        year.shape)
    if year_start:
        year = np.where(want < start.astype("datetime64[ns]").astype(np.int64).astype(float),
                        year - 1, year)
        start = np.array([np.datetime64(f"{y}-{first_day[5:]}") for y in year.ravel()])\
            .reshape(year.shape)
    np.testing.assert_array_equal(s.year, year)
    days = (want - start.astype("datetime64[ns]").astype(np.int64)) / 86400e9 + 1
    np.testing.assert_allclose(s.peak_doy, days, atol=1e-3)
    length_steps = 2 * math.acos(-1 + 2 * 0.2) / w
    days_per_step = np.diff(ns).mean() / 86400e9
    np.testing.assert_allclose(s.length, length_steps * days_per_step, rtol=0.06)
    assert s.length.attrs["units"] == "days"
    # index = (counts - 100) / 8192: peak 0.7 model units, amplitude 0.4
    np.testing.assert_allclose(s.peak_value, (0.7 * 4096 - 100) / 8192, atol=1e-5)
    np.testing.assert_allclose(s.amplitude, 0.4 * 4096 / 8192, atol=1e-5)
    assert "index units" in s.peak_value.attrs["units"]


def test_fit_periods_records_what_seasons_needs():
    samples, _ = cube(steps=138)
    samples = samples.assign_coords(time=np.arange("2020-01-01", 138 * 8, 8,
                                                   dtype="datetime64[D]").astype("datetime64[ns]"))
    ds = kx.fit_periods(samples.chunk({"y": 3}), window=3, nfunc=2)
    want = kovarkit.fit_periods(samples.values, window=3, nfunc=2)
    assert ds.p.dims == ("period", "param", "y", "x")
    assert ds.p.transpose("y", "x", "period", "param").values.tobytes() == want.p.tobytes()
    assert ds.window_start.values.tolist() == [1, 1, 1]
    assert str(ds.period_start.values[1])[:10] == "2021-01-03"   # 2020 has 366 days
    s = kx.seasons(ds)
    assert s.peak_time.dtype.kind == "M" and s.year.dims == ("season", "y", "x")
    # the index with a pixel of NoData: no model there, the others in index units
    index = (samples / 1536.0).where((samples.x != samples.x[0]) | (samples.y != samples.y[0]))
    per = kx.seasons(kx.fit_periods(index, scale=1536, nfunc=2)).transpose("y", "x", "season")
    assert (per.quality[0, 0] == 1).all() and (per.quality[1:] != 1).all()
    assert "index units" in per.peak_value.attrs["units"]
