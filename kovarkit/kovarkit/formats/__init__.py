"""File formats: scenes and control files, GeoTIFF, NetCDF and Zarr, georeferencing,
sources of cubes and the block rule; on top of kovarkit.core."""
