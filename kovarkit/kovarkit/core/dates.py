"""Time steps to datetime64, days, years and days of the year along a
series' time coordinate.

A fractional time step t (1 = the first step) is the date interpolated
linearly between the dates of the steps around it, and extrapolated with
the first or the last interval beyond the ends of the series.
"""

import numpy as np

DAY_NS = 86400e9



def _ns(time):
    time = np.asarray(time, "datetime64[ns]")
    if time.ndim != 1 or time.size < 2 or np.isnat(time).any():
        raise ValueError("time: expected at least two dates, none missing")
    ns = time.astype(np.int64).astype(np.float64)
    if (np.diff(ns) <= 0).any():
        raise ValueError("time: the dates must increase")
    return ns


def _interval(t, n):
    """Index of the interval [i, i+1] (0-based steps) used for step t."""
    i = np.floor(np.nan_to_num(t, nan=1.0)) - 1
    return np.clip(i, 0, n - 2).astype(np.int64)


def step_dates(t, time):
    """datetime64[ns] of fractional time steps t (NaN gives NaT)."""
    ns = _ns(time)
    t = np.asarray(t, np.float64)
    i = _interval(t, ns.size)
    x = ns[i] + (t - 1 - i) * (ns[i + 1] - ns[i])
    out = np.where(np.isfinite(t), x, 0).astype(np.int64).astype("datetime64[ns]")
    return np.where(np.isfinite(t), out, np.datetime64("NaT"))


def days_per_step(t, time):
    """Days per time step of the interval that holds step t."""
    ns = _ns(time)
    i = _interval(np.asarray(t, np.float64), ns.size)
    return (ns[i + 1] - ns[i]) / DAY_NS


def year_start_of(year_start):
    """(month, day) of year_start "MM-DD" (None: January 1)."""
    if year_start is None:
        return 1, 1
    try:
        month, day = (int(x) for x in str(year_start).split("-"))
        np.datetime64(f"2001-{month:02d}-{day:02d}")
    except ValueError:
        raise ValueError(f"year_start = {year_start!r}: expected a day of the year as MM-DD, "
                         "e.g. 07-01") from None
    return month, day


def _first_days(years, month, day):
    """datetime64[D] of month-day in each of years (int array)."""
    base = (years - 1970).astype("datetime64[Y]").astype("datetime64[M]")
    days = base + (month - 1)
    return days.astype("datetime64[D]") + (day - 1)


def season_years(dates, year_start=None):
    """(year int16, first day datetime64[D]) of the years that hold dates:
    the calendar year, or with year_start "MM-DD" the year that begins on
    that day.  NaT gives year -1 and NaT."""
    month, day = year_start_of(year_start)
    dates = np.asarray(dates, "datetime64[ns]")
    ok = ~np.isnat(dates)
    cal = np.where(ok, dates, np.datetime64(0, "ns")).astype("datetime64[Y]").astype(
        np.int64) + 1970
    year = np.where(_first_days(cal, month, day) > dates.astype("datetime64[D]"), cal - 1, cal)
    first = _first_days(year, month, day)
    return (np.where(ok, year, -1).astype(np.int16),
            np.where(ok, first, np.datetime64("NaT")))


def day_of_year(dates, first):
    """Days from day 1 = first (fractional; below 1 or above 365 outside)."""
    d = (np.asarray(dates, "datetime64[ns]") - np.asarray(first, "datetime64[ns]"))
    return np.where(np.isnat(d), np.nan, d.astype(np.float64) / DAY_NS + 1.0)
