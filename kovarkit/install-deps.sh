#!/bin/sh
# Installs the Debian packages kovarkit needs, only when something is missing.
# Idempotent: when /usr/bin/python3 already imports every module it needs, the
# pybind11 headers are there and gdalinfo is on PATH, it does nothing (no
# apt-get update).
set -eu

PACKAGES="python3-numpy python3-matplotlib python3-rasterio python3-gdal gdal-bin python3-pytest
  python3-dev pybind11-dev python3-pybind11 python3-setuptools python3-xarray python3-dask
  python3-distributed python3-rioxarray python3-netcdf4 python3-zarr python3-tqdm python3-psutil"
MODULES="numpy, matplotlib, rasterio, pytest, pybind11, setuptools, xarray, dask, distributed, rioxarray, netCDF4, zarr, tqdm"

if [ -x /usr/bin/python3 ] &&
   /usr/bin/python3 -c "import $MODULES" >/dev/null 2>&1 &&
   [ -f /usr/include/pybind11/pybind11.h ] &&
   command -v gdalinfo >/dev/null 2>&1; then
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    SUDO=
elif command -v sudo >/dev/null 2>&1; then
    SUDO=sudo
else
    echo "kovarkit/install-deps.sh: need root (or sudo) to install: $PACKAGES" >&2
    exit 1
fi

echo "kovarkit/install-deps.sh: installing $PACKAGES"
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y $PACKAGES
/usr/bin/python3 -c "import $MODULES"
