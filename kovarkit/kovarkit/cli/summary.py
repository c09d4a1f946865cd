"""`kovarkit summary`: a short text report of a finished run."""

import numpy as np

from ..core.products import failed_fits, order_values
from ..errors import KitError
from ..formats.scene import Scene


def report(scene):
    for name in ("order.dat", "aic.dat", "min.dat", "max.dat"):
        if not scene.exists(name):
            raise KitError(f"{scene.path(name)}: not found (summary needs the products "
                           "of a kovarind run)")
    c = scene.ctl
    order_bytes = np.array(scene.open("order.dat")[0]).ravel()
    order = order_values(order_bytes)
    aic = np.array(scene.open("aic.dat")[0], dtype=np.float64).ravel()
    kmin = np.array(scene.open("min.dat")[0], dtype=np.int64).ravel()
    kmax = np.array(scene.open("max.dat")[0], dtype=np.int64).ravel()
    n = order.size
    failed = failed_fits(order_bytes)
    zero_crit = ~failed & (aic == 0.0)
    model = ~failed & ~zero_crit
    out = [f"scene {c.nline} lines x {c.npix} pixels, {c.ndat} time steps, "
           f"NFUNC={c.nfunc} ({n} pixels)",
           f"failed fits (order value <= 1): {failed.sum()} ({100.0 * failed.mean():.2f}%)",
           f"no model, criterion stored as 0: {zero_crit.sum()} "
           f"({100.0 * zero_crit.mean():.2f}%)",
           "order values:"]
    values, counts = np.unique(order, return_counts=True)
    for v, k in zip(values, counts):
        out.append(f"  {v:4d}: {k:8d} ({100.0 * k / n:6.2f}%)")
    if model.any():
        a = aic[model]
        out.append(f"criterion of fitted pixels: {a.min():.6g} .. {a.max():.6g} "
                   f"(median {np.median(a):.6g})")
        lo, hi = kmin[model], kmax[model]
        out.append(f"fitted minimum (counts): {lo.min()} .. {lo.max()} (mean {lo.mean():.1f})")
        out.append(f"fitted maximum (counts): {hi.min()} .. {hi.max()} (mean {hi.mean():.1f})")
        out.append(f"fitted range max-min (counts): mean {(hi - lo).mean():.1f}, "
                   f"largest {(hi - lo).max()}")
    else:
        out.append("no pixel has a model")
    return "\n".join(out)


def run(args):
    print(report(Scene(args.scene)))
    return 0
