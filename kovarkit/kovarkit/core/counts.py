"""Source values to the engine's counts and back.

A value v of the index becomes the sample floor(S*v + O + 0.5), as `import`
makes it; a sample c reads back as the index value (c - O) / S, which CF
readers apply from scale_factor = 1/S and add_offset = -O/S. A value that
is NaN, equals the NoData value or is masked is NoData: sample 0, not
valid. A valid value outside 0..32767 after scaling refuses the whole cube.
QA values mark a usable sample.
"""

import math

import numpy as np

from .fit import MAX_SAMPLE

# The engine's screening takes a sample above 1536 counts for a cloud, so the
# clear-sky range of the index belongs within 0..1536.
CLEAR_SKY_COUNTS = 1536


def to_counts(values, scale, offset):
    """floor(scale*values + offset + 0.5) in place in the float64 array
    values; returns it and where it lies within 0..MAX_SAMPLE."""
    with np.errstate(invalid="ignore", over="ignore"):
        np.multiply(values, scale, out=values)
        np.add(values, offset, out=values)
        np.add(values, 0.5, out=values)
        np.floor(values, out=values)
        inside = (values >= 0) & (values <= MAX_SAMPLE)
    return values, inside


def out_of_range(count, lo, hi, scale, offset):
    """How many values fell outside the counts and their range, as a phrase."""
    return (f"{count} value(s) outside 0..{MAX_SAMPLE} after scaling (scale {scale:g}, "
            f"offset {offset:g}; range {lo:g}..{hi:g})")


def usable(qa_values, qa_valid, good):
    """True where a QA value is valid and one of the sorted array good."""
    return qa_valid & np.isin(qa_values, good)


def check_scale(scale, offset):
    """(S, O) as floats; ValueError unless both are finite and S is not 0."""
    try:
        s, o = float(scale), float(offset)
    except (TypeError, ValueError):
        raise TypeError(f"scale, offset: expected numbers, got {scale!r}, {offset!r}") from None
    if not (math.isfinite(s) and math.isfinite(o)) or s == 0:
        raise ValueError(f"scale {scale}, offset {offset}: need finite numbers, scale not 0")
    return s, o


def index_to_counts(values, scale, offset, nodata=None, valid=None):
    """(samples int16, valid bool) of an index array of any numeric dtype.

    values: the index (a masked array's mask is NoData too); valid: None or
    a bool array of the same shape, False marking NoData already known (a
    GDAL mask band, say). Raises ValueError naming how many valid values
    fall outside 0..32767 after scaling and their range."""
    values = np.asanyarray(values)
    if values.dtype.kind not in "iuf":
        raise TypeError(f"values: dtype {values.dtype} is not numeric")
    ok = np.ones(values.shape, bool) if valid is None else np.array(valid, bool)
    if np.ma.isMaskedArray(values):
        ok &= ~np.ma.getmaskarray(values)
        values = values.data
    x = values.astype(np.float64)
    ok &= ~np.isnan(x)
    if nodata is not None:
        ok &= x != nodata
    x, inside = to_counts(x, scale, offset)
    bad = ok & ~inside
    if bad.any():
        v = x[bad]
        raise ValueError(out_of_range(int(bad.sum()), v.min(), v.max(), scale, offset))
    return np.where(ok, x, 0).astype(np.int16), ok


def decoding(scale, offset):
    """CF attributes that turn stored counts back into the index."""
    return {"scale_factor": 1.0 / scale, "add_offset": -offset / scale}


def _round_down(x):
    """x rounded down to 1, 2 or 5 times a power of ten."""
    p = 10.0 ** math.floor(math.log10(x))
    return max(m for m in (1, 2, 5) if m * p <= x * (1 + 1e-12)) * p


def suggest_scale(lo, hi):
    """(S, O), round numbers that bring the index range lo..hi within
    0..1536 counts, the clear-sky range of the screening."""
    span = hi - lo if hi > lo else max(abs(hi), 1.0)
    s = _round_down(CLEAR_SKY_COUNTS / span)
    o = -math.floor(s * lo) if s * lo < 0 else 0.0
    return s, float(o)


def float_without_scale(what, lo, hi):
    """The message refusing a float index given without a scale; lo..hi its
    value range, or NaN when unknown."""
    known = math.isfinite(lo) and math.isfinite(hi)
    s, o = suggest_scale(lo, hi) if known else suggest_scale(-1.0, 1.0)
    return (f"{what} holds floating-point values" + (f" ({lo:.4g}..{hi:.4g})" if known else "")
            + f" but no scale was given: the engine fits counts 0..{MAX_SAMPLE} (clear sky "
            f"within 0..{CLEAR_SKY_COUNTS}) made as floor(S*value + O + 0.5); "
            + (f"for this range try scale {s:g}, offset {o:g}" if known else
               f"an index in -1..1 takes scale {s:g}, offset {o:g}"))
