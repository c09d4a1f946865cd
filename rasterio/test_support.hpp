// Helpers for the raster I/O tests: a private temporary directory, whole-file
// byte access, a product written through a writer, and a forked run that
// captures standard output.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "rasterio/rasterfile.hpp"

namespace kov::testing {

using Bytes = std::vector<unsigned char>;

class TempDir {
 public:
  TempDir() {
    std::string tmpl =
        (std::filesystem::temp_directory_path() / "kovrio.XXXXXX").string();
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  bool ok() const { return !path_.empty(); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, const Bytes& b) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(b.data()),
          static_cast<std::streamsize>(b.size()));
}

inline Bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

// The bytes of the product at path after write() on it, the file holding
// `before` first (absent when empty); empty when an open, the write or the
// close fails.
inline Bytes product_after(const std::string& path, const Bytes& before,
                           const std::function<Status(const RasterFile&)>& write) {
  if (!before.empty()) write_file(path, before);
  RasterFile f;
  if (!f.open_product(path).ok() || !write(f).ok() || !f.close().ok()) return {};
  return read_file(path);
}

// Runs fn in a forked child whose standard output goes to a pipe; returns the
// captured text and sets *exit_code to the child's exit status (or -1 when it
// did not exit normally). The child may lower its own resource limits.
inline std::string run_captured(const std::function<int()>& fn, int* exit_code) {
  int fds[2];
  if (::pipe(fds) != 0) return "<pipe failed>";
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::dup2(fds[1], 1);
    const int rc = fn();
    std::fflush(stdout);
    ::_exit(rc);
  }
  ::close(fds[1]);
  std::string out;
  char buf[256];
  ssize_t r;
  while ((r = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(r));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

}  // namespace kov::testing
