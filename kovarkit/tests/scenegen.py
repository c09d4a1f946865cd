"""Small synthetic scenes with products in the layout kovarind writes.

The products follow a harmonic model so that plots and maps look like real
ones; values are written through the same byte layout (little-endian,
band-sequential, order byte 255 for -1) that the program uses.
"""

import math
import os

import numpy as np

from kovarkit.control import control_template, harmonic_number


def write_control(d, ndat, nline, npix, nfunc=6, intp=1, mask=0, excluded=(), npoint=None):
    npoint = npoint or ndat
    text = control_template(ndat, nline, npix, mask=bool(mask), period=npoint)
    text = text.replace("NFUNC=6, NDEF=0", f"NFUNC={nfunc}, NDEF={len(excluded)}")
    text = text.replace("INTP=0", f"INTP={intp}")
    text += "".join(f"{t}\n" for t in excluded)
    with open(os.path.join(d, "cntl.dat"), "w") as fh:
        fh.write(text)


def model_series(ndat, npoint, para):
    """Series (model units) of constant, trend and amplitude/phase pairs."""
    t = np.arange(1, ndat + 1, dtype=np.float64)
    omega = 2.0 * math.pi / npoint
    z = para[0] + para[1] * 0.1 * t
    for k in range(1, (len(para) - 2) // 2 + 1):
        z = z + para[2 * k] * np.sin(omega * t * harmonic_number(k) + para[2 * k + 1])
    return z


def make_scene(d, ndat=23, nline=6, npix=5, nfunc=3, failed=((2, 3),), seed=1,
               intp=1, mask=0, excluded=()):
    """Write cntl.dat, data.bsq, mask.bsq and all products; return the arrays
    as (bands, lines, pixels) numpy arrays keyed by file name."""
    rng = np.random.default_rng(seed)
    npara = 2 * nfunc + 2
    write_control(d, ndat, nline, npix, nfunc=nfunc, intp=intp, mask=mask, excluded=excluded)
    para = np.zeros((npara, nline, npix))
    fit = np.zeros((ndat, nline, npix))
    first = np.zeros((ndat, nline, npix))
    order = np.full((1, nline, npix), nfunc, np.uint8)
    aic = np.zeros((1, nline, npix))
    for l in range(nline):
        for j in range(npix):
            p = np.zeros(npara)
            p[0] = 0.15 + 0.2 * l / nline
            p[1] = 0.002 * j / npix
            p[2], p[3] = 0.06 + 0.04 * j / npix, -3.0 + 6.0 * l / nline
            if nfunc >= 2:
                p[4], p[5] = 0.02, 0.5
            z = model_series(ndat, ndat, p)
            para[:, l, j] = p
            fit[:, l, j] = z
            first[:, l, j] = z + 0.004
            aic[0, l, j] = -150.0 - l - j
    raw = np.floor(fit * 4096 + 0.5) + rng.integers(-40, 40, fit.shape)
    raw[5, :, :] = 2600  # a cloudy time step
    raw = np.clip(raw, 0, 32767).astype("<i2")
    fitc = np.floor(fit * 4096 + 0.5).astype("<i2")
    firstc = np.floor(first * 4096 + 0.5).astype("<i2")
    kmin = fitc.min(axis=0, keepdims=True)
    kmax = fitc.max(axis=0, keepdims=True)
    for (l, j) in failed:  # 1-based
        para[:, l - 1, j - 1] = 0
        fitc[:, l - 1, j - 1] = 0
        kmin[0, l - 1, j - 1] = kmax[0, l - 1, j - 1] = 0
        order[0, l - 1, j - 1] = 255
    arrays = {
        "data.bsq": raw,
        "mask.bsq": np.ones(raw.shape, np.uint8),
        "p.bsq": para.astype("<f4"),
        "f.bsq": fitc,
        "order.dat": order,
        "aic.dat": aic.astype("<f4"),
        "min.dat": kmin.astype("<i2"),
        "max.dat": kmax.astype("<i2"),
    }
    if intp:
        arrays["i.bsq"] = firstc
    for name, a in arrays.items():
        a.tofile(os.path.join(d, name))
    return arrays
