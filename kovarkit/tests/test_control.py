import os
import unittest

from kovarkit.control import control_template, read_control
from kovarkit.errors import KitError

from .util import TempDirTest


class ControlFileTest(TempDirTest):
    def parse(self, text):
        path = self.p("cntl.dat")
        with open(path, "w") as fh:
            fh.write(text)
        return read_control(path)

    def test_complete_file_with_excluded_steps(self):
        c = self.parse("46\n1200 1500\n&DATA NFUNC=6, NDEF=2 /\n"
                       "&CONTRL INTP=1, TCLD=0.2 /\n&NPT NPOINT=46 /\n12\n30\n")
        self.assertEqual((c.ndat, c.nline, c.npix, c.npara), (46, 1200, 1500, 14))
        self.assertEqual(c.excluded, [12, 30])
        self.assertEqual(c.get("INTP"), 1)
        self.assertEqual(c.residual_limits(), (-0.2, 0.4))
        self.assertEqual(c.get("MASK"), 0)  # default kept

    def test_customary_variants(self):
        # values continued on the next line, lower case, $ groups with $END,
        # a group spread over lines, an out-of-range step skipped,
        # a group NDAT that record 1 overrides
        c = self.parse("\n 23  trailing words\n 4,\n 5\n$data nfunc=2 ndef=3 ndat=50 $end\n"
                       "&contrl fitmd=1,\n tcld=1d-1\n mask=1 / rest\n&npt /\n0\n7\n9\n")
        self.assertEqual((c.ndat, c.nline, c.npix, c.nfunc), (23, 4, 5, 2))
        self.assertEqual(c.excluded, [7, 9])
        self.assertEqual(c.residual_limits(), (-0.2, 0.1))
        self.assertEqual(c.get("MASK"), 1)
        # the fixed-period program's file: no NPT group, period 46
        c = self.parse("23\n4 5\n&DATA NDEF=1 /\n&CONTRL /\n7\n")
        self.assertEqual((c.get("NPOINT"), c.excluded), (46, [7]))

    def test_malformed_files_name_file_and_line(self):
        cases = [("46\n10 x\n", "cntl.dat:2: expected an integer for NPIX"),
                 ("46\n10 10\n&DATA NFUNC=six /\n", "cntl.dat:3: expected an integer"),
                 ("46\n10 10\n&DATA NFUNC=2\n", "end of file while reading group &DATA"),
                 ("46\n10 10\n&DATA NDEF=2 /\n&CONTRL /\n&NPT /\n5\n", "end of file"),
                 ("46\n10 10\n&DATA NFUNC=30 /\n&CONTRL /\n&NPT /\n",
                  "cntl.dat:3: NFUNC = 30 is outside 0..23")]
        for text, where in cases:
            with self.subTest(text=text):
                with self.assertRaises(KitError) as cm:
                    self.parse(text)
                self.assertIn("cntl.dat", str(cm.exception))
                self.assertIn(where, str(cm.exception))

    def test_missing_file(self):
        with self.assertRaisesRegex(KitError, "cntl.dat: not found"):
            read_control(self.p("cntl.dat"))
        self.assertFalse(os.path.exists(self.p("cntl.dat")))

    def test_template_reads_back_and_keeps_default_tolerance(self):
        c = self.parse(control_template(31, 7, 9, mask=True, period=23))
        self.assertEqual((c.ndat, c.nline, c.npix), (31, 7, 9))
        self.assertEqual((c.get("MASK"), c.get("NPOINT"), c.get("NDEF")), (1, 23, 0))
        self.assertEqual(c.get("TCLD"), 0.15000000596046448)  # the reader's own default
        # with NDEF set, excluded steps follow the last group directly
        text = control_template(31, 7, 9).replace("NDEF=0", "NDEF=1") + "4\n"
        self.assertEqual(self.parse(text).excluded, [4])


if __name__ == "__main__":
    unittest.main()
