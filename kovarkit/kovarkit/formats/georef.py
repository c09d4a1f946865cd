"""Georeferencing: CRS and transform, cell-centre coordinates, the CF grid
mapping, the record that import leaves and its ENVI form, and the one filter
for rasterio's warning about rasters without georeferencing."""

import contextlib
import os
import tempfile
import warnings

import numpy as np

from ..errors import KitError

# ENVI header keys that carry georeferencing.
_ENVI_GEO_KEYS = ("map info", "projection info", "coordinate system string")


def crs_transform(georef):
    """(CRS or None, Affine) from a georeferencing record."""
    from affine import Affine
    from rasterio.crs import CRS
    crs = None
    if georef.get("crs"):
        try:
            crs = CRS.from_wkt(georef["crs"])
        except Exception as e:  # rasterio raises several types here
            raise KitError(f"georeferencing record: unusable coordinate system: {e}") from None
    return crs, Affine.from_gdal(*georef["transform"])


@contextlib.contextmanager
def quiet():
    """Rasters without georeferencing open and are written without a warning."""
    import rasterio
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", rasterio.errors.NotGeoreferencedWarning)
        yield


def cell_centres(transform, height, width):
    """(y, x) coordinates of the cell centres of a north-up grid, else (None, None)."""
    t = transform
    if t is None or t.b != 0 or t.d != 0:
        return None, None
    return (t.f + (np.arange(height) + 0.5) * t.e, t.c + (np.arange(width) + 0.5) * t.a)


_CF_AXES = {"latitude": ("degrees_north", "lat"), "longitude": ("degrees_east", "lon")}


def geographic(yname, yattrs, xname, xattrs):
    """True when the two coordinates are CF latitude and longitude."""
    def cf(name, attrs, axis):
        units, short = _CF_AXES[axis]
        u = str(attrs.get("units", "")).lower().replace("degree_", "degrees_")
        return attrs.get("standard_name") == axis or u == units or name.lower() in (axis, short)
    return cf(yname, yattrs, "latitude") and cf(xname, xattrs, "longitude")


def grid_mapping(crs, transform):
    """Attributes of the CF grid-mapping variable spatial_ref that GDAL and
    rioxarray read; {} without a CRS and a transform other than the identity."""
    attrs = {}
    if crs is not None:
        wkt = crs.to_wkt()
        try:  # the CF parameters (grid_mapping_name, ...), as rioxarray writes them
            import pyproj
            attrs = pyproj.CRS.from_wkt(wkt).to_cf()
        except ImportError:
            pass
        attrs.update(crs_wkt=wkt, spatial_ref=wkt)
    if transform is not None and (crs is not None or not transform.is_identity):
        attrs["GeoTransform"] = " ".join(repr(float(v)) for v in transform.to_gdal())
    return attrs


def dataset_crs_transform(ds):
    """(CRS, transform) of an xarray Dataset as rioxarray reads them, else (None, None)."""
    import rioxarray  # noqa: F401  (the .rio accessor)
    try:
        return ds.rio.crs, ds.rio.transform()
    except Exception:  # no spatial dimensions or coordinates rioxarray knows
        return None, None


def envi_georef_lines(georef):
    """ENVI header lines (map info, coordinate system string, ...) for a
    record, produced by GDAL's own ENVI writer so that GDAL reads them back."""
    import rasterio
    crs, transform = crs_transform(georef)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "g.bin")
        with rasterio.open(path, "w", driver="ENVI", width=1, height=1, count=1,
                           dtype="uint8", crs=crs, transform=transform) as ds:
            ds.write(np.zeros((1, 1, 1), np.uint8))
        with open(os.path.join(tmp, "g.hdr")) as fh:
            text = fh.read()
    lines = []
    entry = None
    for line in text.splitlines():
        if entry is not None:
            entry.append(line)
            if "}" in line:
                lines.append("\n".join(entry))
                entry = None
            continue
        key = line.split("=", 1)[0].strip().lower()
        if key in _ENVI_GEO_KEYS:
            if "{" in line and "}" not in line:
                entry = [line]
            else:
                lines.append(line)
    return lines
