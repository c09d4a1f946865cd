"""Truncated sources: files written by netCDF4, h5py and rasterio, then cut."""

import numpy as np
import pytest

from kovarkit.formats.integrity import check_complete

CUBE = np.arange(12 * 20 * 30, dtype=np.int16).reshape(12, 20, 30)


def netcdf(path, fmt, unlimited=True, qa=True):
    import netCDF4
    with netCDF4.Dataset(path, "w", format=fmt) as d:
        # variables of 19 x 29 values: not a multiple of 4 bytes
        for name, size in (("time", None if unlimited else 12), ("y", 19), ("x", 29)):
            d.createDimension(name, size)
        d.setncattr("title", "a cut cube")
        d.createVariable("ndvi", "i2", ("time", "y", "x"))[:] = CUBE[:, :19, :29]
        if qa:  # a second record variable: each is padded within a record
            d.createVariable("qa", "i1", ("time", "y", "x"))[:] = CUBE[:, :19, :29] % 7
        d.createVariable("lat", "f8", ("y",))[:] = np.arange(19)


def hdf5(path, **options):
    import h5py
    with h5py.File(path, "w", **options) as f:
        f["ndvi"] = CUBE


def geotiff(path, **options):
    import rasterio
    from rasterio.transform import from_origin
    with rasterio.open(path, "w", driver="GTiff", width=30, height=20, count=12, dtype="int16",
                       crs="EPSG:4326", transform=from_origin(0, 10, 0.1, 0.1), **options) as d:
        d.write(CUBE)
        d.build_overviews([2])


WRITERS = {
    "netcdf4.nc": lambda p: netcdf(p, "NETCDF4"),
    "cdf1.nc": lambda p: netcdf(p, "NETCDF3_CLASSIC"),
    "cdf2-fixed.nc": lambda p: netcdf(p, "NETCDF3_64BIT_OFFSET", unlimited=False),
    "cdf5.nc": lambda p: netcdf(p, "NETCDF3_64BIT_DATA", qa=False),
    "userblock.h5": lambda p: hdf5(p, userblock_size=1024),
    "v3.h5": lambda p: hdf5(p, libver="latest"),
    "strips.tif": lambda p: geotiff(p),
    "tiles.tif": lambda p: geotiff(p, tiled=True, blockxsize=16, blockysize=16,
                                   compress="deflate"),
    "bigtiff.tif": lambda p: geotiff(p, BIGTIFF="YES", tiled=True, blockxsize=16,
                                     blockysize=16, interleave="band"),
}


@pytest.mark.parametrize("name", sorted(WRITERS))
def test_a_file_cut_anywhere_is_refused_naming_its_size(tmp_path, name):
    path = tmp_path / name
    WRITERS[name](str(path))
    data = path.read_bytes()
    check_complete(path)
    # The last bytes (a classic file may end in padding), the overviews or the
    # last records, the data, the header (a superblock after a user block is
    # then gone: nothing to check).
    for size in (len(data) - 3, len(data) * 3 // 4, len(data) // 2, 1200, 100)[
            :4 if name == "userblock.h5" else 5]:
        path.write_bytes(data[:size])
        with pytest.raises(ValueError) as e:
            check_complete(path)
        msg = str(e.value)
        assert msg.startswith(f"{path}: file is {size} bytes, its ") and "\n" not in msg, msg
        assert msg.endswith(": truncated (an interrupted copy or download?)"), msg
        need = int(msg.split(": truncated")[0].split()[-1])
        assert size < need <= len(data), msg


def test_what_is_not_checked_passes(tmp_path):
    (tmp_path / "notes.txt").write_text("CDF is not a header")
    (tmp_path / "empty.nc").write_bytes(b"")
    (tmp_path / "cube.zarr").mkdir()  # its chunks are checked as they are decoded
    for name in ("notes.txt", "empty.nc", "cube.zarr", "absent.nc"):
        check_complete(tmp_path / name)
