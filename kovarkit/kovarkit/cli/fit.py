"""`kovarkit fit`: products straight from a GeoTIFF stack, a NetCDF variable
or a Zarr array, block by block within a memory budget.

Samples come in as `kovarkit import` makes them: floor(S*value + O + 0.5),
NoData (the source's NoData value or mask, NaN, or --nodata) as sample 0
and mask 0, a value outside 0..32767 refusing the whole run, and with --mask
a sample usable only when its QA value is one of --good. A pixel without any
usable sample is NoData in every product. Each block of image rows is read,
converted, fit by the engine and written before the next is read, so the
memory in use follows --memory, not the size of the cube. Every block is
staged in the locked temporary directory OUT.kovarkit-tmp and the outputs
are written from the staged blocks, then moved into place: a failed run
leaves nothing behind, a killed one can be resumed (--resume). The products are north-up whatever the order of the source's lines.
"""

import os
import sys

import numpy as np

from ..core import fit as engine
from ..core.cadence import aliasing_warning, cadence, short_series_warning
from ..core.counts import float_without_scale, out_of_range, to_counts, usable
from ..core.periods import checked_windows, fit_periods
from ..core.products import PRODUCTS, rasters, set_nodata
from ..errors import KitError
from ..formats.blocks import blocks_for_overlap, line_bytes, rows_per_block
from ..formats.control import read_values
from ..formats.dates import is_dates, iso, parse_dates
from ..formats.geotiff import product_tiff
from ..formats.netcdf import ProductWriter, format_of
from ..formats.sources import open_source
from .parser import conversion, parse_size
from .resume import StagedRun

CADENCE_KEYS = ("npoint", "nfunc", "nwin")


def _control(args, src):
    """Control keywords from --cntl or the options, and whether MASK = 1."""
    keys = ("nfunc", "npoint", "nwin", "intp", "mmsw", "tcld", "fitsw", "fitmd")
    given = [k for k in keys + ("exclude", "cadence") if getattr(args, k) is not None]
    if args.cntl:
        if given:
            raise KitError(f"--cntl {args.cntl}: give the control values either in the "
                           f"file or as options, not both (--{given[0]})")
        c = read_values(args.cntl)
        dims = (c["ndat"], c["nline"], c["npix"])
        if dims != (src.ndat, src.height, src.width):
            raise KitError(f"{args.cntl}: NDAT, NLINE, NPIX = {dims[0]}, {dims[1]}, {dims[2]}, "
                           f"but {src.paths[0]} holds {src.ndat} time steps of {src.height} "
                           f"lines x {src.width} pixels")
        control = {k: c[k] for k in keys}
        control["excluded"] = tuple(c["excluded"])
        if args.mask is not None and c["mask"] != 1:
            print(f"kovarkit: fit: warning: {args.cntl}: MASK = {c['mask']}: the QA sources "
                  "are not used (the residual screening decides)", file=sys.stderr)
        return control, c["mask"] == 1
    control = {}
    if args.cadence is not None:
        control = {k: getattr(cadence(args.cadence), k) for k in CADENCE_KEYS}
    control.update({k: getattr(args, k) for k in keys if getattr(args, k) is not None})
    if args.exclude is not None:
        try:
            control["excluded"] = tuple(int(t) for t in args.exclude.split(",") if t.strip())
        except ValueError:
            raise KitError(f"--exclude {args.exclude}: expected time steps such as 3,9,"
                           "17") from None
    return control, args.mask is not None


def run(args):
    scale, offset, good = conversion(args, "QA sources")
    have = engine.memory_available()
    budget = max(2**16, min(2**30, have[0] // 4))
    if args.memory is not None:
        budget = parse_size(args.memory)
        if budget > have[0]:
            raise KitError(f"--memory {args.memory}: more than the {have[0]} bytes this "
                           f"process can get ({have[1]})")
    out = args.out
    kind = format_of(out)
    targets = ([os.path.join(out, n + ".tif") for n in PRODUCTS] if kind == "gtiff"
               else [out])
    import rasterio
    with StagedRun(args, out) as staged:
        if not args.force and not staged.written:
            for t in targets:
                if os.path.exists(t):
                    raise KitError(f"{t}: exists; not overwritten (use --force)")
        # GDAL's block cache counts against the budget: a quarter of it.
        with rasterio.Env(GDAL_CACHEMAX=max(1, budget // 4 // 2**20)):
            names = _run(args, out, kind, budget, have, good, scale, offset, staged)
    print(f"wrote {out}: {', '.join(names)}")
    return 0


def _crs(text):
    if text is None:
        return None
    from rasterio.crs import CRS
    try:
        return CRS.from_user_input(text)
    except Exception as e:  # rasterio raises several types here
        raise KitError(f"--crs {text}: not a coordinate system ({e})") from None


def warn(text):
    print(f"kovarkit: fit: warning: {text}", file=sys.stderr)


def _run(args, out, kind, budget, have, good, scale, offset, staged):
    src = open_source(args.sources, args.var, args.dim, "sources", _crs(args.crs),
                      cache=budget // 4)
    qa = None
    try:
        if not 3 <= src.ndat <= 200 and not args.periods:
            raise KitError(f"{src.paths[0]}: the sources hold {src.ndat} time step(s); "
                           "a fit needs 3..200")
        if args.dates is not None:
            if format_of(src.paths[0]) != "gtiff":
                raise KitError(f"--dates: {src.paths[0]} has its own time coordinate")
            src.dates = parse_dates(args.dates, src.ndat)
        if src.floating and args.scale is None:
            what = src.paths[0] + (f": {args.var}" if args.var else "")
            raise KitError(float_without_scale(what, *src.value_range()) + " (--scale, "
                           "--offset)")
        if args.mask is not None:
            qa = open_source(args.mask, args.qa_var, args.dim, "QA sources")
            if (qa.ndat, qa.height, qa.width) != (src.ndat, src.height, src.width):
                raise KitError(f"{qa.paths[0]}: {qa.ndat} x {qa.height} x {qa.width} (time x "
                               f"lines x pixels), the sources {src.ndat} x {src.height} x "
                               f"{src.width}")
        control, use_mask = _control(args, src)
        if not args.periods:
            c, periods = engine.control_values(src.ndat, use_mask, **control), None
        else:
            try:
                c, periods = checked_windows(src.ndat, args.window, use_mask, **control)
            except ValueError as e:
                raise KitError(f"{src.paths[0]}: --periods: {e}") from None
        for text in (aliasing_warning(c["nfunc"], c["npoint"]),
                     short_series_warning(src.ndat, c["npoint"])):
            if text:
                warn(text)
        if src.crs is None:
            warn(f"{src.paths[0]}: no coordinate system; the products carry only the "
                 "pixel grid (give one with --crs)")
        npara = 2 * c["nfunc"] + 2
        line = line_bytes(src.width, src.ndat, npara)
        if line > have[0]:
            raise KitError(f"{src.paths[0]}: one line of {src.width} pixels x {src.ndat} time "
                           f"steps needs {line} bytes, more than the {have[0]} bytes this "
                           f"process can get ({have[1]})")
        rows = staged.rows(blocks_for_overlap(src.height, rows_per_block(
            budget // 2, src.width, src.ndat, npara)))
        names = [n for n in PRODUCTS if (n != "i" or c["intp"] == 1)
                 and (periods is None or n not in ("f", "i"))]
        staged.begin(args.sources + (args.mask or []) + ([args.cntl] if args.cntl else []),
                     dict(c, scale=scale, offset=offset, masked=use_mask),
                     dict(kind=kind, names=names, height=src.height, width=src.width,
                          ndat=src.ndat, rows=rows))
        _fit_blocks(src, qa, good, scale, offset, args, c, use_mask, staged)
        final = staged.file("final" + os.path.splitext(out.rstrip("/\\"))[1] * (kind != "gtiff"))
        if kind == "gtiff":
            staged.finish(lambda: _GeoTiffs(final, src, c, names, use_mask, rows, scale, offset,
                                            periods),
                          [os.path.join(final, n + ".tif") for n in names],
                          [os.path.join(out, n + ".tif") for n in names], names)
        else:
            staged.finish(lambda: ProductWriter(kind, final, src, c, names, rows, use_mask,
                                                scale, offset, periods), [final], [out], names)
    finally:
        src.close()
        if qa is not None:
            qa.close()
    return names


def _samples(src, qa, good, scale, offset, nodata, use_mask, row0, n):
    """(samples, mask or None, pixels without a usable sample) of the lines
    row0..row0+n-1, as import makes them."""
    values, valid = src.read(row0, n, nodata)
    counts, inside = to_counts(values, scale, offset)
    del values
    _refuse_out_of_range(src, counts, valid & ~inside, scale, offset, row0)
    del inside
    samples = np.where(valid, counts, 0).astype(np.int16)
    del counts
    mask = None
    if use_mask:
        if qa is not None:
            qv, qvalid = qa.read(row0, n, None)
            valid &= usable(qv, qvalid, good)
            del qv, qvalid
        mask = valid.astype(np.uint8)
    return samples, mask, ~valid.any(axis=-1)


def _fit_blocks(src, qa, good, scale, offset, args, c, use_mask, staged):
    """Fits and stages the blocks not staged yet, reading and converting the
    next in a second thread while the engine (which releases the
    interpreter) fits the current one."""
    from concurrent.futures import ThreadPoolExecutor
    threads = args.threads or engine.default_threads()
    blocks = staged.pending()
    starts = [row0 for _, row0 in blocks]
    rows = staged.block_rows
    if not starts:
        return
    try:
        from tqdm import tqdm
        bar = tqdm(total=src.height, unit="line", disable=args.quiet or None,
                   desc="kovarkit fit", file=sys.stderr,
                   initial=src.height - sum(min(rows, src.height - r) for r in starts))
    except ImportError:
        bar = None
    try:
        fit = (lambda *a, **k: fit_periods(*a, window=args.window, **k)) if args.periods \
            else engine.fit
        with ThreadPoolExecutor(1) as reader:
            def read(row0):
                n = min(rows, src.height - row0)
                return reader.submit(_samples, src, qa, good, scale, offset, args.nodata,
                                     use_mask, row0, n)
            pending = read(starts[0])
            for k, row0 in enumerate(starts):
                samples, mask, empty = pending.result()
                if k + 1 < len(starts):
                    pending = read(starts[k + 1])
                prod = {n: v for n, v in fit(samples, mask, threads=threads, **c)._asdict()
                        .items() if n in PRODUCTS}
                del samples, mask
                set_nodata(prod, empty)
                staged.stage(blocks[k][0], {n: _layout(v, args.periods)
                                            for n, v in prod.items() if v is not None})
                del prod
                if bar is not None:
                    bar.update(len(empty))
    finally:
        if bar is not None:
            bar.close()


def _refuse_out_of_range(src, counts, out, scale, offset, row0):
    if not out.any():
        return
    v = counts[out]
    line, pixel, step = (int(i) + 1 for i in np.argwhere(out)[0])
    raise KitError(
        f"{src.paths[0]}: {out_of_range(int(out.sum()), v.min(), v.max(), scale, offset)}, "
        f"the first at line {row0 + line}, pixel {pixel}, time step {step}; nothing written")


def _layout(block, periods=False):
    """(rows, pixels[, bands]) engine output -> (bands, rows, pixels) or (rows, pixels);
    of a fit per period (rows, pixels, period[, param]) -> (period[, param], rows, pixels)."""
    if periods:
        return np.moveaxis(block, (2, 3)[:block.ndim - 2], (0, 1)[:block.ndim - 2])
    return np.moveaxis(block, -1, 0) if block.ndim == 3 else block


class _GeoTiffs:
    """OUT/p.tif, OUT/f.tif, ... as `kovarkit export` writes them."""

    def __init__(self, d, src, c, names, masked, rows, scale, offset, periods=None):
        os.makedirs(d, exist_ok=True)
        time = src.time_coordinate()
        dates = iso(time[0]) if time is not None and is_dates(time[0]) else None
        bsq = {r.stem: r for r in rasters(src.ndat, c["nfunc"]).values()}
        self.files = {}
        try:
            for n in names:
                self.files[n] = product_tiff(
                    os.path.join(d, n + ".tif"), bsq[n], c, masked, scale, offset, dates,
                    src.width, src.height, src.crs, src.transform, rows, periods)
        except BaseException:
            self.close()
            raise

    def write(self, blocks, row0):
        for n, tif in self.files.items():
            b = blocks[n]
            tif.write(b.reshape((-1,) + b.shape[-2:]) if b.ndim == 4 else b, row0)

    def close(self):
        files, self.files = self.files, {}
        for tif in files.values():
            tif.close()

