"""The kovarind engine on xarray cubes: ``kovarkit.xarray.fit``, and the
seasonal metrics of a fit Dataset: ``kovarkit.xarray.seasons``.

The cube is handed to ``kovarkit.fit`` block by block through
``xarray.apply_ufunc(..., dask="parallelized")``: a numpy-backed cube is fit
at once, a Dask-backed one lazily, chunk by chunk over space, on whatever
scheduler is active (threads, processes or a distributed cluster). The
values are those of ``kovarkit.fit`` and of kovarind, pixel for pixel.

The seasons take the coefficients as a variable p whose last dimension lists
the parameters (constant, trend, amplitude and phase per harmonic) and the
fitted series as f with a time dimension; both may be Dask-backed, the
metrics are then computed lazily, block by block.
"""

import functools

import numpy as np
import xarray as xr

from .core import calendar, dates, seasons as metrics
from .core.fit import control_values, fit as _fit
from .core.periods import fit_periods as _fit_periods, windows
from .core.products import DTYPES, VARIABLE_ATTRS, dataset_attrs, parameter_names, period_of


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


def _inputs(da, mask, dim, threads):
    """(da, mask, threads) checked, time in one chunk when Dask-backed."""
    _check("da", da, dim)
    if mask is not None:
        _check("mask", mask, dim)
        if dict(mask.sizes) != dict(da.sizes):
            raise ValueError(f"mask: sizes {dict(mask.sizes)} differ from da's {dict(da.sizes)}")
        try:
            xr.align(da, mask, join="exact")
        except ValueError as e:
            raise ValueError(f"mask: coordinates differ from da's ({e})") from None
    if da.chunks is not None or (mask is not None and mask.chunks is not None):
        da = da.chunk({dim: -1})
        if mask is not None:
            mask = mask.chunk(dict(zip(da.dims, da.chunks)))
        if threads is None:
            threads = 1
    return da, mask, threads


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
    da, mask, threads = _inputs(da, mask, dim, threads)
    c = control_values(da.sizes[dim], mask is not None, **control)
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
        output_dtypes=[DTYPES[n] for n in names],
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
    ds.attrs = dataset_attrs(c, mask is not None)
    return _with_crs(ds, da)


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




def fit_periods(da, mask=None, *, dim="time", window=3, threads=None, **control):
    """Fit each whole period of the cube on its own window of `window`
    periods (kovarkit.fit_periods), bit for bit as kovarkit.fit fits the
    window's slice.  Returns a Dataset with p (period, param, ...), order,
    aic, min, max (period, ...), the coordinates window_start and
    period_start (the time coordinate's value at the period's first step)
    on `period`, the whole time coordinate and, as attributes, the control
    values, the window, NDAT and the name of the time dimension: what
    kovarkit.xarray.seasons needs."""
    da, mask, threads = _inputs(da, mask, dim, threads)
    c = control_values(None, mask is not None, **control)
    ndat = da.sizes[dim]
    starts, length = windows(ndat, c["npoint"], window)
    control_values(length, mask is not None, **control)   # the reader's limits per window
    names = ["p", "order", "aic", "min", "max"]

    def block(samples, mask=None):
        r = _fit_periods(samples, mask, window=window, threads=threads, **c)
        return tuple(getattr(r, n) for n in names)

    args = [da] if mask is None else [da, mask]
    out = xr.apply_ufunc(block, *args, input_core_dims=[[dim]] * len(args),
                         output_core_dims=[["period", "param"]] + [["period"]] * 4,
                         dask="parallelized", output_dtypes=[DTYPES[n] for n in names],
                         dask_gufunc_kwargs={"output_sizes": {"period": starts.size,
                                                              "param": 2 * c["nfunc"] + 2}})
    space = [d for d in da.dims if d != dim]
    ds = xr.Dataset({n: v.transpose("period", *(["param"] if n == "p" else []), *space)
                     .assign_attrs(VARIABLE_ATTRS[n]) for n, v in zip(names, out)})
    coords = dict(period=np.arange(1, starts.size + 1), param=parameter_names(c["nfunc"]),
                  window_start=("period", starts))
    if dim in da.coords:
        coords[dim] = da[dim].variable
        coords["period_start"] = ("period", da[dim].values[::c["npoint"]][:starts.size])
    ds = ds.assign_coords(coords)
    ds.attrs = dict(dataset_attrs(c, mask is not None), kovarkit_window=window,
                    kovarkit_window_length=length, kovarind_ndat=ndat, kovarkit_time_dim=dim)
    return _with_crs(ds, da)


def _time_axis(ds, pdims):
    """(ndat, datetime64 time values or None) of a fit or fit_periods Dataset."""
    name = ds.attrs.get("kovarkit_time_dim")
    if name is None and "f" in ds:
        tdims = [d for d in ds["f"].dims if d not in pdims]
        name = tdims[0] if len(tdims) == 1 else None
    ndat = ds.attrs.get("kovarind_ndat", ds.sizes.get(name))
    if ndat is None:
        raise ValueError("ds: neither a fitted series f nor the attribute kovarind_ndat "
                         "tells the length of the series")
    time = ds[name].values if name in ds.coords else np.zeros(0)
    return int(ndat), time if np.issubdtype(time.dtype, np.datetime64) else None


def seasons(ds, *, threshold=0.2, end_threshold=None, max_seasons=1, second_ratio=0.5,
            min_amplitude=1.0, year_start=None, step=0.1, npoint=None):
    """Seasons (kovarkit.seasons) of the output of kovarkit.xarray.fit or
    fit_periods, with NPOINT, NDAT and the windows from ds (npoint= for
    datasets that do not record it): one variable per metric of dimensions
    (season, ...space), season 1 .. nperiod * max_seasons with the coordinate
    `period`, ds's spatial coordinates and spatial_ref.  With a datetime time
    coordinate and with kovarkit_scale and kovarkit_offset, in dates and
    index units (kovarkit.core.calendar; year_start "MM-DD": the year that
    begins on that day).  Dask-backed input stays lazy."""
    if "p" not in ds:
        raise ValueError("ds: the dataset has no coefficient variable p")
    p = ds["p"]
    pdim = "param" if "param" in p.dims else p.dims[-1]
    ndat, time = _time_axis(ds, p.dims)
    npoint = npoint or period_of(ds.attrs) or period_of(p.attrs)
    if npoint is None:
        raise ValueError("ds: the attributes do not record the period (kovarind_npoint); "
                         "give npoint=")
    dates.year_start_of(year_start)
    opts = metrics.settings(p.sizes[pdim], npoint=npoint, ndat=ndat, threshold=threshold,
                            end_threshold=end_threshold, max_seasons=max_seasons,
                            second_ratio=second_ratio, min_amplitude=min_amplitude, step=step)
    nseason = ndat // opts["npoint"] * opts["max_seasons"]
    scale = ds.attrs.get("kovarkit_scale")
    units = dict(time=time, year_start=year_start, scale=scale,
                 offset=float(ds.attrs.get("kovarkit_offset", 0.0)))
    core = [pdim]
    if "period" in p.dims and "window_start" in ds.variables:
        units["window_start"] = ds["window_start"].values
        core = ["period", pdim]
    cols = calendar.columns(time is not None, scale is not None)

    def block(a, opts=dict(opts, **units)):
        out = calendar.dated_seasons(a, **opts)
        return tuple(out[name] for name, _, _, _ in cols)

    if p.chunks is not None:
        p = p.chunk(dict.fromkeys(core, -1))
    out = xr.apply_ufunc(block, p, input_core_dims=[core],
                         output_core_dims=[["season"]] * len(cols), dask="parallelized",
                         output_dtypes=[dtype for _, dtype, _, _ in cols],
                         dask_gufunc_kwargs={"output_sizes": {"season": nseason}})
    res = xr.Dataset({name: o.transpose("season", ...).assign_attrs(units=unit, long_name=text)
                      for o, (name, _, unit, text) in zip(out, cols)})
    res = res.assign_coords(season=np.arange(1, nseason + 1), period=(
        "season", np.repeat(np.arange(1, nseason // opts["max_seasons"] + 1),
                            opts["max_seasons"])))
    for name in ("spatial_ref", "crs"):
        if name in ds.variables:
            if name not in res.coords:
                res = res.assign_coords({name: ds[name]})
            for v in res.data_vars.values():
                v.attrs["grid_mapping"] = name
    res.attrs.update(opts, year_start=year_start or "01-01")
    return res
