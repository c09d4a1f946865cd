// Writer of one line of the 4-byte float band-sequential product.
#pragma once

#include "rasterio/rasterfile.hpp"
#include "rasterio/status.hpp"

namespace kov {

// Writes bands kfirst..klast of line `line` from buf[(j-1)*ldb + (k-1)],
// each value rounded to single precision (ties to even, overflow to
// infinity, NaN stays NaN), little-endian; one write per band segment.
Status putbsq4(int line, int nline, int npix, int kfirst, int klast,
               const double* buf, int ldb, const RasterFile& file);

}  // namespace kov
