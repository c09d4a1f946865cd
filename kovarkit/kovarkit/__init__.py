"""kovarkit: the kovarind engine from Python, and companion tools for scenes.

``kovarkit.fit`` runs the engine on numpy arrays, ``kovarkit.xarray.fit``
on xarray cubes (numpy or Dask backed); the command line builds scenes from
GDAL-readable rasters, fits cubes, writes ENVI headers, exports products and
draws pixel plots and quicklook maps.
"""

__version__ = "0.2.0"

from .core.fit import Products, fit  # noqa: E402,F401
from .core.periods import PeriodProducts, fit_periods  # noqa: E402,F401
from .core.seasons import Seasons, seasons  # noqa: E402,F401


def __getattr__(name):
    # kovarkit.xarray imports xarray; only on first use.
    if name == "xarray":
        import importlib
        return importlib.import_module(".xarray", __name__)
    raise AttributeError(f"module 'kovarkit' has no attribute {name!r}")
