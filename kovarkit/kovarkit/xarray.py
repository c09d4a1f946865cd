"""The kovarind engine on xarray cubes: ``kovarkit.xarray.fit`` and
``fit_periods``, and the seasons of their Datasets: ``kovarkit.xarray.seasons``.

The cube is handed to ``kovarkit.fit`` block by block through
``xarray.apply_ufunc(..., dask="parallelized")``: a numpy-backed cube is fit
at once, a Dask-backed one lazily, chunk by chunk over space, on whatever
scheduler is active (threads, processes or a distributed cluster). The
values are those of ``kovarkit.fit`` and of kovarind, pixel for pixel; the
seasons follow, lazily too.
"""

import functools
import warnings

import numpy as np
import xarray as xr

from .core import calendar, dates, seasons as metrics
from .core.cadence import aliasing_warning, cadence as cadence_of, short_series_warning
from .core.counts import check_scale, float_without_scale, index_to_counts
from .core.fit import control_values, fit as _fit
from .core.periods import fit_periods as _fit_periods, windows
from .core.products import (DTYPES, NODATA, dataset_attrs, parameter_names, period_of,
                            set_nodata, variable_attrs)


def _block(values, mask=None, *, names, threads, control, units, window=None):
    """Products of one block (time last), as a tuple in the order of names;
    units: None for counts, else (scale, offset, nodata) of the index;
    window: the fit per period with windows of that many periods."""
    empty = None
    if units is not None:
        values, ok = index_to_counts(values, *units)
        if mask is not None:
            ok &= mask == 1
            mask = np.where(ok, mask, 0).astype(mask.dtype)
        empty = ~ok.any(axis=-1)
    if window is None:
        prod = _fit(values, mask, threads=threads, **control)._asdict()
    else:
        prod = {n: v for n, v in _fit_periods(values, mask, window=window, threads=threads,
                                              **control)._asdict().items() if n in names}
    if empty is not None:
        set_nodata(prod, empty)
    return tuple(prod[n] for n in names)


def _check(name, a, dim, index=False):
    if not isinstance(a, xr.DataArray):
        raise TypeError(f"{name}: expected an xarray.DataArray, got {type(a).__name__}")
    if dim not in a.dims:
        raise ValueError(f"{name}: no dimension {dim!r} (dimensions {a.dims}); name the "
                         "time dimension with dim=")
    if a.dtype.kind not in ("iuf" if index else "iu"):
        raise ValueError(f"{name}: dtype {a.dtype} is not an integer type; " + (
            "bring the values into counts 0..32767 first (README: counts)" if name == "da"
            else "give mask values 0..255, 1 marking a usable sample"))


def _float_range(da):
    """The value range of a numpy-backed cube; (nan, nan) for a lazy one."""
    if da.chunks is not None or not np.isfinite(da.values).any():
        return np.nan, np.nan
    return float(np.nanmin(da.values)), float(np.nanmax(da.values))


_Y_NAMES = ("y", "lat", "latitude")


def _south_first(da, dim):
    """The name of da's vertical coordinate when it ascends (south first), else None."""
    for d in da.dims:
        if d == dim or d not in da.coords or da.sizes[d] < 2:
            continue
        a = da[d].attrs
        if (d.lower() in _Y_NAMES or a.get("axis") == "Y"
                or a.get("standard_name") in ("latitude", "projection_y_coordinate")):
            v = da[d].values
            return d if v.dtype.kind in "iuf" and v[-1] > v[0] else None
    return None


def _prepare(da, mask, dim, threads, scale, offset, nodata, cadence, control, window):
    """The inputs of fit and fit_periods (window: its periods, else None)
    checked: (da north-up, mask, threads, control values, units or None, S,
    O), time in one chunk when Dask-backed."""
    units = None
    if scale is not None or nodata is not None:
        _check("da", da, dim, index=True)
        s, o = check_scale(1.0 if scale is None else scale, offset)
        if da.dtype.kind == "f" and scale is None:
            raise ValueError(float_without_scale("da", *_float_range(da)))
        units = (s, o, nodata)
    elif da.dtype.kind == "f":
        raise ValueError(float_without_scale("da", *_float_range(da)) + " (scale=, offset=)")
    else:
        _check("da", da, dim)
        s, o = 1.0, 0.0
    if cadence is not None:
        c = cadence_of(cadence)
        control = dict({k: getattr(c, k) for k in ("npoint", "nfunc", "nwin")}, **control)
    if mask is not None:
        _check("mask", mask, dim)
        if dict(mask.sizes) != dict(da.sizes):
            raise ValueError(f"mask: sizes {dict(mask.sizes)} differ from da's {dict(da.sizes)}")
        try:
            xr.align(da, mask, join="exact")
        except ValueError as e:
            raise ValueError(f"mask: coordinates differ from da's ({e})") from None
    ndat = da.sizes[dim]
    if window is not None:   # the engine's limits hold for each window
        ndat = windows(ndat, control_values(None, **control)["npoint"], window)[1]
    c = control_values(ndat, mask is not None, **control)
    for text in (aliasing_warning(c["nfunc"], c["npoint"]),
                 short_series_warning(da.sizes[dim], c["npoint"])):
        if text:
            warnings.warn(text, UserWarning, stacklevel=3)
    y = _south_first(da, dim)
    if y is not None:  # north-up, as every output of the cube path
        da = da.isel({y: slice(None, None, -1)})
        mask = None if mask is None else mask.isel({y: slice(None, None, -1)})
    lazy = da.chunks is not None or (mask is not None and mask.chunks is not None)
    if lazy:
        da = da.chunk({dim: -1})
        if mask is not None:
            mask = mask.chunk(dict(zip(da.dims, da.chunks)))
        if threads is None:
            threads = 1
    return da, mask, threads, c, units, s, o


def _products(da, mask, dim, threads, c, units, s, o, window=None):
    """The products Dataset of fit, or of fit_periods with window."""
    npara = 2 * c["nfunc"] + 2
    if window is None:
        names = ["p", "f"] + (["i"] if c["intp"] == 1 else []) + ["order", "aic", "min", "max"]
        core, sizes = {"p": ["param"], "f": [dim], "i": [dim]}, {"param": npara}
    else:
        names = ["p", "order", "aic", "min", "max"]
        core = dict({n: ["period"] for n in names}, p=["period", "param"])
        sizes = {"param": npara, "period": da.sizes[dim] // c["npoint"]}
    args = [da] if mask is None else [da, mask]
    out = xr.apply_ufunc(
        functools.partial(_block, names=names, threads=threads, control=c, units=units,
                          window=window), *args, input_core_dims=[[dim]] * len(args),
        output_core_dims=[core.get(n, []) for n in names], dask="parallelized",
        output_dtypes=[DTYPES[n] for n in names], dask_gufunc_kwargs={"output_sizes": sizes},
        keep_attrs=False)
    space = [d for d in da.dims if d != dim]
    variables = {}
    for n, v in zip(names, out):
        v = v.transpose(*(core.get(n, []) + space))
        v.attrs = variable_attrs(n, s, o, da.attrs.get("units") if units else None)
        if units is not None:  # xr.decode_cf and the file writers read it here
            v.attrs["_FillValue"] = DTYPES[n](NODATA[n])
        variables[n] = v
    ds = xr.Dataset(variables)
    ds = ds.assign_coords(param=parameter_names(c["nfunc"]))
    ds.attrs = dataset_attrs(c, mask is not None, s, o)
    return ds


def fit(da, mask=None, *, dim="time", threads=None, scale=None, offset=0.0, nodata=None,
        cadence=None, **control):
    """Fit every pixel of the cube ``da`` along ``dim`` exactly as kovarind.

    da: the index (any numeric dtype) with scale and offset: a sample is
    floor(scale*value + offset + 0.5), as `kovarkit import` makes it; NaN and
    the value nodata are NoData, and a pixel without any valid sample is
    NoData in every product (see NODATA). Without scale and nodata, da holds
    counts (integers 0..32767) and is fit as it is. mask: None, or an
    integer DataArray of the same dimensions and coordinates, 1 marking a
    usable sample (MASK = 1). cadence: 'monthly', '16-day', '10-day',
    '8-day' or 'daily' sets npoint, nfunc and nwin unless given. Control
    keywords as for kovarkit.fit (tcld=None is the reader's single-precision
    default). threads: per block (default: every core for a numpy cube, 1 per
    block for a Dask cube, whose scheduler spreads the blocks).
    Returns a Dataset with p (param, ...), f and i (dim, ...), order, aic,
    min, max over the other dimensions, with their coordinates (and
    spatial_ref) carried over; the counts f, i, min, max carry scale_factor
    1/scale and add_offset -offset/scale, so that xarray decodes them into
    the index, and the dataset kovarkit_scale and kovarkit_offset. A cube
    whose vertical coordinate (y, lat, latitude) ascends is fit north-up,
    its lines and coordinate reversed, as every output of the cube path. A Dask
    cube stays lazy: time goes into one chunk, space keeps its chunks.
    Harmonics with fewer than 3 steps per cycle and a series shorter than
    one period give a UserWarning.
    """
    da, mask, threads, c, units, s, o = _prepare(da, mask, dim, threads, scale, offset,
                                                 nodata, cadence, control, None)
    return _with_crs(_products(da, mask, dim, threads, c, units, s, o), da)


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


def fit_periods(da, mask=None, *, dim="time", window=3, threads=None, scale=None,
                offset=0.0, nodata=None, cadence=None, **control):
    """Fit each whole period of the cube on its own window of `window`
    periods (kovarkit.fit_periods), bit for bit as kovarkit.fit fits the
    window's slice; the other arguments as for fit.  Returns a Dataset with
    p (period, param, ...), order, aic, min, max (period, ...), the
    coordinates window_start and period_start (the time coordinate at the
    period's first step) on `period`, the whole time coordinate and, as
    attributes, the control values, the conversion, the window, NDAT and the
    time dimension: what kovarkit.xarray.seasons needs."""
    da, mask, threads, c, units, s, o = _prepare(da, mask, dim, threads, scale, offset,
                                                 nodata, cadence, control, window)
    starts, length = windows(da.sizes[dim], c["npoint"], window)
    ds = _products(da, mask, dim, threads, c, units, s, o, window)
    coords = dict(period=np.arange(1, starts.size + 1), window_start=("period", starts))
    if dim in da.coords:
        coords[dim] = da[dim].variable
        coords["period_start"] = ("period", da[dim].values[::c["npoint"]][:starts.size])
    ds = ds.assign_coords(coords)
    ds.attrs.update(kovarkit_window=window, kovarkit_window_length=length,
                    kovarind_ndat=da.sizes[dim], kovarkit_time_dim=dim)
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
