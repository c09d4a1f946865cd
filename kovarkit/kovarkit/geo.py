"""Georeferencing: the record that import leaves and its ENVI form."""

import os
import tempfile

import numpy as np

from .errors import KitError

# ENVI header keys that carry georeferencing.
_ENVI_GEO_KEYS = ("map info", "projection info", "coordinate system string")


def rasterio_crs_transform(georef):
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


def envi_georef_lines(georef):
    """ENVI header lines (map info, coordinate system string, ...) for a
    record, produced by GDAL's own ENVI writer so that GDAL reads them back."""
    import rasterio
    crs, transform = rasterio_crs_transform(georef)
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
