import os
import subprocess
import unittest

import numpy as np

from kovarkit.control import Control
from kovarkit.screening import screen

from .scenegen import make_scene, write_control
from .util import TempDirTest, png_size, run_kit

BIN = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bin", "kovarkit")


class ScreeningTest(unittest.TestCase):
    def test_residual_screening_against_first_fit(self):
        ctl = Control(6, 1, 1, {"NDEF": 1}, [2])
        first = np.full(6, 1000)
        # residual limits -614.4 / +1228.8 counts (default tolerance, FITMD 0)
        raw = first + np.array([1228, 0, 1229, -614, -615, 3000])
        s = screen(ctl, raw, first_fit=first)
        np.testing.assert_array_equal(s.used, [True, False, False, True, False, False])
        np.testing.assert_array_equal(s.uncertain, [True, False, True, True, True, False])
        # FITMD 2 makes the limits symmetric
        s = screen(Control(6, 1, 1, {"FITMD": 2}), raw, first_fit=first)
        np.testing.assert_array_equal(s.used, [False, True, False, True, False, False])

    def test_mask_and_raw_limits(self):
        raw = np.array([1100, 1536, 1537, 100, 612, 1125, 100])
        mask = np.array([1, 1, 1, 0, 1, 1, 1])
        ctl = Control(7, 1, 1, {"MASK": 1, "NDEF": 1}, [7])
        s = screen(ctl, raw, mask)
        # 1537 is above the limit; 612 rises by exactly 512 and passes, 1125 by 513;
        # an excluded step with mask 1 still enters the fit
        np.testing.assert_array_equal(s.used, [True, True, False, False, True, False, True])
        ctl.keys["FITSW"] = 0
        np.testing.assert_array_equal(screen(ctl, raw, mask).used, [True] * 6 + [False])
        # without mask and first fit nothing can be claimed about use
        self.assertIsNone(screen(Control(7, 1, 1), raw).used)


class PlotMapTest(TempDirTest):
    def setUp(self):
        super().setUp()
        make_scene(self.dir, ndat=23, nline=6, npix=5, nfunc=3, failed=((2, 3),),
                   excluded=(4,))

    def test_plot_of_fitted_and_failed_pixels(self):
        out = self.p("a.png")
        status, stdout, err = run_kit("plot", "-C", self.dir, 5, 4, "-o", out)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(png_size(out), (1100, 600))
        status, stdout, err = run_kit("plot", "-C", self.dir, 2, 3)
        self.assertEqual(status, 0)
        self.assertIn("line 2, pixel 3: the final fit failed (order value -1)", err)
        self.assertEqual(png_size(self.p("plot_L2_P3.png")), (1100, 600))
        # an order value of 1 is a failure too, although the model bytes are intact
        order = np.memmap(self.p("order.dat"), dtype="u1", mode="r+", shape=(6, 5))
        order[0, 0] = 1
        order.flush()
        del order
        status, stdout, err = run_kit("plot", "-C", self.dir, 1, 1, "-o", out)
        self.assertIn("line 1, pixel 1: the final fit failed (order value 1)", err)

    def test_plot_refuses_pixels_outside_and_missing_products(self):
        status, _, err = run_kit("plot", "-C", self.dir, 7, 1)
        self.assertEqual(status, 1)
        self.assertIn("outside the scene of 6 lines x 5 pixels", err)
        os.remove(self.p("f.bsq"))
        status, _, err = run_kit("plot", "-C", self.dir, 1, 1)
        self.assertIn("f.bsq: not found", err)

    def test_maps_of_continuous_phase_and_categorical_bands(self):
        for args in (("p.bsq", 3), ("p", 4), ("order",), ("aic",), ("f", 23), ("mask",)):
            with self.subTest(args=args):
                out = self.p("m.png")
                status, _, err = run_kit("map", "-C", self.dir, *args, "-o", out)
                self.assertEqual((status, err), (0, ""))
                w, h = png_size(out)
                self.assertEqual(w, 850)
                os.remove(out)
        status, _, err = run_kit("map", "-C", self.dir, "p", 9)
        self.assertEqual(status, 1)
        self.assertIn("p.bsq: band 9 does not exist (the product has 8 band(s))", err)

    def test_summary_counts_failures_and_orders(self):
        status, out, _ = run_kit("summary", "-C", self.dir)
        self.assertEqual(status, 0)
        self.assertIn("failed fits (order value <= 1): 1 (3.33%)", out)
        self.assertRegex(out, r"\n +3: +29 ")

    def test_entry_script_reports_one_line_and_status(self):
        write_control(self.dir, 23, 6, 5)
        os.remove(self.p("data.bsq"))
        r = subprocess.run([BIN, "plot", "1", "1"], cwd=self.dir, capture_output=True, text=True)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr.count("\n"), 1)
        self.assertIn("data.bsq: not found", r.stderr)


if __name__ == "__main__":
    unittest.main()
