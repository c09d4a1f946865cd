import os
import subprocess

import numpy as np
import pytest
import rasterio
from matplotlib.image import imread

from kovarkit.test_support import BIN, make_scene, run_kit

pytestmark = pytest.mark.filterwarnings("ignore::rasterio.errors.NotGeoreferencedWarning")


def test_headers_and_exports_keep_values_types_and_band_names(tmp_path):
    arrays = make_scene(tmp_path)
    with open(tmp_path / "min.dat", "ab") as fh:  # longer than the scene: a warning
        fh.write(b"\0" * 10)
    status, out, err = run_kit("hdr", "-C", tmp_path)
    assert (status, err.count("\n")) == (0, 1)
    assert "min.dat: 70 bytes, more than the 60 the scene needs" in err
    status, out, err = run_kit("export", "-C", tmp_path, "--outdir", tmp_path / "tif")
    assert status == 0 and "no georeferencing" in err
    for name, expected in arrays.items():
        tif = tmp_path / "tif" / (name[:-4] + ".tif")
        for path in [tmp_path / name] + ([tif] if tif.exists() else []):
            with rasterio.open(path) as ds:
                assert (ds.count, ds.height, ds.width) == expected.shape, path
                assert np.dtype(ds.dtypes[0]) == expected.dtype, path
                assert (ds.read() == expected).all() and all(ds.descriptions), path
    with rasterio.open(tmp_path / "p.bsq") as ds:
        assert ds.descriptions[14] == "amplitude position 7 (harmonic 0)"


def test_plots_and_maps(tmp_path):
    make_scene(tmp_path)
    with open(tmp_path / "order.dat", "r+b") as fh:  # order 1 is a failure too
        fh.write(b"\1")
    for line, pixel, failure in ((5, 4, None), (2, 3, -1), (1, 1, 1)):
        status, stdout, err = run_kit("plot", "-C", tmp_path, line, pixel)
        assert status == 0
        assert err == ("" if failure is None else
                       f"kovarkit: plot: line {line}, pixel {pixel}: the final fit failed "
                       f"(order value {failure}): f.bsq and p.bsq hold zeros for this pixel\n")
        assert imread(tmp_path / f"plot_L{line}_P{pixel}.png").shape[:2] == (600, 1100)
    assert "outside the scene of 6 lines x 5 pixels" in run_kit("plot", "-C", tmp_path, 7, 1)[2]
    for args in (("p", 4), ("order",)):  # a phase, a categorical band
        status, _, err = run_kit("map", "-C", tmp_path, *args, "-o", tmp_path / "m.png")
        assert (status, err, imread(tmp_path / "m.png").shape[1]) == (0, "", 850)
    assert "band 17 does not exist (the product has 16 band(s))" in run_kit(
        "map", "-C", tmp_path, "p", 17)[2]
    os.remove(tmp_path / "data.bsq")  # the entry script: one line and the status
    r = subprocess.run([BIN, "plot", "1", "1"], cwd=tmp_path, capture_output=True, text=True)
    assert (r.returncode, r.stderr.count("\n")) == (1, 1) and "data.bsq: not found" in r.stderr
