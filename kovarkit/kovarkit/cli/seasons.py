"""`kovarkit seasons SOURCE --out OUT`: the seasons of a fit (or of a fit per
period) as maps: one GeoTIFF per metric with one band per season, dates as
days of the year, or one NetCDF or Zarr dataset of dimensions (season, y, x)
with dates as datetime64; the source's georeferencing kept. Made in the
locked temporary directory OUT.kovarkit-tmp (one run per output) and moved
into place when complete."""

import os
import sys
from collections import Counter

import numpy as np

from ..core.calendar import DATE_METRICS, columns, dated_seasons
from ..core.products import period_of
from ..core.seasons import METRICS
from ..errors import KitError
from ..formats.geotiff import GeoTiff
from ..formats.journal import Journal, resume_command
from ..formats.netcdf import format_of
from ..formats.tempout import TempOutput


def _options(args):
    end = args.threshold if args.end_threshold is None else args.end_threshold
    return dict(threshold=args.threshold, end_threshold=end,
                max_seasons=args.max_seasons, second_ratio=args.second_ratio, step=args.step)


def _numpy_result(p, npoint, ndat, opts, crs, transform, window_start=None, tags=None,
                  year_start=None):
    """The seasons of coefficients p (lines, pixels, [periods,] npara) as a
    dict name -> (values (season, lines, pixels), unit, long name); dates and
    index units when the tags record them (kovarkit_dates, kovarkit_scale)."""
    tags = tags or {}
    time = None
    if tags.get("kovarkit_dates"):
        time = np.array(tags["kovarkit_dates"].split(","), "datetime64[ns]")
    scale = float(tags["kovarkit_scale"]) if "kovarkit_scale" in tags else None
    m = dated_seasons(p, npoint=npoint, ndat=ndat, window_start=window_start, time=time,
                      year_start=year_start, scale=scale,
                      offset=float(tags.get("kovarkit_offset", 0.0)), **opts)
    variables = {name: (np.moveaxis(m[name], -1, 0), unit, text)
                 for name, _, unit, text in columns(time is not None, scale is not None)}
    return variables, crs, transform, dict(npoint=npoint, ndat=ndat, **opts)


def _from_scene(source, args, opts):
    from ..formats.georef import crs_transform
    from ..formats.scene import Scene
    scene = Scene(source)
    c = scene.ctl
    npoint = args.npoint or c.get("NPOINT")
    p = np.moveaxis(scene.open("p.bsq"), 0, -1)
    georef = scene.georef()
    crs, transform = crs_transform(georef) if georef else (None, None)
    return _numpy_result(p, npoint, c.ndat, dict(opts, nfunc=c.nfunc), crs, transform)


def _from_geotiffs(source, args, opts):
    from ..formats.geotiff import band_count, read
    bands, tags, crs, transform = read(os.path.join(source, "p.tif"))
    npoint = args.npoint or period_of(tags)
    if not npoint:
        raise KitError(f"{source}: p.tif does not record the period; give --npoint")
    p = np.moveaxis(bands, 0, -1)
    starts = tags.get("kovarkit_window_start")
    if starts:   # kovarkit fit --periods: the parameters of each period in turn
        starts = np.array([int(s) for s in starts.split(",")])
        ndat = int(tags["kovarind_ndat"])
        p = p.reshape(p.shape[:2] + (starts.size, -1))
    else:
        ndat = band_count(os.path.join(source, "f.tif"))
    return _numpy_result(p, npoint, ndat, opts, crs, transform, starts, tags, args.year_start)


def _from_dataset(source, args, opts):
    from ..formats.georef import dataset_crs_transform
    from ..formats.netcdf import open_dataset
    from ..xarray import seasons as xr_seasons
    ds = open_dataset(source)
    res = xr_seasons(ds, npoint=args.npoint, year_start=args.year_start, **opts)
    spatial = [d for d in res["quality"].dims if d != "season"]
    if len(spatial) == 2 and spatial[0] not in ("y", "lat", "latitude"):
        import rioxarray  # noqa: F401   (lines first, as rioxarray tells them)
        try:
            spatial = [ds.rio.y_dim, ds.rio.x_dim]
        except Exception:  # rioxarray cannot tell; keep the order of p
            pass
    if len(spatial) != 2:
        raise KitError(f"{source}: p has dimensions {ds['p'].dims}; expected two "
                       "spatial ones and the parameters")
    res = res.transpose("season", *spatial).compute()
    crs, transform = dataset_crs_transform(ds)
    return res, crs, transform, dict(res.attrs)


def _metrics_of(source, args):
    """(metrics, crs, transform, settings): metrics a Dataset (from a dataset
    source) or a dict name -> (values (season, lines, pixels), unit, text)."""
    opts = _options(args)
    if os.path.isfile(os.path.join(source, "cntl.dat")):
        return _from_scene(source, args, opts)
    if os.path.isfile(os.path.join(source, "p.tif")):
        return _from_geotiffs(source, args, opts)
    if format_of(source) != "gtiff":
        return _from_dataset(source, args, opts)
    raise KitError(f"{source}: neither a scene directory (cntl.dat), a directory of "
                   "GeoTIFF products (p.tif) nor a .nc or .zarr dataset")


def _as_dict(m):
    if isinstance(m, dict):
        return m
    return {n: (v.values, v.attrs.get("units", ""), v.attrs.get("long_name", ""))
            for n, v in m.data_vars.items()}


def _band_names(variables, max_seasons):
    """'season k: period P[, slot s][, year Y]' per band; Y the year most
    pixels give that season."""
    year = variables.get("year", (None,))[0]
    quality = variables["quality"][0]
    names = []
    for k in range(quality.shape[0]):
        text = f"season {k + 1}: period {k // max_seasons + 1}"
        if max_seasons > 1:
            text += f", slot {k % max_seasons + 1}"
        if year is not None:
            common = Counter(year[k][year[k] >= 0].tolist()).most_common(1)
            if common:
                text += f", year {common[0][0]}"
        names.append(text)
    return names


def _write_geotiffs(outdir, m, crs, transform, attrs):
    variables = _as_dict(m)
    bands = _band_names(variables, int(attrs["max_seasons"]))
    os.makedirs(outdir, exist_ok=True)
    written = []
    for name, (a, unit, text) in variables.items():
        if a.dtype.kind == "M":
            continue   # the dates go as days of the year (NAME_doy)
        path = os.path.join(outdir, name + ".tif")
        nodata = None if name == "quality" else -1 if name == "year" else np.nan
        dtype = a.dtype if a.dtype.kind in "iu" else np.float32
        tags = dict(kovarkit_metric=name, units=unit, description=text, **attrs)
        with GeoTiff(path, a.shape[2], a.shape[1], dtype, bands, tags, crs, transform,
                     nodata=nodata) as tif:
            tif.write(a.astype(dtype))
        written.append(path)
    return written


def _write_dataset(out, m, crs, transform, attrs):
    from ..formats.netcdf import grid_dataset, write_dataset
    if isinstance(m, dict):
        m = grid_dataset({name: (("season", "y", "x"), a, {"units": unit, "long_name": text})
                          for name, (a, unit, text) in m.items()}, crs, transform, attrs)
        m = m.assign_coords(season=np.arange(1, m.sizes["season"] + 1))
    for v in m.data_vars.values():
        if v.dtype.kind == "M":
            v.attrs.pop("units", None)   # the encoding gives the dates' units
    write_dataset(m, out)
    return [out]


def _targets(out):
    if format_of(out) != "gtiff":
        return [out]
    names = list(METRICS) + list(DATE_METRICS)
    return [os.path.join(out, n + ".tif") for n in names]


def run(args):
    tmp = TempOutput(args.out, args.command_line)
    fit = Journal(tmp.path).record
    if fit is not None:  # never the leftover of a fit
        tmp.close(keep=True)
        raise KitError(f"{tmp.path}: left by an interrupted run; resume it with: "
                       f"{resume_command(fit['command'])} (or remove it)")
    kind = format_of(args.out)
    with tmp:
        tmp.clear()
        if not args.force:
            for t in _targets(args.out):
                if os.path.exists(t):
                    raise KitError(f"{t}: exists; not overwritten (use --force)")
        final = tmp.file("final" + (os.path.splitext(args.out.rstrip("/\\"))[1]
                                    if kind != "gtiff" else ""))
        made = _seasons(args, kind, final)
        targets = [os.path.join(args.out, os.path.basename(p)) for p in made] \
            if kind == "gtiff" else [args.out]
        tmp.commit(made, targets)
    print("wrote " + " ".join(targets))
    return 0


def _seasons(args, kind, final):
    """Writes the metrics to final; the paths written."""
    import warnings
    m, crs, transform, attrs = _metrics_of(args.source, args)
    if crs is None and transform is not None and transform.is_identity:
        transform = None  # what rasterio and rioxarray report for none
    if _as_dict(m)["quality"][0].shape[0] == 0:
        raise KitError(f"{args.source}: the series ({attrs['ndat']} time steps) is shorter "
                       f"than one period ({attrs['npoint']} time steps)")
    if transform is None:
        print(f"kovarkit: seasons: warning: {args.source}: no georeferencing found; the "
              "maps carry none", file=sys.stderr)
    if args.year_start and "year" not in _as_dict(m):
        print(f"kovarkit: seasons: warning: {args.source}: no dates; --year-start "
              f"{args.year_start} is not used (times are time steps)", file=sys.stderr)
    attrs = {k: ("" if v is None else v) for k, v in attrs.items()}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # NotGeoreferencedWarning and the like
        if kind != "gtiff":
            return _write_dataset(final, m, crs, transform, attrs)
        return _write_geotiffs(final, m, crs, transform, attrs)
