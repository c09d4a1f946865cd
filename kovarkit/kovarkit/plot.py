"""`kovarkit plot LINE PIXEL`: one pixel's samples, screening and fits."""

import os
import sys

import numpy as np

from .control import harmonic_number
from .errors import KitError
from .scene import Scene, failed_fits, order_values
from .screening import screen


def pyplot():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


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


def failure_message(s):
    if s["failed"]:
        return (f"the final fit failed (order value {s['order']}): f.bsq and p.bsq "
                "hold zeros for this pixel")
    if s["no_model"]:
        return ("no model: the criterion is stored as 0 (the fit failed, or no "
                "candidate could be scored); f.bsq and p.bsq hold zeros")
    return None


def legend_text(ctl, s):
    lines = [f"order value {s['order']}"]
    if s["aic"] == 0.0:
        lines.append("criterion 0 (failed, or beyond 1e8)")
    else:
        lines.append(f"criterion {s['aic']:.6g}")
    if s["no_model"]:
        return "\n".join(lines)
    p = s["para"]
    lines.append(f"constant {p[0]:.4f} ({p[0] * 4096:.0f} counts)")
    lines.append(f"trend {p[1]:.5f} per 0.1 step")
    period = ctl.get("NPOINT")
    for k in range(1, ctl.nfunc + 1):
        a, ph = p[2 * k], p[2 * k + 1]
        if a == 0.0:
            continue
        n = harmonic_number(k)
        per = f", period {period / n:.4g}" if n else ""
        lines.append(f"h{n}{per}: amp {a:.4f} ({a * 4096:.0f}),"
                     f"\n    phase {ph:+.3f} rad")
    return "\n".join(lines)


def draw(scene, line, pixel, out):
    ctl = scene.ctl
    s = pixel_story(scene, line, pixel)
    plt = pyplot()
    t = np.arange(1, ctl.ndat + 1)
    raw, sc = s["raw"], s["screening"]
    fig = plt.figure(figsize=(11, 6), dpi=100)
    ax = fig.add_axes([0.07, 0.28, 0.62, 0.64])
    for step in np.flatnonzero(sc.excluded):
        ax.axvspan(step + 0.5, step + 1.5, color="0.88", zorder=0,
                   label="excluded time step (NDEF)" if step == np.flatnonzero(sc.excluded)[0]
                   else None)
    if sc.used is not None:
        ax.plot(t[sc.used], raw[sc.used], "o", color="black", ms=5,
                label="sample offered to the final fit")
        out_mask = ~sc.used
        ax.plot(t[out_mask], raw[out_mask], "x", color="crimson", ms=8, mew=2,
                label="sample screened out or excluded")
        if sc.uncertain is not None and sc.uncertain.any():
            ax.plot(t[sc.uncertain], raw[sc.uncertain], "s", mfc="none", color="darkorange",
                    ms=11, label="residual within 1 count of a limit (uncertain)")
    else:
        ax.plot(t, raw, "o", color="black", ms=5, label="raw sample")
        if sc.raw_flagged.any():
            ax.plot(t[sc.raw_flagged], raw[sc.raw_flagged], "^", mfc="none",
                    color="darkorange", ms=11, label="above 1536 or rise > 512 (raw limits)")
    if s["first_fit"] is not None:
        ax.plot(t, s["first_fit"], "--", color="tab:blue", lw=1.5, label="first-pass fit (i.bsq)")
    if not s["no_model"]:
        ax.plot(t, s["fit"], "-", color="tab:green", lw=2.2, label="final fit (f.bsq)")
        from .seasons import mark_seasons
        mark_seasons(ax, ctl, s["para"])
    msg = failure_message(s)
    if msg:
        ax.text(0.5, 0.5, "NO MODEL\n" + msg.replace(": ", ":\n", 1), transform=ax.transAxes,
                ha="center", va="center", fontsize=12, color="crimson",
                bbox=dict(fc="white", ec="crimson", alpha=0.9))
    ax.set_xlim(0.5, ctl.ndat + 0.5)
    ax.set_xlabel("time step")
    ax.set_ylabel("raw counts")
    ax.grid(alpha=0.3)
    sec = ax.secondary_yaxis("right", functions=(lambda v: v / 4096.0, lambda v: v * 4096.0))
    sec.set_ylabel("model units (counts / 4096)")
    ax.set_title(f"{os.path.abspath(scene.dir)}: line {line}, pixel {pixel}", fontsize=10)
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=2, fontsize=9,
              frameon=False)
    fig.text(0.77, 0.92, legend_text(ctl, s), va="top", ha="left", family="monospace",
             fontsize=9)
    notes = ["screening: " + sc.note]
    if ctl.get("MMSW") > 0 and ctl.get("FITMD") in (0, 1):
        kind = "upper" if ctl.get("FITMD") == 0 else "lower"
        notes.append(f"the fits follow the running {kind} envelope (NWIN={ctl.get('NWIN')}) "
                     "of the samples, not the samples themselves")
    fig.text(0.07, 0.02, "\n".join(notes), fontsize=8, color="0.3", va="bottom")
    fig.savefig(out)
    plt.close(fig)
    return s


def run(args):
    scene = Scene(args.scene)
    out = args.output or scene.path(f"plot_L{args.line}_P{args.pixel}.png")
    s = draw(scene, args.line, args.pixel, out)
    msg = failure_message(s)
    if msg:
        print(f"kovarkit: plot: line {args.line}, pixel {args.pixel}: {msg}", file=sys.stderr)
    print(f"wrote {out}")
    return 0

