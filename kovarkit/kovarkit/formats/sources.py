"""Sources of a cube: a GeoTIFF stack (any GDAL rasters, their bands in time
order) or a NetCDF variable or Zarr array, read block by block of image lines
as float64 values and their validity, north-up: a grid stored south first
(latitude ascending) is read with its lines reversed, so that line 1 is the
northernmost, as GDAL presents it."""

import numpy as np

from ..errors import KitError, first_line
from .georef import cell_centres, geographic, quiet
from .integrity import check_complete
from .netcdf import format_of, open_dataset


class RasterStack:
    """The bands of several rasters as one time series, checked to share a grid
    and to be complete."""

    def __init__(self, paths, what):
        import rasterio
        self.datasets = []
        self.bands = []  # (dataset index, band number)
        try:
            for p in paths:
                check_complete(p)
                try:
                    with quiet():
                        ds = rasterio.open(p)
                except rasterio.errors.RasterioIOError as e:
                    raise KitError(f"{p}: cannot open as a raster: {first_line(e)}") from None
                self.datasets.append(ds)
                if ds.count == 0:
                    subs = ", ".join(ds.subdatasets[:3]) or "none"
                    raise KitError(f"{p}: no raster bands; it holds several variables: name "
                                   f"one, e.g. {subs}")
                self.bands += [(len(self.datasets) - 1, b) for b in range(1, ds.count + 1)]
            first = self.datasets[0]
            for p, ds in zip(paths[1:], self.datasets[1:]):
                if (ds.width, ds.height) != (first.width, first.height):
                    raise KitError(f"{p}: {ds.width} x {ds.height} pixels, but {paths[0]} "
                                   f"has {first.width} x {first.height}")
                if ds.crs != first.crs or not ds.transform.almost_equals(first.transform):
                    raise KitError(f"{p}: georeferencing differs from {paths[0]} "
                                   f"({what} must share one grid)")
        except BaseException:
            self.close()
            raise
        self.paths = list(paths)
        self.width, self.height = first.width, first.height
        self.crs, self.transform = first.crs, first.transform
        if self.crs is None and _cf_geographic(first.tags()):
            from rasterio.crs import CRS
            self.crs = CRS.from_epsg(4326)
        self.floating = any(np.dtype(t).kind == "f" for ds in self.datasets for t in ds.dtypes)

    def close(self):
        for ds in self.datasets:
            ds.close()

    def dates(self):
        """Dates of the bands when the sources carry them (NetCDF through
        GDAL), else None."""
        from .dates import from_gdal_tags
        return from_gdal_tags([(self.datasets[i], b) for i, b in self.bands])

    def value_range(self, extra_nodata=None):
        """(lowest, highest) valid value of every band on a sparse grid."""
        k = max(1, int((self.height * self.width / 1e5) ** 0.5))
        lo, hi = np.inf, -np.inf
        for t in range(len(self.bands)):
            v, ok, _, _ = self.read(t, 0, self.height, extra_nodata)
            v = v[::k, ::k][ok[::k, ::k]]
            if v.size:
                lo, hi = min(lo, v.min()), max(hi, v.max())
        return (float(lo), float(hi)) if lo <= hi else (np.nan, np.nan)

    def read(self, t, row0, nrows, extra_nodata=None):
        """Values (float64) and validity of time step t (0-based) for rows
        row0..row0+nrows-1; returns (values, valid, path, band)."""
        from rasterio.windows import Window
        di, b = self.bands[t]
        ds = self.datasets[di]
        win = Window(0, row0, self.width, nrows)
        values = ds.read(b, window=win).astype(np.float64)
        valid = ds.read_masks(b, window=win) != 0
        valid &= ~np.isnan(values)
        if extra_nodata is not None:
            valid &= values != extra_nodata
        return values, valid, self.paths[di], b


def _cf_geographic(tags):
    """True when GDAL's netCDF tags describe CF latitude and longitude."""
    values = {str(v).lower() for k, v in tags.items() if k.endswith(("#units", "#standard_name"))}
    return bool({"latitude", "degrees_north"} & values and {"longitude", "degrees_east"} & values)


class RasterSource:
    """A GeoTIFF stack as a cube (lines, pixels, time steps); dates: None or
    one datetime64 per band."""

    def __init__(self, paths, what, dates=None):
        self.stack = s = RasterStack(paths, what)
        self.paths = s.paths
        self.height, self.width, self.ndat = s.height, s.width, len(s.bands)
        self.crs, self.transform = s.crs, s.transform
        self.ydim, self.xdim, self.dim = "y", "x", "time"
        self.floating, self.units = s.floating, None
        self.dates = s.dates() if dates is None else dates
        self.coord_attrs = {}

    def coords(self):
        y, x = cell_centres(self.transform, self.height, self.width)
        return {"y": y, "x": x, "time": self.dates}

    def time_coordinate(self):
        """(values, attributes, encoding) of the time steps, or None."""
        return None if self.dates is None else (self.dates, {}, {})

    def value_range(self):
        """(lowest, highest) valid value of every time step on a sparse grid."""
        return self.stack.value_range()

    def read(self, row0, nrows, extra_nodata):
        values = np.empty((nrows, self.width, self.ndat))
        valid = np.empty(values.shape, bool)
        for t in range(self.ndat):
            v, ok, _, _ = self.stack.read(t, row0, nrows, extra_nodata)
            values[:, :, t] = v
            valid[:, :, t] = ok
        return values, valid

    def close(self):
        self.stack.close()


class DatasetSource:
    """A NetCDF variable or Zarr array (time, y, x in any order), read lazily;
    latitude/longitude without a coordinate system are taken as EPSG:4326
    unless crs is given."""

    def __init__(self, path, var, dim, what, crs=None, cache=None):
        ds = open_dataset(path, cache)
        if var is None:
            names = [n for n, v in ds.data_vars.items() if dim in v.dims]
            if len(names) != 1:
                option = "--var" if what == "sources" else "--qa-var"
                raise KitError(f"{path}: {len(names)} variables have a dimension {dim!r} "
                               f"({', '.join(names) or 'none'}); name one with {option}")
            var = names[0]
        if var not in ds.data_vars:
            raise KitError(f"{path}: no variable {var!r} (has {', '.join(ds.data_vars)})")
        da = ds[var]
        if dim not in da.dims or da.ndim != 3:
            raise KitError(f"{path}: variable {var} has dimensions {da.dims}; expected "
                           f"{dim!r} and two spatial dimensions (use --dim)")
        self.ydim, self.xdim = y, x = [d for d in da.dims if d != dim]
        self.stored = da  # read in the order of the file, by whole slices
        self.axes = [da.dims.index(d) for d in (y, x, dim)]
        self.flipped = (y in da.coords and da.sizes[y] > 1
                        and da[y].values[-1] > da[y].values[0])
        if self.flipped:
            da = da.isel({y: slice(None, None, -1)})  # south first: north-up
        self.da = da.transpose(y, x, dim)
        self.paths = [path]
        self.height, self.width, self.ndat = self.da.shape
        self.dim = dim
        self.units = da.attrs.get("units")
        # floating-point values: stored so, or packed integers that CF decoding
        # (scale_factor, add_offset) turns into the index
        self.floating = (np.dtype(da.encoding.get("dtype", da.dtype)).kind == "f"
                         or "scale_factor" in da.encoding or "add_offset" in da.encoding)
        self.coord_attrs = {d: dict(da[d].attrs) for d in (y, x) if d in da.coords}
        self.crs, self.transform = None, None
        try:
            import rioxarray  # noqa: F401
            rio = self.da.rio.set_spatial_dims(x_dim=x, y_dim=y)
            self.crs, self.transform = rio.rio.crs, rio.rio.transform()
        except Exception:  # no rioxarray or no usable grid: coordinates only
            pass
        if crs is not None:
            self.crs = crs
        elif self.crs is None and y in da.coords and x in da.coords \
                and geographic(y, da[y].attrs, x, da[x].attrs):
            from rasterio.crs import CRS
            self.crs = CRS.from_epsg(4326)

    def coords(self):
        c = self.da.coords
        return {self.ydim: c[self.ydim].values if self.ydim in c else None,
                self.xdim: c[self.xdim].values if self.xdim in c else None,
                "time": c[self.dim].values if self.dim in c else None}

    def time_coordinate(self):
        """(values, attributes, encoding) of the time coordinate, or None."""
        if self.dim not in self.da.coords:
            return None
        t = self.da[self.dim]
        return t.values, dict(t.attrs), dict(t.encoding)

    def value_range(self):
        """(lowest, highest) of the values of every time step on a sparse grid."""
        k = max(1, int((self.height * self.width / 1e5) ** 0.5))
        v = np.asarray(self.da[::k, ::k].values, dtype=np.float64)
        v = v[np.isfinite(v)]
        return (float(v.min()), float(v.max())) if v.size else (np.nan, np.nan)

    def read(self, row0, nrows, extra_nodata):
        a = self.height - row0 - nrows if self.flipped else row0
        try:
            block = self.stored.isel({self.ydim: slice(a, a + nrows)}).values
        except Exception as e:  # the codecs and backends raise many types
            raise KitError(f"{self.paths[0]}: variable {self.da.name}, lines {row0 + 1}.."
                           f"{row0 + nrows}: cannot be read or decoded ({first_line(e)}): "
                           "damaged or truncated (an interrupted copy or download?)") from None
        block = block.transpose(self.axes)
        values = np.array(block[::-1] if self.flipped else block, dtype=np.float64, order="C")
        valid = ~np.isnan(values)
        if extra_nodata is not None:
            valid &= values != extra_nodata
        return values, valid

    def close(self):
        self.da.close()


def open_source(paths, var, dim, what, crs=None, dates=None, cache=None):
    """A cube from GeoTIFFs (dates: one datetime64 per band, or None), or from
    one NetCDF file or Zarr store (crs: overrides the dataset's; cache: bytes
    of the NetCDF chunk cache)."""
    kinds = {format_of(p) for p in paths}
    if kinds == {"gtiff"}:
        src = RasterSource(paths, what, dates)
    elif len(paths) != 1:
        raise KitError(f"{paths[0]}: a NetCDF or Zarr {what[:-1]} is one dataset; "
                       "give it alone")
    else:
        src = DatasetSource(paths[0], var, dim, what, crs, cache)
    if crs is not None:
        src.crs = crs
    return src
