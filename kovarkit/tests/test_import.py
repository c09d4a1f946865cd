import os
import subprocess
import unittest

import numpy as np
import rasterio
from rasterio.crs import CRS
from rasterio.transform import from_origin

from kovarkit.control import read_control

from .util import TempDirTest, run_kit

CRS_UTM = CRS.from_epsg(32633)
TRANSFORM = from_origin(500000.0, 4600000.0, 30.0, 30.0)


def write_tif(path, bands, nodata=None, crs=CRS_UTM, transform=TRANSFORM):
    bands = np.asarray(bands)
    with rasterio.open(path, "w", driver="GTiff", width=bands.shape[2],
                       height=bands.shape[1], count=bands.shape[0], dtype=bands.dtype,
                       crs=crs, transform=transform, nodata=nodata) as ds:
        ds.write(bands)


def read_bsq(path, dtype, shape):
    return np.fromfile(path, dtype=dtype).reshape(shape)


class ImportTest(TempDirTest):
    def setUp(self):
        super().setUp()
        os.mkdir(self.p("scene"))
        self.scene = self.p("scene")
        rng = np.random.default_rng(3)
        self.values = rng.uniform(0.0, 0.9, (5, 4, 6)).astype(np.float32)

    def test_multiband_with_nodata_scale_and_offset(self):
        v = self.values.copy()
        v[2, 1, 3] = -9999.0
        write_tif(self.p("stack.tif"), v, nodata=-9999.0)
        status, out, err = run_kit("import", "-C", self.scene, self.p("stack.tif"),
                                   "--scale", 4096, "--offset", 10)
        self.assertEqual((status, err), (0, ""), err)
        data = read_bsq(self.p("scene", "data.bsq"), "<i2", v.shape)
        mask = read_bsq(self.p("scene", "mask.bsq"), "u1", v.shape)
        expect = np.floor(v.astype(np.float64) * 4096 + 10 + 0.5)
        valid = np.ones(v.shape, bool)
        valid[2, 1, 3] = False
        np.testing.assert_array_equal(data[valid], expect[valid])
        self.assertEqual((data[2, 1, 3], mask[2, 1, 3]), (0, 0))
        np.testing.assert_array_equal(mask.astype(bool), valid)
        c = read_control(self.p("scene", "cntl.dat"))
        self.assertEqual((c.ndat, c.nline, c.npix, c.get("MASK")), (5, 4, 6, 0))
        # georeferencing reaches the headers and the exports
        self.assertEqual(run_kit("hdr", "-C", self.scene)[0], 0)
        with rasterio.open(self.p("scene", "data.bsq")) as ds:
            self.assertEqual(ds.crs, CRS_UTM)
            self.assertTrue(ds.transform.almost_equals(TRANSFORM))
            np.testing.assert_array_equal(ds.read(), data)
        np.zeros((4, 6), "u1").tofile(self.p("scene", "order.dat"))
        self.assertEqual(run_kit("export", "-C", self.scene, "order")[0], 0)
        with rasterio.open(self.p("scene", "order.tif")) as ds:
            self.assertEqual(ds.crs, CRS_UTM)
            self.assertEqual(ds.transform, TRANSFORM)

    def test_single_band_list_with_nan_and_qa_mask(self):
        paths, qa_paths = [], []
        qa = np.arange(5 * 4 * 6).reshape(5, 4, 6) % 4
        for t in range(5):
            band = np.round(self.values[t:t + 1] * 3000).astype(np.float32)
            if t == 4:
                band[0, 0, 0] = np.nan
            paths.append(self.p(f"t{t}.tif"))
            write_tif(paths[-1], band)
            qa_paths.append(self.p(f"qa{t}.tif"))
            write_tif(qa_paths[-1], qa[t:t + 1].astype(np.uint8))
        status, out, err = run_kit("import", "-C", self.scene, *paths, "--mask", *qa_paths,
                                   "--good", "0,2-2", "--period", 5)
        self.assertEqual(status, 0, err)
        data = read_bsq(self.p("scene", "data.bsq"), "<i2", qa.shape)
        mask = read_bsq(self.p("scene", "mask.bsq"), "u1", qa.shape)
        np.testing.assert_array_equal(data[:4], np.round(self.values[:4] * 3000))
        self.assertEqual(data[4, 0, 0], 0)
        expect = np.isin(qa, [0, 2])
        expect[4, 0, 0] = False
        np.testing.assert_array_equal(mask.astype(bool), expect)
        c = read_control(self.p("scene", "cntl.dat"))
        self.assertEqual((c.ndat, c.get("MASK"), c.get("NPOINT")), (5, 1, 5))

    def test_out_of_range_values_are_refused_naming_file_band_and_count(self):
        write_tif(self.p("a.tif"), np.full((3, 4, 6), 100, np.int32))
        b = np.full((3, 4, 6), 100, np.int32)
        b[1, 0, :3] = 40000
        b[2, 2, 2] = -1
        write_tif(self.p("b.tif"), b)
        status, out, err = run_kit("import", "-C", self.scene, self.p("a.tif"), self.p("b.tif"))
        self.assertEqual(status, 1)
        self.assertEqual(len(err.splitlines()), 1)
        self.assertIn("b.tif: band 2: 3 value(s) outside 0..32767", err)
        self.assertIn("1 more band(s)", err)
        self.assertEqual(os.listdir(self.scene), [])
        # scaling can bring the values into range
        status, _, err = run_kit("import", "-C", self.scene, self.p("a.tif"), self.p("b.tif"),
                                 "--scale", 0.5, "--offset", 1)
        self.assertEqual(status, 0, err)
        data = read_bsq(self.p("scene", "data.bsq"), "<i2", (6, 4, 6))
        self.assertEqual((data[4, 0, 0], data[5, 2, 2], data[0, 0, 0]), (20001, 1, 51))

    def test_existing_scene_is_kept_without_force(self):
        write_tif(self.p("s.tif"), np.full((3, 4, 6), 7, np.uint16))
        with open(self.p("scene", "cntl.dat"), "w") as fh:
            fh.write("mine\n")
        status, _, err = run_kit("import", "-C", self.scene, self.p("s.tif"))
        self.assertEqual(status, 1)
        self.assertIn("cntl.dat: exists", err)
        self.assertEqual(sorted(os.listdir(self.scene)), ["cntl.dat"])
        status, _, err = run_kit("import", "-C", self.scene, self.p("s.tif"), "--force")
        self.assertEqual(status, 0, err)
        self.assertEqual(read_control(self.p("scene", "cntl.dat")).ndat, 3)

    def test_inconsistent_sources_are_refused(self):
        write_tif(self.p("a.tif"), np.ones((2, 4, 6), np.uint16))
        write_tif(self.p("b.tif"), np.ones((1, 4, 5), np.uint16))
        write_tif(self.p("c.tif"), np.ones((1, 4, 6), np.uint16),
                  transform=from_origin(0, 0, 30, 30))
        for other, what in (("b.tif", "5 x 4 pixels"), ("c.tif", "georeferencing differs")):
            status, _, err = run_kit("import", "-C", self.scene, self.p("a.tif"), self.p(other))
            self.assertEqual(status, 1)
            self.assertIn(other, err)
            self.assertIn(what, err)
        status, _, err = run_kit("import", "-C", self.scene, self.p("a.tif"))
        self.assertIn("3..200 time steps", err)
        status, _, err = run_kit("import", "-C", self.scene, self.p("nothere.tif"))
        self.assertIn("nothere.tif: cannot open", err)
        self.assertEqual(os.listdir(self.scene), [])


def _kovarind():
    here = os.path.dirname(os.path.abspath(__file__))
    for p in (os.environ.get("KOVARIND"),
              os.path.join(here, "..", "..", "build", "kovarind")):
        if p and os.access(p, os.X_OK):
            return os.path.abspath(p)
    return None


class ImportedSceneRunsTest(TempDirTest):
    @unittest.skipUnless(_kovarind(), "kovarind not built (set KOVARIND or build/kovarind)")
    def test_program_processes_an_imported_stack(self):
        t = np.arange(1, 47)
        series = 800 + 400 * np.sin(2 * np.pi * t / 46)
        stack = np.broadcast_to(series[:, None, None], (46, 3, 4)).astype(np.uint16)
        write_tif(self.p("stack.tif"), stack)
        self.assertEqual(run_kit("import", "-C", self.dir, self.p("stack.tif"))[0], 0)
        r = subprocess.run([_kovarind()], cwd=self.dir, capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(run_kit("hdr", "-C", self.dir)[0], 0)
        with rasterio.open(self.p("p.bsq")) as ds:
            self.assertEqual((ds.count, ds.dtypes[0]), (14, "float32"))
            self.assertEqual(ds.crs, CRS_UTM)
        with rasterio.open(self.p("f.bsq")) as ds:
            fit = ds.read()
        self.assertLess(np.abs(fit.astype(float) - stack).max(), 20)
