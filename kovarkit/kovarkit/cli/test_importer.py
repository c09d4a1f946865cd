
import numpy as np
import rasterio
from rasterio.crs import CRS
from rasterio.transform import from_origin

from kovarkit.formats.control import read_control
from kovarkit.test_support import run_kit

CRS_UTM = CRS.from_epsg(32633)
TRANSFORM = from_origin(500000.0, 4600000.0, 30.0, 30.0)


def write_tif(path, bands, nodata=None, transform=TRANSFORM):
    with rasterio.open(path, "w", driver="GTiff", width=bands.shape[2], height=bands.shape[1],
                       count=bands.shape[0], dtype=bands.dtype, crs=CRS_UTM,
                       transform=transform, nodata=nodata) as ds:
        ds.write(bands)


def test_bands_nodata_scale_offset_qa_mask_and_georeferencing(tmp_path):
    v = np.random.default_rng(3).uniform(0.0, 0.9, (5, 4, 6)).astype(np.float32)
    v[2, 1, 3], v[4, 0, 0] = -9999.0, np.nan
    qa = np.arange(5 * 4 * 6).reshape(5, 4, 6) % 4
    for t in range(5):
        write_tif(tmp_path / f"t{t}.tif", v[t:t + 1], nodata=-9999.0)
        write_tif(tmp_path / f"qa{t}.tif", qa[t:t + 1].astype(np.uint8))
    status, out, err = run_kit("import", *(tmp_path / f"t{t}.tif" for t in range(5)),
                               "-C", tmp_path, "--scale", 4096, "--offset", 10, "--period", 5,
                               "--mask", *(tmp_path / f"qa{t}.tif" for t in range(5)),
                               "--good", "0,2-2")
    assert (status, err) == (0, "")
    data = np.fromfile(tmp_path / "data.bsq", "<i2").reshape(v.shape)
    mask = np.fromfile(tmp_path / "mask.bsq", "u1").reshape(v.shape)
    valid = np.isfinite(v) & (v != -9999.0)
    assert (data == np.where(valid, np.floor(v.astype(float) * 4096 + 10.5), 0)).all()
    assert (mask == (valid & np.isin(qa, [0, 2]))).all()
    c = read_control(str(tmp_path / "cntl.dat"))
    assert (c.ndat, c.nline, c.npix, c.get("MASK"), c.get("NPOINT")) == (5, 4, 6, 1, 5)
    # georeferencing reaches the headers and the exports
    np.zeros((4, 6), "u1").tofile(tmp_path / "order.dat")
    assert run_kit("hdr", "-C", tmp_path)[0] == 0 == run_kit("export", "-C", tmp_path, "order")[0]
    for name in ("data.bsq", "order.tif"):
        with rasterio.open(tmp_path / name) as ds:
            assert (ds.crs, ds.transform) == (CRS_UTM, TRANSFORM)


def test_refused_imports_write_nothing(tmp_path):
    b = np.full((3, 4, 6), 100, np.int32)
    write_tif(tmp_path / "a.tif", b)
    b[1, 0, :3], b[2, 2, 2] = 40000, -1
    write_tif(tmp_path / "b.tif", b)
    write_tif(tmp_path / "c.tif", b[:1, :, :5])
    write_tif(tmp_path / "d.tif", b[:2], transform=from_origin(0, 0, 30, 30))
    for sources, what in ((("a", "b"), "b.tif: band 2: 3 value(s) outside 0..32767 after scaling "
                           "(scale 1, offset 0; range 40000..40000); 1 more band"),
                          (("a", "c"), "c.tif: 5 x 4 pixels"),
                          (("a", "d"), "d.tif: georeferencing differs"),
                          (("d",), "3..200 time steps"),
                          (("nothere",), "nothere.tif: cannot open")):
        tifs = (tmp_path / f"{s}.tif" for s in sources)
        status, _, err = run_kit("import", "-C", tmp_path, *tifs)
        assert (status, err.count("\n")) == (1, 1) and what in err
        assert not (tmp_path / "data.bsq").exists()
    # scaling can bring the values into range; an existing scene needs --force
    args = ("import", "-C", tmp_path, tmp_path / "a.tif", tmp_path / "b.tif", "--scale", 0.5,
            "--offset", 1)
    assert run_kit(*args)[0] == 0
    data = np.fromfile(tmp_path / "data.bsq", "<i2").reshape(6, 4, 6)
    assert (data[4, 0, 0], data[5, 2, 2], data[0, 0, 0]) == (20001, 1, 51)
    assert "data.bsq: exists" in run_kit(*args)[2]
    assert run_kit(*args, "--force")[0] == 0
