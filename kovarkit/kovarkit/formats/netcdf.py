"""NetCDF files and Zarr stores: opened as xarray Datasets, the products
written block by block, and whole Datasets written."""

import numpy as np

from ..core.products import DTYPES, NODATA, dataset_attrs, parameter_names, variable_attrs
from ..errors import KitError, first_line
from .dates import cf_encode
from .georef import cell_centres, grid_mapping
from .integrity import check_complete


def format_of(path):
    """'netcdf' (.nc, .nc4), 'zarr' (.zarr) or 'gtiff' (anything else)."""
    p = path.rstrip("/\\").lower()
    return ("netcdf" if p.endswith((".nc", ".nc4")) else "zarr" if p.endswith(".zarr")
            else "gtiff")


def open_dataset(path, cache=None, stored=False):
    """A NetCDF file or Zarr store as a lazy Dataset, coordinates decoded;
    cache: bytes of the HDF5 chunk cache of each NetCDF variable, so that
    reading by blocks of lines decompresses each chunk once when it fits;
    stored: values as stored, fill values and scaling left to the caller; a
    truncated file is refused."""
    import warnings

    import xarray as xr
    check_complete(path)
    try:
        # xarray's notes on bounds and encodings it cannot decode are not the
        # user's business: the variables come through either way
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)
            if format_of(path) != "zarr" and cache:
                import netCDF4
                size, slots, preemption = netCDF4.get_chunk_cache()
                netCDF4.set_chunk_cache(max(size, cache), max(slots, 4099), preemption)
            opener = xr.open_zarr if format_of(path) == "zarr" else xr.open_dataset
            options = dict(decode_coords="all", mask_and_scale=not stored)
            try:
                return opener(path, **options)
            except ValueError as e:
                if "decode" not in str(e) or "time" not in str(e):
                    raise
                # units such as "months since" that no calendar date follows:
                # the time steps keep their numbers and units
                return opener(path, decode_times=False, **options)
    except Exception as e:  # the backends raise many types
        raise KitError(f"{path}: cannot open as NetCDF or Zarr: {first_line(e)}") from None


def write_dataset(ds, path):
    """A Dataset to path, a Zarr store for .zarr, else a NetCDF file."""
    try:
        if format_of(path) == "zarr":
            ds.to_zarr(path, mode="w")
        else:
            ds.to_netcdf(path)
    except (OSError, ValueError) as e:
        raise KitError(f"{path}: cannot write: {e}") from None


def grid_dataset(variables, crs, transform, attrs):
    """A Dataset of variables name -> (dims, array, attrs) whose first two
    dimensions are y and x, with cell-centre coordinates and the spatial_ref
    grid mapping of crs and transform, and global attributes attrs."""
    import xarray as xr
    mapping = grid_mapping(crs, transform)
    ds = xr.Dataset({n: (dims, a, dict(va, **({"grid_mapping": "spatial_ref"} if mapping
                                              else {})))
                     for n, (dims, a, va) in variables.items()}, attrs=attrs)
    y, x = cell_centres(transform, ds.sizes["y"], ds.sizes["x"])
    if y is not None:
        ds = ds.assign_coords(y=y, x=x)
    if mapping:
        ds = ds.assign_coords(spatial_ref=((), np.int32(0), mapping))
    return ds


class ProductWriter:
    """One NetCDF file or Zarr store with the variables of kovarkit.xarray.fit:
    p (param, y, x), f and i (time, y, x), order, aic, min, max (y, x), under
    the source's names of the dimensions, its coordinates with their
    attributes and dates, and the CRS in a spatial_ref grid mapping; each
    product with its _FillValue, the counts with scale_factor and add_offset;
    written block by block of image lines."""

    def __init__(self, kind, path, src, c, names, rows, masked, scale=1.0, offset=0.0,
                 periods=None):
        y, x, t = src.ydim, src.xdim, src.dim
        coords = src.coords()
        ndat, npara = src.ndat, 2 * c["nfunc"] + 2
        lead = () if periods is None else ("period",)
        nlead = () if periods is None else (periods["window_start"].size,)
        shapes = {"p": (lead + ("param", y, x), nlead + (npara, src.height, src.width)),
                  "f": ((t, y, x), (ndat, src.height, src.width))}
        shapes["i"] = shapes["f"]
        self.kind = kind
        if kind == "netcdf":
            import netCDF4
            self.root = netCDF4.Dataset(path, "w", format="NETCDF4")
            for d, size in (("param", npara), (t, ndat), (y, src.height),
                            (x, src.width)) + tuple(zip(lead, nlead)):
                self.root.createDimension(d, size)
        else:
            import zarr
            self.root = zarr.open_group(path, mode="w")
        crs_attrs = grid_mapping(src.crs, src.transform)
        self.vars = {}
        for n in names:
            dims, shape = shapes.get(n, (lead + (y, x), nlead + (src.height, src.width)))
            attrs = variable_attrs(n, scale, offset, src.units)
            if crs_attrs:
                attrs["grid_mapping"] = "spatial_ref"
            chunks = shape[:-2] + (min(rows, src.height), src.width)
            self.vars[n] = self._create(n, dims, shape, np.dtype(DTYPES[n]), attrs, chunks,
                                        fill=DTYPES[n](NODATA[n]))
        self._create("param", ("param",), (npara,), str, {"long_name": "parameter"}, None,
                     data=np.array(parameter_names(c["nfunc"]), dtype=object))
        time = src.time_coordinate()
        if time is None:
            numbers, attrs = np.arange(1, ndat + 1), {"long_name": "time step"}
        else:
            numbers, attrs = cf_encode(*time)
        self._create(t, (t,), (ndat,), numbers.dtype, attrs, None, data=numbers)
        for d, size in ((y, src.height), (x, src.width)):
            v = coords.get(d)
            if v is not None:
                v = np.asarray(v)
                self._create(d, (d,), (size,), v.dtype, src.coord_attrs.get(d, {}), None,
                             data=v)
        if crs_attrs:
            self._create("spatial_ref", (), (), "i4", crs_attrs, None, data=np.int32(0))
        attrs = dataset_attrs(c, masked, scale, offset)
        if periods is not None:
            self._create("period", ("period",), nlead, "i4", {}, None,
                         data=np.arange(1, nlead[0] + 1))
            self._create("window_start", ("period",), nlead, "i4",
                         {"long_name": "first time step of the period's window"}, None,
                         data=periods["window_start"])
            attrs.update(kovarind_ndat=ndat, kovarkit_time_dim=t,
                         kovarkit_window=periods["window"],
                         kovarkit_window_length=periods["window_length"])
        for k, v in attrs.items():
            if kind == "netcdf":
                self.root.setncattr(k, v)
            else:
                self.root.attrs[k] = v

    def _create(self, name, dims, shape, dtype, attrs, chunks, fill=None, data=None):
        attrs = {k: v for k, v in attrs.items() if k not in ("_FillValue", "missing_value")}
        if self.kind == "netcdf":
            v = self.root.createVariable(name, dtype, dims, zlib=chunks is not None,
                                         chunksizes=chunks,
                                         fill_value=False if fill is None else fill)
            v.set_auto_maskandscale(False)  # counts are written as they are
            for k, a in attrs.items():
                v.setncattr(k, a)
            if data is not None:
                if dtype is str:
                    for j, s in enumerate(data):
                        v[j] = s
                else:
                    v[...] = data
            return v
        if dtype is str:
            data = np.asarray(data, dtype="U")
            dtype = data.dtype
        v = self.root.create_dataset(name, shape=shape, dtype=dtype, chunks=chunks or shape,
                                     fill_value=fill)
        v.attrs.update(attrs)
        v.attrs["_ARRAY_DIMENSIONS"] = list(dims)
        if data is not None:
            v[...] = data
        return v

    def write(self, block, row0):
        """Lines row0.. of the products: a dict name -> (bands, lines, pixels)
        or (lines, pixels) array. NetCDF writes hold xarray's lock of the
        netCDF and HDF5 libraries, which are not thread-safe, so that a
        source read by xarray in another thread meanwhile waits."""
        import contextlib
        lock = contextlib.nullcontext()
        if self.kind == "netcdf":
            from xarray.backends.netCDF4_ import NETCDF4_PYTHON_LOCK as lock
        with lock:
            for n, v in self.vars.items():
                b = block[n]
                v[..., row0:row0 + b.shape[-2], :] = b

    def close(self):
        if self.root is None:
            return
        if self.kind == "netcdf":
            self.root.close()
        else:
            import zarr
            zarr.consolidate_metadata(self.root.store)
        self.root = None
