"""Command line of kovarkit: one subcommand per tool, run in a scene directory."""

import argparse
import sys

from .errors import KitError

DESCRIPTION = """The kovarind engine on GeoTIFF, NetCDF and Zarr cubes (fit), and
companion tools for kovarind scenes. Every subcommand but fit works on the
scene directory (the current one, or -C DIR): cntl.dat, data.bsq, mask.bsq
and the products p.bsq, i.bsq, f.bsq, order.dat, aic.dat, min.dat, max.dat."""


def _parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-C", "--scene", metavar="DIR", default=".",
                        help="scene directory (default: current directory)")
    p = argparse.ArgumentParser(prog="kovarkit", description=DESCRIPTION)
    sub = p.add_subparsers(dest="command", metavar="COMMAND", required=True)

    sub.add_parser("hdr", parents=[common],
                   help="write ENVI headers (.hdr) for data, mask and products")

    q = sub.add_parser("import", parents=[common],
                       help="build data.bsq, mask.bsq and a cntl.dat template from rasters")
    q.add_argument("sources", nargs="+", metavar="SOURCE",
                   help="one multi-band raster, or single-band rasters in time order")
    q.add_argument("--scale", type=float, default=1.0, metavar="S",
                   help="sample = round(S * value + O) (default 1)")
    q.add_argument("--offset", type=float, default=0.0, metavar="O",
                   help="see --scale (default 0)")
    q.add_argument("--nodata", type=float, default=None, metavar="V",
                   help="treat source value V as NoData (in addition to the sources' own)")
    q.add_argument("--mask", nargs="+", metavar="QA_SOURCE",
                   help="QA raster(s), one band per time step")
    q.add_argument("--good", metavar="VALUES",
                   help="QA values of a usable sample, e.g. 0,1 or 0-3")
    q.add_argument("--period", type=int, default=46, metavar="N",
                   help="NPOINT of the template: harmonic period in time steps (default 46)")
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


def _seasons_parser(sub, common):
    s = sub.add_parser("seasons", parents=[common],
                       help="seasonal metrics of the fitted model as maps, one per period")
    s.add_argument("source", metavar="SCENE_OR_OUT",
                   help="scene directory, directory of GeoTIFF products, or a .nc/.zarr fit")
    s.add_argument("--out", required=True, metavar="OUT",
                   help="OUT.nc, OUT.zarr, or a directory for one GeoTIFF per metric")
    s.add_argument("--threshold", type=float, default=0.2, metavar="T",
                   help="season level: base + T * amplitude (default 0.2)")
    s.add_argument("--step", type=float, default=0.1, metavar="S",
                   help="grid spacing in time steps (default 0.1)")
    s.add_argument("--npoint", type=int, metavar="N",
                   help="period in time steps (default: from cntl.dat or the dataset)")




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
    f.add_argument("--scale", type=float, default=1.0, metavar="S",
                   help="sample = floor(S * value + O + 0.5) (default 1)")
    f.add_argument("--offset", type=float, default=0.0, metavar="O", help="see --scale (default 0)")
    f.add_argument("--nodata", type=float, default=None, metavar="V",
                   help="treat source value V as NoData (in addition to the sources' own)")
    f.add_argument("--mask", nargs="+", metavar="QA_SOURCE",
                   help="QA raster(s) or dataset, one band per time step")
    f.add_argument("--qa-var", metavar="NAME", help="variable of a NetCDF or Zarr QA source")
    f.add_argument("--good", metavar="VALUES", help="QA values of a usable sample, e.g. 0,1 or 0-3")
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
    f.add_argument("--memory", default="1G", metavar="SIZE",
                   help="memory for the blocks in flight, e.g. 512M (default 1G)")
    f.add_argument("--threads", type=int, metavar="N", help="worker threads (default: every core)")
    f.add_argument("--quiet", action="store_true", help="no progress bar")
    f.add_argument("--force", action="store_true", help="replace existing outputs")


def _module(command):
    from . import export, fitcmd, hdr, importer, mapview, plot, summary
    if command == "seasons":  # the package attribute `seasons` is the function
        from .seasons import run
        return argparse.Namespace(run=run)
    return {"hdr": hdr, "import": importer, "export": export, "plot": plot,
            "map": mapview, "summary": summary, "fit": fitcmd}[command]


def main(argv=None):
    args = _parser().parse_args(argv)
    where = f"kovarkit: {args.command}"
    try:
        return _module(args.command).run(args)
    except KitError as e:
        print(f"{where}: {e}", file=sys.stderr)
    except ModuleNotFoundError as e:
        print(f"{where}: Python module {e.name} is missing; run kovarkit/install-deps.sh "
              "(and use /usr/bin/python3)", file=sys.stderr)
    except ImportError as e:
        print(f"{where}: {e}", file=sys.stderr)
    except OSError as e:
        name = e.filename or "?"
        print(f"{where}: {name}: {e.strerror or e}", file=sys.stderr)
    return 1
