"""Cubes as they come from the field, written with netCDF4 the way data
centres write them: CF time encoding, latitude ascending (south first),
float values with NaN or a fill value over the sea, units, several
variables in one file.  The tests and `make bench` share them."""

import numpy as np

SEA = (slice(0, 6), slice(60, None))  # the south-east corner: no sample at all


def _grid(root, height, width, lat0, lon0, step, names):
    """Latitude (ascending) and longitude coordinate variables at cell centres."""
    lat_name, lon_name = names
    root.createDimension(lat_name, height)
    root.createDimension(lon_name, width)
    lat = root.createVariable(lat_name, "f8", (lat_name,))
    lat.setncatts(dict(standard_name="latitude", long_name="latitude", units="degrees_north",
                       axis="Y"))
    lat[:] = lat0 + step * (np.arange(height) + 0.5)
    lon = root.createVariable(lon_name, "f8", (lon_name,))
    lon.setncatts(dict(standard_name="longitude", long_name="longitude", units="degrees_east",
                       axis="X"))
    lon[:] = lon0 + step * (np.arange(width) + 0.5)


def _time(root, days, units, calendar="standard"):
    root.createDimension("time", None)  # unlimited, as appended in production
    t = root.createVariable("time", "f8", ("time",))
    t.setncatts(dict(standard_name="time", long_name="time", units=units, calendar=calendar,
                     axis="T"))
    t[:] = days


def monthly_observations(path, height=33, width=81, year=2020, seed=0, months=False):
    """A CF-1.0 file of gridded monthly station interpolations: `tas` (degC,
    NaN over the sea) and `pr` (mm/month, fill value -9999 over the sea),
    12 steps dated at mid-month, latitude ascending from 34.0 N by 0.25
    degrees, longitude from -10.0 E.  Returns (tas, pr) as written,
    (time, latitude, longitude), south first. months: time in "months since",
    which no calendar date follows (xarray leaves it undecoded)."""
    import netCDF4
    rng = np.random.default_rng(seed)
    month = np.arange(12)
    mid = np.array([np.datetime64(f"{year}-{m + 1:02d}-15") for m in month])
    days = (mid - np.datetime64("1900-01-01")).astype(float)
    lat = np.arange(height)[None, :, None]
    season = np.sin(2 * np.pi * (month[:, None, None] - 3.5) / 12)
    tas = 15.0 + 8.0 * season - 0.12 * lat + rng.normal(0, 0.4, (12, height, width))
    pr = np.clip(60.0 - 45.0 * season + rng.normal(0, 8, (12, height, width)), 0, None)
    tas, pr = tas.astype(np.float32), pr.astype(np.float32)
    tas[(slice(None),) + SEA] = np.nan
    with netCDF4.Dataset(path, "w", format="NETCDF3_CLASSIC") as root:
        root.setncatts(dict(Conventions="CF-1.0", title="monthly gridded observations",
                            institution="kovarkit test cubes"))
        if months:
            _time(root, month + 0.5, f"months since {year}-01-01", "gregorian")
        else:
            _time(root, days, "days since 1900-01-01 00:00:00", "gregorian")
        _grid(root, height, width, 34.0, -10.0, 0.25, ("latitude", "longitude"))
        dims = ("time", "latitude", "longitude")
        v = root.createVariable("tas", "f4", dims)
        v.setncatts(dict(standard_name="air_temperature", long_name="near-surface air "
                         "temperature", units="degC", cell_methods="time: mean"))
        v[:] = tas
        v = root.createVariable("pr", "f4", dims, fill_value=np.float32(-9999.0))
        v.setncatts(dict(standard_name="precipitation_amount", long_name="precipitation",
                         units="mm", cell_methods="time: sum"))
        v[:] = np.ma.masked_invalid(np.where(np.isnan(tas), np.nan, pr))
    pr[np.isnan(tas)] = np.nan
    return tas, pr


def vegetation_index(path, days=16, steps=23, height=40, width=30, start="2020-01-01",
                     seed=1, clouds=0.08, lake=True):
    """A float32 vegetation index composite every `days` days (`ndvi`, `evi`
    with _FillValue -3000 and valid_range, and a `qa` byte per step, 0 =
    clear, 1 = cloud), on an ascending lat/lon grid from 45 N, 5 E by
    0.01 degrees, chunked by step as production writes it.  Cloudy samples
    are dark (index 0.05) and flagged in qa; the lake (rows 3..7, columns
    4..9) has no valid sample.  Returns (ndvi, qa) as written, NaN for the
    fill value, (time, lat, lon)."""
    import netCDF4
    rng = np.random.default_rng(seed)
    t = np.arange(steps)
    phase = rng.uniform(-0.5, 0.5, (1, height, width))
    season = np.sin(2 * np.pi * t[:, None, None] * days / 365.25 + phase)
    base = rng.uniform(0.25, 0.45, (1, height, width))
    ndvi = np.clip(base + 0.2 * season + rng.normal(0, 0.015, (steps, height, width)), 0, 1)
    cloudy = rng.random(ndvi.shape) < clouds
    ndvi = np.where(cloudy, 0.05, ndvi).astype(np.float32)
    qa = cloudy.astype(np.uint8)
    if lake:
        ndvi[:, 3:8, 4:10] = np.nan
    evi = np.where(np.isnan(ndvi), np.nan, 0.6 * ndvi).astype(np.float32)
    start_day = np.datetime64(start, "D")
    with netCDF4.Dataset(path, "w", format="NETCDF4") as root:
        root.setncatts(dict(Conventions="CF-1.8", title=f"{days}-day vegetation index "
                            "composites"))
        _time(root, np.arange(steps) * float(days), f"days since {start_day} 00:00:00",
              "proleptic_gregorian")
        _grid(root, height, width, 45.0, 5.0, 0.01, ("lat", "lon"))
        dims = ("time", "lat", "lon")
        chunks = (1, height, width)
        for name, values, long_name in (("ndvi", ndvi, "normalized difference vegetation "
                                         "index"), ("evi", evi, "enhanced vegetation index")):
            v = root.createVariable(name, "f4", dims, fill_value=np.float32(-3000.0),
                                    zlib=True, chunksizes=chunks)
            v.setncatts(dict(long_name=long_name, units="1",
                             valid_range=np.array([-1, 1], np.float32)))
            v[:] = np.ma.masked_invalid(values)
        v = root.createVariable("qa", "u1", dims, zlib=True, chunksizes=chunks)
        v.setncatts(dict(long_name="quality", flag_values=np.array([0, 1], np.uint8),
                         flag_meanings="clear cloud"))
        v[:] = qa
    return ndvi, qa
