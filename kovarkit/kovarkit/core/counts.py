"""Source values to the engine's counts: floor(S*value + O + 0.5), refused
outside 0..32767, and the QA values that mark a usable sample."""

import numpy as np

from .fit import MAX_SAMPLE


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
