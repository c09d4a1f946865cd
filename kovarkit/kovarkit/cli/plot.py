"""`kovarkit plot LINE PIXEL`: one pixel's samples, screening and fits."""

import os
import sys

import numpy as np

from ..core.products import failed_fits, order_values
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


def run(args):
    scene = Scene(args.scene)
    out = args.output or scene.path(f"plot_L{args.line}_P{args.pixel}.png")
    s = pixel_story(scene, args.line, args.pixel)
    draw(scene.ctl, s, f"{os.path.abspath(scene.dir)}: line {args.line}, pixel {args.pixel}",
         out)
    msg = failure_message(s)
    if msg:
        print(f"kovarkit: plot: line {args.line}, pixel {args.pixel}: {msg}", file=sys.stderr)
    print(f"wrote {out}")
    return 0
