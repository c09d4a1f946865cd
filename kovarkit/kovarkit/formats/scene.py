"""A scene directory: its control file, rasters, products, georeferencing
record and ENVI headers.

Every raster is headerless, little-endian and band-sequential: the value of
band k, line L, pixel j (all 1-based) is element ((k-1)*NLINE + L-1)*NPIX +
j-1.  Dimensions come from cntl.dat alone.
"""

import json
import os

import numpy as np

from ..core.products import rasters
from ..errors import KitError
from .control import read_control

GEOREF_FILE = "kovarkit-georef.json"
_ENVI_TYPES = {"u1": 1, "<i2": 2, "<f4": 4}


class Scene:
    def __init__(self, directory="."):
        self.dir = directory
        self.ctl = read_control(self.path("cntl.dat"))
        self.rasters = rasters(self.ctl.ndat, self.ctl.nfunc)

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


    def header_path(self, raster):
        """ENVI convention: the data file's extension replaced by .hdr."""
        return self.path(raster.stem + ".hdr")

    def header_text(self, raster, geo_lines):
        """The ENVI header of one raster, with georeferencing lines geo_lines."""
        c = self.ctl
        names = ",\n ".join(n.replace(",", ";").replace("}", ")") for n in raster.band_names)
        lines = [
            "ENVI",
            f"description = {{kovarkit: {raster.name}, {raster.title}}}",
            f"samples = {c.npix}",
            f"lines = {c.nline}",
            f"bands = {raster.bands}",
            "header offset = 0",
            "file type = ENVI Standard",
            f"data type = {_ENVI_TYPES[raster.dtype]}",
            "interleave = bsq",
            "byte order = 0",
        ]
        lines += geo_lines
        lines.append(f"band names = {{\n {names}}}")
        return "\n".join(lines) + "\n"
