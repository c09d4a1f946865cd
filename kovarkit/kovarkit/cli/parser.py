"""The parser of the kovarkit command line and the options that several
subcommands share, with their checks."""

import argparse

import numpy as np

from ..errors import KitError

DESCRIPTION = """The kovarind engine on GeoTIFF, NetCDF and Zarr cubes (fit), and
companion tools for kovarind scenes. Every subcommand but fit works on the
scene directory (the current one, or -C DIR): cntl.dat, data.bsq, mask.bsq
and the products p.bsq, i.bsq, f.bsq, order.dat, aic.dat, min.dat, max.dat."""


class _Parser(argparse.ArgumentParser):
    """Usage errors as one line on standard error (status 2), as the programs
    give them; --help still shows the whole usage."""

    def error(self, message):
        self.exit(2, f"{self.prog}: {message} (see --help)\n")


def parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-C", "--scene", metavar="DIR", default=".",
                        help="scene directory (default: current directory)")
    p = _Parser(prog="kovarkit", description=DESCRIPTION)
    sub = p.add_subparsers(dest="command", metavar="COMMAND", required=True,
                           parser_class=_Parser)

    sub.add_parser("hdr", parents=[common],
                   help="write ENVI headers (.hdr) for data, mask and products")

    q = sub.add_parser("import", parents=[common],
                       help="build data.bsq, mask.bsq and a cntl.dat template from rasters")
    q.add_argument("sources", nargs="+", metavar="SOURCE",
                   help="one multi-band raster, or single-band rasters in time order")
    _conversion_options(q, "QA raster(s), one band per time step")
    q.add_argument("--period", type=int, metavar="N",
                   help="NPOINT of the template: harmonic period in time steps (default 46, "
                        "or that of --cadence)")
    _cadence_option(q)
    q.add_argument("--dates", metavar="DATES",
                   help="dates of the bands: ISO dates D1,D2,... or START/STEP (16, 16D, 1M)")
    q.add_argument("--force", action="store_true",
                   help="replace existing data.bsq, mask.bsq and cntl.dat")

    e = sub.add_parser("export", parents=[common],
                       help="write products as compressed, georeferenced GeoTIFFs")
    e.add_argument("products", nargs="*", metavar="PRODUCT",
                   help="products to export (default: every product present)")
    e.add_argument("--format", default="GTiff", help="output format (GTiff)")
    e.add_argument("--outdir", metavar="DIR", help="output directory (default: scene)")

    g = sub.add_parser("plot", parents=[common], help="one pixel's samples and fits as a PNG")
    g.add_argument("line", type=int, metavar="LINE", help="image line, from 1")
    g.add_argument("pixel", type=int, metavar="PIXEL", help="pixel in the line, from 1")
    g.add_argument("-o", "--output", metavar="FILE.png")
    g.add_argument("--fit", metavar="OUT",
                   help="a fit output (.nc, .zarr or a GeoTIFF directory) instead of a scene")
    g.add_argument("--source", nargs="+", metavar="SOURCE",
                   help="with --fit: the fitted cube, for the raw series")
    g.add_argument("--var", metavar="NAME", help="variable of a NetCDF or Zarr source")

    m = sub.add_parser("map", parents=[common], help="quicklook PNG of one product band")
    m.add_argument("product", metavar="PRODUCT",
                   help="e.g. p.bsq, order.dat, f, aic; or a seasons output: "
                        "DIR/peak_time.tif, OUT.nc:length (BAND is then the season)")
    m.add_argument("band", type=int, nargs="?", default=1, metavar="BAND",
                   help="band number, from 1 (default 1)")
    m.add_argument("-o", "--output", metavar="FILE.png")

    sub.add_parser("summary", parents=[common], help="short text report of a finished run")
    _seasons_parser(sub, common)
    _fit_parser(sub)
    return p


def _conversion_options(p, qa_help):
    """Options of the conversion of source values to samples (import, fit)."""
    p.add_argument("--scale", type=float, default=None, metavar="S",
                   help="sample = floor(S * value + O + 0.5) (default 1; required for "
                        "floating-point sources)")
    p.add_argument("--offset", type=float, default=0.0, metavar="O", help="see --scale (default 0)")
    p.add_argument("--nodata", type=float, default=None, metavar="V",
                   help="treat source value V as NoData (in addition to the sources' own)")
    p.add_argument("--mask", nargs="+", metavar="QA_SOURCE", help=qa_help)
    p.add_argument("--good", metavar="VALUES", help="QA values of a usable sample, e.g. 0,1 or 0-3")


def _seasons_parser(sub, common):
    s = sub.add_parser("seasons", parents=[common],
                       help="seasons of the fitted model as maps, one band per season")
    s.add_argument("source", metavar="SCENE_OR_OUT",
                   help="scene directory, directory of GeoTIFF products, or a .nc/.zarr fit")
    s.add_argument("--out", required=True, metavar="OUT",
                   help="OUT.nc, OUT.zarr, or a directory for one GeoTIFF per metric")
    s.add_argument("--threshold", type=float, default=0.2, metavar="T",
                   help="start: left base + T * (peak - left base) (default 0.2)")
    s.add_argument("--end-threshold", type=float, metavar="T",
                   help="end: right base + T * (peak - right base) (default: --threshold)")
    s.add_argument("--max-seasons", type=int, default=1, choices=(1, 2),
                   help="seasons per period, 1 or 2 (default 1)")
    s.add_argument("--second-ratio", type=float, default=0.5, metavar="R",
                   help="a second season needs R times the main one's amplitude (default 0.5)")
    s.add_argument("--year-start", metavar="MM-DD",
                   help="first day of the year that labels a season (default 01-01)")
    s.add_argument("--step", type=float, default=0.1, metavar="S",
                   help="grid spacing in time steps (default 0.1)")
    s.add_argument("--npoint", type=int, metavar="N",
                   help="period in time steps (default: from cntl.dat or the dataset)")
    s.add_argument("--force", action="store_true", help="replace existing outputs")


def _fit_parser(sub):
    f = sub.add_parser(
        "fit", help="fit a GeoTIFF stack, NetCDF variable or Zarr array straight to products",
        description="Reads the cube block by block within --memory and writes the products: "
                    "OUT ending in .nc or .zarr is one dataset, any other OUT a directory of "
                    "GeoTIFFs (p.tif, f.tif, ...). Control values come from the options or "
                    "from --cntl; unset ones keep the program's defaults.")
    f.add_argument("sources", nargs="+", metavar="SOURCE",
                   help="one multi-band raster, single-band rasters in time order, or one "
                        "NetCDF file or Zarr store")
    f.add_argument("--out", required=True, metavar="OUT", help="output (.nc, .zarr or a directory)")
    f.add_argument("--var", metavar="NAME", help="variable of a NetCDF or Zarr source")
    f.add_argument("--dim", default="time", metavar="NAME",
                   help="time dimension of a NetCDF or Zarr source (default time)")
    f.add_argument("--dates", metavar="DATES",
                   help="dates of a GeoTIFF stack's bands: ISO dates D1,D2,... or START/STEP "
                        "(16, 16D, 1M)")
    f.add_argument("--crs", metavar="CRS",
                   help="coordinate system of the source, e.g. EPSG:32633 (default: the "
                        "source's; CF latitude/longitude without one: EPSG:4326)")
    _cadence_option(f)
    _conversion_options(f, "QA raster(s) or dataset, one band per time step")
    f.add_argument("--qa-var", metavar="NAME", help="variable of a NetCDF or Zarr QA source")
    f.add_argument("--cntl", metavar="FILE",
                   help="take the control values and excluded steps from this control file "
                        "(its NDAT, NLINE, NPIX must match the cube)")
    for key, kind, text in (
            ("nfunc", int, "harmonics (default 6)"),
            ("npoint", int, "period in time steps (default 46)"),
            ("nwin", int, "envelope half-width (default 3)"),
            ("intp", int, "1: write the first-pass fit i (default 0)"),
            ("mmsw", int, "> 0: envelope filter on (default 1)"),
            ("tcld", float, "residual tolerance (default: 0.15 in single precision)"),
            ("fitsw", int, "> 0: only observations enter the final fit (default 1)"),
            ("fitmd", int, "fit mode 0, 1 or other (default 0)")):
        f.add_argument("--" + key, type=kind, metavar=key.upper(), help=text)
    f.add_argument("--exclude", metavar="T,...", help="excluded time steps, 1-based (NDEF records)")
    f.add_argument("--periods", action="store_true",
                   help="fit each whole period on its own window of --window periods")
    f.add_argument("--window", type=int, default=3, metavar="W",
                   help="whole periods in each window of --periods (default 3)")
    f.add_argument("--memory", metavar="SIZE",
                   help="memory for the blocks in flight, e.g. 512M (default: a quarter of "
                        "the memory the process can get, cgroup limits included, at most 1G)")
    f.add_argument("--threads", type=int, metavar="N", help="worker threads (default: every core)")
    f.add_argument("--quiet", action="store_true", help="no progress bar")
    f.add_argument("--force", action="store_true",
                   help="replace existing outputs; without --resume, discard what an "
                        "interrupted run left")
    f.add_argument("--resume", action="store_true",
                   help="continue the run that was interrupted or killed on this --out "
                        "(same sources and options); keep it resumable if interrupted again")


def _cadence_option(p):
    from ..core.cadence import CADENCES
    p.add_argument("--cadence", choices=list(CADENCES), metavar="CADENCE",
                   help="time step of the series (" + ", ".join(CADENCES) + "): sets NPOINT, "
                        "an NFUNC whose harmonics are all identifiable and NWIN "
                        "(options given explicitly win)")


def conversion(args, qa_sources):
    """(scale, offset, sorted array of good QA values or None) of the
    conversion options, checked."""
    if (args.mask is None) != (args.good is None):
        raise KitError(f"--mask and --good go together ({qa_sources} and the QA values "
                       "that mark a usable sample)")
    good = np.array(sorted(parse_good(args.good))) if args.good is not None else None
    scale = 1.0 if args.scale is None else args.scale
    offset = args.offset
    if not (np.isfinite(scale) and np.isfinite(offset)) or scale == 0:
        raise KitError(f"--scale {scale} --offset {offset}: need finite numbers, scale not 0")
    return scale, offset, good


def parse_good(text):
    """'1,2,5-7' -> {1, 2, 5, 6, 7}."""
    good = set()
    for part in text.replace(" ", "").split(","):
        if not part:
            continue
        try:
            if "-" in part[1:]:
                i = part.index("-", 1)
                lo, hi = int(part[:i]), int(part[i + 1:])
                if hi < lo:
                    raise ValueError
                good.update(range(lo, hi + 1))
            else:
                good.add(int(part))
        except ValueError:
            raise KitError(f"--good {text}: expected integers and ranges like 0,2,5-7") from None
    if not good:
        raise KitError("--good: no value given")
    return good


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
