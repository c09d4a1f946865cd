"""NetCDF files and Zarr stores: opened as xarray Datasets, the products
written block by block, and whole Datasets written."""

import numpy as np

from ..core.products import DTYPES, VARIABLE_ATTRS, dataset_attrs, parameter_names
from ..errors import KitError, first_line
from .georef import cell_centres, grid_mapping


def format_of(path):
    """'netcdf' (.nc, .nc4), 'zarr' (.zarr) or 'gtiff' (anything else)."""
    p = path.rstrip("/\\").lower()
    return ("netcdf" if p.endswith((".nc", ".nc4")) else "zarr" if p.endswith(".zarr")
            else "gtiff")


def open_dataset(path):
    """A NetCDF file or Zarr store as a lazy Dataset, coordinates decoded."""
    import xarray as xr
    try:
        if format_of(path) == "zarr":
            return xr.open_zarr(path, decode_coords="all")
        return xr.open_dataset(path, decode_coords="all")
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
    p (param, y, x), f and i (time, y, x), order, aic, min, max (y, x), the
    coordinates, and the CRS in a spatial_ref grid mapping; written block by
    block of image lines."""

    def __init__(self, kind, path, src, c, names, rows, masked):
        y, x = src.ydim, src.xdim
        coords = src.coords()
        ndat, npara = src.ndat, 2 * c["nfunc"] + 2
        shapes = {"p": (("param", y, x), (npara, src.height, src.width)),
                  "f": (("time", y, x), (ndat, src.height, src.width))}
        shapes["i"] = shapes["f"]
        self.kind = kind
        if kind == "netcdf":
            import netCDF4
            self.root = netCDF4.Dataset(path, "w", format="NETCDF4")
            for d, size in (("param", npara), ("time", ndat), (y, src.height),
                            (x, src.width)):
                self.root.createDimension(d, size)
        else:
            import zarr
            self.root = zarr.open_group(path, mode="w")
        crs_attrs = grid_mapping(src.crs, src.transform)
        self.vars = {}
        for n in names:
            dims, shape = shapes.get(n, ((y, x), (src.height, src.width)))
            attrs = dict(VARIABLE_ATTRS[n])
            if crs_attrs:
                attrs["grid_mapping"] = "spatial_ref"
            chunks = shape[:-2] + (min(rows, src.height), src.width)
            self.vars[n] = self._create(n, dims, shape, np.dtype(DTYPES[n]), attrs, chunks)
        self._create("param", ("param",), (npara,), str, {"long_name": "parameter"}, None,
                     np.array(parameter_names(c["nfunc"]), dtype=object))
        for d, size in (("time", ndat), (y, src.height), (x, src.width)):
            v = coords.get(d)
            if v is None and d == "time":
                v = np.arange(1, size + 1)
            if v is not None:
                self._create(d, (d,), (size,), np.asarray(v).dtype, {}, None, np.asarray(v))
        if crs_attrs:
            self._create("spatial_ref", (), (), "i4", crs_attrs, None, np.int32(0))
        for k, v in dataset_attrs(c, masked).items():
            if kind == "netcdf":
                self.root.setncattr(k, v)
            else:
                self.root.attrs[k] = v

    def _create(self, name, dims, shape, dtype, attrs, chunks, data=None):
        if self.kind == "netcdf":
            v = self.root.createVariable(name, dtype, dims, zlib=chunks is not None,
                                         chunksizes=chunks, fill_value=False)
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
                                     fill_value=None)
        v.attrs.update(attrs)
        v.attrs["_ARRAY_DIMENSIONS"] = list(dims)
        if data is not None:
            v[...] = data
        return v

    def write(self, block, row0):
        """Lines row0.. of the products: a dict name -> (bands, lines, pixels)
        or (lines, pixels) array."""
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
