// Reader of one image line of a 1-byte band-sequential raster.
#pragma once

#include <cstdint>

#include "rasterio/rasterfile.hpp"
#include "rasterio/status.hpp"

namespace kov {

// As gtbq2f with 1-byte records, each stored as its unsigned value 0..255;
// no value is rejected.
Status gtbq1f(int line, int nline, int npix, int kfirst, int klast,
              std::int16_t* buf, int ldb, const RasterFile& file);

}  // namespace kov
