"""A CF NetCDF as data centres write it (dates, latitude ascending, NaN over
the sea) through `kovarkit fit` to every format and through import +
kovarind + export: dates, north-up grids, NoData and index units as GDAL and
xarray read them; every silent mistake a warning or an error; every error
one line that leaves nothing behind."""

import json
import os
import subprocess

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
xr = pytest.importorskip("xarray")
pytest.importorskip("netCDF4")

from kovarkit.test_support import PKG, program, run_kit  # noqa: E402
from kovarkit.test_support_cubes import SEA, monthly_observations  # noqa: E402

TAS = ["--var", "tas", "--scale", "40", "--offset", "100"]


@pytest.fixture(scope="module")
def obs(tmp_path_factory):
    d = tmp_path_factory.mktemp("obs")
    tas, _ = monthly_observations(d / "obs.nc")
    return d, tas[:, ::-1]  # north first, as every output


def gdalinfo(name):
    return json.loads(subprocess.run(["gdalinfo", "-json", name], check=True,
                                     capture_output=True, text=True).stdout)


@pytest.mark.parametrize("out,gdal_name", [("tas", "{}/f.tif"), ("tas.nc", 'NETCDF:"{}":f'),
                                           ("tas.zarr", None)])
def test_cf_cube_to_every_format(obs, tmp_path, out, gdal_name):
    d, tas = obs
    out = str(tmp_path / out)
    status, _, err = run_kit("fit", d / "obs.nc", *TAS, "--cadence", "monthly", "--out", out)
    assert (status, err) == (0, "")  # quiet: no warning is the user's business here
    sea = np.zeros(tas.shape[1:], bool)
    sea[::-1][SEA] = True
    if gdal_name:
        info = gdalinfo(gdal_name.format(out))
        t = info["geoTransform"]
        assert t[5] == -0.25 and t[3] == 42.25 and "4326" in info["coordinateSystem"]["wkt"]
        band = info["bands"][0]
        assert (band["noDataValue"], band["scale"], band["offset"]) == (-32768, 0.025, -2.5)
    if out.endswith("tas"):
        with rasterio.open(os.path.join(out, "f.tif")) as ds:
            f = ds.read(masked=True) * ds.scales[0] + ds.offsets[0]
            assert ds.descriptions[6].endswith("2020-07-15")
        with rasterio.open(os.path.join(out, "order.tif")) as ds:
            assert (ds.read(1, masked=True).mask == sea).all()
        f = f.filled(np.nan)
    else:
        ds = xr.open_dataset(out, engine="zarr" if out.endswith("zarr") else None)
        assert ds["time"].dtype.kind == "M" and str(ds["time"].values[6])[:10] == "2020-07-15"
        assert list(ds["f"].dims) == ["time", "latitude", "longitude"]
        assert ds["latitude"].values[0] > ds["latitude"].values[-1]  # north-up, names kept
        assert ds["latitude"].attrs["units"] == "degrees_north"
        assert all(np.isnan(ds[n].values[..., sea]).all() for n in ("p", "aic", "order"))
        assert ds["f"].attrs["units"] == "degC" and ds.attrs["kovarind_nfunc"] == 4
        f = ds["f"].values
    assert (np.isnan(f) == np.isnan(tas)).all()
    assert np.nanmax(abs(f - tas)) < 3 and np.nanmean(abs(f - tas)) < 0.3  # degC, fitted
    # the views read every kind of output; a sea pixel is NoData, not a failed fit
    order = os.path.join(out, "order.tif") if out.endswith("tas") else out + ":order"
    assert run_kit("map", order, "-o", tmp_path / "m.png")[0] == 0
    status, _, err = run_kit("plot", 30, 70, "--fit", out, "--source", d / "obs.nc", "--var",
                             "tas", "-o", tmp_path / "p.png")
    assert status == 0 and "no valid sample" in err and os.path.getsize(tmp_path / "p.png")


def test_time_steps_without_calendar_dates_keep_their_numbers_and_units(tmp_path):
    monthly_observations(tmp_path / "obs.nc", months=True)
    out = tmp_path / "tas.nc"
    assert run_kit("fit", tmp_path / "obs.nc", *TAS, "--cadence", "monthly", "--out", out)[0] == 0
    t = xr.open_dataset(out, decode_times=False)["time"]
    assert t.attrs["units"] == "months since 2020-01-01" and t.values[11] == 11.5


def test_fit_and_import_kovarind_export_give_the_same_products(obs, tmp_path):
    d, _ = obs
    kovarind = program("KOVARIND", "kovarind")
    scene = tmp_path / "scene"
    scene.mkdir()
    assert run_kit("import", f'NETCDF:"{d / "obs.nc"}":tas', "-C", scene, *TAS[2:],
                   "--cadence", "monthly")[0] == 0
    subprocess.run([kovarind, "-q"], cwd=scene, check=True)
    assert run_kit("export", "-C", scene, "--outdir", tmp_path / "a")[0] == 0
    assert run_kit("fit", d / "obs.nc", *TAS, "--cadence", "monthly", "--out",
                   tmp_path / "b")[0] == 0
    for n in ("p", "f", "order", "aic", "min", "max"):
        with rasterio.open(tmp_path / "a" / f"{n}.tif") as a, \
                rasterio.open(tmp_path / "b" / f"{n}.tif") as b:
            assert a.read().tobytes() == b.read().tobytes(), n
            assert a.transform.almost_equals(b.transform) and a.transform.e < 0
            assert (a.crs, str(a.nodata), a.descriptions, a.scales) == (
                b.crs, str(b.nodata), b.descriptions, b.scales)


@pytest.mark.parametrize("args,status,message", [
    (["--var", "tas"], 1, "holds floating-point values (2.406..23.89) but no scale"),
    (TAS + ["--npoint", "12"], 0, "NFUNC = 6 at NPOINT = 12: harmonic 6 has 2 steps per cycle"),
    (TAS + ["--nfunc", "4"], 0, "12 time steps are less than one period (NPOINT = 46)"),
])
def test_silent_mistakes_are_warned_or_refused(obs, tmp_path, args, status, message):
    d, _ = obs
    got, _, err = run_kit("fit", d / "obs.nc", *args, "--out", tmp_path / "o.nc")
    assert got == status and err.count("\n") == 1 and message in err, err


@pytest.mark.parametrize("source,args,message", [
    ("nothere.nc", TAS, "nothere.nc: cannot open as NetCDF or Zarr"),
    ("garbage.nc", TAS, "garbage.nc: cannot open as NetCDF or Zarr"),
    ("obs.nc", ["--var", "tos"] + TAS[2:], "obs.nc: no variable 'tos' (has tas, pr)"),
    ("obs.nc", TAS + ["--crs", "EPSG:0"], "--crs EPSG:0: not a coordinate system"),
    ("obs.nc", TAS + ["--dates", "2020-01-01/1M"], "--dates: "),
    ("obs.nc", TAS + ["--cadence", "weekly"], "invalid choice: 'weekly'"),
    ("obs.nc", TAS + ["--out", "/proc/version/o.nc"], "/proc/version"),
    ("obs.nc", ["--var", "pr", "--scale", "400"], "value(s) outside 0..32767"),
    ("obs.nc", TAS + ["--cntl", "cntl.dat"], "NDAT, NLINE, NPIX = 12, 33, 80, but"),
    ("obs.nc", TAS + ["--cntl", "cntl.dat", "--nfunc", "2"], "not both (--nfunc)"),
    ("obs.nc", TAS + ["--nfunc", "30"], "nfunc: NFUNC = 30 is outside 0..23"),
    ("obs.nc", TAS + ["--mask", "obs.nc"], "--mask and --good go together"),
    ("obs.nc", TAS + ["--memory", "lots"], "--memory lots: expected a size"),
])
def test_every_error_is_one_line_and_leaves_nothing(obs, tmp_path, source, args, message):
    d, _ = obs
    (d / "garbage.nc").write_text("not a netCDF file\n")
    (d / "cntl.dat").write_text("12\n33 80\n&DATA /\n&CONTRL /\n&NPT /\n")
    args = [str(d / a) if a in ("cntl.dat", "obs.nc") else a for a in args]
    before = sorted(os.listdir(d))
    cadence = [] if "--cntl" in args else ["--cadence", "monthly"]
    r = subprocess.run(["/usr/bin/python3", "-m", "kovarkit", "fit", str(d / source), "--out",
                        str(tmp_path / "o.nc"), *args, *cadence], capture_output=True, text=True,
                       cwd=tmp_path, env=dict(os.environ, PYTHONPATH=PKG))
    assert r.returncode in (1, 2) and r.stderr.count("\n") == 1 and message in r.stderr
    assert "Traceback" not in r.stderr and r.stdout == ""
    assert sorted(os.listdir(d)) == before and os.listdir(tmp_path) == []
