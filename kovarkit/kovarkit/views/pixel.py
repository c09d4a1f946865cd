"""The pixel plot: one pixel's samples, screening, fits, seasons and model,
drawn from the values handed to it (see kovarkit.cli.plot)."""

import numpy as np

from ..core.products import harmonic_number
from ..core.seasons import seasons
from .maps import pyplot


def failure_message(s):
    if s.get("nodata"):
        return "no valid sample: the pixel is NoData in every product"
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


def draw(ctl, s, title, out):
    """The plot of one pixel: ctl its control values (.ndat, .nfunc, .get(KEY)),
    s what is known of it (raw, fit, para, order, aic, first_fit, screening,
    failed, no_model), title above it; written to out."""
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
        lo, hi = mark_seasons(ax, ctl, s["para"])
    else:
        lo, hi = 0.5, ctl.ndat + 0.5
    msg = failure_message(s)
    if msg:
        ax.text(0.5, 0.5, "NO MODEL\n" + msg.replace(": ", ":\n", 1), transform=ax.transAxes,
                ha="center", va="center", fontsize=12, color="crimson",
                bbox=dict(fc="white", ec="crimson", alpha=0.9))
    ax.set_xlim(lo, hi)
    ax.set_xlabel("time step")
    ax.set_ylabel("raw counts")
    ax.grid(alpha=0.3)
    sec = ax.secondary_yaxis("right", functions=(lambda v: v / 4096.0, lambda v: v * 4096.0))
    sec.set_ylabel("model units (counts / 4096)")
    ax.set_title(title, fontsize=10)
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


def mark_seasons(ax, ctl, para, threshold=0.2):
    """Mark start, peak and end of every season on a pixel plot's fitted
    curve, the period boundaries, and the model beyond the series where a
    season reaches there; returns the time range (lo, hi) to show."""
    from ..core.model import Model
    lo, hi = 0.5, ctl.ndat + 0.5
    npoint = ctl.get("NPOINT")
    try:
        m = seasons(np.asarray(para), npoint=npoint, ndat=ctl.ndat, nfunc=ctl.nfunc,
                    threshold=threshold)
    except ValueError:
        return lo, hi
    ok = (m.quality & 3) == 0
    if not ok.any():
        return lo, hi
    lo = min(lo, float(np.floor(m.start_time[ok].min())) - 0.5)
    hi = max(hi, float(np.ceil(m.end_time[ok].max())) + 0.5)
    model = Model(np.asarray(para, np.float64)[None], npoint, ctl.nfunc)
    for a, b in ((lo, 1.0), (float(ctl.ndat), hi)):
        if b > a:
            t = np.linspace(a, b, 50)
            ax.plot(t, model.at(t[None])[0][0], ":", color="tab:green", lw=1.5,
                    label="model beyond the series" if a == lo else None)
    for k in range(1, ctl.ndat // npoint):
        ax.axvline(k * npoint + 1, color="0.6", lw=0.8, ls="--", zorder=1)
    for field, value, marker, label in [
            ("start_time", "start_value", ">", f"season start ({threshold:.0%} above its base)"),
            ("peak_time", "peak_value", "*", "season peak"),
            ("end_time", "end_value", "<", "season end")]:
        ax.plot(getattr(m, field)[ok], getattr(m, value)[ok], marker, color="tab:purple",
                mec="black", ms=11, zorder=5, label=label)
    return lo, hi
