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
        assert back.large_integral.dims == ("season", "y", "x")  # maps for GDAL and QGIS
        np.testing.assert_array_equal(back.large_integral.transpose("y", "x", "season"),
                                      want.large_integral)
    for argv in (["map", str(tmp_path / "maps" / "end_time.tif"), "1"],
                 ["map", f"{tmp_path / 'm.nc'}:length", "1", "-o", str(tmp_path / "l.png")],
                 ["plot", "-C", str(tmp_path), "1", "2", "-o", str(tmp_path / "p.png")]):
        assert main(argv) == 0
    assert "map_end_time_s1.png" in os.listdir(tmp_path / "maps")
    assert {"l.png", "p.png"} <= set(os.listdir(tmp_path))
