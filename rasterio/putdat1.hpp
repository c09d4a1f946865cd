// Writer of one line of the 1-byte single-band product.
#pragma once

#include <cstdint>

#include "rasterio/rasterfile.hpp"
#include "rasterio/status.hpp"

namespace kov {

// Writes the low 8 bits of values[0..npix-1] as records (line-1)*npix + i.
// When a record cannot be written, prints " L i value" on standard output
// for the first record not written, skips the rest of the line and returns
// kWriteReported.
Status putdat1(int line, int npix, const std::int16_t* values,
               const RasterFile& file);

}  // namespace kov
