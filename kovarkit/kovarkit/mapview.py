"""`kovarkit map PRODUCT [BAND]`: a quicklook PNG of one band.

Continuous bands are stretched between the 2nd and 98th percentiles; phases
use a cyclic palette over -pi..pi; the order value and the mask use a
categorical palette.  In products of the final fit, pixels without a model
(failed fit, criterion stored as 0) are drawn grey and left out of the
stretch.
"""

import math

import numpy as np

from .errors import KitError
from .plot import pyplot
from .scene import Scene, order_values, without_model

NO_MODEL_COLOUR = "0.6"
_FIT_PRODUCTS = ("p.bsq", "f.bsq", "aic.dat", "min.dat", "max.dat")


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


def _categorical(ax, fig, values, labels):
    import matplotlib
    from matplotlib.colors import BoundaryNorm, ListedColormap
    cats = np.unique(values)
    palette = list(matplotlib.colormaps["tab10"].colors)
    colours = []
    for c in cats:  # colour by value, so that maps of different scenes agree
        colours.append("0.15" if labels(c).startswith("failed") else palette[int(c) % 10])
    index = np.searchsorted(cats, values)
    cmap = ListedColormap(colours)
    norm = BoundaryNorm(np.arange(len(cats) + 1) - 0.5, len(cats))
    im = ax.imshow(index, cmap=cmap, norm=norm, interpolation="nearest",
                   extent=_extent(values))
    cb = fig.colorbar(im, ax=ax, ticks=range(len(cats)), fraction=0.046, pad=0.04)
    cb.ax.set_yticklabels([labels(c) for c in cats])


def draw(scene, name, band, out):
    r = scene.raster(name)
    if not scene.exists(r.name):
        raise KitError(f"{scene.path(r.name)}: not found")
    if not 1 <= band <= r.bands:
        raise KitError(f"{scene.path(r.name)}: band {band} does not exist "
                       f"(the product has {r.bands} band(s))")
    data = np.array(scene.open(r.name)[band - 1])
    plt = pyplot()
    c = scene.ctl
    height = min(10.0, max(3.0, 7.0 * c.nline / c.npix))
    fig = plt.figure(figsize=(8.5, height + 1.0), dpi=100)
    ax = fig.add_axes([0.08, 0.08, 0.72, 0.82])
    ax.set_title(f"{r.name} band {band}: {r.band_names[band - 1]}", fontsize=10)
    if r.name == "order.dat":
        _categorical(ax, fig, order_values(data),
                     lambda v: f"failed ({v})" if v <= 1 else f"order {v}")
    elif r.name == "mask.bsq":
        _categorical(ax, fig, data, lambda v: f"mask {v}")
    else:
        values = data.astype(np.float64)
        no_model = None
        if r.name in _FIT_PRODUCTS and scene.exists("order.dat") and scene.exists("aic.dat"):
            no_model = without_model(scene.open("order.dat")[0], scene.open("aic.dat")[0])
            values = np.where(no_model, np.nan, values)
        if r.name == "p.bsq" and band >= 4 and band % 2 == 0:
            cmap, (lo, hi), extend = "twilight", (-math.pi, math.pi), "neither"
        else:
            cmap, (lo, hi), extend = "viridis", stretch(values), "both"
        cm = plt.get_cmap(cmap).with_extremes(bad=NO_MODEL_COLOUR)
        im = ax.imshow(np.ma.masked_invalid(values), cmap=cm, vmin=lo, vmax=hi,
                       interpolation="nearest", extent=_extent(values))
        fig.colorbar(im, ax=ax, fraction=0.046, pad=0.04, extend=extend)
        if no_model is not None and no_model.any():
            from matplotlib.patches import Patch
            share = 100.0 * no_model.mean()
            ax.legend(handles=[Patch(color=NO_MODEL_COLOUR,
                                     label=f"no model ({share:.1f}% of pixels)")],
                      loc="upper left", bbox_to_anchor=(0.0, -0.04), fontsize=8,
                      frameon=False)
    from matplotlib.ticker import MaxNLocator
    for axis in (ax.xaxis, ax.yaxis):
        axis.set_major_locator(MaxNLocator(integer=True))
    ax.set_xlabel("pixel")
    ax.set_ylabel("line")
    fig.savefig(out)
    plt.close(fig)


def run(args):
    from .seasons import _metric_source, draw_metric_map
    if _metric_source(args.product):  # a map of seasonal metrics
        return draw_metric_map(args)
    scene = Scene(args.scene)
    r = scene.raster(args.product)
    out = args.output or scene.path(f"map_{r.stem}_b{args.band}.png")
    draw(scene, args.product, args.band, out)
    print(f"wrote {out}")
    return 0
