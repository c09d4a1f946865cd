// Readers of one image line of a band-sequential raster: 2-byte samples and
// 1-byte mask values.
#pragma once

#include <cstdint>

#include "rasterio/rasterfile.hpp"
#include "base/status.hpp"

namespace kov {

// Byte offset of the first record of band k, line L in a band-sequential file
// of nline x npix records of reclen bytes, in 64-bit arithmetic.
std::int64_t record_offset(int k, int line, int nline, int npix, int reclen);

// Reads line `line` (1-based) of bands kfirst..klast into buf, where buf[(j-1)
// * ldb + (k-1)] receives band k, pixel j; other entries are untouched. One
// read per band segment. Returns kTopBit at the first sample, in reading
// order, whose top bit is set (the sample is stored, later ones are not),
// kShortRead when the file is too short.
Status read_line_i16(int line, int nline, int npix, int kfirst, int klast,
              std::int16_t* buf, int ldb, const RasterFile& file);

// As read_line_i16 with 1-byte records, each stored as its unsigned value 0..255;
// no value is rejected.
Status read_line_u8(int line, int nline, int npix, int kfirst, int klast,
              std::int16_t* buf, int ldb, const RasterFile& file);

}  // namespace kov
