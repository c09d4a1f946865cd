// Writer of one line of a 2-byte single-band product.
#pragma once

#include <cstdint>

#include "rasterio/rasterfile.hpp"
#include "rasterio/status.hpp"

namespace kov {

// As putdat1 with the whole 16-bit value in 2 little-endian bytes.
Status putdat2(int line, int npix, const std::int16_t* values,
               const RasterFile& file);

}  // namespace kov
