"""Property-based checks of kovarkit.fit: any array, layout and control
values give either an error naming the argument or the products of a
C-contiguous copy. Bounded in examples, a few seconds in all."""

import numpy as np
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import kovarkit

BOUNDED = settings(max_examples=120, deadline=None, database=None,
                   suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
ARGUMENTS = {"samples", "mask", "threads", "nfunc", "npoint", "excluded", "nwin", "intp",
             "mmsw", "tcld", "fitsw", "fitmd"}
DTYPES = ["int8", "uint8", "int16", "<u2", ">i2", "int32", "uint32", "int64", "uint64",
          "float32", "float64", "bool"]


LAYOUTS = {  # the same values laid out otherwise in memory
    "C": lambda a: a, "fortran": np.asfortranarray, "reversed": lambda a: a[::-1],
    "every other": lambda a: np.repeat(a, 2, axis=0)[::2],
    "broadcast": lambda a: np.broadcast_to(a[:1], a.shape) if len(a) else a}


@st.composite
def fit_arguments(draw):
    shape = draw(hnp.array_shapes(min_dims=1, max_dims=3, min_side=0, max_side=4)) \
        + (draw(st.integers(1, 60)),)
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    hi = 1 if dtype.kind == "b" else 127 if dtype.itemsize == 1 else 1600
    values = st.integers(0, hi) if dtype.kind != "f" else st.floats(0, 1600, width=32)
    samples = draw(hnp.arrays(dtype, shape, elements=values))
    samples = LAYOUTS[draw(st.sampled_from(sorted(LAYOUTS)))](samples)
    mask = draw(st.one_of(
        st.none(),
        hnp.arrays(np.uint8, shape, elements=st.integers(0, 3)),
        hnp.arrays(np.int16, shape, elements=st.integers(-1, 256)),
        hnp.arrays(np.uint8, shape[:-1] + (shape[-1] + 1,))))
    control = draw(st.fixed_dictionaries({}, optional={
        "nfunc": st.integers(-1, 24), "npoint": st.integers(-1, 60),
        "excluded": st.lists(st.integers(-2, 62), max_size=4),
        "nwin": st.integers(-1, 6), "intp": st.integers(0, 2), "mmsw": st.integers(0, 1),
        "tcld": st.one_of(st.none(), st.floats(allow_nan=True, allow_infinity=True)),
        "fitsw": st.integers(0, 1), "fitmd": st.integers(-1, 3),
        "threads": st.integers(0, 3)}))
    return samples, mask, control


@BOUNDED
@given(fit_arguments())
def test_fit_names_the_argument_or_matches_a_contiguous_copy(args):
    samples, mask, control = args
    try:
        got = kovarkit.fit(samples, mask, **control)
    except (ValueError, TypeError) as e:
        assert str(e).split(":")[0] in ARGUMENTS, str(e)
        return
    want = kovarkit.fit(np.ascontiguousarray(samples),
                        None if mask is None else np.ascontiguousarray(mask), **control)
    for name, g, w in zip(got._fields, got, want):
        if w is None:
            assert g is None, name
            continue
        assert g.shape == samples.shape[:-1] + w.shape[samples.ndim - 1:], name
        assert g.dtype == w.dtype and g.tobytes() == w.tobytes(), name


@st.composite
def coefficients(draw):
    nfunc = draw(st.integers(0, 6))
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=2, min_side=0, max_side=5))
    dtype = draw(st.sampled_from([np.float32, np.float64]))
    values = st.one_of(st.floats(-2, 2, width=32), st.just(0.0),
                       st.floats(allow_nan=False, allow_infinity=False, width=32),
                       st.floats(width=32))
    p = draw(hnp.arrays(dtype, shape + (2 * nfunc + 2,), elements=values))
    return LAYOUTS[draw(st.sampled_from(["C", "fortran", "reversed"]))](p), \
        draw(st.integers(2, 30)), draw(st.integers(1, 70))


@BOUNDED
@given(coefficients())
def test_seasons_give_all_metrics_or_none(args):
    # A season has every metric or none, as its quality says: 0 or 4 all
    # finite, 1 (no model: coefficients not finite, all zero or beyond single
    # precision) or 2 (no season) none; never an infinite one.
    p, npoint, ndat = args
    m = kovarkit.seasons(p, npoint=npoint, ndat=ndat, max_seasons=1 + ndat % 2)
    shape = p.shape[:-1] + ((ndat // npoint) * (1 + ndat % 2),)
    values = np.stack(m[:-1])
    assert all(a.shape == shape for a in m)
    assert values.dtype == np.float32 and m.quality.dtype == np.uint8
    complete = np.isin(m.quality, (0, 4))
    assert np.isfinite(values[:, complete]).all() and np.isnan(values[:, ~complete]).all()
    usable = (np.isfinite(p).all(-1) & (p != 0).any(-1))[..., None]
    modest = (np.abs(p) < 1e6).all(-1)[..., None]
    no_model = m.quality == 1
    assert (no_model >= ~usable).all() and (no_model <= ~(usable & modest)).all()
