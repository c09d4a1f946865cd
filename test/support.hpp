// Helpers shared by every test: private temporary directories, whole-file
// access, child processes with captured output, a small deterministic random
// generator, and the products a scene must get, computed pixel by pixel with
// the library from the scene's own inputs.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/limits.hpp"
#include "driver/control_file.hpp"
#include "driver/progress.hpp"
#include "driver/scanline.hpp"
#include "harmonic/design_matrix.hpp"
#include "rasterio/bsq_writer.hpp"
#include "rasterio/plane_writer.hpp"
#include "rasterio/rasterfile.hpp"

namespace kov::test {

// A fresh private directory under TMPDIR, removed with its content on
// destruction (permissions a test took away are given back first).
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base ? base : "/tmp") + "/kovtest.XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
  }
  ~TempDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
      if (!it->is_symlink(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Uniform doubles on [0, 1) from a linear congruential generator.
struct Lcg {
  std::uint64_t s;
  double unif() {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(s >> 11) * 0x1.0p-53;
  }
  int pick(int lo, int hi) { return lo + static_cast<int>(unif() * (hi - lo + 1)); }
};

// A zeroed design-matrix buffer filled for ndat steps.
inline std::vector<double> design(int ndat, int npoint, int nfunc) {
  return design_matrix(ndat, npoint, nfunc);
}


inline bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline long long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// n bytes at offset off (fewer at the end of the file).
inline std::string read_at(const std::string& path, std::uint64_t off, std::size_t n) {
  std::string b(n, '\0');
  const int fd = open(path.c_str(), O_RDONLY);
  const ssize_t r = fd < 0 ? -1 : pread(fd, b.data(), n, static_cast<off_t>(off));
  if (fd >= 0) close(fd);
  b.resize(r < 0 ? 0 : static_cast<std::size_t>(r));
  return b;
}

// Writes bytes at offset off, creating the file (sparse below off).
inline void write_at(const std::string& path, std::uint64_t off, const std::string& b) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0) << path;
  EXPECT_EQ(pwrite(fd, b.data(), b.size(), static_cast<off_t>(off)),
            static_cast<ssize_t>(b.size()));
  close(fd);
}

// Little-endian records.
inline std::string enc16(int v) {
  const auto u = static_cast<std::uint16_t>(v);
  return {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
}
inline std::string encf(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
  return s;
}
inline std::int16_t le16(const std::string& b, std::size_t off) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(
      static_cast<unsigned char>(b[off]) | (static_cast<unsigned char>(b[off + 1]) << 8)));
}

struct RunResult {
  int status = -1;  // exit status, or -1 when the program did not exit
  std::string out;
  std::string err;
};

// Runs argv in directory dir, standard input from /dev/null, with extra
// environment assignments; `in_child` runs in the child just before exec.
inline RunResult run(const std::vector<std::string>& argv, const std::string& dir,
                     const std::vector<std::string>& env = {},
                     const std::function<void()>& in_child = {}) {
  const std::string out_path = dir + "/.stdout", err_path = dir + "/.stderr";
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    if (in_child) in_child();
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  RunResult r;
  int ws = 0;
  if (pid > 0 && waitpid(pid, &ws, 0) == pid && WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  return r;
}

#ifdef KOVARIND_EXE
inline RunResult run_kovarind(const TempDir& d, int threads = 2,
                              const std::string& exe = KOVARIND_EXE,
                              const std::function<void()>& in_child = {}) {
  return run({exe}, d.path(), {"OMP_NUM_THREADS=" + std::to_string(threads)}, in_child);
}

// Writes a generated scene (inputs and cntl.dat) into d.
inline void mkscene(const TempDir& d, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {KOVARIND_MKSCENE_EXE, d.path()};
  argv.insert(argv.end(), args.begin(), args.end());
  const RunResult r = run(argv, d.path());
  ASSERT_EQ(r.status, 0) << r.err;
}
#endif  // KOVARIND_EXE

// The progress lines of lines 1..upto of nline.
inline std::string progress(int upto, int nline) {
  std::string s;
  for (int l = 1; l <= upto; ++l) s += progress_line(l, nline);
  return s;
}

// Every entry of a directory with the content of regular files.
inline std::map<std::string, std::string> snapshot(const TempDir& d) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(d.path()))
    files[e.path().filename().string()] =
        e.is_regular_file() ? read_file(e.path().string()) : "<not a file>";
  return files;
}

inline const char* const kProducts[] = {"p.bsq",   "i.bsq",   "f.bsq",  "order.dat",
                                        "aic.dat", "min.dat", "max.dat"};

// A product of a run: records per pixel and bytes per record.
struct Product {
  std::string name;
  int bands;
  int rec;
};
inline std::vector<Product> products(const Control& c) {
  std::vector<Product> p = {{"p.bsq", c.npara, 4}};
  if (c.intp == 1) p.push_back({"i.bsq", c.ndat, 2});
  for (Product q : {Product{"f.bsq", c.ndat, 2}, Product{"order.dat", 1, 1},
                    Product{"aic.dat", 1, 4}, Product{"min.dat", 1, 2}, Product{"max.dat", 1, 2}})
    p.push_back(q);
  return p;
}

inline Control control_of(const TempDir& d, Build build = Build::kFull) {
  Control c;
  std::FILE* sink = std::tmpfile();
  const Status s = read_control_file(d.file("cntl.dat"), build, c, sink);
  std::fclose(sink);
  EXPECT_TRUE(s.ok()) << s.msg;
  return c;
}

// Lines 1..done of every product of d equal those of the clean run in ref;
// lines done+1..untouched of every band hold only `filler` (zero bytes may
// also be absent). Products named in `skip` are not looked at.
inline void expect_lines_intact(const TempDir& ref, const TempDir& d, const Control& c,
                                int done, int untouched, char filler = '\0',
                                const std::string& skip = "") {
  for (const Product& p : products(c)) {
    if (p.name == skip) continue;
    const std::string want = read_file(ref.file(p.name));
    std::string got = read_file(d.file(p.name));
    const std::size_t seg = static_cast<std::size_t>(c.npix) * p.rec;
    ASSERT_GE(want.size(), seg * c.nline * p.bands) << p.name;
    if (filler == '\0') got.resize(std::max(got.size(), want.size()), '\0');
    for (int k = 0; k < p.bands; ++k)
      for (int l = 1; l <= untouched; ++l) {
        const std::size_t off = (static_cast<std::size_t>(k) * c.nline + (l - 1)) * seg;
        const std::string g = got.substr(off, seg);
        EXPECT_EQ(g, l <= done ? want.substr(off, seg) : std::string(seg, filler))
            << p.name << " band " << k + 1 << " line " << l;
      }
  }
}

// The products of the scene in a directory as the pipeline computes them
// from the series and flags that the inputs hold at each pixel's records.
class Oracle {
 public:
  explicit Oracle(const TempDir& d, Build build = Build::kFull)
      : d_(d), c(control_of(d, build)), model_(c) {}

  // Pixel px (0-based record of a band) of every product but `skip`.
  void expect_pixel(std::uint64_t px, const std::string& skip = "") {
    const std::uint64_t plane = static_cast<std::uint64_t>(c.nline) * c.npix;
    std::int16_t raw[kMaxSteps], mask[kMaxSteps];
    PixelResult r;
    std::fill(std::begin(r.first_fit), std::end(r.first_fit), 0.0);
    for (int t = 0; t < c.ndat; ++t) {
      raw[t] = le16(read_at(d_.file("data.bsq"), 2 * (t * plane + px), 2), 0);
      mask[t] = c.mask != 1 ? 0
                            : static_cast<unsigned char>(
                                  read_at(d_.file("mask.bsq"), t * plane + px, 1)[0]);
    }
    process_pixel(c, model_.design.data(), raw, mask, r, *model_.scratch[0]);
    const auto record = [&](const std::string& name, int k) {
      if (name == "p.bsq") return encf(static_cast<float>(r.para[k]));
      if (name == "i.bsq") return enc16(counts_i16(r.first_fit[k]));
      if (name == "f.bsq") return enc16(counts_i16(r.fit[k]));
      if (name == "order.dat") return std::string(1, static_cast<char>(r.order));
      if (name == "aic.dat") return encf(criterion_f32(r.criterion));
      return enc16(name == "min.dat" ? r.min_counts : r.max_counts);
    };
    for (const Product& p : products(c))
      for (int k = 0; k < p.bands && p.name != skip; ++k)
        EXPECT_EQ(read_at(d_.file(p.name), (k * plane + px) * p.rec, p.rec), record(p.name, k))
            << p.name << " band " << k + 1 << " pixel " << px;
  }

  // Every pixel; with `exact_size` also the size of every product.
  void expect_scene(bool exact_size = true) {
    const std::uint64_t plane = static_cast<std::uint64_t>(c.nline) * c.npix;
    for (const Product& p : products(c))
      EXPECT_TRUE(!exact_size ||
                  file_size(d_.file(p.name)) == static_cast<long long>(plane * p.bands * p.rec))
          << p.name;
    for (std::uint64_t px = 0; px < plane; ++px) expect_pixel(px);
  }

 private:
  const TempDir& d_;

 public:
  const Control c;

 private:
  PixelModel model_;
};

// ---- raster I/O

using Bytes = std::vector<unsigned char>;


inline void write_bytes(const std::string& path, const Bytes& b) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(b.data()),
          static_cast<std::streamsize>(b.size()));
}

inline Bytes read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

// The bytes of the product at path after write() on it, the file holding
// `before` first (absent when empty); empty when an open, the write or the
// close fails.
inline Bytes product_after(const std::string& path, const Bytes& before,
                           const std::function<Status(const RasterFile&)>& write) {
  if (!before.empty()) write_bytes(path, before);
  RasterFile f;
  if (!f.open_product(path).ok() || !write(f).ok() || !f.close().ok()) return {};
  return read_bytes(path);
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

}  // namespace kov::test
