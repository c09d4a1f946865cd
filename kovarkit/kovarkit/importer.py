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

from .control import control_template
from .errors import KitError
from .scene import GEOREF_FILE

MAX_SAMPLE = 32767
ROWS_PER_BLOCK = 512


def parse_good(text):
    """'1,2,5-7' -> {1, 2, 5, 6, 7}."""
    good = set()
    for part in text.replace(" ", "").split(","):
        if not part:
            continue
        try:
            if "-" in part[1:]:
                i = part.index("-", 1)
                lo, hi = int(part[:i]), int(part[i + 1:])
                if hi < lo:
                    raise ValueError
                good.update(range(lo, hi + 1))
            else:
                good.add(int(part))
        except ValueError:
            raise KitError(f"--good {text}: expected integers and ranges like 0,2,5-7") from None
    if not good:
        raise KitError("--good: no value given")
    return good


class _Stack:
    """The bands of several rasters as one time series, checked to share a grid."""

    def __init__(self, paths, what):
        import rasterio
        self.datasets = []
        self.bands = []  # (dataset index, band number)
        try:
            for p in paths:
                try:
                    ds = rasterio.open(p)
                except rasterio.errors.RasterioIOError as e:
                    raise KitError(f"{p}: cannot open as a raster: {_short(e)}") from None
                self.datasets.append(ds)
                self.bands += [(len(self.datasets) - 1, b) for b in range(1, ds.count + 1)]
            first = self.datasets[0]
            for p, ds in zip(paths[1:], self.datasets[1:]):
                if (ds.width, ds.height) != (first.width, first.height):
                    raise KitError(f"{p}: {ds.width} x {ds.height} pixels, but {paths[0]} "
                                   f"has {first.width} x {first.height}")
                if ds.crs != first.crs or not ds.transform.almost_equals(first.transform):
                    raise KitError(f"{p}: georeferencing differs from {paths[0]} "
                                   f"({what} must share one grid)")
        except BaseException:
            self.close()
            raise
        self.paths = list(paths)
        self.width, self.height = first.width, first.height
        self.crs, self.transform = first.crs, first.transform

    def close(self):
        for ds in self.datasets:
            ds.close()

    def read(self, t, row0, nrows, extra_nodata=None):
        """Values (float64) and validity of time step t (0-based) for rows
        row0..row0+nrows-1; returns (values, valid, path, band)."""
        from rasterio.windows import Window
        di, b = self.bands[t]
        ds = self.datasets[di]
        win = Window(0, row0, self.width, nrows)
        values = ds.read(b, window=win).astype(np.float64)
        valid = ds.read_masks(b, window=win) != 0
        valid &= ~np.isnan(values)
        if extra_nodata is not None:
            valid &= values != extra_nodata
        return values, valid, self.paths[di], b


def _short(e):
    return str(e).splitlines()[0] if str(e) else e.__class__.__name__


def run(args):
    d = args.scene
    outputs = ["data.bsq", "mask.bsq", "cntl.dat", GEOREF_FILE]
    if not args.force:
        for name in outputs[:3]:
            if os.path.exists(os.path.join(d, name)):
                raise KitError(f"{os.path.join(d, name)}: exists; not overwritten (use --force)")
    if (args.mask is None) != (args.good is None):
        raise KitError("--mask and --good go together (QA rasters and the QA values "
                       "that mark a usable sample)")
    good = parse_good(args.good) if args.good is not None else None
    scale, offset = args.scale, args.offset
    if not (np.isfinite(scale) and np.isfinite(offset)) or scale == 0:
        raise KitError(f"--scale {scale} --offset {offset}: need finite numbers, scale not 0")

    stack = _Stack(args.sources, "sources")
    qa = None
    try:
        ndat = len(stack.bands)
        if not 3 <= ndat <= 200:
            raise KitError(f"{args.sources[0]}: the sources hold {ndat} band(s); "
                           "a scene needs 3..200 time steps")
        if args.mask is not None:
            qa = _Stack(args.mask, "QA rasters")
            if len(qa.bands) != ndat:
                raise KitError(f"{args.mask[0]}: the QA rasters hold {len(qa.bands)} "
                               f"band(s), the sources {ndat}")
            if (qa.width, qa.height) != (stack.width, stack.height):
                raise KitError(f"{args.mask[0]}: {qa.width} x {qa.height} pixels, the "
                               f"sources {stack.width} x {stack.height}")
        tmp = {n: os.path.join(d, n + ".kovarkit-tmp") for n in outputs}
        try:
            stats = _convert(stack, qa, good, scale, offset, args.nodata,
                             tmp["data.bsq"], tmp["mask.bsq"])
            with open(tmp["cntl.dat"], "w") as fh:
                fh.write(control_template(ndat, stack.height, stack.width,
                                          mask=qa is not None, period=args.period))
            with open(tmp[GEOREF_FILE], "w") as fh:
                json.dump({
                    "width": stack.width, "height": stack.height,
                    "crs": stack.crs.to_wkt() if stack.crs else None,
                    "transform": list(stack.transform.to_gdal()),
                    "sources": [os.path.abspath(p) for p in stack.paths],
                    "bands": [[stack.paths[i], b] for i, b in stack.bands],
                    "scale": scale, "offset": offset,
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
    if stack.crs is None:
        print(f"kovarkit: import: warning: {args.sources[0]}: no coordinate system; "
              "headers and exports carry only the pixel grid", file=sys.stderr)
    print(f"wrote data.bsq, mask.bsq, cntl.dat: NDAT={ndat} NLINE={stack.height} "
          f"NPIX={stack.width}; {nodata} NoData sample(s) set to 0"
          + (f", {masked} sample(s) masked by QA" if qa is not None else ""))
    return 0


def _convert(stack, qa, good, scale, offset, nodata_value, data_path, mask_path):
    """Stream the stack into the two band-sequential files; refuse values that
    do not fit after scaling.  Returns (NoData count, QA-masked count)."""
    bad = []  # (path, band, count, lo, hi)
    n_nodata = n_masked = 0
    good_arr = np.array(sorted(good)) if good is not None else None
    with open(data_path, "wb") as fd, open(mask_path, "wb") as fm:
        for t in range(len(stack.bands)):
            count, lo, hi = 0, None, None
            for row0 in range(0, stack.height, ROWS_PER_BLOCK):
                nrows = min(ROWS_PER_BLOCK, stack.height - row0)
                values, valid, path, band = stack.read(t, row0, nrows, nodata_value)
                with np.errstate(invalid="ignore", over="ignore"):
                    counts = np.floor(values * scale + offset + 0.5)
                    out = valid & ~((counts >= 0) & (counts <= MAX_SAMPLE))
                if out.any():
                    count += int(out.sum())
                    v = counts[out]
                    lo = v.min() if lo is None else min(lo, v.min())
                    hi = v.max() if hi is None else max(hi, v.max())
                n_nodata += int((~valid).sum())
                usable = valid.copy()
                if qa is not None:
                    qv, qvalid, _, _ = qa.read(t, row0, nrows)
                    ok = qvalid & np.isin(qv, good_arr)
                    n_masked += int((valid & ~ok).sum())
                    usable &= ok
                if bad or count:
                    continue  # the scene is refused; keep counting only
                fd.write(np.where(valid, counts, 0).astype("<i2").tobytes())
                fm.write(usable.astype("u1").tobytes())
            if count:
                bad.append((path, band, count, lo, hi))
    if bad:
        path, band, count, lo, hi = bad[0]
        more = f"; {len(bad) - 1} more band(s) likewise" if len(bad) > 1 else ""
        raise KitError(
            f"{path}: band {band}: {count} value(s) outside 0..{MAX_SAMPLE} after "
            f"scaling (scale {scale:g}, offset {offset:g}; range {lo:g}..{hi:g}){more}; "
            "nothing written")
    return n_nodata, n_masked
