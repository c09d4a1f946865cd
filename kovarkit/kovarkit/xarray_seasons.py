"""Seasonal metrics on xarray: the Dataset of a fit in, a Dataset of maps out.

The input holds the coefficients as a variable p whose last dimension lists
the parameters (constant, trend, amplitude and phase per harmonic) and the
fitted series as f with a time dimension; both may be dask-backed, the
metrics are then computed lazily, block by block.
"""

import numpy as np

from .errors import KitError
from .seasons import METRICS, _check, seasons as _numpy_seasons


def _npoint_from(attrs):
    for key in ("npoint", "NPOINT", "kovarind_npoint"):
        if key in attrs:
            return int(attrs[key])
    return None


def seasons(ds, *, npoint=None, ndat=None, nfunc=None, threshold=0.2, step=0.1):
    """Seasonal metrics of a fit Dataset: one variable per metric with the
    spatial dimensions of p and a dimension `season` (1, 2, ...), the spatial
    coordinates and spatial_ref of the input.  nfunc comes from the length of
    p's parameter dimension, ndat from the time dimension of f and npoint
    from the attributes (npoint or NPOINT) unless given."""
    import xarray as xr
    if "p" not in ds:
        raise KitError("the dataset has no coefficient variable p")
    p = ds["p"]
    pdim = "param" if "param" in p.dims else p.dims[-1]
    if ndat is None:
        if "f" not in ds:
            raise KitError("ndat is not given and the dataset has no fitted series f")
        tdims = [d for d in ds["f"].dims if d not in p.dims]
        if len(tdims) != 1:
            raise KitError(f"cannot tell the time dimension of f from {ds['f'].dims}")
        ndat = ds["f"].sizes[tdims[0]]
    if npoint is None:
        npoint = _npoint_from(ds.attrs) or _npoint_from(p.attrs)
        if npoint is None:
            raise KitError("npoint is not given and the dataset attributes do not carry it")
    npoint, ndat, nfunc = _check(p.sizes[pdim], npoint, ndat, nfunc, threshold, step)
    nseason = ndat // npoint

    def core(a):
        return tuple(_numpy_seasons(a, npoint=npoint, ndat=ndat, nfunc=nfunc,
                                    threshold=threshold, step=step))

    if p.chunks is not None:
        p = p.chunk({pdim: -1})
    out = xr.apply_ufunc(core, p, input_core_dims=[[pdim]],
                         output_core_dims=[["season"]] * len(METRICS),
                         dask="parallelized", output_dtypes=[np.float32] * len(METRICS),
                         dask_gufunc_kwargs={"output_sizes": {"season": nseason}})
    res = xr.Dataset({name: o.assign_attrs(units=unit, long_name=text)
                      for o, (name, (unit, text)) in zip(out, METRICS.items())})
    res = res.assign_coords(season=np.arange(1, nseason + 1))
    for name in ("spatial_ref", "crs"):
        if name in ds.variables:
            if name not in res.coords:
                res = res.assign_coords({name: ds[name]})
            for v in res.data_vars.values():
                v.attrs["grid_mapping"] = name
    res.attrs.update(npoint=npoint, ndat=ndat, nfunc=nfunc, threshold=threshold, step=step)
    return res
