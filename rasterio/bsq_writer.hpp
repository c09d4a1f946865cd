// Writers of one line of a band-sequential product: 4-byte floats and
// saturated 2-byte fitted series.
#pragma once

#include <cstdint>

#include "rasterio/rasterfile.hpp"
#include "base/status.hpp"

namespace kov {

// Writes bands kfirst..klast of line `line` from buf[(j-1)*ldb + (k-1)],
// each value rounded to single precision (ties to even, overflow to
// infinity, NaN stays NaN), little-endian; one write per band segment.
Status write_line_f32(int line, int nline, int npix, int kfirst, int klast,
               const double* buf, int ldb, const RasterFile& file);

// The stored 16-bit value of a fitted value x: y = x*4096 + 0.5 truncated
// toward zero, saturated to -32768..32767; NaN stores 0.
std::int16_t counts_i16(double x);

// Writes bands kfirst..klast of line `line` from buf[(j-1)*ldb + (k-1)] as
// counts_i16 values, little-endian; one write per band segment.
Status write_line_i16(int line, int nline, int npix, int kfirst, int klast,
               const double* buf, int ldb, const RasterFile& file);

}  // namespace kov
