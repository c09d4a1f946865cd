"""The outputs of `kovarkit fit` read back for the views: a NetCDF file or
Zarr store, or a directory of GeoTIFFs (p.tif, f.tif, ...), each product as
stored (counts, order bytes), north-up, with its NoData value and the run's
attributes (control values, scale, offset, dates)."""

import os

from ..core.products import parameter_descriptions
from ..errors import KitError
from .netcdf import format_of


class FitOutput:
    """name: the output's own file name; products: the names present;
    attrs: control values (kovarind_*), kovarkit_scale, kovarkit_offset."""

    def __init__(self, path):
        self.path = path.rstrip("/")
        self.name = os.path.basename(self.path)
        self.kind = format_of(self.path)
        if self.kind == "gtiff":
            self._tifs = {n: os.path.join(self.path, n + ".tif")
                          for n in ("p", "i", "f", "order", "aic", "min", "max")}
            self._tifs = {n: p for n, p in self._tifs.items() if os.path.isfile(p)}
            if "p" not in self._tifs:
                raise KitError(f"{path}: no p.tif (not a directory of fit products)")
            import rasterio
            with rasterio.open(self._tifs["p"]) as ds:
                self.attrs = ds.tags()
                self.height, self.width = ds.height, ds.width
            self.products = list(self._tifs)
        else:
            from .netcdf import open_dataset
            self.ds = open_dataset(self.path, stored=True)
            self.attrs = dict(self.ds.attrs)
            self.products = [n for n in ("p", "i", "f", "order", "aic", "min", "max")
                             if n in self.ds]
            if "p" not in self.products:
                raise KitError(f"{path}: no variable p (not a fit output)")
            self.height, self.width = self.ds["p"].shape[-2:]

    def _check(self, name):
        if name not in self.products:
            raise KitError(f"{self.path}: no product {name!r} (has {', '.join(self.products)})")

    def bands(self, name):
        """(values (bands, lines, pixels) as stored, NoData value or None)."""
        self._check(name)
        if self.kind == "gtiff":
            import rasterio
            with rasterio.open(self._tifs[name]) as ds:
                return ds.read(), ds.nodata
        v = self.ds[name]
        values = v.values
        return values.reshape((-1,) + values.shape[-2:]), v.attrs.get("_FillValue")

    def units(self, name):
        """The units of a product variable of a dataset, or None."""
        return None if self.kind == "gtiff" else self.ds[name].attrs.get("units")

    def band_names(self, name, count):
        if name == "p":
            return parameter_descriptions((count - 2) // 2)
        if name in ("f", "i"):
            dates = self.dates()
            return tuple(f"time step {t + 1}" + (f": {dates[t]}" if dates else "")
                         for t in range(count))
        return (name,) * count

    def dates(self):
        """ISO dates of the time steps, or None."""
        text = self.attrs.get("kovarkit_dates")
        if text:
            return text.split(",")
        if self.kind != "gtiff" and "f" in self.ds:
            t = self.ds[self.ds["f"].dims[0]].values
            if t.dtype.kind == "M":
                return [str(d)[:10] for d in t]
        return None

    def control(self):
        """The run's control values as the scene tools keep them."""
        from .control import DEFAULTS, Control
        keys = {}
        for k in DEFAULTS:
            v = self.attrs.get(f"kovarind_{k.lower()}")
            if v is not None and k != "NDEF":
                keys[k] = float(v) if k == "TCLD" else int(float(v))
        text = str(self.attrs.get("kovarind_excluded", "") or "")
        excluded = [int(t) for t in text.split(",") if t.strip()]
        ndat = self.bands("f")[0].shape[0]
        return Control(ndat, self.height, self.width, keys, excluded, self.path)
