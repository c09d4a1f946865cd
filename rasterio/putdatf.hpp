// Writer of one line of the 4-byte float single-band product.
#pragma once

#include "rasterio/rasterfile.hpp"
#include "rasterio/status.hpp"

namespace kov {

// The stored single of v: 0.0 when |v| > 1e8, else v rounded to single
// (NaN stays NaN).
float aic_single(double v);

// Writes aic_single(values[i-1]) as records (line-1)*npix + i, little-endian.
Status putdatf(int line, int npix, const double* values,
               const RasterFile& file);

}  // namespace kov
