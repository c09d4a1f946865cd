"""Running the command line in-process and temporary scene directories."""

import contextlib
import io
import os
import shutil
import struct
import tempfile
import unittest
import warnings

from rasterio.errors import NotGeoreferencedWarning

from kovarkit.cli import main


def run_kit(*argv):
    """(status, stdout, stderr) of one kovarkit command."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main([str(a) for a in argv])
    return status, out.getvalue(), err.getvalue()


def png_size(path):
    with open(path, "rb") as fh:
        head = fh.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        raise AssertionError(f"{path} is not a PNG")
    return struct.unpack(">II", head[16:24])


class TempDirTest(unittest.TestCase):
    def setUp(self):
        # products without georeferencing are normal here
        warnings.simplefilter("ignore", NotGeoreferencedWarning)
        self.dir = tempfile.mkdtemp(prefix="kovarkit-test-")
        self.addCleanup(shutil.rmtree, self.dir)

    def p(self, *names):
        return os.path.join(self.dir, *names)
