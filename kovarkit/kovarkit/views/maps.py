"""Quicklook maps of one band with a colour bar: continuous bands stretched
between the 2nd and 98th percentiles, phases in a cyclic palette over
-pi..pi, the order value and the mask in a categorical palette, and pixels
without a value (no model, no such crossing) in grey, left out of the
stretch."""

import math

import numpy as np

from ..core.products import order_values

NO_MODEL_COLOUR = "0.6"


def pyplot():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def stretch(values):
    """(low, high) of the 2-98 percentile stretch of the finite values."""
    v = values[np.isfinite(values)]
    if v.size == 0:
        return 0.0, 1.0
    lo, hi = np.percentile(v, [2, 98])
    if hi <= lo:
        lo, hi = lo - 0.5, hi + 0.5
    return float(lo), float(hi)


def _extent(values):
    """Image extent with 1-based pixel and line numbers at pixel centres."""
    nline, npix = values.shape
    return (0.5, npix + 0.5, nline + 0.5, 0.5)


def _frame(values, title):
    plt = pyplot()
    nline, npix = values.shape
    height = min(10.0, max(3.0, 7.0 * nline / npix))
    fig = plt.figure(figsize=(8.5, height + 1.0), dpi=100)
    ax = fig.add_axes([0.08, 0.08, 0.72, 0.82])
    ax.set_title(title, fontsize=10)
    return plt, fig, ax


def _finish(plt, fig, ax, out):
    from matplotlib.ticker import MaxNLocator
    for axis in (ax.xaxis, ax.yaxis):
        axis.set_major_locator(MaxNLocator(integer=True))
    ax.set_xlabel("pixel")
    ax.set_ylabel("line")
    fig.savefig(out)
    plt.close(fig)


def _continuous(plt, fig, ax, values, cmap, lo, hi, extend, missing, what, label=None):
    """values with NaN where missing (or missing None) drawn grey, said by what."""
    cm = plt.get_cmap(cmap).with_extremes(bad=NO_MODEL_COLOUR)
    im = ax.imshow(np.ma.masked_invalid(values), cmap=cm, vmin=lo, vmax=hi,
                   interpolation="nearest", extent=_extent(values))
    fig.colorbar(im, ax=ax, fraction=0.046, pad=0.04, extend=extend,
                 **({} if label is None else {"label": label}))
    if missing is not None and missing.any():
        from matplotlib.patches import Patch
        ax.legend(handles=[Patch(color=NO_MODEL_COLOUR,
                                 label=f"{what} ({100.0 * missing.mean():.1f}% of pixels)")],
                  loc="upper left", bbox_to_anchor=(0.0, -0.04), fontsize=8, frameon=False)


NODATA_COLOUR = "white"


def _categorical(ax, fig, values, labels):
    import matplotlib
    from matplotlib.colors import BoundaryNorm, ListedColormap
    cats = np.unique(values)
    palette = list(matplotlib.colormaps["tab10"].colors)
    colours = []
    for c in cats:  # colour by value, so that maps of different scenes agree
        text = labels(c)
        colours.append("0.15" if text.startswith("failed") else NODATA_COLOUR
                       if text == "no data" else palette[int(c) % 10])
    index = np.searchsorted(cats, values)
    cmap = ListedColormap(colours)
    norm = BoundaryNorm(np.arange(len(cats) + 1) - 0.5, len(cats))
    im = ax.imshow(index, cmap=cmap, norm=norm, interpolation="nearest",
                   extent=_extent(values))
    cb = fig.colorbar(im, ax=ax, ticks=range(len(cats)), fraction=0.046, pad=0.04)
    cb.ax.set_yticklabels([labels(c) for c in cats])


def product_map(data, name, band, band_name, out, no_model=None, nodata=None, title=None):
    """Band `band` (from 1) of scene raster `name` (e.g. p.bsq), its values
    data (lines, pixels) as stored; no_model: True where the pixel has no
    model (drawn grey), or None; nodata: True where the pixel had no valid
    sample (drawn white, or grey in continuous bands), or None; title: the
    file's own name, by default name."""
    plt, fig, ax = _frame(data, f"{title or name} band {band}: {band_name}")
    if nodata is not None and nodata.any():
        no_model = nodata if no_model is None else (no_model | nodata)
    if name == "order.dat":
        values = order_values(data)
        if nodata is not None:
            values = np.where(nodata, -128, values)
        _categorical(ax, fig, values, lambda v: "no data" if v == -128 else
                     f"failed ({v})" if v <= 1 else f"order {v}")
    elif name == "mask.bsq":
        _categorical(ax, fig, data, lambda v: f"mask {v}")
    else:
        values = data.astype(np.float64)
        if no_model is not None:
            values = np.where(no_model, np.nan, values)
        if name == "p.bsq" and band >= 4 and band % 2 == 0:
            cmap, (lo, hi), extend = "twilight", (-math.pi, math.pi), "neither"
        else:
            cmap, (lo, hi), extend = "viridis", stretch(values), "both"
        _continuous(plt, fig, ax, values, cmap, lo, hi, extend, no_model,
                    "no model" if nodata is None or not nodata.any() else "no model or no data")
    _finish(plt, fig, ax, out)


def metric_map(values, metric, season, unit, out):
    """One season of a seasonal metric, values (lines, pixels) with NaN where missing."""
    values = np.asarray(values, dtype=np.float64)
    plt, fig, ax = _frame(values, f"{metric}, season {season} ({unit})")
    cmap = "RdBu_r" if metric.endswith("rate") else "viridis"
    _continuous(plt, fig, ax, values, cmap, *stretch(values), "both", ~np.isfinite(values),
                "no model or no such crossing", label=unit)
    _finish(plt, fig, ax, out)
