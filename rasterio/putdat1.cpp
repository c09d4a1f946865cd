// Order product writer: the low 8 bits of each value, one byte per record.
// A failed write is reported on standard output for the first record that did
// not reach the file; the rest of the line is left out and the run goes on.
#include "rasterio/putdat1.hpp"

#include <cstddef>
#include <vector>

#include "rasterio/gtbq2f.hpp"
#include "rasterio/putdatfail.hpp"

namespace kov {

Status putdat1(int line, int npix, const std::int16_t* values,
               const RasterFile& file) {
  if (npix <= 0) return Status();
  const std::size_t n = static_cast<std::size_t>(npix);
  std::vector<unsigned char> bytes(n);
  for (std::size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<unsigned char>(static_cast<std::uint16_t>(values[i]));
  }
  std::size_t written = 0;
  const Status st = file.write_at(bsq_offset(1, line, 1, npix, 1), bytes.data(),
                                  n, &written);
  if (st.ok()) return Status();
  return putdatfail(line, written + 1, values, st, file);
}

}  // namespace kov
