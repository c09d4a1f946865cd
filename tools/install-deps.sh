#!/bin/sh
# Installs every Debian package that the build, the tests and the companion
# toolkit need, and only what is missing. When everything is installed it
# does nothing (no apt-get update); the check is one dpkg-query call.
#   --hardening  also the compilers and tools of the hardening targets
#                (clang and its runtime libraries, valgrind)
set -eu

PACKAGES="g++ cmake ninja-build libgtest-dev libbenchmark-dev
openmpi-bin libopenmpi-dev
python3-numpy python3-matplotlib python3-rasterio python3-gdal gdal-bin python3-pytest
python3-dev pybind11-dev python3-pybind11 python3-xarray python3-dask python3-distributed
python3-rioxarray python3-netcdf4 python3-zarr python3-tqdm python3-setuptools
python3-psutil python3-hypothesis python3-h5py"
HARDENING="clang libclang-rt-dev valgrind"

me=tools/install-deps.sh
case "${1:-}" in
  --hardening) PACKAGES="$PACKAGES $HARDENING" ;;
  "") ;;
  *) echo "$me: unknown option '$1'; expected --hardening or nothing" >&2; exit 2 ;;
esac
PACKAGES=$(echo $PACKAGES)

if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "$me: not a Debian system; make sure these (or their equivalents) are installed: $PACKAGES" >&2
    exit 0
fi

installed=$(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' $PACKAGES 2>/dev/null |
            awk '$2 ~ /^ii/ { print $1 }')
missing=
for p in $PACKAGES; do
    echo "$installed" | grep -qx "$p" || missing="$missing $p"
done
missing=${missing# }
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    SUDO=
elif command -v sudo >/dev/null 2>&1; then
    SUDO=sudo
else
    echo "$me: need root or sudo to install the missing Debian packages: $missing" >&2
    exit 1
fi

echo "$me: installing $missing"
$SUDO apt-get update -qq
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
