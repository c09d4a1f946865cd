"""Seasonal metrics of the fitted harmonic model, one set per whole period.

The model of a pixel is taken from its coefficient product p (constant,
trend, then amplitude and phase of each harmonic position) and evaluated on a
fine grid of time steps, so the metrics are free of the gaps and noise of the
samples.  Period k covers the time steps (k-1)*npoint+1 .. k*npoint; a
partial period at the end of the series is left out.  Within a period:

  peak        the highest grid value (the first one on ties);
  base        the mean of the lowest value before the peak and the lowest
              value after it; when the peak is the first or the last grid
              point of the period, the lowest value of the one side there is;
  amplitude   peak - base;
  start, end  where the model crosses base + threshold*amplitude, the last
              rising crossing before the peak and the first falling crossing
              after it, linearly interpolated between grid points; a
              crossing that the period does not contain is missing (NaN);
  length      end - start;
  integrals   of (model - base) and of the model from start to end, taken
              from the model's antiderivative;
  rates       the model's slope at start (rise) and at end (fall).

The season is the stretch around the highest value in which the model stays
above the level: a secondary bump that a dip below the level separates from
the peak is not part of it; one that stays above the level is.

Values are in raw counts (4096 counts = model value 1.0), times are
fractional time steps counted from 1, lengths in time steps, integrals in
counts x time steps, rates in counts per time step.  A pixel whose
coefficients are all zero (a failed fit) or not finite gets NaN everywhere.
"""

import os
import sys
from typing import NamedTuple

import numpy as np

from .control import harmonic_number
from .errors import KitError

COUNTS = 4096.0

# Metric name -> (unit, description); the order is the order of the fields.
METRICS = {
    "peak_time": ("time step", "time of the highest model value in the period"),
    "peak_value": ("counts", "highest model value in the period"),
    "base_value": ("counts", "mean of the lowest model values before and after the peak"),
    "amplitude": ("counts", "peak value minus base value"),
    "start_time": ("time step", "rising crossing of base + threshold * amplitude"),
    "end_time": ("time step", "falling crossing of base + threshold * amplitude"),
    "length": ("time steps", "end time minus start time"),
    "small_integral": ("counts x time steps", "integral of model minus base, start to end"),
    "large_integral": ("counts x time steps", "integral of the model, start to end"),
    "rise_rate": ("counts per time step", "slope of the model at the start"),
    "fall_rate": ("counts per time step", "slope of the model at the end"),
}


class Seasons(NamedTuple):
    """Seasonal metrics, each an array of shape (..., seasons)."""
    peak_time: np.ndarray
    peak_value: np.ndarray
    base_value: np.ndarray
    amplitude: np.ndarray
    start_time: np.ndarray
    end_time: np.ndarray
    length: np.ndarray
    small_integral: np.ndarray
    large_integral: np.ndarray
    rise_rate: np.ndarray
    fall_rate: np.ndarray


# Grid values held at once while a block of pixels is processed.
_BLOCK_VALUES = 1 << 22


def _check(npara, npoint, ndat, nfunc, threshold, step):
    if nfunc is None:
        nfunc = (npara - 2) // 2
    if npara != 2 * nfunc + 2:
        raise KitError(f"coefficients have {npara} values, but nfunc = {nfunc} needs "
                       f"{2 * nfunc + 2}")
    if int(npoint) != npoint or npoint < 2:
        raise KitError(f"npoint = {npoint}: the period must be a whole number of 2 or more "
                       "time steps")
    if int(ndat) != ndat or ndat < 1:
        raise KitError(f"ndat = {ndat}: not a number of time steps")
    if not 0.0 < threshold < 1.0:
        raise KitError(f"threshold = {threshold}: must lie between 0 and 1")
    if not 0.0 < step <= npoint - 1:
        raise KitError(f"step = {step}: must be above 0 and at most npoint - 1")
    return int(npoint), int(ndat), nfunc


class _Model:
    """The harmonic model of a block of pixels, in counts."""

    def __init__(self, p, npoint, nfunc):
        p = p.astype(np.float64)
        self.omega = 2.0 * np.pi / npoint
        self.n = np.array([harmonic_number(k) for k in range(1, nfunc + 1)], np.float64)
        self.c0 = p[:, 0] * COUNTS
        self.c1 = p[:, 1] * COUNTS
        amp, phase = p[:, 2::2] * COUNTS, p[:, 3::2]
        self.amp, self.phase = amp, phase
        # A sin(a + phi) = (A cos phi) sin a + (A sin phi) cos a
        self.coef = np.concatenate([self.c0[:, None], self.c1[:, None],
                                    amp * np.cos(phase), amp * np.sin(phase)], axis=1)

    def basis(self, t):
        """(2 + 2*nfunc, len(t)) rows: 1, 0.1 t, sin a_k(t), cos a_k(t)."""
        a = (self.omega * t)[None, :] * self.n[:, None]
        return np.concatenate([np.ones((1, t.size)), 0.1 * t[None, :], np.sin(a), np.cos(a)])

    def _angle(self, t):
        return (self.omega * t)[..., None] * self.n + self.phase[:, None, :]

    def slope(self, t):
        """dm/dt at t of shape (pixels, seasons)."""
        w = self.omega * self.n
        return 0.1 * self.c1[:, None] + np.sum(self.amp[:, None, :] * w * np.cos(self._angle(t)),
                                               axis=-1)

    def antiderivative(self, t):
        """An antiderivative of the model at t of shape (pixels, seasons)."""
        w = self.omega * self.n
        ang = self._angle(t)
        periodic = np.where(w > 0, -np.cos(ang) / np.where(w > 0, w, 1.0),
                            np.sin(self.phase[:, None, :]) * t[..., None])
        return (self.c0[:, None] * t + 0.05 * self.c1[:, None] * t * t
                + np.sum(self.amp[:, None, :] * periodic, axis=-1))


def _block(p, npoint, nfunc, nseason, threshold, step, tgrid):
    """Metrics of pixels p (n, npara), as float64 arrays (n, nseason)."""
    model = _Model(p, npoint, nfunc)
    g = tgrid.shape[1]
    used = (model.coef != 0).any(axis=0)  # terms no pixel of the block uses cost nothing
    # numpy's own loops outrun a reference BLAS for this thin product
    v = np.einsum("nk,kg->ng", model.coef[:, used].astype(np.float32),
                  model.basis(tgrid.ravel())[used].astype(np.float32)).reshape(len(p), nseason, g)
    ip = np.argmax(v, axis=-1)
    # The grid of every (pixel, season) is one segment of the flat values.
    flat = v.reshape(-1)
    seg = np.arange(ip.size).reshape(ip.shape) * g
    top = seg + ip
    peak = flat[top].astype(np.float64)
    # minima of [segment start, peak) and [peak, segment end); an empty first
    # range yields the peak, which the edge rule below then ignores
    low = np.minimum.reduceat(flat, np.stack([seg, top], axis=-1).ravel()).astype(np.float64)
    low_before, low_after = low[0::2].reshape(ip.shape), low[1::2].reshape(ip.shape)
    base = np.where(ip == 0, low_after,
                    np.where(ip == g - 1, low_before, 0.5 * (low_before + low_after)))
    amplitude = peak - base
    # the level as the float32 grid sees it, so that the interpolation agrees
    # with the comparison
    level = (base + threshold * amplitude).astype(np.float32).astype(np.float64)
    # the last grid point below the level before the peak and the first one
    # after it (the peak itself is never below the level)
    below = np.flatnonzero(v < level[..., None].astype(np.float32))
    j = np.searchsorted(below, top)
    rise = below[np.maximum(j - 1, 0)] if below.size else seg
    fall = below[np.minimum(j, below.size - 1)] if below.size else seg
    has_rise = (j > 0) & (rise >= seg)
    has_fall = (j < below.size) & (fall > top) & (fall < seg + g)
    i = np.where(has_rise, rise, top)        # crossing between points i and i + 1
    k = np.where(has_fall, fall - 1, top)    # crossing between points k and k + 1
    t = tgrid[np.arange(nseason)]            # (seasons, g)

    def crossing(i):
        a, b = flat[i].astype(np.float64), flat[np.minimum(i + 1, flat.size - 1)]
        with np.errstate(invalid="ignore", divide="ignore"):  # where there is no crossing
            return t[np.arange(nseason), i - seg] + step * (level - a) / (b - a)

    start = np.where(has_rise, crossing(i), np.nan)
    end = np.where(has_fall, crossing(k), np.nan)
    large = model.antiderivative(end) - model.antiderivative(start)
    length = end - start
    return (t[np.arange(nseason), ip], peak, base, amplitude, start, end, length,
            large - base * length, large, model.slope(start), model.slope(end))


def seasons(p, *, npoint, ndat, nfunc=None, threshold=0.2, step=0.1):
    """Seasonal metrics of coefficient products p of shape (..., 2*nfunc+2).

    Returns Seasons, each field a float32 array of shape (..., ndat // npoint).
    """
    p = np.asarray(p)
    npoint, ndat, nfunc = _check(p.shape[-1], npoint, ndat, nfunc, threshold, step)
    nseason = ndat // npoint
    lead = p.shape[:-1]
    npix = int(np.prod(lead))
    out = [np.full((npix, nseason), np.nan, np.float32) for _ in METRICS]
    if nseason == 0 or npix == 0:
        return Seasons(*(o.reshape(lead + (nseason,)) for o in out))
    if p.flags.c_contiguous:
        flat = p.reshape(npix, p.shape[-1])
        rows_of = lambda lo, hi: flat[lo:hi]  # noqa: E731
    else:  # e.g. the bands of p.bsq moved last: copy one block at a time
        rows_of = lambda lo, hi: p[np.unravel_index(np.arange(lo, hi), lead)]  # noqa: E731
    g = int(np.floor((npoint - 1) / step + 1e-9)) + 1
    first = np.arange(nseason) * npoint + 1.0
    tgrid = first[:, None] + step * np.arange(g)[None, :]
    block = max(1, _BLOCK_VALUES // (nseason * g))
    for lo in range(0, npix, block):
        chunk = np.asarray(rows_of(lo, min(lo + block, npix)), dtype=np.float64)
        ok = np.isfinite(chunk).all(axis=1) & (chunk != 0).any(axis=1)
        if not ok.any():
            continue
        rows = lo + np.flatnonzero(ok)
        for o, r in zip(out, _block(chunk[ok], npoint, nfunc, nseason, threshold, step, tgrid)):
            o[rows] = r
    return Seasons(*(o.reshape(lead + (nseason,)) for o in out))


# The command line: kovarkit seasons SOURCE --out OUT, and the metric maps.

def _georef_dataset(metrics, crs, transform):
    """Dataset (y, x, season) of metrics of shape (lines, pixels, seasons)."""
    import rioxarray  # noqa: F401  (the .rio accessor)
    import xarray as xr
    nline, npix, nseason = metrics.peak_time.shape
    res = xr.Dataset({name: (("y", "x", "season"), a, {"units": unit, "long_name": text})
                      for a, (name, (unit, text)) in zip(metrics, METRICS.items())},
                     coords={"season": np.arange(1, nseason + 1)})
    if transform is not None:
        if transform.b == 0 and transform.d == 0:
            res = res.assign_coords(x=transform.c + (np.arange(npix) + 0.5) * transform.a,
                                    y=transform.f + (np.arange(nline) + 0.5) * transform.e)
        res = res.rio.write_transform(transform)
    if crs is not None:
        res = res.rio.write_crs(crs)
    return res


def _write_geotiffs(outdir, metrics, crs, transform, attrs):
    import rasterio
    os.makedirs(outdir, exist_ok=True)
    nline, npix, nseason = metrics.peak_time.shape
    written = []
    for a, (name, (unit, text)) in zip(metrics, METRICS.items()):
        path = os.path.join(outdir, name + ".tif")
        profile = dict(driver="GTiff", width=npix, height=nline, count=nseason,
                       dtype="float32", nodata=np.nan, compress="deflate", predictor=3,
                       interleave="band", crs=crs, transform=transform)
        try:
            with rasterio.open(path, "w", **profile) as ds:
                ds.write(np.moveaxis(a, -1, 0))
                for k in range(nseason):
                    ds.set_band_description(k + 1, f"season {k + 1}")
                ds.update_tags(kovarkit_metric=name, units=unit, description=text,
                               **{k: str(v) for k, v in attrs.items()})
        except rasterio.errors.RasterioError as e:
            raise KitError(f"{path}: cannot write: {str(e).splitlines()[0]}") from None
        written.append(path)
    return written


def _open_dataset(path):
    import xarray as xr
    try:
        if path.rstrip("/").endswith(".zarr"):
            return xr.open_zarr(path, decode_coords="all")
        return xr.open_dataset(path, decode_coords="all")
    except (OSError, ValueError) as e:
        raise KitError(f"{path}: cannot read: {e}") from None


def _dataset_georef(ds):
    import rioxarray  # noqa: F401
    try:
        return ds.rio.crs, ds.rio.transform()
    except Exception:  # no spatial dimensions or coordinates rioxarray knows
        return None, None


def _npoint_tag(tags):
    for key in ("npoint", "NPOINT", "kovarind_npoint"):
        if str(tags.get(key, "")).isdigit():
            return int(tags[key])
    return None


def _metrics_of(source, args):
    """(Seasons of shape (lines, pixels, seasons), crs, transform, settings)."""
    opts = dict(threshold=args.threshold, step=args.step)
    if os.path.isfile(os.path.join(source, "cntl.dat")):
        from .geo import rasterio_crs_transform
        from .scene import Scene
        scene = Scene(source)
        c = scene.ctl
        npoint = args.npoint or c.get("NPOINT")
        p = np.moveaxis(scene.open("p.bsq"), 0, -1)
        georef = scene.georef()
        crs, transform = rasterio_crs_transform(georef) if georef else (None, None)
        m = seasons(p, npoint=npoint, ndat=c.ndat, nfunc=c.nfunc, **opts)
        return m, crs, transform, dict(npoint=npoint, ndat=c.ndat, **opts)
    if os.path.isfile(os.path.join(source, "p.tif")):
        import rasterio
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", rasterio.errors.NotGeoreferencedWarning)
            with rasterio.open(os.path.join(source, "p.tif")) as ds:
                p, crs, transform = np.moveaxis(ds.read(), 0, -1), ds.crs, ds.transform
                npoint = args.npoint or _npoint_tag(ds.tags())
            with rasterio.open(os.path.join(source, "f.tif")) as ds:
                ndat = ds.count
        if not npoint:
            raise KitError(f"{source}: p.tif does not record the period; give --npoint")
        m = seasons(p, npoint=npoint, ndat=ndat, **opts)
        return m, crs, transform, dict(npoint=npoint, ndat=ndat, **opts)
    if source.rstrip("/").endswith((".nc", ".zarr")):
        from .xarray_seasons import seasons as xr_seasons
        ds = _open_dataset(source)
        res = xr_seasons(ds, npoint=args.npoint, **opts)
        spatial = [d for d in ds["p"].dims if d in res.dims and d != "season"]
        if len(spatial) == 2 and spatial[0] != "y":   # lines first, as rioxarray tells them
            import rioxarray  # noqa: F401
            try:
                spatial = [ds.rio.y_dim, ds.rio.x_dim]
            except Exception:  # rioxarray cannot tell; keep the order of p
                pass
        if len(spatial) != 2:
            raise KitError(f"{source}: p has dimensions {ds['p'].dims}; expected two "
                           "spatial ones and the parameters")
        res = res.transpose(*spatial, "season").compute()
        m = Seasons(*(res[name].values for name in METRICS))
        crs, transform = _dataset_georef(ds)
        return m, crs, transform, dict(npoint=res.attrs["npoint"], ndat=res.attrs["ndat"], **opts)
    raise KitError(f"{source}: neither a scene directory (cntl.dat), a directory of "
                   "GeoTIFF products (p.tif) nor a .nc or .zarr dataset")


def run(args):
    import warnings
    m, crs, transform, attrs = _metrics_of(args.source, args)
    if crs is None and transform is not None and transform.is_identity:
        transform = None  # what rasterio and rioxarray report for none
    if m.peak_time.shape[-1] == 0:
        raise KitError(f"{args.source}: the series ({attrs['ndat']} time steps) is shorter "
                       f"than one period ({attrs['npoint']} time steps)")
    if transform is None:
        print(f"kovarkit: seasons: warning: {args.source}: no georeferencing found; the "
              "maps carry none", file=sys.stderr)
    out = args.out
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # NotGeoreferencedWarning and the like
        if out.rstrip("/").endswith((".nc", ".zarr")):
            res = _georef_dataset(m, crs, transform).assign_attrs(**attrs)
            try:
                if out.rstrip("/").endswith(".zarr"):
                    res.to_zarr(out, mode="w")
                else:
                    res.to_netcdf(out)
            except (OSError, ValueError) as e:
                raise KitError(f"{out}: cannot write: {e}") from None
            written = [out]
        else:
            written = _write_geotiffs(out, m, crs, transform, attrs)
    print("wrote " + " ".join(written))
    return 0


def mark_seasons(ax, ctl, para, threshold=0.2):
    """Mark start, peak and end of every season on a pixel plot's fitted curve."""
    try:
        m = seasons(np.asarray(para), npoint=ctl.get("NPOINT"), ndat=ctl.ndat, nfunc=ctl.nfunc,
                    threshold=threshold)
    except KitError:
        return None
    level = m.base_value + threshold * m.amplitude
    for field, y, marker, label in [
            ("start_time", level, ">", f"season start ({threshold:.0%} of the amplitude)"),
            ("peak_time", m.peak_value, "*", "season peak"),
            ("end_time", level, "<", "season end")]:
        x = getattr(m, field)
        ok = np.isfinite(x)
        if ok.any():
            ax.plot(x[ok], y[ok], marker, color="tab:purple", mec="black", ms=11, zorder=5,
                    label=label)
    return m


def _metric_source(product):
    """(path, metric or None) when product names a seasons output, else None:
    a GeoTIFF of one metric, or OUT.nc:METRIC / OUT.zarr:METRIC."""
    path, _, metric = product.rpartition(":")
    if path.rstrip("/").endswith((".nc", ".zarr")) and metric in METRICS:
        return path, metric
    if product.endswith((".tif", ".tiff")) and os.path.isfile(product):
        return product, None
    return None


def draw_metric_map(args):
    """`kovarkit map` of one season of a metric; missing values drawn grey."""
    from .mapview import NO_MODEL_COLOUR, _extent, stretch
    from .plot import pyplot
    path, metric = _metric_source(args.product)
    season = args.band
    if metric is None:
        import warnings
        import rasterio
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", rasterio.errors.NotGeoreferencedWarning)
            ds = rasterio.open(path)
        with ds:
            metric = ds.tags().get("kovarkit_metric", os.path.basename(path))
            if not 1 <= season <= ds.count:
                raise KitError(f"{path}: season {season} does not exist ({ds.count} seasons)")
            values = ds.read(season).astype(np.float64)
    else:
        ds = _open_dataset(path)
        if not 1 <= season <= ds.sizes["season"]:
            raise KitError(f"{path}: season {season} does not exist "
                           f"({ds.sizes['season']} seasons)")
        values = ds[metric].isel(season=season - 1).transpose("y", "x").values.astype(np.float64)
    unit = METRICS.get(metric, ("", ""))[0]
    plt = pyplot()
    nline, npix = values.shape
    height = min(10.0, max(3.0, 7.0 * nline / npix))
    fig = plt.figure(figsize=(8.5, height + 1.0), dpi=100)
    ax = fig.add_axes([0.08, 0.08, 0.72, 0.82])
    ax.set_title(f"{metric}, season {season} ({unit})", fontsize=10)
    lo, hi = stretch(values)
    cmap = "RdBu_r" if metric.endswith("rate") else "viridis"
    cm = plt.get_cmap(cmap).with_extremes(bad=NO_MODEL_COLOUR)
    im = ax.imshow(np.ma.masked_invalid(values), cmap=cm, vmin=lo, vmax=hi,
                   interpolation="nearest", extent=_extent(values))
    fig.colorbar(im, ax=ax, fraction=0.046, pad=0.04, extend="both", label=unit)
    missing = ~np.isfinite(values)
    if missing.any():
        from matplotlib.patches import Patch
        ax.legend(handles=[Patch(color=NO_MODEL_COLOUR, label="no model or no such crossing "
                                 f"({100.0 * missing.mean():.1f}% of pixels)")],
                  loc="upper left", bbox_to_anchor=(0.0, -0.04), fontsize=8, frameon=False)
    from matplotlib.ticker import MaxNLocator
    for axis in (ax.xaxis, ax.yaxis):
        axis.set_major_locator(MaxNLocator(integer=True))
    ax.set_xlabel("pixel")
    ax.set_ylabel("line")
    out = args.output or os.path.join(os.path.dirname(path.rstrip("/")),
                                      f"map_{metric}_s{season}.png")
    fig.savefig(out)
    plt.close(fig)
    print(f"wrote {out}")
    return 0
