"""`kovarkit export`: products as georeferenced, compressed GeoTIFFs.

Values and data types are kept as stored (order byte 255 is the order value
-1); each band carries its description. In a scene made by `import`, whose
mask marks NoData, a pixel without any usable sample is NoData in every
product, and the scale, offset and dates of the import travel along, so
that the products are those `kovarkit fit` writes.
"""

import os
import sys

import numpy as np

from ..core.products import NODATA, PRODUCT_FILES, control_attrs
from ..errors import KitError
from ..formats.blocks import DEFAULT_BUDGET, rows_per_block
from ..formats.geotiff import GeoTiff, product_tiff
from ..formats.georef import crs_transform
from ..formats.scene import GEOREF_FILE, Scene


def run(args):
    if args.format.upper() != "GTIFF":
        raise KitError(f"--format {args.format}: only GTiff is supported")
    scene = Scene(args.scene)
    if args.products:
        names = [scene.raster(p).name for p in args.products]
        missing = [n for n in names if not scene.exists(n)]
        if missing:
            raise KitError(f"{scene.path(missing[0])}: not found")
    else:
        names = [n for n in PRODUCT_FILES if scene.exists(n)]
        if not names:
            raise KitError(f"{scene.dir}: no product found (run kovarind first)")
    georef = scene.georef()
    if georef:
        crs, transform = crs_transform(georef)
    else:
        crs, transform = None, None
        print(f"kovarkit: export: warning: {scene.path(GEOREF_FILE)}: not found; "
              "the GeoTIFFs carry no georeferencing (scene not made by import)",
              file=sys.stderr)
    outdir = args.outdir or scene.dir
    os.makedirs(outdir, exist_ok=True)
    c = scene.ctl
    values, masked = c.fit_values(), c.get("MASK") == 1
    run_attrs = control_attrs(values, masked)
    empty = None
    if georef and georef.get("nodata_mask") and scene.exists("mask.bsq"):
        mask = scene.open("mask.bsq")
        step = rows_per_block(DEFAULT_BUDGET, c.npix, c.ndat)
        empty = np.concatenate([~mask[:, r:r + step].any(axis=0)
                                for r in range(0, c.nline, step)])
    written = []
    for name in names:
        r = scene.raster(name)
        data = scene.open(name)
        out = os.path.join(outdir, r.stem + ".tif")
        rows = rows_per_block(DEFAULT_BUDGET, c.npix, r.bands)
        if georef and r.name in PRODUCT_FILES:
            tif = product_tiff(out, r, values, masked, georef.get("scale", 1.0),
                               georef.get("offset", 0.0), georef.get("dates"), c.npix,
                               c.nline, crs, transform, rows)
        else:
            tags = dict(kovarkit_source=r.name, kovarkit_title=r.title, **run_attrs)
            tif = GeoTiff(out, c.npix, c.nline, data.dtype, r.band_names, tags, crs,
                          transform, block_lines=rows)
        with tif:
            for row0 in range(0, c.nline, rows):
                block = np.array(data[:, row0:row0 + rows])
                if empty is not None and r.name in PRODUCT_FILES:
                    block[:, empty[row0:row0 + rows]] = NODATA[r.stem]
                tif.write(block, row0)
        written.append(out)
    print("wrote " + " ".join(written))
    return 0
