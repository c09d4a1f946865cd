// Writers of one line of the single-band products: 1-byte order values,
// 2-byte extremes and 4-byte criterion values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rasterio/rasterfile.hpp"
#include "base/status.hpp"

namespace kov {

// Writes the low 8 bits of values[0..npix-1] as records (line-1)*npix + i.
// When a record cannot be written, prints " L i value" on standard output
// for the first record not written, skips the rest of the line and returns
// kWriteReported.
Status write_plane_u8(int line, int npix, const std::int16_t* values,
               const RasterFile& file);

// As write_plane_u8 with the whole 16-bit value in 2 little-endian bytes.
Status write_plane_i16(int line, int npix, const std::int16_t* values,
               const RasterFile& file);

// The stored single of v: 0.0 when |v| > 1e8, else v rounded to single
// (NaN stays NaN).
float criterion_f32(double v);

// Writes criterion_f32(values[i-1]) as records (line-1)*npix + i, little-endian.
Status write_plane_f32(int line, int npix, const double* values,
               const RasterFile& file);

// Prints " L i value" on standard output for record i (1-based), the first of
// line L not written, and returns kWriteReported with the write failure st
// located at that line and pixel.
Status report_failed_record(int line, std::size_t i, const std::int16_t* values,
                  const Status& st, const RasterFile& file);

}  // namespace kov
