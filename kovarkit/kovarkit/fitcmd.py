"""`kovarkit fit`: products straight from a GeoTIFF stack, a NetCDF variable
or a Zarr array, block by block within a memory budget.

Samples come in as `kovarkit import` makes them: floor(S*value + O + 0.5),
NoData (the source's NoData value or mask, NaN, or --nodata) as sample 0
and mask 0, a value outside 0..32767 refusing the whole run, and with --mask
a sample usable only when its QA value is one of --good. Each block of image
rows is read, converted, fit by the engine and written before the next is
read, so the memory in use follows --memory, not the size of the cube.
Outputs go to a temporary name and are renamed at the end: a failed run
leaves nothing behind.
"""

import os
import shutil
import sys

import numpy as np

from . import engine
from .control import read_values
from .errors import KitError
from .importer import MAX_SAMPLE, parse_good
from .xarray import VARIABLE_ATTRS

PRODUCTS = ("p", "i", "f", "order", "aic", "min", "max")
# Bytes held per pixel and time step while a block is converted and fit,
# and per pixel besides: source values, validity, counts and their
# temporaries, samples, mask, fitted series and the products in both layouts.
BYTES_PER_SAMPLE = 64
BYTES_PER_PIXEL = 128


def parse_size(text):
    """'512M', '2G', '300k' or a byte count -> bytes."""
    t = text.strip().upper().removesuffix("B")
    mult = {"K": 2**10, "M": 2**20, "G": 2**30, "T": 2**40}.get(t[-1:], 1)
    try:
        n = float(t[:-1] if mult > 1 else t) * mult
    except ValueError:
        raise KitError(f"--memory {text}: expected a size such as 512M or 2G") from None
    if not n >= 2**16:
        raise KitError(f"--memory {text}: at least 64K is needed")
    return int(n)


def _format(path):
    p = path.rstrip("/\\").lower()
    return ("netcdf" if p.endswith((".nc", ".nc4")) else "zarr" if p.endswith(".zarr")
            else "gtiff")


class _XarraySource:
    """A NetCDF variable or Zarr array (time, y, x in any order), read lazily."""

    def __init__(self, path, var, dim, what):
        import xarray as xr
        try:
            if _format(path) == "zarr":
                ds = xr.open_zarr(path, decode_coords="all")
            else:
                ds = xr.open_dataset(path, decode_coords="all")
        except Exception as e:  # the backends raise many types
            raise KitError(f"{path}: cannot open as NetCDF or Zarr: {_short(e)}") from None
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
        self.ydim, self.xdim = [d for d in da.dims if d != dim]
        self.da = da.transpose(self.ydim, self.xdim, dim)
        self.paths = [path]
        self.height, self.width, self.ndat = self.da.shape
        self.dim = dim
        self.crs, self.transform = None, None
        try:
            import rioxarray  # noqa: F401
            rio = self.da.rio.set_spatial_dims(x_dim=self.xdim, y_dim=self.ydim)
            self.crs, self.transform = rio.rio.crs, rio.rio.transform()
        except Exception:  # no rioxarray or no usable grid: coordinates only
            pass
        self.nodata = None

    def coords(self):
        c = self.da.coords
        return {self.ydim: c[self.ydim].values if self.ydim in c else None,
                self.xdim: c[self.xdim].values if self.xdim in c else None,
                "time": c[self.dim].values if self.dim in c else None}

    def read(self, row0, nrows, extra_nodata):
        values = np.asarray(self.da[row0:row0 + nrows].values, dtype=np.float64)
        valid = ~np.isnan(values)
        if extra_nodata is not None:
            valid &= values != extra_nodata
        return values, valid

    def close(self):
        self.da.close()


class _RasterSource:
    """A GeoTIFF stack (any GDAL raster), read through import's stack reader."""

    def __init__(self, paths, what):
        from .importer import _Stack
        self.stack = _Stack(paths, what)
        s = self.stack
        self.paths = s.paths
        self.height, self.width, self.ndat = s.height, s.width, len(s.bands)
        self.crs, self.transform = s.crs, s.transform
        self.ydim, self.xdim = "y", "x"

    def coords(self):
        t = self.transform
        if t is None or t.b != 0 or t.d != 0:
            return {"y": None, "x": None, "time": None}
        return {"y": t.f + (np.arange(self.height) + 0.5) * t.e,
                "x": t.c + (np.arange(self.width) + 0.5) * t.a, "time": None}

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


def _open(paths, var, dim, what):
    kinds = {_format(p) for p in paths}
    if kinds == {"gtiff"}:
        return _RasterSource(paths, what)
    if len(paths) != 1:
        raise KitError(f"{paths[0]}: a NetCDF or Zarr {what[:-1]} is one dataset; "
                       "give it alone")
    return _XarraySource(paths[0], var, dim, what)


def _short(e):
    return str(e).splitlines()[0] if str(e) else e.__class__.__name__


def _control(args, src):
    """Control keywords from --cntl or the options, and whether MASK = 1."""
    keys = ("nfunc", "npoint", "nwin", "intp", "mmsw", "tcld", "fitsw", "fitmd")
    given = [k for k in keys + ("exclude",) if getattr(args, k) is not None]
    if args.cntl:
        if given:
            raise KitError(f"--cntl {args.cntl}: give the control values either in the "
                           f"file or as options, not both (--{given[0]})")
        c = read_values(args.cntl)
        dims = (c["ndat"], c["nline"], c["npix"])
        if dims != (src.ndat, src.height, src.width):
            raise KitError(f"{args.cntl}: NDAT, NLINE, NPIX = {dims[0]}, {dims[1]}, {dims[2]}, "
                           f"but {src.paths[0]} holds {src.ndat} time steps of {src.height} "
                           f"lines x {src.width} pixels")
        control = {k: c[k] for k in keys}
        control["excluded"] = tuple(c["excluded"])
        if args.mask is not None and c["mask"] != 1:
            print(f"kovarkit: fit: warning: {args.cntl}: MASK = {c['mask']}: the QA sources "
                  "are not used (the residual screening decides)", file=sys.stderr)
        return control, c["mask"] == 1
    control = {k: getattr(args, k) for k in keys if getattr(args, k) is not None}
    if args.exclude is not None:
        try:
            control["excluded"] = tuple(int(t) for t in args.exclude.split(",") if t.strip())
        except ValueError:
            raise KitError(f"--exclude {args.exclude}: expected time steps such as 3,9,"
                           "17") from None
    return control, args.mask is not None


def rows_per_block(budget, width, ndat, npara):
    per_row = width * (ndat * BYTES_PER_SAMPLE + npara * 8 + BYTES_PER_PIXEL)
    return max(1, budget // max(per_row, 1))


def run(args):
    if (args.mask is None) != (args.good is None):
        raise KitError("--mask and --good go together (QA sources and the QA values "
                       "that mark a usable sample)")
    good = np.array(sorted(parse_good(args.good))) if args.good is not None else None
    scale, offset = args.scale, args.offset
    if not (np.isfinite(scale) and np.isfinite(offset)) or scale == 0:
        raise KitError(f"--scale {scale} --offset {offset}: need finite numbers, scale not 0")
    budget = parse_size(args.memory)
    out = args.out
    kind = _format(out)
    targets = ([os.path.join(out, n + ".tif") for n in PRODUCTS] if kind == "gtiff"
               else [out])
    if not args.force:
        for t in targets:
            if os.path.exists(t):
                raise KitError(f"{t}: exists; not overwritten (use --force)")

    import rasterio
    # GDAL's block cache counts against the budget: a quarter of it.
    with rasterio.Env(GDAL_CACHEMAX=max(1, budget // 4 // 2**20)):
        names = _run(args, out, kind, budget, good, scale, offset)
    print(f"wrote {out}: {', '.join(names)}")
    return 0


def _run(args, out, kind, budget, good, scale, offset):
    src = _open(args.sources, args.var, args.dim, "sources")
    qa = None
    try:
        if not 3 <= src.ndat <= 200:
            raise KitError(f"{src.paths[0]}: the sources hold {src.ndat} time step(s); "
                           "a fit needs 3..200")
        if args.mask is not None:
            qa = _open(args.mask, args.qa_var, args.dim, "QA sources")
            if (qa.ndat, qa.height, qa.width) != (src.ndat, src.height, src.width):
                raise KitError(f"{qa.paths[0]}: {qa.ndat} x {qa.height} x {qa.width} (time x "
                               f"lines x pixels), the sources {src.ndat} x {src.height} x "
                               f"{src.width}")
        control, use_mask = _control(args, src)
        try:
            c = engine.control_values(src.ndat, use_mask, **control)
        except (ValueError, TypeError) as e:
            raise KitError(str(e)) from None
        if src.crs is None:
            print(f"kovarkit: fit: warning: {src.paths[0]}: no coordinate system; the "
                  "products carry only the pixel grid", file=sys.stderr)
        npara = 2 * c["nfunc"] + 2
        rows = min(src.height, rows_per_block(budget, src.width, src.ndat, npara))
        names = [n for n in PRODUCTS if n != "i" or c["intp"] == 1]
        tmp = out.rstrip("/\\") + ".kovarkit-tmp"
        _remove(tmp)
        writer = _writer(kind, tmp, src, c, names, rows, use_mask)
        try:
            _fit_blocks(src, qa, good, scale, offset, args, c, use_mask, rows, writer)
            writer.close()
            _commit(kind, tmp, out, names)
        finally:
            writer.close()
            _remove(tmp)
    finally:
        src.close()
        if qa is not None:
            qa.close()
    return names


def _fit_blocks(src, qa, good, scale, offset, args, c, use_mask, rows, writer):
    threads = args.threads or engine.default_threads()
    starts = range(0, src.height, rows)
    try:
        from tqdm import tqdm
        bar = tqdm(total=src.height, unit="line", disable=args.quiet or None,
                   desc="kovarkit fit", file=sys.stderr)
    except ImportError:
        bar = None
    try:
        for row0 in starts:
            n = min(rows, src.height - row0)
            values, valid = src.read(row0, n, args.nodata)
            with np.errstate(invalid="ignore", over="ignore"):
                # floor(S*value + O + 0.5), in place, in import's order
                counts = np.multiply(values, scale, out=values)
                np.add(counts, offset, out=counts)
                np.add(counts, 0.5, out=counts)
                np.floor(counts, out=counts)
                inside = (counts >= 0) & (counts <= MAX_SAMPLE)
            del values
            _refuse_out_of_range(src, counts, valid & ~inside, scale, offset, row0)
            del inside
            samples = np.where(valid, counts, 0).astype(np.int16)
            del counts
            mask = None
            if use_mask:
                usable = valid
                if qa is not None:
                    qv, qvalid = qa.read(row0, n, None)
                    usable = valid & qvalid & np.isin(qv, good)
                    del qv, qvalid
                mask = usable.astype(np.uint8)
            del valid
            prod = engine.fit(samples, mask, threads=threads, **c)
            del samples, mask
            writer.write(row0, prod)
            del prod
            if bar is not None:
                bar.update(n)
    finally:
        if bar is not None:
            bar.close()


def _refuse_out_of_range(src, counts, out, scale, offset, row0):
    if not out.any():
        return
    v = counts[out]
    line, pixel, step = (int(i) + 1 for i in np.argwhere(out)[0])
    raise KitError(
        f"{src.paths[0]}: {int(out.sum())} value(s) outside 0..{MAX_SAMPLE} after scaling "
        f"(scale {scale:g}, offset {offset:g}; range {v.min():g}..{v.max():g}), the first "
        f"at line {row0 + line}, pixel {pixel}, time step {step}; nothing written")


def _remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


def _commit(kind, tmp, out, names):
    """Moves the finished outputs from the temporary name to their own."""
    if kind != "gtiff":
        _remove(out)
        os.replace(tmp, out)
        return
    os.makedirs(out, exist_ok=True)
    for n in names:
        os.replace(os.path.join(tmp, n + ".tif"), os.path.join(out, n + ".tif"))


def _layout(name, block):
    """(rows, pixels[, bands]) engine output -> (bands, rows, pixels) or (rows, pixels)."""
    return np.moveaxis(block, -1, 0) if block.ndim == 3 else block


def _writer(kind, tmp, src, c, names, rows, masked):
    if kind == "gtiff":
        return _GeoTiffWriter(tmp, src, c, names)
    return _ArrayWriter(kind, tmp, src, c, names, rows, masked)


class _GeoTiffWriter:
    """OUT/p.tif, OUT/f.tif, ... as `kovarkit export` writes them."""

    def __init__(self, d, src, c, names):
        import warnings

        import rasterio

        from .export import _PREDICTOR
        from .scene import rasters
        os.makedirs(d)
        ctl = _Dims(src.ndat, src.height, src.width, c["nfunc"])
        bsq = {r.stem: r for r in rasters(ctl).values()}
        self.files = {}
        for n in names:
            r = bsq[n]
            profile = dict(driver="GTiff", width=src.width, height=src.height, count=r.bands,
                           dtype=np.dtype(r.dtype).name, compress="deflate",
                           predictor=_PREDICTOR[r.dtype],
                           interleave="band" if r.bands > 1 else "pixel")
            if src.crs is not None:
                profile["crs"] = src.crs
            if src.transform is not None:
                profile["transform"] = src.transform
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", rasterio.errors.NotGeoreferencedWarning)
                ds = rasterio.open(os.path.join(d, n + ".tif"), "w", **profile)
            for b in range(r.bands):
                ds.set_band_description(b + 1, r.band_names[b])
            ds.update_tags(kovarkit_source=r.name, kovarkit_title=r.title)
            self.files[n] = ds

    def write(self, row0, prod):
        from rasterio.windows import Window
        for n, ds in self.files.items():
            block = _layout(n, getattr(prod, n))
            rows = block.shape[-2]
            win = Window(0, row0, ds.width, rows)
            if block.ndim == 2:
                ds.write(block, 1, window=win)
            else:
                ds.write(block, window=win)

    def close(self):
        for ds in self.files.values():
            ds.close()
        self.files = {}


class _Dims:
    """The dimensions scene.rasters needs, for band names and titles."""

    def __init__(self, ndat, nline, npix, nfunc):
        self.ndat, self.nline, self.npix, self.nfunc = ndat, nline, npix, nfunc
        self.npara = 2 * nfunc + 2


class _ArrayWriter:
    """One NetCDF file or Zarr store with the variables of kovarkit.xarray.fit:
    p (param, y, x), f and i (time, y, x), order, aic, min, max (y, x), the
    coordinates, and the CRS in a spatial_ref grid mapping."""

    def __init__(self, kind, path, src, c, names, rows, masked):
        from .engine import parameter_names
        from .xarray import _dataset_attrs
        y, x = src.ydim, src.xdim
        coords = src.coords()
        ndat, npara = src.ndat, 2 * c["nfunc"] + 2
        shapes = {"p": (("param", y, x), (npara, src.height, src.width)),
                  "f": (("time", y, x), (ndat, src.height, src.width))}
        shapes["i"] = shapes["f"]
        dtypes = {"p": "f4", "f": "i2", "i": "i2", "order": "u1", "aic": "f4", "min": "i2",
                  "max": "i2"}
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
        crs_attrs = _grid_mapping(src)
        self.vars = {}
        for n in names:
            dims, shape = shapes.get(n, ((y, x), (src.height, src.width)))
            attrs = dict(VARIABLE_ATTRS[n])
            if crs_attrs:
                attrs["grid_mapping"] = "spatial_ref"
            chunks = shape[:-2] + (min(rows, src.height), src.width)
            self.vars[n] = self._create(n, dims, shape, dtypes[n], attrs, chunks)
        self._create("param", ("param",), (npara,), str, {"long_name": "parameter"}, None,
                     np.array(parameter_names(c["nfunc"]), dtype=object))
        for d, size in (("time", ndat), (y, src.height), (x, src.width)):
            v = coords.get("time" if d == "time" else d)
            if v is None:
                v = np.arange(1, size + 1) if d == "time" else None
            if v is not None:
                self._create(d, (d,), (size,), np.asarray(v).dtype, {}, None, np.asarray(v))
        if crs_attrs:
            self._create("spatial_ref", (), (), "i4", crs_attrs, None, np.int32(0))
        attrs = _dataset_attrs(c, masked)
        for k, v in attrs.items():
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

    def write(self, row0, prod):
        for n, v in self.vars.items():
            block = _layout(n, getattr(prod, n))
            rows = block.shape[-2]
            v[..., row0:row0 + rows, :] = block

    def close(self):
        if self.root is None:
            return
        if self.kind == "netcdf":
            self.root.close()
        else:
            import zarr
            zarr.consolidate_metadata(self.root.store)
        self.root = None


def _grid_mapping(src):
    """Attributes of the spatial_ref variable that GDAL and rioxarray read."""
    if src.crs is None:
        return {}
    wkt = src.crs.to_wkt()
    attrs = {"crs_wkt": wkt, "spatial_ref": wkt}
    if src.transform is not None:
        attrs["GeoTransform"] = " ".join(repr(float(v)) for v in src.transform.to_gdal())
    return attrs
