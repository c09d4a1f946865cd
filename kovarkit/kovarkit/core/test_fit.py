"""kovarkit.fit against the batch program, byte for byte, and its argument checks."""

import os
import subprocess

import numpy as np
import pytest

import kovarkit
from kovarkit.test_support import program


def make_cube(d, lines, pixels, steps, seed, mask_values=False):
    """A generated scene (lines, pixels, steps) and its mask; special series in line 1."""
    subprocess.run([program("MKSCENE", "mkscene"), d, "--lines", str(lines), "--pixels",
                    str(pixels), "--steps", str(steps), "--seed", str(seed), "--no-cntl"],
                   check=True, stdout=subprocess.DEVNULL)
    shape = (steps, lines, pixels)
    raw = np.fromfile(os.path.join(d, "data.bsq"), "<i2").reshape(shape).transpose(1, 2, 0).copy()
    msk = np.fromfile(os.path.join(d, "mask.bsq"), "u1").reshape(shape).transpose(1, 2, 0).copy()
    t = np.arange(steps)
    raw[0, 0] = 0                                # nothing usable
    raw[0, 1] = 32767                            # every sample above the raw limit
    raw[0, 2] = 1000                             # flat
    raw[0, 3] = np.where(t % 2, 1536, 1024)      # limit and rise of exactly 512
    raw[0, 4] = np.where(t % 5 == 0, 1537, 700)  # spikes just above the limit
    msk[0, 5] = 0                                # nothing masked usable
    if mask_values:  # mask bytes beyond 0/1 carry meaning in the pipeline
        rng = np.random.default_rng(seed)
        msk = np.where(rng.random(msk.shape) < 0.2, rng.integers(2, 256, msk.shape),
                       msk).astype(np.uint8)
    return raw, msk


def write_scene(d, raw, msk, keys, excluded, fixed):
    lines, pixels, steps = raw.shape
    raw.transpose(2, 0, 1).astype("<i2").tofile(os.path.join(d, "data.bsq"))
    msk.transpose(2, 0, 1).astype("u1").tofile(os.path.join(d, "mask.bsq"))
    contrl = ", ".join(f"{k}={v}" for k, v in keys.items() if k not in ("nfunc", "npoint"))
    npt = "" if fixed else f"&NPT NPOINT={keys.get('npoint', 46)} /\n"
    with open(os.path.join(d, "cntl.dat"), "w") as fh:
        fh.write(f"{steps}\n{lines} {pixels}\n&DATA NFUNC={keys.get('nfunc', 6)}, "
                 f"NDEF={len(excluded)} /\n&CONTRL {contrl} /\n{npt}"
                 + "".join(f"{t}\n" for t in excluded))


def batch_products(d, lines, pixels, steps, npara, intp, fixed):
    exe = program(*(("KOVARIND_FIXED", "kovarind-fixed") if fixed else ("KOVARIND", "kovarind")))
    subprocess.run([exe], cwd=d, check=True, stdout=subprocess.DEVNULL)

    def read(name, dtype, bands=1):
        a = np.fromfile(os.path.join(d, name), dtype).reshape(bands, lines, pixels)
        return a.transpose(1, 2, 0) if name.endswith(".bsq") else a[0]
    return {"p": read("p.bsq", "<f4", npara), "f": read("f.bsq", "<i2", steps),
            "i": read("i.bsq", "<i2", steps) if intp == 1 else None,
            "order": read("order.dat", "u1"), "aic": read("aic.dat", "<f4"),
            "min": read("min.dat", "<i2"), "max": read("max.dat", "<i2")}


# (steps, seed, control keywords, excluded, use the mask, fixed-period program)
CASES = [
    (46, 1, {}, (), False, False),
    (46, 2, {"intp": 1}, (3, 9, 0, 47, 9), False, True),
    (46, 3, {"mask": 1, "intp": 1, "fitmd": 1, "tcld": 0.1}, (12,), True, False),
    (40, 4, {"fitmd": 2, "fitsw": 0, "mmsw": 0, "intp": 1, "npoint": 23}, (), False, False),
    (60, 5, {"nfunc": 9, "npoint": 30, "nwin": 0, "tcld": 0.15, "fitmd": 1}, (1, 60), False,
     False),
    (23, 6, {"nfunc": 2, "npoint": 23, "fitsw": -1, "mask": 1, "nwin": 5}, (4, 4), True, False),
    (46, 7, {"fitmd": -3, "mmsw": 0, "intp": 1, "tcld": 1e-3}, (2,), False, False),
]


@pytest.mark.parametrize("steps,seed,keys,excluded,masked,fixed", CASES)
def test_products_equal_the_batch_program_byte_for_byte(tmp_path, steps, seed, keys, excluded,
                                                        masked, fixed):
    d = str(tmp_path)
    raw, msk = make_cube(d, 6, 25, steps, seed, mask_values=masked)
    write_scene(d, raw, msk, keys, excluded, fixed)
    control = {k: v for k, v in keys.items() if k != "mask"}
    want = batch_products(d, 6, 25, steps, 2 * control.get("nfunc", 6) + 2,
                          keys.get("intp", 0), fixed)
    got = kovarkit.fit(raw, msk if masked else None, excluded=excluded, threads=2, **control)
    for name, w in want.items():
        g = getattr(got, name)
        assert (w is None and g is None) or (g.dtype.str == w.dtype.str and g.shape == w.shape
                                             and g.tobytes() == w.tobytes()), name


def test_results_do_not_depend_on_thread_count(tmp_path):
    # (layouts and dtypes: test_properties)
    raw, msk = make_cube(str(tmp_path), 9, 31, 46, 11)
    ref = kovarkit.fit(raw, intp=1, threads=1)
    for threads in (2, 5):
        got = kovarkit.fit(raw, intp=1, threads=threads)
        for name, a in ref._asdict().items():
            assert got._asdict()[name].tobytes() == a.tobytes(), (threads, name)
    # one pixel without leading axes, and an empty block
    one = kovarkit.fit(raw[4, 7], intp=1)
    assert one.p.shape == (14,) and one.order.shape == ()
    assert one.f.tobytes() == ref.f[4, 7].tobytes()
    assert kovarkit.fit(raw[:0], intp=1).p.shape == (0, 31, 14)


GOOD = np.full((2, 10), 500, np.int16)
# (that every limit of the control reader names its argument: test_properties)
BAD_INPUTS = [
    ([[500] * 10], {}, TypeError, "samples: expected a numpy array"),
    (np.where(GOOD > 0, np.nan, 1.0), {}, ValueError, "samples: dtype float64 is not an integer"),
    (np.array(5, np.int16), {}, ValueError, "samples: a scalar"),
    (GOOD - 501, {}, ValueError, "samples: value -1 at index (0, 0) is outside 0..32767"),
    (GOOD.astype(np.int32) + 32268, {}, ValueError, "samples: value 32768"),
    (np.zeros((1, 201), np.int16), {}, ValueError, "samples: NDAT = 201 is outside 3..200"),
    (GOOD, {"mask": np.ones((2, 9), np.uint8)}, ValueError, "mask: shape (2, 9) differs"),
    (GOOD, {"mask": np.ones((2, 10))}, ValueError, "mask: dtype float64"),
    (GOOD, {"mask": np.full((2, 10), 256)}, ValueError, "mask: value 256"),
    (GOOD, {"nfunc": 2**40}, ValueError, "nfunc: NFUNC = 1099511627776 is outside the 32-bit"),
    (GOOD, {"nfunc": 2.0}, TypeError, "nfunc: expected an integer"),
    (GOOD, {"fitmd": 128}, ValueError, "fitmd: FITMD = 128 is outside the one-byte range"),
    (GOOD, {"fitsw": True}, TypeError, "fitsw: expected an integer"),
    (GOOD, {"tcld": float("nan")}, ValueError, "tcld: TCLD = nan is not a finite"),
    (GOOD, {"excluded": range(11)}, ValueError, "excluded: NDEF = 11 is outside 0..NDAT (10)"),
    (GOOD, {"excluded": 3}, TypeError, "excluded: expected a sequence"),
    (GOOD, {"threads": 0}, ValueError, "threads: THREADS = 0 is outside"),
    (GOOD, {"select": 1}, TypeError, "unknown control keyword(s): select"),
]


@pytest.mark.parametrize("samples,kwargs,exc,message", BAD_INPUTS)
def test_bad_input_raises_naming_the_argument(samples, kwargs, exc, message):
    with pytest.raises(exc) as e:
        kovarkit.fit(samples, **kwargs)
    assert message in str(e.value)


def test_accepted_edges_of_the_limits():
    # NWIN may be negative with the filter off; steps outside 1..ndat are skipped
    assert kovarkit.fit(GOOD, nwin=-1, mmsw=0, excluded=(0, 11, -4), fitmd=-128, nfunc=0).p.shape \
        == (2, 2)
    assert kovarkit.fit(np.zeros((200,), np.uint8), nfunc=7).p.shape == (16,)
