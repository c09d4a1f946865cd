"""`kovarkit plot LINE PIXEL`: one pixel's samples, screening and fits."""

import os
import sys

import numpy as np

from ..core.products import NODATA, failed_fits, order_values
from ..core.screening import screen
from ..errors import KitError
from ..formats.scene import Scene
from ..views.pixel import draw, failure_message


def pixel_story(scene, line, pixel):
    """Everything the plot shows about one pixel, as plain values."""
    scene.check_pixel(line, pixel)
    ctl = scene.ctl
    l, j = line - 1, pixel - 1
    for name in ("data.bsq", "f.bsq", "p.bsq", "order.dat", "aic.dat"):
        if not scene.exists(name):
            raise KitError(f"{scene.path(name)}: not found (plot needs data.bsq and the "
                           "products of a kovarind run)")
    s = {"raw": np.array(scene.open("data.bsq")[:, l, j], dtype=np.int64),
         "fit": np.array(scene.open("f.bsq")[:, l, j], dtype=np.int64),
         "para": np.array(scene.open("p.bsq")[:, l, j], dtype=np.float64),
         "order": int(order_values(scene.open("order.dat")[0, l, j])),
         "aic": float(scene.open("aic.dat")[0, l, j])}
    s["first_fit"] = None
    if ctl.get("INTP") == 1 and ctl.get("MASK") != 1 and scene.exists("i.bsq"):
        s["first_fit"] = np.array(scene.open("i.bsq")[:, l, j], dtype=np.int64)
    mask = None
    if ctl.get("MASK") == 1 and scene.exists("mask.bsq"):
        mask = np.array(scene.open("mask.bsq")[:, l, j])
    s["screening"] = screen(ctl, s["raw"], mask, s["first_fit"])
    s["failed"] = bool(failed_fits(scene.open("order.dat")[0, l, j]))
    s["no_model"] = s["failed"] or s["aic"] == 0.0
    return s


def fit_story(path, line, pixel, sources, var):
    """(control, story) of one pixel of a fit output, with the raw series of
    its source cube in counts when sources are given (NaN where NoData)."""
    from ..formats.fitout import FitOutput
    o = FitOutput(path)
    ctl = o.control()
    if not (1 <= line <= o.height and 1 <= pixel <= o.width):
        raise KitError(f"line {line}, pixel {pixel}: outside the {o.height} lines x "
                       f"{o.width} pixels of {path}")
    def series(name):
        return np.array(o.bands(name)[0][:, line - 1, pixel - 1], dtype=np.float64)
    raw = np.full(ctl.ndat, np.nan)
    if sources:
        from ..formats.sources import open_source
        src = open_source(sources, var, "time", "sources")
        try:
            if (src.height, src.width, src.ndat) != (o.height, o.width, ctl.ndat):
                raise KitError(f"{sources[0]}: {src.ndat} x {src.height} x {src.width} "
                               f"(time x lines x pixels), the fit {ctl.ndat} x {o.height} x "
                               f"{o.width}")
            values, valid = src.read(line - 1, 1, None)
        finally:
            src.close()
        scale = float(o.attrs.get("kovarkit_scale", 1.0))
        offset = float(o.attrs.get("kovarkit_offset", 0.0))
        raw = np.where(valid[0, pixel - 1], np.floor(values[0, pixel - 1] * scale + offset
                                                     + 0.5), np.nan)
    order = o.bands("order")[0][0, line - 1, pixel - 1]
    s = {"raw": raw, "fit": series("f"), "para": series("p"), "order": int(order_values(order)),
         "aic": float(series("aic")[0]), "first_fit": None}
    if "i" in o.products and ctl.get("MASK") != 1:
        s["first_fit"] = series("i")
    s["screening"] = screen(ctl, np.nan_to_num(raw).astype(np.int64), None, s["first_fit"])
    s["nodata"] = int(order) == NODATA["order"]
    s["failed"] = bool(failed_fits(order)) or s["nodata"]
    s["no_model"] = s["failed"] or s["aic"] == 0.0
    return ctl, s


def run(args):
    if args.fit:
        ctl, s = fit_story(args.fit, args.line, args.pixel, args.source, args.var)
        name = os.path.basename(args.fit.rstrip("/"))
        out = args.output or f"plot_{name}_L{args.line}_P{args.pixel}.png"
    else:
        scene = Scene(args.scene)
        ctl, s = scene.ctl, pixel_story(scene, args.line, args.pixel)
        name = os.path.basename(os.path.abspath(scene.dir))
        out = args.output or scene.path(f"plot_L{args.line}_P{args.pixel}.png")
    draw(ctl, s, f"{name}: line {args.line}, pixel {args.pixel}", out)
    msg = failure_message(s)
    if msg:
        print(f"kovarkit: plot: line {args.line}, pixel {args.pixel}: {msg}", file=sys.stderr)
    print(f"wrote {out}")
    return 0
