// Parameter product writer: each value rounded once to IEEE single (the
// conversion rounds to nearest, ties to even, overflows to infinity and keeps
// NaN) and stored as its four little-endian bytes.
#include "rasterio/bsq_writer.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rasterio/bsq_reader.hpp"

namespace kov {

Status write_line_f32(int line, int nline, int npix, int kfirst, int klast,
               const double* buf, int ldb, const RasterFile& file) {
  if (npix <= 0 || kfirst > klast) return Status();
  const std::size_t n = static_cast<std::size_t>(npix);
  const std::ptrdiff_t ld = ldb;
  std::vector<unsigned char> bytes(4 * n);
  for (int k = kfirst; k <= klast; ++k) {
    const double* col = buf + (k - 1);
    for (std::size_t i = 0; i < n; ++i) {
      const float v = static_cast<float>(col[static_cast<std::ptrdiff_t>(i) * ld]);
      const std::uint32_t u = std::bit_cast<std::uint32_t>(v);
      bytes[4 * i] = static_cast<unsigned char>(u);
      bytes[4 * i + 1] = static_cast<unsigned char>(u >> 8);
      bytes[4 * i + 2] = static_cast<unsigned char>(u >> 16);
      bytes[4 * i + 3] = static_cast<unsigned char>(u >> 24);
    }
    const Status st =
        file.write_at(record_offset(k, line, nline, npix, 4), bytes.data(), bytes.size());
    if (!st.ok()) {
      return file.located(st, "band " + std::to_string(k) + ", line " +
                                  std::to_string(line));
    }
  }
  return Status();
}

std::int16_t counts_i16(double x) {
  const double y = x * 4096.0 + 0.5;
  if (y != y) return 0;
  // trunc(y) > 32767 exactly when y >= 32768, and trunc(y) < -32768 exactly
  // when y <= -32769; infinities fall on the same sides.
  if (y >= 32768.0) return 32767;
  if (y <= -32769.0) return -32768;
  return static_cast<std::int16_t>(static_cast<int>(y));
}

Status write_line_i16(int line, int nline, int npix, int kfirst, int klast,
               const double* buf, int ldb, const RasterFile& file) {
  if (npix <= 0 || kfirst > klast) return Status();
  const std::size_t n = static_cast<std::size_t>(npix);
  const std::ptrdiff_t ld = ldb;
  std::vector<unsigned char> bytes(2 * n);
  for (int k = kfirst; k <= klast; ++k) {
    const double* col = buf + (k - 1);
    for (std::size_t i = 0; i < n; ++i) {
      const auto u = static_cast<std::uint16_t>(
          counts_i16(col[static_cast<std::ptrdiff_t>(i) * ld]));
      bytes[2 * i] = static_cast<unsigned char>(u);
      bytes[2 * i + 1] = static_cast<unsigned char>(u >> 8);
    }
    const Status st =
        file.write_at(record_offset(k, line, nline, npix, 2), bytes.data(), bytes.size());
    if (!st.ok()) {
      return file.located(st, "band " + std::to_string(k) + ", line " +
                                  std::to_string(line));
    }
  }
  return Status();
}

}  // namespace kov
