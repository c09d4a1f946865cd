// Report of a failed record write in the single-band integer writers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rasterio/rasterfile.hpp"
#include "rasterio/status.hpp"

namespace kov {

// Prints " L i value" on standard output for record i (1-based), the first of
// line L not written, and returns kWriteReported with the write failure st
// located at that line and pixel.
Status putdatfail(int line, std::size_t i, const std::int16_t* values,
                  const Status& st, const RasterFile& file);

}  // namespace kov
