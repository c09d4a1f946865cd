// Criterion product writer: magnitudes above 1e8 (the 9.9e9 of an unscored
// fit among them) are stored as 0.0, everything else as its IEEE single.
#include "rasterio/putdatf.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rasterio/gtbq2f.hpp"

namespace kov {

float aic_single(double v) {
  // NaN compares false and is converted, so it stays NaN.
  if (std::fabs(v) > 1.0e8) return 0.0f;
  return static_cast<float>(v);
}

Status putdatf(int line, int npix, const double* values,
               const RasterFile& file) {
  if (npix <= 0) return Status();
  const std::size_t n = static_cast<std::size_t>(npix);
  std::vector<unsigned char> bytes(4 * n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t u = std::bit_cast<std::uint32_t>(aic_single(values[i]));
    bytes[4 * i] = static_cast<unsigned char>(u);
    bytes[4 * i + 1] = static_cast<unsigned char>(u >> 8);
    bytes[4 * i + 2] = static_cast<unsigned char>(u >> 16);
    bytes[4 * i + 3] = static_cast<unsigned char>(u >> 24);
  }
  const Status st =
      file.write_at(bsq_offset(1, line, 1, npix, 4), bytes.data(), bytes.size());
  if (!st.ok()) return file.located(st, "line " + std::to_string(line));
  return Status();
}

}  // namespace kov
