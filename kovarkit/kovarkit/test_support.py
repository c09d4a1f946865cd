"""For the tests: the command line run in-process, the programs of the build,
and small scenes in the layout kovarind writes."""

import contextlib
import io
import os

import numpy as np
import pytest

from kovarkit.cli import main
from kovarkit.formats.control import control_template

PKG = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # what PYTHONPATH names
ROOT = os.path.dirname(PKG)
BIN = os.path.join(PKG, "bin", "kovarkit")


def program(env, name):
    """Path of a program of the build (or $env), or the test is skipped."""
    path = os.environ.get(env) or os.path.join(ROOT, "build", name)
    if not os.access(path, os.X_OK):
        pytest.skip(f"{name} not built (set {env})")
    return path


def run_kit(*argv):
    """(status, stdout, stderr) of one kovarkit command."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main([str(a) for a in argv])
    return status, out.getvalue(), err.getvalue()


def make_scene(d, ndat=23, nline=6, npix=5, nfunc=7):
    """Writes cntl.dat (INTP=1, step 4 excluded), inputs and products of a scene
    whose fit failed at line 2, pixel 3 into d; returns the arrays by name."""
    text = control_template(ndat, nline, npix, period=ndat).replace("INTP=0", "INTP=1")
    (d / "cntl.dat").write_text(text.replace("NFUNC=6, NDEF=0", f"NFUNC={nfunc}, NDEF=1") + "4\n")
    rng = np.random.default_rng(1)
    plane = (1, nline, npix)
    t = np.arange(1, ndat + 1).reshape(-1, 1, 1)
    fit = np.floor(4096 * (0.3 + 0.1 * np.sin(2 * np.pi * t / ndat + rng.uniform(0, 6, plane))))
    a = {"data.bsq": (fit + rng.integers(-40, 40, fit.shape)).astype("<i2"),
         "mask.bsq": np.ones(fit.shape, np.uint8), "f.bsq": fit.astype("<i2"),
         "i.bsq": (fit + 16).astype("<i2"),
         "p.bsq": rng.uniform(-1, 1, (2 * nfunc + 2, nline, npix)).astype("<f4"),
         "order.dat": np.full(plane, nfunc, np.uint8),
         "aic.dat": rng.uniform(-200, -100, plane).astype("<f4"),
         "min.dat": fit.min(axis=0, keepdims=True).astype("<i2"),
         "max.dat": fit.max(axis=0, keepdims=True).astype("<i2")}
    for name in ("p.bsq", "f.bsq", "min.dat", "max.dat"):
        a[name][:, 1, 2] = 0
    a["order.dat"][0, 1, 2] = 255
    for name, values in a.items():
        values.tofile(d / name)
    return a
