"""`kovarkit export`: products as georeferenced, compressed GeoTIFFs.

Values and data types are kept as stored (order byte 255 is the order value
-1); each band carries its description.
"""

import os
import sys
import warnings

from .errors import KitError
from .geo import rasterio_crs_transform
from .scene import PRODUCT_NAMES, Scene

_PREDICTOR = {"u1": 2, "<i2": 2, "<f4": 3}


def run(args):
    import rasterio
    if args.format.upper() != "GTIFF":
        raise KitError(f"--format {args.format}: only GTiff is supported")
    scene = Scene(args.scene)
    if args.products:
        names = [scene.raster(p).name for p in args.products]
        missing = [n for n in names if not scene.exists(n)]
        if missing:
            raise KitError(f"{scene.path(missing[0])}: not found")
    else:
        names = [n for n in PRODUCT_NAMES if scene.exists(n)]
        if not names:
            raise KitError(f"{scene.dir}: no product found (run kovarind first)")
    georef = scene.georef()
    if georef:
        crs, transform = rasterio_crs_transform(georef)
    else:
        crs, transform = None, None
        print(f"kovarkit: export: warning: {scene.path('kovarkit-georef.json')}: not found; "
              "the GeoTIFFs carry no georeferencing (scene not made by import)",
              file=sys.stderr)
    outdir = args.outdir or scene.dir
    os.makedirs(outdir, exist_ok=True)
    c = scene.ctl
    written = []
    for name in names:
        r = scene.raster(name)
        data = scene.open(name)
        out = os.path.join(outdir, r.stem + ".tif")
        profile = dict(driver="GTiff", width=c.npix, height=c.nline, count=r.bands,
                       dtype=data.dtype.name, compress="deflate",
                       predictor=_PREDICTOR[r.dtype], tiled=c.npix >= 256 and c.nline >= 256,
                       interleave="band" if r.bands > 1 else "pixel")
        if r.bands > 1:
            profile["interleave"] = "band"
        if crs is not None:
            profile["crs"] = crs
        if transform is not None:
            profile["transform"] = transform
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", rasterio.errors.NotGeoreferencedWarning)
                ds = rasterio.open(out, "w", **profile)
            with ds:
                for b in range(r.bands):
                    ds.write(data[b], b + 1)
                    ds.set_band_description(b + 1, r.band_names[b])
                ds.update_tags(kovarkit_source=r.name, kovarkit_title=r.title)
        except rasterio.errors.RasterioError as e:
            raise KitError(f"{out}: cannot write: {str(e).splitlines()[0]}") from None
        written.append(out)
    print("wrote " + " ".join(written))
    return 0
