// Order product writer: the low 8 bits of each value, one byte per record.
// A failed write is reported on standard output for the first record that did
// not reach the file; the rest of the line is left out and the run goes on.
#include "rasterio/plane_writer.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "rasterio/bsq_reader.hpp"

namespace kov {

Status write_plane_u8(int line, int npix, const std::int16_t* values,
               const RasterFile& file) {
  if (npix <= 0) return Status();
  const std::size_t n = static_cast<std::size_t>(npix);
  std::vector<unsigned char> bytes(n);
  for (std::size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<unsigned char>(static_cast<std::uint16_t>(values[i]));
  }
  std::size_t written = 0;
  const Status st = file.write_at(record_offset(1, line, 1, npix, 1), bytes.data(),
                                  n, &written);
  if (st.ok()) return Status();
  return report_failed_record(line, written + 1, values, st, file);
}

Status write_plane_i16(int line, int npix, const std::int16_t* values,
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
  const Status st = file.write_at(record_offset(1, line, 1, npix, 2), bytes.data(),
                                  bytes.size(), &written);
  if (st.ok()) return Status();
  return report_failed_record(line, written / 2 + 1, values, st, file);
}

float criterion_f32(double v) {
  // NaN compares false and is converted, so it stays NaN.
  if (std::fabs(v) > 1.0e8) return 0.0f;
  return static_cast<float>(v);
}

Status write_plane_f32(int line, int npix, const double* values,
               const RasterFile& file) {
  if (npix <= 0) return Status();
  const std::size_t n = static_cast<std::size_t>(npix);
  std::vector<unsigned char> bytes(4 * n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t u = std::bit_cast<std::uint32_t>(criterion_f32(values[i]));
    bytes[4 * i] = static_cast<unsigned char>(u);
    bytes[4 * i + 1] = static_cast<unsigned char>(u >> 8);
    bytes[4 * i + 2] = static_cast<unsigned char>(u >> 16);
    bytes[4 * i + 3] = static_cast<unsigned char>(u >> 24);
  }
  const Status st =
      file.write_at(record_offset(1, line, 1, npix, 4), bytes.data(), bytes.size());
  if (!st.ok()) return file.located(st, "line " + std::to_string(line));
  return Status();
}

Status report_failed_record(int line, std::size_t i, const std::int16_t* values,
                  const Status& st, const RasterFile& file) {
  std::printf(" %d %zu %d\n", line, i, static_cast<int>(values[i - 1]));
  std::fflush(stdout);
  const Status where = file.located(
      st, "line " + std::to_string(line) + ", pixel " + std::to_string(i));
  return Status(Code::kWriteReported,
                where.msg + "; the rest of the line is not written");
}

}  // namespace kov
