// Positioned record I/O on MPI-IO. Every process opens the file on its own
// (MPI_COMM_SELF), so opening, reading, writing and closing are local calls
// that never wait for another process; the distributed driver alone decides
// where the processes meet. Transfers loop until all bytes have moved, in
// pieces that fit the int count of MPI, so a caller sees either the whole
// transfer or a failure with the exact byte offset where it stopped.
// Messages begin with the file name, as in the POSIX build.
#include "rasterio/rasterfile.hpp"

#include <cstddef>
#include <utility>

namespace kov {

namespace {

constexpr std::size_t kMaxPiece = std::size_t{1} << 30;

std::string describe(int err) {
  char text[MPI_MAX_ERROR_STRING];
  int len = 0;
  if (MPI_Error_string(err, text, &len) != MPI_SUCCESS) return "MPI error";
  return std::string(text, static_cast<std::size_t>(len));
}

}  // namespace

RasterFile::~RasterFile() {
  if (fh_ != MPI_FILE_NULL) MPI_File_close(&fh_);
}

RasterFile::RasterFile(RasterFile&& o) noexcept
    : fh_(std::exchange(o.fh_, MPI_FILE_NULL)), name_(std::move(o.name_)) {}

RasterFile& RasterFile::operator=(RasterFile&& o) noexcept {
  if (this != &o) {
    if (fh_ != MPI_FILE_NULL) MPI_File_close(&fh_);
    fh_ = std::exchange(o.fh_, MPI_FILE_NULL);
    name_ = std::move(o.name_);
  }
  return *this;
}

Status RasterFile::open_input(const std::string& name) {
  if (fh_ != MPI_FILE_NULL) {
    Status st = close();
    if (!st.ok()) return st;
  }
  MPI_File fh = MPI_FILE_NULL;
  const int err = MPI_File_open(MPI_COMM_SELF, name.c_str(), MPI_MODE_RDONLY,
                                MPI_INFO_NULL, &fh);
  if (err != MPI_SUCCESS) {
    return Status(Code::kIo, name + ": cannot open for reading: " + describe(err));
  }
  fh_ = fh;
  name_ = name;
  return Status();
}

Status RasterFile::open_product(const std::string& name) {
  if (fh_ != MPI_FILE_NULL) {
    Status st = close();
    if (!st.ok()) return st;
  }
  // Without MPI_MODE_EXCL and without a size change the file keeps its bytes.
  MPI_File fh = MPI_FILE_NULL;
  const int err = MPI_File_open(MPI_COMM_SELF, name.c_str(),
                                MPI_MODE_RDWR | MPI_MODE_CREATE, MPI_INFO_NULL, &fh);
  if (err != MPI_SUCCESS) {
    return Status(Code::kIo, name + ": cannot open for writing: " + describe(err));
  }
  fh_ = fh;
  name_ = name;
  return Status();
}

Status RasterFile::read_at(std::int64_t offset, void* buf, std::size_t n,
                           std::size_t* got) const {
  auto* p = static_cast<unsigned char*>(buf);
  std::size_t done = 0;
  Status st;
  if (fh_ == MPI_FILE_NULL) {
    st = Status(Code::kIo, name_ + ": read at byte offset " +
                               std::to_string(offset) + " of a file not open");
  }
  while (st.ok() && done < n) {
    const std::int64_t at = offset + static_cast<std::int64_t>(done);
    const std::size_t piece = n - done < kMaxPiece ? n - done : kMaxPiece;
    MPI_Status ms;
    const int err = MPI_File_read_at(fh_, static_cast<MPI_Offset>(at), p + done,
                                     static_cast<int>(piece), MPI_BYTE, &ms);
    int count = 0;
    if (err == MPI_SUCCESS) MPI_Get_count(&ms, MPI_BYTE, &count);
    if (err != MPI_SUCCESS) {
      st = Status(Code::kIo, name_ + ": read at byte offset " +
                                 std::to_string(at) + " failed: " + describe(err));
    } else if (count > 0) {
      done += static_cast<std::size_t>(count);
    } else {
      st = Status(Code::kShortRead, name_ + ": file ends before byte offset " +
                                        std::to_string(at));
    }
  }
  if (got) *got = done;
  return st;
}

Status RasterFile::write_at(std::int64_t offset, const void* buf, std::size_t n,
                            std::size_t* written) const {
  const auto* p = static_cast<const unsigned char*>(buf);
  std::size_t done = 0;
  Status st;
  if (fh_ == MPI_FILE_NULL) {
    st = Status(Code::kIo, name_ + ": write at byte offset " +
                               std::to_string(offset) + " to a file not open");
  }
  while (st.ok() && done < n) {
    const std::int64_t at = offset + static_cast<std::int64_t>(done);
    const std::size_t piece = n - done < kMaxPiece ? n - done : kMaxPiece;
    MPI_Status ms;
    const int err = MPI_File_write_at(fh_, static_cast<MPI_Offset>(at), p + done,
                                      static_cast<int>(piece), MPI_BYTE, &ms);
    int count = 0;
    if (err == MPI_SUCCESS) MPI_Get_count(&ms, MPI_BYTE, &count);
    if (err != MPI_SUCCESS) {
      st = Status(Code::kIo, name_ + ": write at byte offset " +
                                 std::to_string(at) + " failed: " + describe(err));
    } else if (count > 0) {
      done += static_cast<std::size_t>(count);
    } else {
      // No progress without an error: stop rather than spin.
      st = Status(Code::kIo, name_ + ": write at byte offset " +
                                 std::to_string(at) + " made no progress");
    }
  }
  if (written) *written = done;
  return st;
}

Status RasterFile::close() {
  if (fh_ == MPI_FILE_NULL) return Status();
  // MPI_File_close sets the handle to MPI_FILE_NULL whatever it reports, so
  // a failed close is never retried.
  const int err = MPI_File_close(&fh_);
  fh_ = MPI_FILE_NULL;
  if (err != MPI_SUCCESS) {
    return Status(Code::kIo, name_ + ": close failed: " + describe(err));
  }
  return Status();
}

}  // namespace kov
