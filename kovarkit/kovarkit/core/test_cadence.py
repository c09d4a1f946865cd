"""Cadences give identifiable harmonics; index values become counts as
import makes them, NoData of every kind included."""

import numpy as np
import pytest

from kovarkit.core.cadence import CADENCES, aliasing_warning, harmonic_number
from kovarkit.core.counts import decoding, index_to_counts


@pytest.mark.parametrize("name", list(CADENCES))
def test_every_cadence_basis_is_free_of_aliased_harmonics(name):
    c = CADENCES[name]
    t = np.arange(1, c.npoint + 1)
    for k in range(1, c.nfunc + 1):
        h = harmonic_number(k)
        # one period sampled at the cadence: the spectrum of the cosine peaks
        # at its own harmonic, not at an alias, and with 3 or more samples a cycle
        spectrum = np.abs(np.fft.rfft(np.cos(2 * np.pi * h * t / c.npoint)))
        assert np.argmax(spectrum) == h and c.npoint / h >= 3, (name, h)
    assert aliasing_warning(c.nfunc, c.npoint) is None
    assert 1 <= c.nwin * c.days <= 31  # the envelope spans weeks, not months


@pytest.mark.parametrize("nfunc,npoint,words", [
    (6, 12, ["harmonic 6 has 2 steps per cycle", "largest safe NFUNC is 4"]),
    (6, 23, ["harmonic 12 has 1.92 steps", "largest safe NFUNC is 5"]),
    (7, 46, ["position 7 is harmonic 0", "largest safe NFUNC is 6"]),
])
def test_aliasing_warning_names_the_harmonic_and_the_safe_nfunc(nfunc, npoint, words):
    text = aliasing_warning(nfunc, npoint)
    assert "\n" not in text and all(w in text for w in words), text


@pytest.mark.parametrize("values,nodata,valid", [
    (np.array([0, 100, 250, -9], np.int16), -9, [1, 1, 1, 0]),
    (np.array([0.0, 0.5, np.nan, 0.25], np.float32), None, [1, 1, 0, 1]),
    (np.ma.masked_array(np.array([3, 7, 255, 0], np.uint8), [0, 1, 0, 0]), 255, [1, 0, 0, 1]),
])
def test_index_to_counts_with_nodata(values, nodata, valid):
    samples, ok = index_to_counts(values, 40.0, 10.0, nodata)
    raw = np.ma.getdata(values).astype(np.float64)
    want = np.where(valid, np.floor(raw * 40.0 + 10.0 + 0.5), 0)
    assert samples.dtype == np.int16 and (samples == want).all() and (ok == valid).all()
    # CF decoding of the counts gives the index back to within half a count
    d = decoding(40.0, 10.0)
    back = samples * d["scale_factor"] + d["add_offset"]
    assert np.allclose(back[ok], raw[ok], atol=0.5 / 40)
