"""Command line of kovarkit: one subcommand per tool, run in a scene directory."""

import argparse
import sys

from .errors import KitError

DESCRIPTION = """Companion tools for kovarind scenes. Each subcommand works on the
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


def _module(command):
    from . import export, hdr, importer, mapview, plot, summary
    if command == "seasons":  # the package attribute `seasons` is the function
        from .seasons import run
        return argparse.Namespace(run=run)
    return {"hdr": hdr, "import": importer, "export": export, "plot": plot,
            "map": mapview, "summary": summary}[command]


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
    except OSError as e:
        name = e.filename or "?"
        print(f"{where}: {name}: {e.strerror or e}", file=sys.stderr)
    return 1
