// A headerless file of fixed-length records, read and written at 64-bit byte
// offsets with positioned I/O (no shared file position, so several threads
// may use one file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "rasterio/status.hpp"

namespace kov {

class RasterFile {
 public:
  RasterFile() = default;
  ~RasterFile();
  RasterFile(const RasterFile&) = delete;
  RasterFile& operator=(const RasterFile&) = delete;
  RasterFile(RasterFile&& o) noexcept;
  RasterFile& operator=(RasterFile&& o) noexcept;

  // Opens an existing file for reading; a missing file is an error and is
  // never created.
  Status open_input(const std::string& name);
  // Opens a product for update, creating it when absent; never truncates.
  Status open_product(const std::string& name);

  // Reads exactly n bytes at offset; a short file gives kShortRead. Sets *got
  // (when given) to the bytes read before the end of the file or a failure.
  Status read_at(std::int64_t offset, void* buf, std::size_t n,
                 std::size_t* got = nullptr) const;
  // Writes n bytes at offset; sets *written (when given) to the bytes that
  // reached the file before a failure.
  Status write_at(std::int64_t offset, const void* buf, std::size_t n,
                  std::size_t* written = nullptr) const;
  // Closes the file, reporting a failure that buffering revealed late.
  Status close();
  // Returns st with `place` (say "band 2, line 3") inserted after the file
  // name that begins every message of this file.
  Status located(const Status& st, const std::string& place) const;

  bool is_open() const { return fd_ >= 0; }
  const std::string& name() const { return name_; }

 private:
  int fd_ = -1;
  std::string name_;
};

}  // namespace kov
