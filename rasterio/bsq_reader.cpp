// Line reader for 2-byte band-sequential rasters: one positioned read per band
// segment, samples decoded from little-endian bytes and checked in reading
// order (band by band, pixel by pixel) for the top bit.
#include "rasterio/bsq_reader.hpp"

#include <cstddef>
#include <string>
#include <vector>


namespace kov {

std::int64_t record_offset(int k, int line, int nline, int npix, int reclen) {
  const std::int64_t band_records =
      static_cast<std::int64_t>(nline) * static_cast<std::int64_t>(npix);
  const std::int64_t first_record =
      static_cast<std::int64_t>(k - 1) * band_records +
      static_cast<std::int64_t>(line - 1) * static_cast<std::int64_t>(npix);
  return first_record * static_cast<std::int64_t>(reclen);
}

Status read_line_i16(int line, int nline, int npix, int kfirst, int klast,
              std::int16_t* buf, int ldb, const RasterFile& file) {
  if (npix <= 0 || kfirst > klast) return Status();
  const std::size_t n = static_cast<std::size_t>(npix);
  const std::ptrdiff_t ld = ldb;
  std::vector<unsigned char> bytes(2 * n);
  const std::string& name = file.name();
  for (int k = kfirst; k <= klast; ++k) {
    const std::int64_t offset = record_offset(k, line, nline, npix, 2);
    std::size_t got = 0;
    const Status rd = file.read_at(offset, bytes.data(), bytes.size(), &got);
    // Samples that arrived before a short read still come first in reading
    // order, so a top bit among them wins over the end of the file.
    const std::size_t complete = rd.ok() ? n : got / 2;
    std::int16_t* col = buf + (k - 1);
    for (std::size_t i = 0; i < complete; ++i) {
      const unsigned u = static_cast<unsigned>(bytes[2 * i]) |
                         static_cast<unsigned>(bytes[2 * i + 1]) << 8;
      col[static_cast<std::ptrdiff_t>(i) * ld] = static_cast<std::int16_t>(u);
      if (u & 0x8000u) {
        return Status(Code::kTopBit,
                      name + ": band " + std::to_string(k) + ", line " +
                          std::to_string(line) + ", pixel " +
                          std::to_string(i + 1) + ": sample " +
                          std::to_string(u) +
                          " has its top bit set, expected 0..32767");
      }
    }
    if (!rd.ok()) {
      return file.located(rd, "band " + std::to_string(k) + ", line " +
                                  std::to_string(line) + ", pixel " +
                                  std::to_string(got / 2 + 1));
    }
  }
  return Status();
}

Status read_line_u8(int line, int nline, int npix, int kfirst, int klast,
              std::int16_t* buf, int ldb, const RasterFile& file) {
  if (npix <= 0 || kfirst > klast) return Status();
  const std::size_t n = static_cast<std::size_t>(npix);
  const std::ptrdiff_t ld = ldb;
  std::vector<unsigned char> bytes(n);
  for (int k = kfirst; k <= klast; ++k) {
    const std::int64_t offset = record_offset(k, line, nline, npix, 1);
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
