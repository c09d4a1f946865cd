"""The kovarind engine on xarray cubes: ``kovarkit.xarray.fit``.

The cube is handed to ``kovarkit.fit`` block by block through
``xarray.apply_ufunc(..., dask="parallelized")``: a numpy-backed cube is fit
at once, a Dask-backed one lazily, chunk by chunk over space, on whatever
scheduler is active (threads, processes or a distributed cluster). The
values are those of ``kovarkit.fit`` and of kovarind, pixel for pixel.
"""

import functools

import numpy as np
import xarray as xr

from .engine import CONTROL_DEFAULTS, control_values, fit as _fit, parameter_names
from .xarray_seasons import seasons  # noqa: F401  (kovarkit.xarray.seasons(ds, ...))

# Units and conventions carried as attributes of the products.
MODEL_UNITS = "model units: 1.0 = 4096 counts"
VARIABLE_ATTRS = {
    "p": dict(long_name="model parameters: constant, trend, amplitude and phase per harmonic",
              units="model units (counts/4096); phases in radians",
              comment="harmonic k equals amplitude_k * sin(theta_k + phase_k); "
                      "the trend multiplies 0.1 * time step; all 0 for a failed fit"),
    "f": dict(long_name="final fitted series", units="counts",
              comment="saturated to -32768..32767; all 0 for a failed fit"),
    "i": dict(long_name="first-pass fitted series", units="counts",
              comment="saturated to -32768..32767; all 0 with a mask (no first pass)"),
    "order": dict(long_name="order value of the final fit", units="1",
                  comment="255 = failed fit (order value -1); 1 or less is a failed fit"),
    "aic": dict(long_name="information criterion of the final fit", units="1",
                comment="0.0 when its magnitude exceeds 1e8"),
    "min": dict(long_name="smallest value of the final fitted series", units="counts"),
    "max": dict(long_name="largest value of the final fitted series", units="counts"),
}
_DTYPES = {"p": np.float32, "f": np.int16, "i": np.int16, "order": np.uint8,
           "aic": np.float32, "min": np.int16, "max": np.int16}


def _block(samples, mask=None, *, names, threads, control):
    """Products of one block (time last), as a tuple in the order of names."""
    prod = _fit(samples, mask, threads=threads, **control)._asdict()
    return tuple(prod[n] for n in names)


def _check(name, a, dim):
    if not isinstance(a, xr.DataArray):
        raise TypeError(f"{name}: expected an xarray.DataArray, got {type(a).__name__}")
    if dim not in a.dims:
        raise ValueError(f"{name}: no dimension {dim!r} (dimensions {a.dims}); name the "
                         "time dimension with dim=")
    if a.dtype.kind not in "iu":
        raise ValueError(f"{name}: dtype {a.dtype} is not an integer type; " + (
            "bring the values into counts 0..32767 first (README: counts)" if name == "da"
            else "give mask values 0..255, 1 marking a usable sample"))


def fit(da, mask=None, *, dim="time", threads=None, **control):
    """Fit every pixel of the cube ``da`` along ``dim`` exactly as kovarind.

    da: integer DataArray with values 0..32767 (counts). mask: None, or an
    integer DataArray of the same dimensions and coordinates, 1 marking a
    usable sample (MASK = 1). Control keywords as for kovarkit.fit (tcld=None
    is the reader's single-precision default). threads: per block (default:
    every core for a numpy cube, 1 per block for a Dask cube, whose
    scheduler spreads the blocks).
    Returns a Dataset with p (param, ...), f and i (dim, ...), order, aic,
    min, max over the other dimensions, with their coordinates (and
    spatial_ref) carried over. A Dask cube stays lazy: time goes into one
    chunk, space keeps its chunks.
    """
    _check("da", da, dim)
    if mask is not None:
        _check("mask", mask, dim)
        if dict(mask.sizes) != dict(da.sizes):
            raise ValueError(f"mask: sizes {dict(mask.sizes)} differ from da's {dict(da.sizes)}")
        try:
            xr.align(da, mask, join="exact")
        except ValueError as e:
            raise ValueError(f"mask: coordinates differ from da's ({e})") from None
    c = control_values(da.sizes[dim], mask is not None, **control)
    lazy = da.chunks is not None or (mask is not None and mask.chunks is not None)
    if lazy:
        da = da.chunk({dim: -1})
        if mask is not None:
            mask = mask.chunk(dict(zip(da.dims, da.chunks)))
        if threads is None:
            threads = 1
    names = ["p", "f"] + (["i"] if c["intp"] == 1 else []) + ["order", "aic", "min", "max"]
    core = {"p": ["param"], "f": [dim], "i": [dim]}
    args = [da] if mask is None else [da, mask]
    npara = 2 * c["nfunc"] + 2
    out = xr.apply_ufunc(
        functools.partial(_block, names=names, threads=threads, control=c),
        *args,
        input_core_dims=[[dim]] * len(args),
        output_core_dims=[core.get(n, []) for n in names],
        dask="parallelized",
        output_dtypes=[_DTYPES[n] for n in names],
        dask_gufunc_kwargs={"output_sizes": {"param": npara}},
        keep_attrs=False,
    )
    space = [d for d in da.dims if d != dim]
    variables = {}
    for n, v in zip(names, out):
        v = v.transpose(*(core.get(n, []) + space))
        v.attrs = dict(VARIABLE_ATTRS[n])
        variables[n] = v
    ds = xr.Dataset(variables)
    ds = ds.assign_coords(param=parameter_names(c["nfunc"]))
    ds.attrs = _dataset_attrs(c, mask is not None)
    return _with_crs(ds, da)


def _dataset_attrs(c, masked):
    attrs = {"title": "kovarind products", "conventions": MODEL_UNITS + "; phases in radians; "
             "order 255 = failed fit; criterion 0.0 beyond 1e8"}
    for k in CONTROL_DEFAULTS:
        v = c[k]
        if k == "tcld" and v is None:
            from .engine import engine
            v = engine().TCLD_DEFAULT
        if k == "excluded":
            v = ",".join(str(t) for t in v)
        attrs[f"kovarind_{k}"] = v
    attrs["kovarind_mask"] = int(masked)
    return attrs


def _with_crs(ds, da):
    """Marks every variable with the source's grid mapping when rioxarray
    knows its CRS, so that GDAL and rioxarray read it back from files."""
    if "spatial_ref" not in da.coords:
        return ds
    try:
        import rioxarray  # noqa: F401
        crs = da.rio.crs
    except Exception:  # rioxarray missing or no CRS readable
        return ds
    return ds.rio.write_crs(crs) if crs is not None else ds
