import os
import shutil
import subprocess
import unittest

import numpy as np
import rasterio

from kovarkit.scene import parameter_names

from .scenegen import make_scene
from .util import TempDirTest, run_kit

PRODUCTS = ("p.bsq", "i.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat")


class HeaderTest(TempDirTest):
    def setUp(self):
        super().setUp()
        self.arrays = make_scene(self.dir, ndat=12, nline=4, npix=7, nfunc=7)

    def test_gdal_reads_every_raster_through_its_header(self):
        status, out, err = run_kit("hdr", "-C", self.dir)
        self.assertEqual((status, err), (0, ""))
        for name, expected in self.arrays.items():
            with self.subTest(name=name), rasterio.open(self.p(name)) as ds:
                self.assertEqual(ds.driver, "ENVI")
                self.assertEqual((ds.count, ds.height, ds.width), expected.shape)
                self.assertEqual(np.dtype(ds.dtypes[0]), expected.dtype)
                np.testing.assert_array_equal(ds.read(), expected)
                self.assertTrue(all(ds.descriptions))
        with rasterio.open(self.p("p.bsq")) as ds:
            self.assertEqual(ds.descriptions, parameter_names(7))
            self.assertEqual(ds.descriptions[12], "amplitude harmonic 12")
            self.assertEqual(ds.descriptions[14], "amplitude position 7 (harmonic 0)")
        with rasterio.open(self.p("f.bsq")) as ds:
            self.assertEqual(ds.descriptions[-1], "fit time step 12")

    @unittest.skipUnless(shutil.which("gdalinfo"), "gdalinfo not installed")
    def test_gdalinfo_lists_parameter_bands(self):
        run_kit("hdr", "-C", self.dir)
        info = subprocess.run(["gdalinfo", self.p("p.bsq")], capture_output=True,
                              text=True, check=True).stdout
        self.assertEqual(info.count("Type=Float32"), 16)
        self.assertIn("Description = phase harmonic 3 (rad)", info)

    def test_short_product_is_reported_and_others_described(self):
        with open(self.p("aic.dat"), "r+b") as fh:
            fh.truncate(4 * 4 * 7 - 4)
        status, out, err = run_kit("hdr", "-C", self.dir)
        self.assertEqual(status, 1)
        self.assertIn("aic.dat: 108 bytes", err)
        self.assertIn("need 112", err)
        self.assertFalse(os.path.exists(self.p("aic.hdr")))
        self.assertTrue(os.path.exists(self.p("max.hdr")))

    def test_longer_file_is_described_with_a_warning(self):
        with open(self.p("min.dat"), "ab") as fh:
            fh.write(b"\0" * 10)
        status, _, err = run_kit("hdr", "-C", self.dir)
        self.assertEqual(status, 0)
        self.assertIn("min.dat", err)
        with rasterio.open(self.p("min.dat")) as ds:
            np.testing.assert_array_equal(ds.read(), self.arrays["min.dat"])


class ExportTest(TempDirTest):
    def test_geotiffs_keep_values_types_and_band_names(self):
        arrays = make_scene(self.dir, ndat=10, nline=5, npix=6, nfunc=2)
        status, out, err = run_kit("export", "-C", self.dir, "--outdir", self.p("tif"))
        self.assertEqual(status, 0)
        self.assertIn("no georeferencing", err)
        for name in PRODUCTS:
            stem = os.path.splitext(name)[0]
            with self.subTest(name=name), rasterio.open(self.p("tif", stem + ".tif")) as ds:
                np.testing.assert_array_equal(ds.read(), arrays[name])
                self.assertEqual(ds.dtypes[0], arrays[name].dtype.name)
                self.assertEqual(ds.compression.name, "deflate")
                self.assertTrue(all(ds.descriptions))

    def test_selected_products_and_unknown_names(self):
        make_scene(self.dir, ndat=10, nline=5, npix=6, nfunc=2, intp=0)
        status, out, _ = run_kit("export", "-C", self.dir, "order", "p.bsq")
        self.assertEqual(status, 0)
        self.assertEqual(sorted(f for f in os.listdir(self.dir) if f.endswith(".tif")),
                         ["order.tif", "p.tif"])
        status, _, err = run_kit("export", "-C", self.dir, "i.bsq")
        self.assertEqual(status, 1)
        self.assertIn("i.bsq: not found", err)
        status, _, err = run_kit("export", "-C", self.dir, "q.bsq")
        self.assertEqual(status, 1)
        self.assertIn("q.bsq: not a scene raster", err)


if __name__ == "__main__":
    unittest.main()
