"""`kovarkit map PRODUCT [BAND]`: a quicklook PNG of one band of a scene
product, or of one season of a seasonal metric (DIR/METRIC.tif or
OUT.nc:METRIC, BAND then the season)."""

import os

import numpy as np

from ..core.products import without_model
from ..core.seasons import METRICS
from ..errors import KitError
from ..formats.netcdf import format_of
from ..formats.scene import Scene
from ..views.maps import metric_map, product_map

# Products of the final fit: a pixel without a model holds no value in them.
_FIT_PRODUCTS = ("p.bsq", "f.bsq", "aic.dat", "min.dat", "max.dat")


def _metric_source(product):
    """(path, metric or None) when product names a seasons output, else None:
    a GeoTIFF of one metric, or OUT.nc:METRIC / OUT.zarr:METRIC."""
    path, _, metric = product.rpartition(":")
    if format_of(path) != "gtiff" and metric in METRICS:
        return path, metric
    if product.endswith((".tif", ".tiff")) and os.path.isfile(product):
        return product, None
    return None


def _metric_values(path, metric, season):
    """(metric, values (lines, pixels)) of one season of a seasons output."""
    if metric is None:
        from ..formats.geotiff import read
        bands, tags, _, _ = read(path)
        metric = tags.get("kovarkit_metric", os.path.basename(path))
        if not 1 <= season <= len(bands):
            raise KitError(f"{path}: season {season} does not exist ({len(bands)} seasons)")
        return metric, bands[season - 1]
    from ..formats.netcdf import open_dataset
    ds = open_dataset(path)
    if not 1 <= season <= ds.sizes["season"]:
        raise KitError(f"{path}: season {season} does not exist "
                       f"({ds.sizes['season']} seasons)")
    return metric, ds[metric].isel(season=season - 1).transpose("y", "x").values


def _draw_metric(args, path, metric):
    season = args.band
    metric, values = _metric_values(path, metric, season)
    out = args.output or os.path.join(os.path.dirname(path.rstrip("/")),
                                      f"map_{metric}_s{season}.png")
    metric_map(values, metric, season, METRICS.get(metric, ("", ""))[0], out)
    return out


def _draw_product(args):
    scene = Scene(args.scene)
    r = scene.raster(args.product)
    band = args.band
    if not scene.exists(r.name):
        raise KitError(f"{scene.path(r.name)}: not found")
    if not 1 <= band <= r.bands:
        raise KitError(f"{scene.path(r.name)}: band {band} does not exist "
                       f"(the product has {r.bands} band(s))")
    data = np.array(scene.open(r.name)[band - 1])
    no_model = None
    if r.name in _FIT_PRODUCTS and scene.exists("order.dat") and scene.exists("aic.dat"):
        no_model = without_model(scene.open("order.dat")[0], scene.open("aic.dat")[0])
    out = args.output or scene.path(f"map_{r.stem}_b{band}.png")
    product_map(data, r.name, band, r.band_names[band - 1], out, no_model)
    return out


def run(args):
    source = _metric_source(args.product)
    out = _draw_metric(args, *source) if source else _draw_product(args)
    print(f"wrote {out}")
    return 0
