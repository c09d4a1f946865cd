"""The one GeoTIFF writer: deflate-compressed, tiled when large, georeferenced,
with band descriptions and tags (what the file holds, the period and the
control values of the run), written whole or block by block of lines."""

import numpy as np

from ..core.counts import decoding
from ..core.products import COUNT_PRODUCTS, NODATA, control_attrs
from ..errors import KitError, first_line
from .blocks import TILE_LINES
from .georef import quiet
from .integrity import check_complete

_PREDICTOR = {"f": 3, "i": 2, "u": 2}  # floating-point or horizontal differencing


def profile(width, height, bands, dtype, crs=None, transform=None, nodata=None,
            block_lines=None):
    """The creation options every GeoTIFF of kovarkit shares. Large rasters are
    tiled when written whole or by blocks of whole tiles (block_lines), so
    that no compressed tile is written twice."""
    dtype = np.dtype(dtype)
    whole_tiles = block_lines is None or block_lines >= height or block_lines % TILE_LINES == 0
    p = dict(driver="GTiff", width=width, height=height, count=bands, dtype=dtype.name,
             compress="deflate", predictor=_PREDICTOR[dtype.kind],
             tiled=width >= TILE_LINES and height >= TILE_LINES and whole_tiles,
             interleave="band" if bands > 1 else "pixel")
    if nodata is not None:
        p["nodata"] = nodata
    if crs is not None:
        p["crs"] = crs
    if transform is not None:
        p["transform"] = transform
    return p


class GeoTiff:
    """One GeoTIFF at path, open for writing: bands of height x width values
    of dtype, band_names describing them, tags as strings, scaling None or
    the (scale, offset) of every band; written whole or by blocks of
    block_lines lines."""

    def __init__(self, path, width, height, dtype, band_names, tags, crs=None,
                 transform=None, nodata=None, block_lines=None, scaling=None):
        import rasterio
        self.path = path
        try:
            with quiet():
                self.ds = rasterio.open(path, "w", **profile(
                    width, height, len(band_names), dtype, crs, transform, nodata, block_lines))
            for b, name in enumerate(band_names):
                self.ds.set_band_description(b + 1, name)
            if scaling is not None:  # value = stored * scale + offset, as GDAL applies it
                self.ds.scales = (scaling[0],) * len(band_names)
                self.ds.offsets = (scaling[1],) * len(band_names)
            self.ds.update_tags(**{k: str(v) for k, v in tags.items()})
        except rasterio.errors.RasterioError as e:
            raise KitError(f"{path}: cannot write: {first_line(e)}") from None

    def write(self, block, row0=0):
        """Lines row0.. of every band: block (bands, lines, width), or (lines,
        width) for one band."""
        import rasterio
        from rasterio.windows import Window
        win = Window(0, row0, self.ds.width, block.shape[-2])
        try:
            if block.ndim == 2:
                self.ds.write(block, 1, window=win)
            else:
                self.ds.write(block, window=win)
        except rasterio.errors.RasterioError as e:
            raise KitError(f"{self.path}: cannot write: {first_line(e)}") from None

    def close(self):
        import rasterio
        ds, self.ds = self.ds, None
        if ds is not None:
            try:
                ds.close()
            except rasterio.errors.RasterioError as e:
                raise KitError(f"{self.path}: cannot write: {first_line(e)}") from None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def read(path):
    """(values (bands, lines, pixels), tags, crs, transform) of a GeoTIFF;
    a truncated file is refused."""
    import rasterio
    check_complete(path)
    try:
        with quiet(), rasterio.open(path) as ds:
            return ds.read(), ds.tags(), ds.crs, ds.transform
    except rasterio.errors.RasterioIOError as e:
        raise KitError(f"{path}: cannot read: {first_line(e)}") from None


def read_tags(path):
    """The tags of a raster."""
    import rasterio
    try:
        with quiet(), rasterio.open(path) as ds:
            return ds.tags()
    except rasterio.errors.RasterioIOError as e:
        raise KitError(f"{path}: cannot read: {first_line(e)}") from None


def band_count(path):
    """Number of bands of a raster; a truncated file is refused."""
    import rasterio
    check_complete(path)
    try:
        with quiet(), rasterio.open(path) as ds:
            return ds.count
    except rasterio.errors.RasterioIOError as e:
        raise KitError(f"{path}: cannot read: {first_line(e)}") from None


def product_tiff(path, r, c, masked, scale, offset, dates, width, height, crs, transform,
                 rows, periods=None):
    """The GeoTIFF of the product of Raster r open for writing, as fit and
    export write it: NoData declared, the counts with the band scale and
    offset that give the index back (scale, offset: S and O of the samples),
    dates (ISO strings or None) in the band names of the series, the
    conversion and the control values c in the tags; periods (a fit per
    period, core.periods.checked_windows): the bands once per period, in turn,
    and the windows in the tags."""
    name = r.stem
    tags = dict(kovarkit_source=r.name, kovarkit_title=r.title, kovarkit_scale=scale,
                kovarkit_offset=offset, **control_attrs(c, masked))
    names = r.band_names
    if dates is not None:
        tags["kovarkit_dates"] = ",".join(dates)
        if name in ("f", "i"):
            names = tuple(f"{b}: {day}" for b, day in zip(names, dates))
    if periods is not None:
        names = tuple(f"period {k + 1}: {b}" for k in range(periods["window_start"].size)
                      for b in names)
        tags.update(kovarind_ndat=periods["ndat"], kovarkit_window=periods["window"],
                    kovarkit_window_length=periods["window_length"],
                    kovarkit_window_start=",".join(str(s) for s in periods["window_start"]))
    scaling = tuple(decoding(scale, offset).values()) if name in COUNT_PRODUCTS else None
    return GeoTiff(path, width, height, r.dtype, names, tags, crs, transform,
                   nodata=NODATA[name], block_lines=rows, scaling=scaling)
