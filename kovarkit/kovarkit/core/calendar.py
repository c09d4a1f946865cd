"""Seasons in dates and index units: kovarkit.seasons with its times turned
into dates along the series' time coordinate and its values into the index.

Dates: peak, start and end become datetime64 (see core.dates), the length
days (end date - start date), the integrals value x days (the integral over
time steps times the season's mean days per step), the rates per day (per
days of the step interval that holds the start or end); year, peak_doy,
start_doy and end_doy are added.  Index units, for counts = floor(scale *
index + offset + 0.5): values (counts - offset) / scale, amplitude, rates
and small integral divided by scale, the large integral (integral - offset
x length) / scale.
"""

import numpy as np

from . import dates
from .seasons import METRICS, seasons

# What the seasons gain from a date axis, beside their metrics.
DATE_METRICS = {"year": ("year", "year of the peak (-1: no season)"),
                "peak_doy": ("days (1 = the first day of the year)", "day of the year of the peak"),
                "start_doy": ("days (1 = the first day of the year)",
                              "day of the year of the start"),
                "end_doy": ("days (1 = the first day of the year)", "day of the year of the end")}
_VALUES = ("peak_value", "left_base", "right_base", "base_value", "start_value", "end_value")
_DIFFERENCES = ("amplitude", "rise_rate", "fall_rate", "small_integral")


def columns(dated, scaled):
    """[(name, dtype, unit, long name)] of the output of dated_seasons."""
    out = []
    for name, (unit, text) in METRICS.items():
        dtype = np.uint8 if name == "quality" else np.float32
        if dated:
            if name.endswith("_time"):
                dtype, unit = np.dtype("datetime64[ns]"), "date"
            unit = {"length": "days"}.get(name, unit.replace("time steps", "days")
                                          .replace("per time step", "per day"))
        if scaled:
            unit = unit.replace("counts", "index units")
        out.append((name, dtype, unit, text))
    if dated:
        out += [(name, np.int16 if name == "year" else np.float32, unit, text)
                for name, (unit, text) in DATE_METRICS.items()]
    return out


def dated_seasons(p, *, time=None, year_start=None, scale=None, offset=0.0, **opts):
    """kovarkit.seasons(p, **opts) as a dict in the order of columns(),
    with dates along time (datetime64, length ndat, or None) and values in
    index units when scale is given."""
    m = seasons(p, **opts)._asdict()
    if time is not None:
        steps = m["length"]
        start_days = dates.days_per_step(m["start_time"], time)
        end_days = dates.days_per_step(m["end_time"], time)
        for name in ("peak_time", "start_time", "end_time"):
            m[name] = dates.step_dates(m[name], time)
        m["length"] = (m["end_time"] - m["start_time"]) / np.timedelta64(1, "D")
        with np.errstate(invalid="ignore", divide="ignore"):
            for name in ("small_integral", "large_integral"):
                m[name] = m[name] * (m["length"] / steps)
        m["rise_rate"] = m["rise_rate"] / start_days
        m["fall_rate"] = m["fall_rate"] / end_days
        m["year"], first = dates.season_years(m["peak_time"], year_start)
        for name in ("peak", "start", "end"):
            m[name + "_doy"] = dates.day_of_year(m[name + "_time"], first)
    if scale is not None:
        for name in _VALUES:
            m[name] = (m[name] - offset) / scale
        for name in _DIFFERENCES:
            m[name] = m[name] / scale
        m["large_integral"] = (m["large_integral"] - offset * m["length"]) / scale
    return {name: np.asarray(m[name]).astype(dtype)
            for name, dtype, _, _ in columns(time is not None, scale is not None)}
