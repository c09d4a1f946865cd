// Helpers shared by every test: private temporary directories, file access,
// child processes with captured output, a small deterministic random
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
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/control_file.hpp"
#include "driver/progress.hpp"
#include "driver/scanline.hpp"
#include "rasterio/bsq_writer.hpp"
#include "rasterio/plane_writer.hpp"

namespace kov::test {

// A fresh private directory under TMPDIR, removed with its content.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    path_ = std::string(base ? base : "/tmp") + "/kovtest.XXXXXX";
    if (::mkdtemp(path_.data()) == nullptr) std::abort();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
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

// Size of a file, -1 when it does not exist.
inline long long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Writes bytes at offset off, creating the file (sparse below off).
inline void write_at(const std::string& path, std::uint64_t off, const std::string& b) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  EXPECT_EQ(pwrite(fd, b.data(), b.size(), static_cast<off_t>(off)), ssize_t(b.size())) << path;
  close(fd);
}

// Little-endian records.
inline std::string enc16(int v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}
inline std::string encf(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return enc16(static_cast<int>(u & 0xFFFF)) + enc16(static_cast<int>(u >> 16));
}
inline std::int16_t le16(const std::string& b, std::size_t off) {
  return static_cast<std::int16_t>(static_cast<unsigned char>(b[off]) |
                                   static_cast<unsigned char>(b[off + 1]) << 8);
}

// Exit status (-1 when the program did not exit), standard output and error.
struct RunResult { int status = -1; std::string out, err; };

// Runs argv in directory dir, standard input from /dev/null, with extra
// environment assignments; `in_child` runs in the child just before exec.
inline RunResult run(const std::vector<std::string>& argv, const std::string& dir,
                     const std::vector<std::string>& env = {},
                     const std::function<void()>& in_child = {}) {
  const std::string out_path = dir + "/.stdout", err_path = dir + "/.stderr";
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (chdir(dir.c_str()) != 0 || in < 0 || out < 0 || err < 0) _exit(127);
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
inline void mkscene(const TempDir& d, std::vector<std::string> args) {
  args.insert(args.begin(), {KOVARIND_MKSCENE_EXE, d.path()});
  const RunResult r = run(args, d.path());
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

// The products of a run: bands and bytes per record.
struct Product { std::string name; int bands, rec; };
inline std::vector<Product> products(const Control& c) {
  std::vector<Product> p = {{"p.bsq", c.npara, 4}, {"i.bsq", c.ndat, 2}, {"f.bsq", c.ndat, 2},
                            {"order.dat", 1, 1},   {"aic.dat", 1, 4},   {"min.dat", 1, 2},
                            {"max.dat", 1, 2}};
  if (c.intp != 1) p.erase(p.begin() + 1);
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

// Lines 1..done of every product of d but `skip` equal those of the clean
// run in ref; lines done+1..untouched of every band hold only `filler` (zero
// bytes may also be absent).
inline void expect_lines_intact(const TempDir& ref, const TempDir& d, const Control& c, int done,
                                int untouched, char filler = '\0', const std::string& skip = "") {
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
        const std::string line = l <= done ? want.substr(off, seg) : std::string(seg, filler);
        EXPECT_EQ(got.substr(off, seg), line) << p.name << " band " << k + 1 << " line " << l;
      }
  }
}

// The products of the scene in a directory as the pipeline computes them
// from the series and flags that the inputs hold at each pixel's records.
struct Oracle {
  explicit Oracle(const TempDir& d, Build build = Build::kFull)
      : files(snapshot(d)), c(control_of(d, build)), model(c) {}
  std::map<std::string, std::string> files;
  const Control c;
  PixelModel model;

  // Pixel px (0-based record of a band) of every product.
  void expect_pixel(std::size_t px) {
    const std::size_t plane = static_cast<std::size_t>(c.nline) * c.npix;
    std::int16_t raw[kMaxSteps], mask[kMaxSteps] = {};
    PixelResult r;
    std::fill(std::begin(r.first_fit), std::end(r.first_fit), 0.0);
    for (int t = 0; t < c.ndat; ++t) {
      raw[t] = le16(files["data.bsq"], 2 * (t * plane + px));
      if (c.mask == 1) mask[t] = static_cast<unsigned char>(files["mask.bsq"][t * plane + px]);
    }
    process_pixel(c, model.design.data(), raw, mask, r, *model.scratch[0]);
    const auto record = [&](const std::string& name, int k) {
      if (name == "p.bsq") return encf(static_cast<float>(r.para[k]));
      if (name == "i.bsq") return enc16(counts_i16(r.first_fit[k]));
      if (name == "f.bsq") return enc16(counts_i16(r.fit[k]));
      if (name == "order.dat") return std::string(1, static_cast<char>(r.order));
      if (name == "aic.dat") return encf(criterion_f32(r.criterion));
      return enc16(name == "min.dat" ? r.min_counts : r.max_counts);
    };
    for (const Product& p : products(c))
      for (int k = 0; k < p.bands; ++k)
        EXPECT_EQ(files[p.name].substr((k * plane + px) * p.rec, p.rec), record(p.name, k))
            << p.name << " band " << k + 1 << " pixel " << px;
  }

  // Every pixel, and the size of every product.
  void expect_scene() {
    const std::size_t plane = static_cast<std::size_t>(c.nline) * c.npix;
    for (const Product& p : products(c))
      EXPECT_EQ(files[p.name].size(), plane * p.bands * p.rec) << p.name;
    for (std::size_t px = 0; px < plane; ++px) expect_pixel(px);
  }
};

}  // namespace kov::test
