#include "driver/run.hpp"

#include <cstdio>
#include <optional>
#include <string>

#include "driver/progress.hpp"
#include "driver/control_file.hpp"
#include "driver/scanline.hpp"
#include "driver/scene_files.hpp"

namespace kov {
namespace {

void diagnose(const Status& s) {
  std::fflush(stdout);
  std::fprintf(stderr, "kovarind: %s\n", s.msg.c_str());
  std::fflush(stderr);
}

}  // namespace

int run_scene(Build build) {
  Control c;
  Status s = read_control_file("cntl.dat", build, c, stdout);
  if (!s.ok()) {
    diagnose(s);
    return 1;
  }

  // Everything is sized before any file is opened, so a scene too large
  // for the memory leaves no product behind.
  std::optional<PixelModel> model;
  std::optional<LineBuffers> buffers;
  s = allocate_scan(c, model, buffers);
  if (!s.ok()) {
    diagnose(s);
    return 1;
  }
  LineBuffers& b = *buffers;

  SceneFiles fs;
  s = fs.open_inputs(c);
  if (s.ok()) s = fs.open_products(c);
  if (!s.ok()) {
    diagnose(s);
    fs.close_all();
    return 1;
  }

  bool write_failed = false;
  const auto report = [&](const Status& st) {
    diagnose(st);
    write_failed = true;
  };
  for (int line = 1; line <= c.nline; ++line) {
    if (build == Build::kFull) {
      std::string p = progress_line(line, c.nline);
      std::fputs(p.c_str(), stdout);
    }
    s = read_line(line, c, fs, b);
    if (s.code == Code::kTopBit) {
      std::printf(" %d %d\n", c.nline, c.npix);
    }
    if (s.ok()) {
      process_line(c, *model, b);
      s = write_line(line, c, fs, b, report);
    }
    if (!s.ok()) {
      diagnose(s);
      fs.close_all();
      return 1;
    }
  }

  s = fs.close_all();
  if (!s.ok()) {
    diagnose(s);
    return 1;
  }
  std::fputs(" Program Deadified\n", stdout);
  if (std::fflush(stdout) != 0) return 1;
  return write_failed ? 1 : 0;
}

}  // namespace kov
