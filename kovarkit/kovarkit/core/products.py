"""What the engine writes: the rasters of a scene and the products, their
data types, band names, attributes and parameter names, and the rules that
tell a failed fit from its stored values."""

import os
from dataclasses import dataclass

import numpy as np

from .fit import CONTROL_DEFAULTS, engine

# Harmonic number of each harmonic position 1..6; positions beyond carry 0.
HARMONIC_NUMBERS = (1, 2, 3, 4, 6, 12)

# The products in the order of their files in a scene.
PRODUCTS = ("p", "i", "f", "order", "aic", "min", "max")
DTYPES = {"p": np.float32, "f": np.int16, "i": np.int16, "order": np.uint8,
          "aic": np.float32, "min": np.int16, "max": np.int16}

# Units and conventions carried as attributes of the products.
MODEL_UNITS = "model units: 1.0 = 4096 counts"
VARIABLE_ATTRS = {
    "p": dict(long_name="model parameters: constant, trend, amplitude and phase per harmonic",
              units="model units (counts/4096); phases in radians",
              comment="harmonic k equals amplitude_k * sin(theta_k + phase_k); "
                      "the trend multiplies 0.1 * time step; all 0 for a failed fit"),
    "f": dict(long_name="final fitted series", units="counts",
              comment="saturated to -32768..32767; all 0 for a failed fit"),
    "i": dict(long_name="first-pass fitted series", units="counts",
              comment="saturated to -32768..32767; all 0 with a mask (no first pass)"),
    "order": dict(long_name="order value of the final fit", units="1",
                  comment="255 = failed fit (order value -1); 1 or less is a failed fit"),
    "aic": dict(long_name="information criterion of the final fit", units="1",
                comment="0.0 when its magnitude exceeds 1e8"),
    "min": dict(long_name="smallest value of the final fitted series", units="counts"),
    "max": dict(long_name="largest value of the final fitted series", units="counts"),
}


# NoData of each product for a pixel without any valid sample, in the cube
# path (the batch program fits the zeros of such a pixel): NaN for the
# floats, the smallest int16 for the series and extremes, and an order byte
# no fit gives (order values are -1..23, stored as 255 and 0..23).
NODATA = {"p": np.nan, "f": -32768, "i": -32768, "order": 254, "aic": np.nan,
          "min": -32768, "max": -32768}
# The products in counts, which scale_factor and add_offset turn into the index.
COUNT_PRODUCTS = ("f", "i", "min", "max")


def set_nodata(products, empty):
    """Writes each product's NoData, in place, where empty (the pixels'
    shape) is True; products maps names to arrays (..., bands) or (...)."""
    for n, a in products.items():
        if a is not None:
            a[empty] = NODATA[n]


def variable_attrs(name, scale=1.0, offset=0.0, units=None):
    """Attributes of a product variable with its NoData and, for the counts,
    the CF scale_factor and add_offset that give the index back (S and O of
    sample = floor(S*value + O + 0.5)); units: the index's own."""
    attrs = dict(VARIABLE_ATTRS[name])
    if name in COUNT_PRODUCTS:
        note = "stored in counts, decoded into the index by scale_factor and add_offset"
        attrs.update(scale_factor=1.0 / scale, add_offset=-offset / scale,
                     units=units or ("counts" if (scale, offset) == (1.0, 0.0) else "1"),
                     comment="; ".join(filter(None, (attrs.get("comment"), note))))
    if name == "p":
        attrs["comment"] += (f"; index value of the model = (4096 * model - {offset:g}) / "
                             f"{scale:g}, of an amplitude or trend 4096 * value / {scale:g}")
    return attrs


def harmonic_number(position):
    """Harmonic number (cycles per period) of 1-based harmonic position."""
    return HARMONIC_NUMBERS[position - 1] if 1 <= position <= 6 else 0


def parameter_names(nfunc):
    """Short names of the parameters: constant, trend, amplitude_1, phase_1, ..."""
    names = ["constant", "trend"]
    for k in range(1, nfunc + 1):
        names += [f"amplitude_{k}", f"phase_{k}"]
    return names


def parameter_descriptions(nfunc):
    """Band names of p: the parameters with their harmonic numbers and units."""
    names = ["constant", "trend (per 0.1 time step)"]
    for k in range(1, nfunc + 1):
        n = harmonic_number(k)
        tag = f"harmonic {n}" if k <= 6 else f"position {k} (harmonic 0)"
        names += [f"amplitude {tag}", f"phase {tag} (rad)"]
    return tuple(names)


@dataclass(frozen=True)
class Raster:
    name: str          # file name inside the scene directory
    dtype: str         # numpy dtype, little-endian
    bands: int
    band_names: tuple
    title: str

    @property
    def stem(self):
        return os.path.splitext(self.name)[0]


def rasters(ndat, nfunc):
    """Every raster a scene can hold, in a fixed order, keyed by file name."""
    steps = tuple(f"time step {t}" for t in range(1, ndat + 1))
    items = [
        Raster("data.bsq", "<i2", ndat, steps, "raw samples"),
        Raster("mask.bsq", "u1", ndat, steps, "mask (1 = usable sample)"),
        Raster("p.bsq", "<f4", 2 * nfunc + 2, parameter_descriptions(nfunc),
               "model parameters"),
        Raster("i.bsq", "<i2", ndat, tuple(f"first-pass fit {s}" for s in steps),
               "first-pass fitted series (raw counts)"),
        Raster("f.bsq", "<i2", ndat, tuple(f"fit {s}" for s in steps),
               "fitted series (raw counts)"),
        Raster("order.dat", "u1", 1, ("order value (255 = -1 = failed fit)",),
               "order value"),
        Raster("aic.dat", "<f4", 1, ("criterion (0 = failed or beyond 1e8)",),
               "information criterion"),
        Raster("min.dat", "<i2", 1, ("minimum of fitted series (raw counts)",),
               "minimum of fitted series"),
        Raster("max.dat", "<i2", 1, ("maximum of fitted series (raw counts)",),
               "maximum of fitted series"),
    ]
    return {r.name: r for r in items}


PRODUCT_FILES = ("p.bsq", "i.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat")


def control_attrs(c, masked):
    """The control values of a run (as kovarkit.fit takes them, defaults
    filled in) as attributes kovarind_nfunc, kovarind_npoint, ...,
    kovarind_mask."""
    attrs = {}
    for k in CONTROL_DEFAULTS:
        v = c[k]
        if k == "tcld" and v is None:
            v = engine().TCLD_DEFAULT
        if k == "excluded":
            v = ",".join(str(t) for t in v)
        attrs[f"kovarind_{k}"] = v
    attrs["kovarind_mask"] = int(masked)
    return attrs


def dataset_attrs(c, masked, scale=1.0, offset=0.0):
    """Global attributes of a product dataset: title, conventions, the
    conversion to counts (kovarkit_scale, kovarkit_offset), control values."""
    attrs = {"title": "kovarind products", "conventions": MODEL_UNITS + "; phases in radians; "
             "order 255 = failed fit, 254 = no valid sample; criterion 0.0 beyond 1e8",
             "kovarkit_scale": float(scale), "kovarkit_offset": float(offset)}
    attrs.update(control_attrs(c, masked))
    return attrs


def period_of(attrs):
    """The period (NPOINT) that attributes or tags record, or None."""
    for key in ("npoint", "NPOINT", "kovarind_npoint"):
        v = attrs.get(key)
        if isinstance(v, (str, bytes)):
            v = v.strip()
            if v.isdigit():
                return int(v)
        elif isinstance(v, (int, float, np.integer, np.floating)) and np.isfinite(v) \
                and v == int(v) > 0:
            return int(v)
    return None


def order_values(order_bytes):
    """Order bytes as signed order values (255 -> -1)."""
    return order_bytes.astype(np.int16) - 256 * (order_bytes > 127)


def failed_fits(order_bytes):
    """True where the final fit failed: order value of 1 or less."""
    return order_values(np.asarray(order_bytes)) <= 1


def without_model(order_bytes, aic):
    """True where the products hold no model (series and parameters zero):
    a failed fit, or a criterion stored as 0.0 (exactly zero, or beyond 1e8
    as when no candidate model could be scored)."""
    return failed_fits(order_bytes) | (aic == 0.0)
