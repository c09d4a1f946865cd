// Extreme-value product writer: each 16-bit value as two little-endian bytes.
// A failed write is reported on standard output for the first record that did
// not reach the file completely; the rest of the line is left out.
#include "rasterio/putdat2.hpp"

#include <cstddef>
#include <vector>

#include "rasterio/gtbq2f.hpp"
#include "rasterio/putdatfail.hpp"

namespace kov {

Status putdat2(int line, int npix, const std::int16_t* values,
               const RasterFile& file) {
  if (npix <= 0) return Status();
  const std::size_t n = static_cast<std::size_t>(npix);
  std::vector<unsigned char> bytes(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto u = static_cast<std::uint16_t>(values[i]);
    bytes[2 * i] = static_cast<unsigned char>(u);
    bytes[2 * i + 1] = static_cast<unsigned char>(u >> 8);
  }
  std::size_t written = 0;
  const Status st = file.write_at(bsq_offset(1, line, 1, npix, 2), bytes.data(),
                                  bytes.size(), &written);
  if (st.ok()) return Status();
  return putdatfail(line, written / 2 + 1, values, st, file);
}

}  // namespace kov
