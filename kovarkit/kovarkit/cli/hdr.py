"""`kovarkit hdr`: ENVI header sidecars for the headerless rasters."""

import os
import sys

from ..errors import KitError
from ..formats.georef import envi_georef_lines
from ..formats.scene import Scene


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
        path = scene.header_path(raster)
        with open(path, "w") as fh:
            fh.write(scene.header_text(raster, geo_lines))
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
