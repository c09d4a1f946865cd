"""A scene directory: its control file, rasters, products and georeferencing.

Every raster is headerless, little-endian and band-sequential: the value of
band k, line L, pixel j (all 1-based) is element ((k-1)*NLINE + L-1)*NPIX +
j-1.  Dimensions come from cntl.dat alone.
"""

import json
import os
from dataclasses import dataclass

import numpy as np

from .control import harmonic_number, read_control
from .errors import KitError

GEOREF_FILE = "kovarkit-georef.json"

# Order byte 255 is the order value -1 of a failed fit.
ORDER_FAILED_BYTE = 255


@dataclass(frozen=True)
class Raster:
    name: str          # file name inside the scene directory
    dtype: str         # numpy dtype, little-endian
    bands: int
    band_names: tuple
    title: str

    @property
    def stem(self):
        return os.path.splitext(self.name)[0]


def parameter_names(nfunc):
    names = ["constant", "trend (per 0.1 time step)"]
    for k in range(1, nfunc + 1):
        n = harmonic_number(k)
        tag = f"harmonic {n}" if k <= 6 else f"position {k} (harmonic 0)"
        names += [f"amplitude {tag}", f"phase {tag} (rad)"]
    return tuple(names)


def rasters(ctl):
    """Every raster a scene can hold, in a fixed order, keyed by file name."""
    steps = tuple(f"time step {t}" for t in range(1, ctl.ndat + 1))
    items = [
        Raster("data.bsq", "<i2", ctl.ndat, steps, "raw samples"),
        Raster("mask.bsq", "u1", ctl.ndat, steps, "mask (1 = usable sample)"),
        Raster("p.bsq", "<f4", ctl.npara, parameter_names(ctl.nfunc),
               "model parameters"),
        Raster("i.bsq", "<i2", ctl.ndat, tuple(f"first-pass fit {s}" for s in steps),
               "first-pass fitted series (raw counts)"),
        Raster("f.bsq", "<i2", ctl.ndat, tuple(f"fit {s}" for s in steps),
               "fitted series (raw counts)"),
        Raster("order.dat", "u1", 1, ("order value (255 = -1 = failed fit)",),
               "order value"),
        Raster("aic.dat", "<f4", 1, ("criterion (0 = failed or beyond 1e8)",),
               "information criterion"),
        Raster("min.dat", "<i2", 1, ("minimum of fitted series (raw counts)",),
               "minimum of fitted series"),
        Raster("max.dat", "<i2", 1, ("maximum of fitted series (raw counts)",),
               "maximum of fitted series"),
    ]
    return {r.name: r for r in items}


PRODUCT_NAMES = ("p.bsq", "i.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat")


class Scene:
    def __init__(self, directory="."):
        self.dir = directory
        self.ctl = read_control(self.path("cntl.dat"))
        self.rasters = rasters(self.ctl)

    def path(self, name):
        return os.path.join(self.dir, name)

    def exists(self, name):
        return os.path.isfile(self.path(name))

    def raster(self, name):
        """Look a raster up by file name or stem ('p', 'order', 'data.bsq')."""
        if name in self.rasters:
            return self.rasters[name]
        for r in self.rasters.values():
            if r.stem == name:
                return r
        known = ", ".join(self.rasters)
        raise KitError(f"{name}: not a scene raster (known: {known})")

    def expected_bytes(self, r):
        return np.dtype(r.dtype).itemsize * r.bands * self.ctl.nline * self.ctl.npix

    def check_size(self, r):
        """Raise unless the file holds all bands; return its size in bytes."""
        p = self.path(r.name)
        try:
            size = os.path.getsize(p)
        except OSError:
            raise KitError(f"{p}: not found") from None
        need = self.expected_bytes(r)
        if size < need:
            c = self.ctl
            raise KitError(
                f"{p}: {size} bytes, but {r.bands} band(s) of {c.nline} lines x "
                f"{c.npix} pixels ({np.dtype(r.dtype).name}) need {need} "
                f"(dimensions from {c.path})")
        return size

    def open(self, name):
        """The raster as a read-only (bands, lines, pixels) array."""
        r = self.raster(name)
        self.check_size(r)
        c = self.ctl
        return np.memmap(self.path(r.name), dtype=r.dtype, mode="r",
                         shape=(r.bands, c.nline, c.npix))

    def check_pixel(self, line, pixel):
        c = self.ctl
        if not (1 <= line <= c.nline and 1 <= pixel <= c.npix):
            raise KitError(f"line {line}, pixel {pixel}: outside the scene of "
                           f"{c.nline} lines x {c.npix} pixels ({c.path})")

    def georef(self):
        """Georeferencing recorded by import, or None."""
        p = self.path(GEOREF_FILE)
        if not os.path.exists(p):
            return None
        try:
            with open(p) as fh:
                g = json.load(fh)
            transform = tuple(float(v) for v in g["transform"])
            if len(transform) != 6:
                raise ValueError("transform needs 6 numbers")
            g["transform"] = transform
        except (OSError, ValueError, KeyError, TypeError) as e:
            raise KitError(f"{p}: unreadable georeferencing record: {e}") from None
        if (g.get("width"), g.get("height")) != (self.ctl.npix, self.ctl.nline):
            raise KitError(
                f"{p}: records a {g.get('width')} x {g.get('height')} raster, but "
                f"{self.ctl.path} says NPIX = {self.ctl.npix}, NLINE = {self.ctl.nline}")
        return g


def order_values(order_bytes):
    """Order bytes as signed order values (255 -> -1)."""
    return order_bytes.astype(np.int16) - 256 * (order_bytes > 127)


def failed_fits(order_bytes):
    """True where the final fit failed: order value of 1 or less."""
    return order_values(np.asarray(order_bytes)) <= 1


def without_model(order_bytes, aic):
    """True where the products hold no model (series and parameters zero):
    a failed fit, or a criterion stored as 0.0 (exactly zero, or beyond 1e8
    as when no candidate model could be scored)."""
    return failed_fits(order_bytes) | (aic == 0.0)
