// Writer of one line of a 2-byte band-sequential fitted-series product.
#pragma once

#include <cstdint>

#include "rasterio/rasterfile.hpp"
#include "rasterio/status.hpp"

namespace kov {

// The stored 16-bit value of a fitted value x: y = x*4096 + 0.5 truncated
// toward zero, saturated to -32768..32767; NaN stores 0.
std::int16_t scale16(double x);

// Writes bands kfirst..klast of line `line` from buf[(j-1)*ldb + (k-1)] as
// scale16 values, little-endian; one write per band segment.
Status putbsq2(int line, int nline, int npix, int kfirst, int klast,
               const double* buf, int ldb, const RasterFile& file);

}  // namespace kov
