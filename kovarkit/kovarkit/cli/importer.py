"""`kovarkit import`: a scene (data.bsq, mask.bsq, cntl.dat) from GDAL rasters.

The time steps are the bands of the sources, taken in the order given (one
multi-band raster, or single-band rasters in time order).  A sample becomes
floor(S*value + O + 0.5); it must then lie in 0..32767.  NoData (the
source's NoData value, its mask band, NaN, or --nodata) becomes sample 0 and
mask 0.  With --mask, a sample is usable (mask 1) only when its QA value is
one of --good.  Everything is checked before any output file is replaced;
outputs are written to temporary files and renamed at the end.
"""

import json
import os
import sys

import numpy as np

from ..core.cadence import cadence, short_series_warning, suited
from ..core.counts import float_without_scale, out_of_range, to_counts, usable
from ..errors import KitError
from ..formats.blocks import DEFAULT_BUDGET, rows_per_block
from ..formats.control import control_template
from ..formats.dates import iso, parse_dates
from ..formats.scene import GEOREF_FILE
from ..formats.sources import RasterStack
from .parser import conversion


def run(args):
    d = args.scene
    outputs = ["data.bsq", "mask.bsq", "cntl.dat", GEOREF_FILE]
    if not args.force:
        for name in outputs[:3]:
            if os.path.exists(os.path.join(d, name)):
                raise KitError(f"{os.path.join(d, name)}: exists; not overwritten (use --force)")
    scale, offset, good = conversion(args, "QA rasters")
    stack = RasterStack(args.sources, "sources")
    qa = None
    try:
        ndat = len(stack.bands)
        if not 3 <= ndat <= 200:
            raise KitError(f"{args.sources[0]}: the sources hold {ndat} band(s); "
                           "a scene needs 3..200 time steps")
        if args.mask is not None:
            qa = RasterStack(args.mask, "QA rasters")
            if len(qa.bands) != ndat:
                raise KitError(f"{args.mask[0]}: the QA rasters hold {len(qa.bands)} "
                               f"band(s), the sources {ndat}")
            if (qa.width, qa.height) != (stack.width, stack.height):
                raise KitError(f"{args.mask[0]}: {qa.width} x {qa.height} pixels, the "
                               f"sources {stack.width} x {stack.height}")
        if stack.floating and args.scale is None:
            raise KitError(float_without_scale(args.sources[0], *stack.value_range(args.nodata))
                           + " (--scale, --offset)")
        dates = stack.dates() if args.dates is None else parse_dates(args.dates, ndat)
        period, nfunc, nwin = _period(args)
        tmp = {n: os.path.join(d, n + ".kovarkit-tmp") for n in outputs}
        try:
            stats = _convert(stack, qa, good, scale, offset, args.nodata,
                             tmp["data.bsq"], tmp["mask.bsq"])
            with open(tmp["cntl.dat"], "w") as fh:
                fh.write(control_template(ndat, stack.height, stack.width,
                                          mask=qa is not None, period=period, nfunc=nfunc,
                                          nwin=nwin))
            with open(tmp[GEOREF_FILE], "w") as fh:
                json.dump({
                    "width": stack.width, "height": stack.height,
                    "crs": stack.crs.to_wkt() if stack.crs else None,
                    "transform": list(stack.transform.to_gdal()),
                    "sources": [os.path.abspath(p) for p in stack.paths],
                    "bands": [[stack.paths[i], b] for i, b in stack.bands],
                    "scale": scale, "offset": offset, "nodata_mask": True,
                    "dates": None if dates is None else iso(dates),
                }, fh, indent=1)
            for n in outputs:
                os.replace(tmp[n], os.path.join(d, n))
        finally:
            for p in tmp.values():
                if os.path.exists(p):
                    os.remove(p)
    finally:
        stack.close()
        if qa:
            qa.close()
    nodata, masked = stats
    if short_series_warning(ndat, period):
        print(f"kovarkit: import: warning: {short_series_warning(ndat, period)}",
              file=sys.stderr)
    if stack.crs is None:
        print(f"kovarkit: import: warning: {args.sources[0]}: no coordinate system; "
              "headers and exports carry only the pixel grid", file=sys.stderr)
    print(f"wrote data.bsq, mask.bsq, cntl.dat: NDAT={ndat} NLINE={stack.height} "
          f"NPIX={stack.width}; {nodata} NoData sample(s) set to 0"
          + (f", {masked} sample(s) masked by QA" if qa is not None else ""))
    return 0


def _period(args):
    """(NPOINT, NFUNC, NWIN) of the template: --period, else the cadence's or
    46; an NFUNC whose harmonics are all identifiable at that period."""
    if args.cadence is not None:
        c = cadence(args.cadence)
        period = args.period or c.npoint
        return (period, c.nfunc, c.nwin) if period == c.npoint else (period, *suited(period))
    period = args.period or 46
    return (period, *suited(period))


def _convert(stack, qa, good, scale, offset, nodata_value, data_path, mask_path):
    """Stream the stack into the two band-sequential files; refuse values that
    do not fit after scaling.  Returns (NoData count, QA-masked count)."""
    bad = []  # (path, band, count, lo, hi)
    n_nodata = n_masked = 0
    rows = rows_per_block(DEFAULT_BUDGET, stack.width, 1)
    with open(data_path, "wb") as fd, open(mask_path, "wb") as fm:
        for t in range(len(stack.bands)):
            count, lo, hi = 0, None, None
            for row0 in range(0, stack.height, rows):
                nrows = min(rows, stack.height - row0)
                values, valid, path, band = stack.read(t, row0, nrows, nodata_value)
                counts, inside = to_counts(values, scale, offset)
                out = valid & ~inside
                if out.any():
                    count += int(out.sum())
                    v = counts[out]
                    lo = v.min() if lo is None else min(lo, v.min())
                    hi = v.max() if hi is None else max(hi, v.max())
                n_nodata += int((~valid).sum())
                use = valid.copy()
                if qa is not None:
                    qv, qvalid, _, _ = qa.read(t, row0, nrows)
                    ok = usable(qv, qvalid, good)
                    n_masked += int((valid & ~ok).sum())
                    use &= ok
                if bad or count:
                    continue  # the scene is refused; keep counting only
                fd.write(np.where(valid, counts, 0).astype("<i2").tobytes())
                fm.write(use.astype("u1").tobytes())
            if count:
                bad.append((path, band, count, lo, hi))
    if bad:
        path, band, count, lo, hi = bad[0]
        more = f"; {len(bad) - 1} more band(s) likewise" if len(bad) > 1 else ""
        raise KitError(f"{path}: band {band}: {out_of_range(count, lo, hi, scale, offset)}"
                       f"{more}; nothing written")
    return n_nodata, n_masked
