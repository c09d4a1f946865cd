// Line reader for 1-byte band-sequential rasters: one positioned read per band
// segment, each byte stored as its unsigned value.
#include "rasterio/gtbq1f.hpp"

#include <cstddef>
#include <string>
#include <vector>

#include "rasterio/gtbq2f.hpp"

namespace kov {

Status gtbq1f(int line, int nline, int npix, int kfirst, int klast,
              std::int16_t* buf, int ldb, const RasterFile& file) {
  if (npix <= 0 || kfirst > klast) return Status();
  const std::size_t n = static_cast<std::size_t>(npix);
  const std::ptrdiff_t ld = ldb;
  std::vector<unsigned char> bytes(n);
  for (int k = kfirst; k <= klast; ++k) {
    const std::int64_t offset = bsq_offset(k, line, nline, npix, 1);
    std::size_t got = 0;
    const Status rd = file.read_at(offset, bytes.data(), n, &got);
    if (!rd.ok()) {
      return file.located(rd, "band " + std::to_string(k) + ", line " +
                                  std::to_string(line) + ", pixel " +
                                  std::to_string(got + 1));
    }
    std::int16_t* col = buf + (k - 1);
    for (std::size_t i = 0; i < n; ++i) {
      col[static_cast<std::ptrdiff_t>(i) * ld] =
          static_cast<std::int16_t>(bytes[i]);
    }
  }
  return Status();
}

}  // namespace kov
