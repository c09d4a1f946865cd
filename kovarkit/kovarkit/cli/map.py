"""`kovarkit map PRODUCT [BAND]`: a quicklook PNG of one band of a scene
product, or of one season of a seasonal metric (DIR/METRIC.tif or
OUT.nc:METRIC, BAND then the season)."""

import os

import numpy as np

from ..core.products import without_model
from ..core.calendar import DATE_METRICS
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
    if format_of(path) != "gtiff" and (metric in METRICS or metric in DATE_METRICS):
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
    return metric, ds[metric].isel(season=season - 1).values


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


_FILES = {"p": "p.bsq", "i": "i.bsq", "f": "f.bsq", "order": "order.dat", "aic": "aic.dat",
          "min": "min.dat", "max": "max.dat"}


def _fit_product(product):
    """(output path, product) when product names one of a fit output:
    OUT.nc:NAME, OUT.zarr:NAME, or DIR/NAME.tif written by fit or export."""
    path, _, name = product.rpartition(":")
    if format_of(path) != "gtiff" and name in _FILES:
        return path, name
    stem, ext = os.path.splitext(os.path.basename(product))
    if ext in (".tif", ".tiff") and stem in _FILES and os.path.isfile(product):
        from ..formats.geotiff import read_tags
        if read_tags(product).get("kovarkit_source") == _FILES[stem]:
            return os.path.dirname(product) or ".", stem
    return None


def _draw_fit(args, path, name):
    from ..formats.fitout import FitOutput
    o = FitOutput(path)
    bands, fill = o.bands(name)
    band = args.band
    if not 1 <= band <= len(bands):
        raise KitError(f"{path}: {name}: band {band} does not exist ({len(bands)} band(s))")
    data = bands[band - 1]
    nodata = None
    if fill is not None:
        nodata = np.isnan(data) if np.isnan(fill) else data == fill
    no_model = None
    if _FILES[name] in _FIT_PRODUCTS and {"order", "aic"} <= set(o.products):
        no_model = without_model(o.bands("order")[0][0], o.bands("aic")[0][0])
        if nodata is not None:
            no_model &= ~nodata
    band_name = o.band_names(name, len(bands))[band - 1]
    scale = float(o.attrs.get("kovarkit_scale", 1.0))
    offset = float(o.attrs.get("kovarkit_offset", 0.0))
    if name in ("f", "i", "min", "max") and (scale, offset) != (1.0, 0.0):
        data = (data - offset) / scale  # drawn in the index's own units
        band_name += f" ({o.units(name) or 'index units'})"
    where = path if o.kind != "gtiff" else os.path.join(path, "x")
    out = args.output or os.path.join(os.path.dirname(where.rstrip("/")) or ".",
                                      f"map_{o.name}_{name}_b{band}.png")
    title = f"{o.name}:{name}" if o.kind != "gtiff" else f"{o.name}/{name}.tif"
    product_map(data, _FILES[name], band, band_name, out, no_model, nodata, title)
    return out


def run(args):
    fit = _fit_product(args.product)
    source = None if fit else _metric_source(args.product)
    out = (_draw_fit(args, *fit) if fit else _draw_metric(args, *source) if source
           else _draw_product(args))
    print(f"wrote {out}")
    return 0
