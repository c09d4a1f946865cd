"""`kovarkit hdr`: ENVI header sidecars for the headerless rasters."""

import os
import sys

from .errors import KitError
from .geo import envi_georef_lines
from .scene import Scene

_ENVI_TYPES = {"u1": 1, "<i2": 2, "<f4": 4}


def header_path(scene, raster):
    """ENVI convention: the data file's extension replaced by .hdr."""
    return scene.path(raster.stem + ".hdr")


def header_text(scene, raster, geo_lines):
    c = scene.ctl
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


def run(args):
    scene = Scene(args.scene)
    georef = scene.georef()
    geo_lines = envi_georef_lines(georef) if georef else []
    written, problems = [], []
    for raster in scene.rasters.values():
        if not scene.exists(raster.name):
            continue
        try:
            size = scene.check_size(raster)
        except KitError as e:
            problems.append(str(e))
            continue
        if size > scene.expected_bytes(raster):
            print(f"kovarkit: hdr: warning: {scene.path(raster.name)}: {size} bytes, "
                  f"more than the {scene.expected_bytes(raster)} the scene needs "
                  f"(left from a larger scene?); the rest is ignored", file=sys.stderr)
        path = header_path(scene, raster)
        with open(path, "w") as fh:
            fh.write(header_text(scene, raster, geo_lines))
        written.append(os.path.basename(path))
    if written:
        print("wrote " + " ".join(written))
    if problems:
        for p in problems[:-1]:
            print(f"kovarkit: hdr: {p}", file=sys.stderr)
        raise KitError(problems[-1])
    if not written:
        raise KitError(f"{scene.dir}: no data.bsq, mask.bsq or product to describe")
    return 0
