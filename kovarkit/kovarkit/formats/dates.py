"""Dates of the time steps: CF time encoding for NetCDF and Zarr, ISO
strings for GeoTIFF band descriptions and tags, and the --dates option of
GeoTIFF stacks (one ISO date per band, or a start and a step)."""

import re

import numpy as np

from ..errors import KitError


def is_dates(values):
    """True for datetime64 values or cftime dates."""
    a = np.asarray(values)
    return a.dtype.kind == "M" or (a.dtype == object and a.size > 0
                                   and hasattr(a.flat[0], "calendar"))


def iso(values):
    """ISO strings of dates (the day, or the time when it is not midnight)."""
    out = []
    for v in np.asarray(values).ravel():
        if isinstance(v, np.datetime64):
            s = str(v.astype("datetime64[s]"))
        else:
            s = v.isoformat()
        out.append(s[:10] if s.endswith("T00:00:00") else s)
    return out


def cf_encode(values, attrs, encoding):
    """(numbers, attributes) of a time coordinate as CF writes it: dates in
    the source's units and calendar when it had them, else in days since
    1970-01-01; plain numbers as they are with their attributes."""
    a = np.asarray(values)
    keep = {k: v for k, v in attrs.items() if k in ("standard_name", "long_name", "axis")}
    if not is_dates(a):
        keep.update({k: v for k, v in attrs.items() if k in ("units", "calendar")})
        return a, keep
    from xarray.coding.times import encode_cf_datetime
    units = encoding.get("units") or "days since 1970-01-01 00:00:00"
    calendar = encoding.get("calendar")
    try:
        numbers, units, calendar = encode_cf_datetime(a, units, calendar)
    except (ValueError, TypeError, OverflowError):
        numbers, units, calendar = encode_cf_datetime(a, "days since 1970-01-01", calendar)
    keep.update(standard_name="time", units=units, calendar=calendar)
    return np.asarray(numbers), keep


def from_gdal_tags(datasets_bands):
    """Dates of bands that GDAL's netCDF driver read (tags NETCDF_DIM_time of
    each band, time#units and time#calendar of its dataset), as datetime64,
    or None when a band has none."""
    numbers = []
    units = calendar = None
    for ds, b in datasets_bands:
        tags, band = ds.tags(), ds.tags(b)
        if "NETCDF_DIM_time" not in band or "since" not in tags.get("time#units", ""):
            return None
        if units not in (None, tags["time#units"]):
            return None
        units, calendar = tags["time#units"], tags.get("time#calendar", "standard")
        numbers.append(float(band["NETCDF_DIM_time"]))
    try:
        import cftime
        dates = cftime.num2date(numbers, units, calendar, only_use_cftime_datetimes=False,
                                only_use_python_datetimes=True)
        return np.array([np.datetime64(d) for d in dates])
    except Exception:  # no cftime, or dates it cannot convert: steps only
        return None


_STEP = re.compile(r"^(\d+)\s*([DMY]?)$", re.I)


def parse_dates(text, n):
    """--dates: 'D1,D2,...' (n ISO dates) or 'START/STEP' with STEP a number
    of days (16 or 16D), months (1M) or years (1Y); n datetime64[D] values."""
    what = f"--dates {text}"
    try:
        if "/" in text:
            start, step = text.split("/", 1)
            m = _STEP.match(step.strip())
            if not m or int(m.group(1)) < 1:
                raise KitError(f"{what}: expected a step such as 16, 16D, 1M or 1Y")
            k, unit = int(m.group(1)), (m.group(2) or "D").upper()
            t0 = np.datetime64(start.strip(), "D")
            if unit == "D":
                return t0 + k * np.arange(n)
            month0 = t0.astype("datetime64[M]")
            months = month0 + (k * (12 if unit == "Y" else 1)) * np.arange(n)
            return months.astype("datetime64[D]") + (t0 - month0.astype("datetime64[D]"))
        dates = np.array([np.datetime64(d.strip(), "D") for d in text.split(",") if d.strip()])
    except ValueError:
        raise KitError(f"{what}: expected ISO dates such as 2020-01-01,2020-01-17 or a "
                       "start and a step such as 2020-01-01/16") from None
    if len(dates) != n:
        raise KitError(f"{what}: {len(dates)} date(s) for {n} time steps")
    if (np.diff(dates) <= np.timedelta64(0, "D")).any():
        raise KitError(f"{what}: the dates must increase")
    return dates
