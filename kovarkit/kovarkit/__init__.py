"""kovarkit: companion tools for kovarind scenes.

Builds scenes from GDAL-readable rasters, writes ENVI headers for the
headerless products, exports them as GeoTIFFs and draws pixel plots and
quicklook maps.
"""

__version__ = "0.1.0"

from .seasons import Seasons, seasons  # noqa: E402,F401  (kovarkit.seasons(p, ...))
