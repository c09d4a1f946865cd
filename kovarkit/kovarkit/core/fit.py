"""The kovarind engine on numpy arrays: ``kovarkit.fit``.

The fit itself runs in the compiled extension ``kovarkit._engine``, which
links the same core library as the programs; this module checks the
arguments, brings the samples into one contiguous int16 block and gives the
products their leading shape back.
"""

import operator
import os
from typing import NamedTuple, Optional

import numpy as np

try:
    from .. import _engine
except ImportError as _err:  # the module is built by CMake (make build)
    _engine = None
    _ENGINE_ERROR = _err

MAX_SAMPLE = 32767
MAX_MASK = 255

# The control keywords of kovarkit.fit with their defaults (tcld=None: the
# control-file reader's default, 0.15 in single precision).
CONTROL_DEFAULTS = dict(nfunc=6, npoint=46, excluded=(), nwin=3, intp=0, mmsw=1, tcld=None,
                        fitsw=1, fitmd=0)
_INT32_KEYS = ("nfunc", "npoint", "nwin", "intp", "mmsw")
_INT8_KEYS = ("fitsw", "fitmd")


class Products(NamedTuple):
    """What kovarind writes for each pixel, with the pixels' leading shape.

    p: float32 (..., 2*nfunc+2): constant, trend, then amplitude and phase
    (radians) of each harmonic, in model units (1.0 = 4096 counts).
    f: int16 (..., ndat): final fitted series in counts (saturated).
    i: int16 (..., ndat): first-pass fit when intp == 1, else None.
    order: uint8: order value of the final fit, 255 for a failed fit.
    aic: float32: criterion, 0.0 when its magnitude exceeds 1e8.
    min, max: int16: smallest and largest fitted value in counts.
    """
    p: np.ndarray
    f: np.ndarray
    i: Optional[np.ndarray]
    order: np.ndarray
    aic: np.ndarray
    min: np.ndarray
    max: np.ndarray


def engine():
    """The compiled extension, or ImportError saying how to build it."""
    if _engine is None:
        raise ImportError(f"kovarkit._engine is not built ({_ENGINE_ERROR}); run 'make build' "
                          "in the clone, or install kovarkit with pip") from _ENGINE_ERROR
    return _engine


def memory_available():
    """(bytes, what sets it): the memory this process can get, counted as the
    programs count it: the smallest of physical memory and swap, the
    address-space and data-size limits and the memory limits of its cgroup
    and of every ancestor group. KOVARIND_CGROUP_ROOT, for tests, reads the
    cgroup files below a prepared directory."""
    have, source = engine().memory_available(os.environ.get("KOVARIND_CGROUP_ROOT", ""))
    return have, source


def default_threads():
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _integer(name, value, lo, hi, what):
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name}: expected an integer, got {value!r}")
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError(f"{name}: expected an integer, got {type(value).__name__} "
                        f"{value!r}") from None
    if not lo <= v <= hi:
        raise ValueError(f"{name}: {name.upper()} = {v} is outside the {what} {lo}..{hi}")
    return v


def control_values(ndat=None, mask=False, **control):
    """The control keywords checked for type and width and, with ndat given,
    against the reader's limits; returns the complete dict (defaults filled
    in, excluded as a tuple of ints, tcld a float or None)."""
    unknown = set(control) - set(CONTROL_DEFAULTS)
    if unknown:
        raise TypeError(f"unknown control keyword(s): {', '.join(sorted(unknown))} "
                        f"(known: {', '.join(CONTROL_DEFAULTS)})")
    c = dict(CONTROL_DEFAULTS, **control)
    for k in _INT32_KEYS:
        c[k] = _integer(k, c[k], -2**31, 2**31 - 1, "32-bit range")
    for k in _INT8_KEYS:
        c[k] = _integer(k, c[k], -128, 127, "one-byte range")
    tcld = c["tcld"]
    if tcld is not None:
        if isinstance(tcld, (bool, np.bool_)) or not isinstance(tcld, (int, float, np.integer,
                                                                      np.floating)):
            raise TypeError(f"tcld: expected a number or None, got {tcld!r}")
        try:
            tcld = float(tcld)
        except OverflowError:
            tcld = float("inf")
        if not np.isfinite(tcld):
            raise ValueError(f"tcld: TCLD = {tcld} is not a finite number")
        c["tcld"] = tcld
    ex = c["excluded"]
    if isinstance(ex, (str, bytes)) or not hasattr(ex, "__iter__"):
        raise TypeError(f"excluded: expected a sequence of time steps, got {ex!r}")
    c["excluded"] = tuple(_integer("excluded", t, -2**31, 2**31 - 1, "32-bit range")
                          for t in ex)
    if ndat is not None:
        engine().check_control(ndat=ndat, mask=bool(mask), **c)
    return c


_WANT = {"samples": "bring the values into counts 0..32767 first",
         "mask": "give mask values 0..255, 1 marking a usable sample (e.g. valid.astype('uint8'))"}


def _checked_array(name, a, lo, hi, shape=None):
    if not isinstance(a, np.ndarray):
        raise TypeError(f"{name}: expected a numpy array, got {type(a).__name__}"
                        + (" (use kovarkit.xarray.fit for xarray objects)"
                           if type(a).__module__.startswith(("xarray", "dask")) else ""))
    if a.dtype.kind not in "iu":
        raise ValueError(f"{name}: dtype {a.dtype} is not an integer type; {_WANT[name]} "
                         "(no value is cast or clipped)")
    if shape is not None and a.shape != shape:
        raise ValueError(f"{name}: shape {a.shape} differs from the samples' {shape}")
    if a.size:
        amin, amax = int(a.min()), int(a.max())
        if amin < lo or amax > hi:
            bad = amin if amin < lo else amax
            pos = np.unravel_index(np.argmax(a == bad), a.shape)
            raise ValueError(f"{name}: value {bad} at index {tuple(int(x) for x in pos)} "
                             f"is outside {lo}..{hi}")
    return a


def fit(samples, mask=None, *, threads=None, **control):
    """Fit every pixel of ``samples`` exactly as kovarind does.

    samples: integer array (..., ndat), time last, values 0..32767.
    mask: None (MASK = 0: residual screening), or an integer array of the
    same shape with values 0..255 as in mask.bsq (MASK = 1; 1 marks a usable
    sample).
    Control keywords, as the control file's keys (npoint=46 is also what the
    fixed-period program uses): nfunc=6, npoint=46,
    excluded=() (the NDEF records: 1-based steps, those outside 1..ndat
    skipped), nwin=3, intp=0, mmsw=1, tcld=None, fitsw=1, fitmd=0.
    tcld=None is the control-file reader's default, 0.15 in single
    precision (0.15000000596046448); a number given is used as that double,
    exactly as the same number written in cntl.dat.
    threads: worker threads (None: every core); the results do not depend
    on it.
    Returns Products. Bad input raises ValueError or TypeError naming the
    argument.
    """
    samples = _checked_array("samples", samples, 0, MAX_SAMPLE)
    if samples.ndim == 0:
        raise ValueError("samples: a scalar; expected an array (..., ndat) with time last")
    if mask is not None:
        mask = _checked_array("mask", mask, 0, MAX_MASK, samples.shape)
    if threads is None:
        threads = default_threads()
    else:
        threads = _integer("threads", threads, 1, 4096, "range")
    ndat = samples.shape[-1]
    c = control_values(ndat, mask is not None, **control)
    lead = samples.shape[:-1]
    block = np.ascontiguousarray(samples.reshape(-1, ndat), dtype=np.int16)
    mblock = None if mask is None else np.ascontiguousarray(mask.reshape(-1, ndat),
                                                            dtype=np.int16)
    out = engine().fit_block(block, mblock, threads=threads, **c)
    p, f, i, order, aic, kmin, kmax = out
    return Products(p.reshape(lead + p.shape[1:]), f.reshape(lead + (ndat,)),
                    None if i is None else i.reshape(lead + (ndat,)),
                    order.reshape(lead), aic.reshape(lead), kmin.reshape(lead),
                    kmax.reshape(lead))

