"""`kovarkit seasons SOURCE --out OUT`: the seasonal metrics of a fit as maps,
one GeoTIFF per metric (one band per period), or one NetCDF or Zarr dataset
(dimension season), with the source's georeferencing; made in the locked
temporary directory OUT.kovarkit-tmp (one run per output) and moved into
place when complete."""

import os
import sys

import numpy as np

from ..core.products import period_of
from ..core.seasons import METRICS, Seasons, seasons
from ..errors import KitError
from ..formats.geotiff import GeoTiff
from ..formats.journal import Journal, resume_command
from ..formats.netcdf import format_of
from ..formats.tempout import TempOutput


def _from_scene(source, args, opts):
    from ..formats.georef import crs_transform
    from ..formats.scene import Scene
    scene = Scene(source)
    c = scene.ctl
    npoint = args.npoint or c.get("NPOINT")
    p = np.moveaxis(scene.open("p.bsq"), 0, -1)
    georef = scene.georef()
    crs, transform = crs_transform(georef) if georef else (None, None)
    m = seasons(p, npoint=npoint, ndat=c.ndat, nfunc=c.nfunc, **opts)
    return m, crs, transform, dict(npoint=npoint, ndat=c.ndat, **opts)


def _from_geotiffs(source, args, opts):
    from ..formats.geotiff import band_count, read
    bands, tags, crs, transform = read(os.path.join(source, "p.tif"))
    npoint = args.npoint or period_of(tags)
    ndat = band_count(os.path.join(source, "f.tif"))
    if not npoint:
        raise KitError(f"{source}: p.tif does not record the period; give --npoint")
    m = seasons(np.moveaxis(bands, 0, -1), npoint=npoint, ndat=ndat, **opts)
    return m, crs, transform, dict(npoint=npoint, ndat=ndat, **opts)


def _from_dataset(source, args, opts):
    from ..formats.georef import dataset_crs_transform
    from ..formats.netcdf import open_dataset
    from ..xarray import seasons as xr_seasons
    ds = open_dataset(source)
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
    crs, transform = dataset_crs_transform(ds)
    args.names = tuple(spatial)  # the dataset's own names go to a dataset output
    return m, crs, transform, dict(npoint=res.attrs["npoint"], ndat=res.attrs["ndat"], **opts)


def _metrics_of(source, args):
    """(Seasons of shape (lines, pixels, seasons), crs, transform, settings)."""
    opts = dict(threshold=args.threshold, step=args.step)
    if os.path.isfile(os.path.join(source, "cntl.dat")):
        return _from_scene(source, args, opts)
    if os.path.isfile(os.path.join(source, "p.tif")):
        return _from_geotiffs(source, args, opts)
    if format_of(source) != "gtiff":
        return _from_dataset(source, args, opts)
    raise KitError(f"{source}: neither a scene directory (cntl.dat), a directory of "
                   "GeoTIFF products (p.tif) nor a .nc or .zarr dataset")


def _write_geotiffs(outdir, metrics, crs, transform, attrs):
    os.makedirs(outdir, exist_ok=True)
    nline, npix, nseason = metrics.peak_time.shape
    seasons_ = [f"season {k + 1}" for k in range(nseason)]
    written = []
    for a, (name, (unit, text)) in zip(metrics, METRICS.items()):
        path = os.path.join(outdir, name + ".tif")
        tags = dict(kovarkit_metric=name, units=unit, description=text, **attrs)
        with GeoTiff(path, npix, nline, np.float32, seasons_, tags, crs, transform,
                     nodata=np.nan) as tif:
            tif.write(np.moveaxis(a, -1, 0))
        written.append(path)
    return written


def _write_dataset(out, metrics, crs, transform, attrs, names):
    """One variable per metric (season, y, x): spatial dimensions last, so
    that GDAL and QGIS open each as a map of one band per season; names:
    those of the source's spatial dimensions."""
    from ..formats.netcdf import grid_dataset, write_dataset
    nseason = metrics.peak_time.shape[-1]
    ds = grid_dataset({name: (("y", "x", "season"), a, {"units": unit, "long_name": text})
                       for a, (name, (unit, text)) in zip(metrics, METRICS.items())},
                      crs, transform, attrs)
    ds = ds.assign_coords(season=np.arange(1, nseason + 1)).transpose("season", "y", "x")
    if names != ("y", "x"):
        ds = ds.rename(dict(zip(("y", "x"), names)))
    write_dataset(ds, out)
    return [out]


def run(args):
    kind = format_of(args.out)
    targets = ([os.path.join(args.out, name + ".tif") for name in METRICS] if kind == "gtiff"
               else [args.out])
    tmp = TempOutput(args.out, args.command_line)
    fit = Journal(tmp.path).record
    if fit is not None:  # never the leftover of a fit
        tmp.close(keep=True)
        raise KitError(f"{tmp.path}: left by an interrupted run; resume it with: "
                       f"{resume_command(fit['command'])} (or remove it)")
    with tmp:
        tmp.clear()
        if not args.force:
            for t in targets:
                if os.path.exists(t):
                    raise KitError(f"{t}: exists; not overwritten (use --force)")
        final = tmp.file("final" + (os.path.splitext(args.out.rstrip("/\\"))[1]
                                    if kind != "gtiff" else ""))
        tmp.commit(_seasons(args, kind, final), targets)
    print("wrote " + " ".join(targets))
    return 0


def _seasons(args, kind, final):
    """Writes the metrics to final; the paths written."""
    import warnings
    args.names = ("y", "x")
    m, crs, transform, attrs = _metrics_of(args.source, args)
    if crs is None and transform is not None and transform.is_identity:
        transform = None  # what rasterio and rioxarray report for none
    if m.peak_time.shape[-1] == 0:
        raise KitError(f"{args.source}: the series ({attrs['ndat']} time steps) is shorter "
                       f"than one period ({attrs['npoint']} time steps)")
    if transform is None:
        print(f"kovarkit: seasons: warning: {args.source}: no georeferencing found; the "
              "maps carry none", file=sys.stderr)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # NotGeoreferencedWarning and the like
        if kind != "gtiff":
            return _write_dataset(final, m, crs, transform, attrs, args.names)
        return _write_geotiffs(final, m, crs, transform, attrs)
