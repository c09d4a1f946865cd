// Positioned record I/O on a plain file descriptor. Every transfer loops until
// all bytes have moved, retrying interrupted calls and continuing after short
// transfers, so a caller sees either the whole transfer or a failure with the
// exact byte offset where it stopped. Messages begin with the file name.
#include "rasterio/rasterfile.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <utility>

namespace kov {

namespace {

std::string describe(int err) { return std::strerror(err); }

}  // namespace

RasterFile::~RasterFile() {
  if (fd_ >= 0) ::close(fd_);
}

RasterFile::RasterFile(RasterFile&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)), name_(std::move(o.name_)) {}

RasterFile& RasterFile::operator=(RasterFile&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(o.fd_, -1);
    name_ = std::move(o.name_);
  }
  return *this;
}

Status RasterFile::open_input(const std::string& name) {
  if (fd_ >= 0) {
    Status st = close();
    if (!st.ok()) return st;
  }
  int fd;
  do {
    fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    return Status(Code::kIo, name + ": cannot open for reading: " + describe(err));
  }
  fd_ = fd;
  name_ = name;
  return Status();
}

Status RasterFile::open_product(const std::string& name) {
  if (fd_ >= 0) {
    Status st = close();
    if (!st.ok()) return st;
  }
  int fd;
  do {
    fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    return Status(Code::kIo, name + ": cannot open for writing: " + describe(err));
  }
  fd_ = fd;
  name_ = name;
  return Status();
}

Status RasterFile::read_at(std::int64_t offset, void* buf, std::size_t n,
                           std::size_t* got) const {
  auto* p = static_cast<unsigned char*>(buf);
  std::size_t done = 0;
  Status st;
  if (fd_ < 0) {
    st = Status(Code::kIo, name_ + ": read at byte offset " +
                               std::to_string(offset) + " of a file not open");
  }
  while (st.ok() && done < n) {
    const std::int64_t at = offset + static_cast<std::int64_t>(done);
    const ssize_t r = ::pread(fd_, p + done, n - done, static_cast<off_t>(at));
    if (r > 0) {
      done += static_cast<std::size_t>(r);
    } else if (r == 0) {
      st = Status(Code::kShortRead, name_ + ": file ends before byte offset " +
                                        std::to_string(at));
    } else if (errno != EINTR) {
      const int err = errno;
      st = Status(Code::kIo, name_ + ": read at byte offset " +
                                 std::to_string(at) + " failed: " + describe(err));
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
  if (fd_ < 0) {
    st = Status(Code::kIo, name_ + ": write at byte offset " +
                               std::to_string(offset) + " to a file not open");
  }
  while (st.ok() && done < n) {
    const std::int64_t at = offset + static_cast<std::int64_t>(done);
    const ssize_t w = ::pwrite(fd_, p + done, n - done, static_cast<off_t>(at));
    if (w > 0) {
      done += static_cast<std::size_t>(w);
    } else if (w == 0) {
      // No progress without an error: stop rather than spin.
      st = Status(Code::kIo, name_ + ": write at byte offset " +
                                 std::to_string(at) + " made no progress");
    } else if (errno != EINTR) {
      const int err = errno;
      st = Status(Code::kIo, name_ + ": write at byte offset " +
                                 std::to_string(at) + " failed: " + describe(err));
    }
  }
  if (written) *written = done;
  return st;
}

Status RasterFile::close() {
  if (fd_ < 0) return Status();
  const int fd = std::exchange(fd_, -1);
  // The descriptor is released even when close reports an error, so it is
  // never retried; EINTR leaves it closed on Linux and is not a data loss.
  if (::close(fd) != 0 && errno != EINTR) {
    const int err = errno;
    return Status(Code::kIo, name_ + ": close failed: " + describe(err));
  }
  return Status();
}

}  // namespace kov
