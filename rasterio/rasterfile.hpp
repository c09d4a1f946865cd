// A headerless file of fixed-length records, read and written at 64-bit byte
// offsets with positioned I/O (no shared file position, so several threads
// may use one file). Built with KOVARIND_MPI, the same interface runs on
// MPI-IO: each process opens its own handle, independent of the others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/status.hpp"

#ifdef KOVARIND_MPI
#include <mpi.h>
#endif

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
  // (Inline: the POSIX and the MPI-IO body share it.)
  Status located(const Status& st, const std::string& place) const {
    const std::string prefix = name_ + ": ";
    const bool named = st.msg.compare(0, prefix.size(), prefix) == 0;
    return Status(st.code,
                  prefix + place + ": " + (named ? st.msg.substr(prefix.size()) : st.msg));
  }

  const std::string& name() const { return name_; }

#ifdef KOVARIND_MPI
  bool is_open() const { return fh_ != MPI_FILE_NULL; }

 private:
  MPI_File fh_ = MPI_FILE_NULL;
#else
  bool is_open() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
#endif
  std::string name_;
};

}  // namespace kov
