"""`kovarkit fit`: GeoTIFF, NetCDF and Zarr in and out, equal to kovarkit.fit
on the imported counts, georeferencing kept, memory within the budget."""

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
xr = pytest.importorskip("xarray")
pytest.importorskip("rioxarray")
from rasterio.transform import from_origin  # noqa: E402

import kovarkit  # noqa: E402
from kovarkit.core.products import set_nodata  # noqa: E402

from kovarkit.test_support import PKG, run_kit  # noqa: E402

H, W, T = 9, 7, 46
CRS = "EPSG:32633"
TRANSFORM = from_origin(500000, 4600000, 30, 30)


@pytest.fixture(scope="module")
def cube(tmp_path_factory):
    """NDVI x 10000 as int16 (-3000 NoData) and a QA band per step, in every format."""
    d = tmp_path_factory.mktemp("cube")
    rng = np.random.default_rng(5)
    t = np.arange(1, T + 1)[:, None, None]
    ndvi = np.round((0.3 + 0.25 * np.sin(2 * np.pi * t / 46)
                     + rng.normal(0, 0.01, (T, H, W))) * 10000).astype(np.int16)
    ndvi[rng.random(ndvi.shape) < 0.08] = -900  # clouds
    ndvi[:, 2, 3] = -3000
    qa = (rng.random(ndvi.shape) < 0.1).astype(np.uint8)
    profile = dict(driver="GTiff", width=W, height=H, dtype="int16", crs=CRS,
                   transform=TRANSFORM, nodata=-3000)
    with rasterio.open(d / "stack.tif", "w", count=T, **profile) as ds:
        ds.write(ndvi)
    for b in range(T):
        with rasterio.open(d / f"b{b:02d}.tif", "w", count=1, **profile) as ds:
            ds.write(ndvi[b], 1)
    with rasterio.open(d / "qa.tif", "w", count=T, **dict(profile, dtype="uint8",
                                                           nodata=None)) as ds:
        ds.write(qa)
    da = xr.DataArray(ndvi, dims=("time", "y", "x"), name="ndvi", coords={
        "y": TRANSFORM.f - 15 - 30.0 * np.arange(H), "x": TRANSFORM.c + 15 + 30.0 * np.arange(W)})
    da = da.rio.write_crs(CRS)
    da.encoding["_FillValue"] = -3000
    da.to_dataset().to_netcdf(d / "cube.nc")
    da.to_dataset().to_zarr(d / "cube.zarr")
    with open(d / "cntl.dat", "w") as fh:
        fh.write(f"{T}\n{H} {W}\n&DATA NFUNC=4, NDEF=2 /\n&CONTRL INTP=1, TCLD=0.2 /\n"
                 "&NPT NPOINT=23 /\n5\n99\n")
    valid = ndvi != -3000
    counts = np.where(valid, np.floor(ndvi * 0.4096 + 410 + 0.5), 0).astype(np.int16)
    return d, *(np.moveaxis(a, 0, -1) for a in (counts, valid, qa))


def read_products(out, names):
    if not out.endswith((".nc", ".zarr")):
        got = {}
        for n in names:
            with rasterio.open(os.path.join(out, n + ".tif")) as ds:
                assert ds.crs == CRS and ds.transform == TRANSFORM, n
                a = np.moveaxis(ds.read(), 0, -1)
                got[n] = a[..., 0] if ds.count == 1 else a
        return got
    ds = xr.open_dataset(out, decode_coords="all", mask_and_scale=False,
                         engine="zarr" if out.endswith("r") else None)
    assert ds["p"].rio.crs == CRS and ds["p"].rio.transform() == TRANSFORM
    return {n: np.moveaxis(ds[n].values, 0, -1) if ds[n].ndim == 3 else ds[n].values
            for n in names}


@pytest.mark.parametrize("source,out,options,expect", [
    ("stack.tif", "tifs", ["--intp", "1", "--cadence", "16-day", "--dates", "2020-01-01/8"],
     dict(intp=1, npoint=23, nfunc=5, nwin=1)),
    ("b*.tif", "o.nc", ["--mask", "qa.tif", "--good", "0", "--exclude", "3,7", "--fitmd", "2"],
     dict(excluded=(3, 7), fitmd=2, mask="qa")),
    ("cube.nc", "o.zarr", ["--cntl", "cntl.dat"],
     dict(nfunc=4, npoint=23, excluded=(5,), intp=1, tcld=0.2)),
    ("cube.zarr", "o.nc", ["--tcld", "0.1", "--nwin", "1", "--memory", "64K"],
     dict(tcld=0.1, nwin=1)),
])
def test_round_trip_equals_the_engine(cube, tmp_path, source, out, options, expect):
    d, counts, valid, qa = cube
    sources = sorted(str(p) for p in d.glob(source))
    options = [str(d / o) if o in ("qa.tif", "cntl.dat") else o for o in options]
    out = str(tmp_path / out)
    args = ["fit", *sources, "--out", out, "--scale", "0.4096", "--offset", "410", *options]
    status, stdout, err = run_kit(*args)
    assert (status, err) == (0, ""), err
    control = dict(expect)
    mask = control.pop("mask", None)
    usable = valid & (qa == 0) if mask else valid
    want = kovarkit.fit(counts, usable.astype(np.uint8) if mask else None, **control)._asdict()
    set_nodata(want, ~usable.any(axis=-1))
    names = [n for n, v in want.items() if v is not None]
    got = read_products(out, names)
    for n in names:
        assert got[n].dtype == want[n].dtype and got[n].tobytes() == want[n].tobytes(), n
    if out.endswith("tifs"):  # the dates of --dates in the band names
        with rasterio.open(os.path.join(out, "f.tif")) as ds:
            assert ds.descriptions[45] == "fit time step 46: 2020-12-26"
    # the period travels in the tags or attributes to `seasons`
    assert run_kit("seasons", out, "--out", str(tmp_path / "m"))[0] == 0
    with rasterio.open(tmp_path / "m" / "quality.tif") as ds:   # (lengths in days if dated)
        assert ds.crs == CRS and ds.transform == TRANSFORM
        np.testing.assert_array_equal(np.moveaxis(ds.read(), 0, -1), kovarkit.seasons(
            want["p"], npoint=control.get("npoint", 46), ndat=T).quality)
    # an existing output stays as it was without --force
    for again in (args, ["seasons", out, "--out", str(tmp_path / "m")]):
        status, _, err = run_kit(*again)
        assert status == 1 and "exists; not overwritten (use --force)" in err
    assert run_kit(*args, "--force")[0] == 0


@pytest.mark.parametrize("source,problem", [
    ("stack.tif", "places strip data up to byte"), ("cube.nc", "HDF5 superblock records"),
    ("classic.nc", "places variable 'ndvi' up to byte"), ("cube.zarr", "cannot be read or decoded")])
def test_truncated_sources_are_refused_with_one_line_and_no_output(cube, tmp_path, source,
                                                                   problem):
    d = cube[0]
    cut = tmp_path / source
    if source == "classic.nc":
        xr.open_dataset(d / "cube.nc").to_netcdf(cut, format="NETCDF3_CLASSIC")
    elif source == "cube.zarr":
        shutil.copytree(d / source, cut)
    else:
        shutil.copy(d / source, cut)
    damaged = next((cut / "ndvi").glob("0.*")) if cut.is_dir() else cut
    damaged.write_bytes(damaged.read_bytes()[:damaged.stat().st_size * 2 // 3])
    status, _, err = run_kit("fit", str(cut), "--out", str(tmp_path / "out"), "--scale",
                             "0.4096", "--offset", "410")
    assert status == 1 and err.count("\n") == 1 and f"{cut}: " in err and problem in err, err
    assert os.listdir(tmp_path) == [source]


@pytest.mark.parametrize("limit,options,message", [
    (20000, [], "stack.tif: one line of 7 pixels x 46 time steps needs 22288 bytes, more than "
                "the 20000 bytes this process can get (the cgroup limit "
                "/sys/fs/cgroup/job/memory.max)"),
    (300000, ["--memory", "1M"], "--memory 1M: more than the 300000 bytes"),
    (300000, [], None),
])
def test_the_memory_follows_the_cgroup_limit(cube, tmp_path, monkeypatch, limit, options,
                                             message):
    cg = tmp_path / "cg"
    (cg / "proc/self").mkdir(parents=True)
    (cg / "sys/fs/cgroup/job").mkdir(parents=True)
    (cg / "proc/self/cgroup").write_text("0::/job\n")
    (cg / "proc/self/mountinfo").write_text("30 23 0:26 / /sys/fs/cgroup rw - cgroup2 x rw\n")
    (cg / "sys/fs/cgroup/job/memory.max").write_text(f"{limit}\n")
    monkeypatch.setenv("KOVARIND_CGROUP_ROOT", str(cg))
    out = tmp_path / "o.nc"
    status, _, err = run_kit("fit", str(cube[0] / "stack.tif"), "--out", str(out), "--scale",
                             "0.4096", "--offset", "410", *options)
    assert (status, err.count("\n"), out.exists()) == ((1, 1, False) if message else (0, 0, True))
    assert message is None or message in err, err


def test_cube_larger_than_the_budget_stays_within_it(tmp_path):
    # 160 x 160 x 46 samples are 9 MB as float64; with 2 MB the run may not
    # grow by more than that and the libraries' caches over a tiny cube.
    code = ("import resource, runpy, sys; sys.argv[0] = 'kovarkit'\n"
            "try: runpy.run_module('kovarkit', run_name='__main__')\n"
            "except SystemExit as e: assert not e.code, e.code\n"
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)")
    peak = {}
    for n in (8, 160):
        src = tmp_path / f"{n}.tif"
        with rasterio.open(src, "w", width=n, height=n, count=T, dtype=np.int16) as ds:
            ds.write(np.random.default_rng(2).integers(300, 1200, (T, n, n), dtype=np.int16))
        r = subprocess.run([sys.executable, "-c", code, "fit", str(src), "--out",
                            str(tmp_path / f"{n}.zarr"), "--quiet", "--memory", "2M", "--nfunc",
                            "2"], env=dict(os.environ, PYTHONPATH=PKG), check=True,
                           capture_output=True, text=True)
        peak[n] = int(r.stdout.split()[-1]) / 1024
    assert peak[160] - peak[8] < 2 + 6 < 160 * 160 * T * 8 / 2**20, peak
