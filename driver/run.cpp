#include "driver/run.hpp"

#include <cstdio>
#include <optional>
#include <string>

#include "driver/control_file.hpp"
#include "driver/options.hpp"
#include "driver/progress.hpp"
#include "driver/scanline.hpp"
#include "driver/scene_files.hpp"

namespace kov {
namespace {

void diagnose(const Status& s) {
  std::fflush(stdout);
  std::fprintf(stderr, "kovarind: %s\n", s.msg.c_str());
  std::fflush(stderr);
}

int usage_error(Build build, const std::string& msg) {
  const std::string name = program_name(build, false);
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s (see '%s --help')\n", name.c_str(), msg.c_str(), name.c_str());
  return 2;
}

}  // namespace

int run_program(Build build, const std::vector<std::string>& args) {
  Options o;
  const std::string bad = parse_options(args, o);
  if (!bad.empty()) return usage_error(build, bad);
  if (o.help || o.version) {
    const std::string text = o.help ? usage_text(build, false)
                                    : program_name(build, false) + " " + kVersion + "\n";
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  const std::string failed = apply_options(o);
  if (!failed.empty()) {
    diagnose(Status(Code::kIo, failed));
    return 1;
  }
  return run_scene(build, o.run);
}

int run_scene(Build build, const RunOptions& opt) {
  Control c;
  Status s = read_control_file("cntl.dat", build, c, stdout);
  if (!s.ok()) {
    diagnose(s);
    return 1;
  }
  const std::string outside = check_line_range(opt, c.nline);
  if (!outside.empty()) return usage_error(build, outside);
  const int first = opt.first > 0 ? opt.first : 1;
  const int last = opt.first > 0 ? opt.last : c.nline;

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
  // Progress counts within the selected lines.
  for (int line = first; line <= last; ++line) {
    if (build == Build::kFull && !opt.quiet) {
      std::string p = progress_line(line - first + 1, last - first + 1);
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
