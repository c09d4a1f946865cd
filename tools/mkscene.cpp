// mkscene: writes a synthetic, vegetation-like scene (data.bsq, mask.bsq and
// cntl.dat) into a directory, deterministic from a seed.
//
// Each pixel follows a seasonal curve with its own base level, amplitude,
// phase, second-harmonic shape and trend, plus noise; on top of that come
// cloud dips (low values, flagged 0 in the mask), bright spikes above the
// absolute limit, the occasional long gap of zeros (flagged 0), and a mask
// that misses a share of the clouds, as real cloud masks do.
//
// --clouds chooses the contamination: independent (the default) draws cloud
// dips, spikes and gaps for every pixel on its own; coherent draws cloud
// objects that cover neighbouring pixels over one to three time steps, with
// soft edges (thin cloud at the rim, which the mask misses), so that pixels
// under the same clouds share their flags, as in real scenes; none leaves
// the series clear.
//
// Usage: mkscene DIR [--lines N] [--pixels N] [--steps N] [--seed N]
//                    [--mask] [--intp] [--exclude T1,T2,...]
//                    [--top-bit LINE] [--no-cntl]
//                    [--clouds independent|coherent|none]

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

// splitmix64: a small generator whose stream is the same on every platform.
struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  double normal() {  // Box-Muller
    double u1 = uniform(), u2 = uniform();
    if (u1 < 1e-300) u1 = 1e-300;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
  }
};

struct Options {
  std::string dir;
  int lines = 60;
  int pixels = 80;
  int steps = 46;
  std::uint64_t seed = 1;
  bool mask = false;
  bool intp = false;
  bool cntl = true;
  int top_bit_line = 0;
  std::vector<int> exclude;
  enum class Clouds { kIndependent, kCoherent, kNone } clouds = Clouds::kIndependent;
};

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr,
               "mkscene: %s\nusage: mkscene DIR [--lines N] [--pixels N] "
               "[--steps N] [--seed N] [--mask] [--intp] [--exclude T,...] "
               "[--top-bit LINE] [--no-cntl] "
               "[--clouds independent|coherent|none]\n",
               why);
  std::exit(2);
}

long parse_long(const char* s, const char* opt) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0')
    usage((std::string("expected an integer after ") + opt).c_str());
  return v;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage(("missing value after " + a).c_str());
      return argv[++i];
    };
    if (a == "--lines") o.lines = static_cast<int>(parse_long(value(), "--lines"));
    else if (a == "--pixels") o.pixels = static_cast<int>(parse_long(value(), "--pixels"));
    else if (a == "--steps") o.steps = static_cast<int>(parse_long(value(), "--steps"));
    else if (a == "--seed") o.seed = static_cast<std::uint64_t>(parse_long(value(), "--seed"));
    else if (a == "--mask") o.mask = true;
    else if (a == "--intp") o.intp = true;
    else if (a == "--no-cntl") o.cntl = false;
    else if (a == "--clouds") {
      const std::string k = value();
      if (k == "independent") o.clouds = Options::Clouds::kIndependent;
      else if (k == "coherent") o.clouds = Options::Clouds::kCoherent;
      else if (k == "none") o.clouds = Options::Clouds::kNone;
      else usage("--clouds takes independent, coherent or none");
    }
    else if (a == "--top-bit") o.top_bit_line = static_cast<int>(parse_long(value(), "--top-bit"));
    else if (a == "--exclude") {
      std::string list = value();
      std::size_t pos = 0;
      while (pos <= list.size()) {
        std::size_t comma = list.find(',', pos);
        if (comma == std::string::npos) comma = list.size();
        o.exclude.push_back(static_cast<int>(
            parse_long(list.substr(pos, comma - pos).c_str(), "--exclude")));
        pos = comma + 1;
      }
    } else if (!a.empty() && a[0] == '-') usage(("unknown option " + a).c_str());
    else if (o.dir.empty()) o.dir = a;
    else usage("more than one directory given");
  }
  if (o.dir.empty()) usage("no directory given");
  if (o.lines < 0 || o.pixels < 0 || o.steps < 1 || o.steps > 200)
    usage("dimensions out of range (steps 1..200, lines and pixels >= 0)");
  return o;
}

void write_file(const std::string& path, const void* data, std::size_t n) {
  std::FILE* fp = std::fopen(path.c_str(), "wb");
  if (!fp) {
    std::fprintf(stderr, "mkscene: %s: cannot create: %s\n", path.c_str(),
                 std::strerror(errno));
    std::exit(1);
  }
  bool ok = n == 0 || std::fwrite(data, 1, n, fp) == n;
  ok = (std::fclose(fp) == 0) && ok;
  if (!ok) {
    std::fprintf(stderr, "mkscene: %s: write failed\n", path.c_str());
    std::exit(1);
  }
}

// Cloud cover of the coherent mode, one opacity in 0..1 per pixel and time
// step (time step major), from its own generator stream: per step a share of
// the scene (none on a third of the steps) is covered by round clouds of
// radius 3 to 18 pixels, each lasting one to three steps while drifting,
// opaque in the middle and fading over the outer third of the radius. The
// dip depth of each cloud is in depth.
struct CloudCover {
  std::vector<float> opacity, depth;
};

CloudCover coherent_clouds(const Options& o) {
  const std::size_t plane = static_cast<std::size_t>(o.lines) * o.pixels;
  CloudCover cc;
  cc.opacity.assign(plane * o.steps, 0.0f);
  cc.depth.assign(plane * o.steps, 1.0f);
  Rng rng{o.seed ^ 0xC10D5ull};
  for (int t = 0; t < o.steps; ++t) {
    if (rng.uniform() < 1.0 / 3.0) continue;
    const double share = 0.25 * rng.uniform();
    double covered = 0.0;
    while (covered < share * static_cast<double>(plane)) {
      const double r = 3.0 + 15.0 * rng.uniform();
      double cy = rng.uniform() * o.lines, cx = rng.uniform() * o.pixels;
      const double dy = 2.0 * (rng.uniform() - 0.5), dx = 4.0 * (rng.uniform() - 0.5);
      const float dip = static_cast<float>(0.15 + 0.4 * rng.uniform());
      const int life = 1 + static_cast<int>(rng.uniform() * 3.0);
      covered += 3.14159 * r * r;
      for (int k = t; k < t + life && k < o.steps; ++k, cy += dy, cx += dx) {
        for (int l = std::max(0, static_cast<int>(cy - r)); l < o.lines && l <= cy + r; ++l)
          for (int p = std::max(0, static_cast<int>(cx - r)); p < o.pixels && p <= cx + r;
               ++p) {
            const double d = std::sqrt((l - cy) * (l - cy) + (p - cx) * (p - cx));
            const double op = std::min(1.0, (r - d) / (r / 3.0));
            const std::size_t i = static_cast<std::size_t>(k) * plane +
                                  static_cast<std::size_t>(l) * o.pixels + p;
            if (op > cc.opacity[i]) {
              cc.opacity[i] = static_cast<float>(op);
              cc.depth[i] = dip;
            }
          }
      }
    }
  }
  return cc;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  if (mkdir(o.dir.c_str(), 0777) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "mkscene: %s: cannot create directory: %s\n",
                 o.dir.c_str(), std::strerror(errno));
    return 1;
  }

  const std::size_t plane = static_cast<std::size_t>(o.lines) * o.pixels;
  std::vector<unsigned char> data(plane * o.steps * 2);
  std::vector<unsigned char> mask(plane * o.steps);
  Rng rng{o.seed};
  const double two_pi = 6.283185307179586;
  std::vector<double> series(o.steps);
  std::vector<unsigned char> flags(o.steps);
  const bool independent = o.clouds == Options::Clouds::kIndependent;
  const CloudCover cover =
      o.clouds == Options::Clouds::kCoherent ? coherent_clouds(o) : CloudCover{};

  // Land-cover parcels: the nearest of a few seed points decides a pixel's
  // parcel, whose crop calendar (base, amplitude, phase, shape) the pixel
  // shares up to a small jitter, so the products show fields, not noise.
  struct Parcel {
    double y, x, base, amp, phase, shape, trend;
  };
  std::vector<Parcel> parcels(12);
  for (Parcel& p : parcels) {
    p.y = rng.uniform() * o.lines;
    p.x = rng.uniform() * o.pixels;
    p.base = 250.0 + 250.0 * rng.uniform();
    p.amp = 250.0 + 700.0 * rng.uniform();
    p.phase = two_pi * rng.uniform();
    p.shape = 0.25 * (rng.uniform() - 0.5);
    p.trend = 2.0 * (rng.uniform() - 0.5);
  }

  for (int line = 0; line < o.lines; ++line) {
    for (int px = 0; px < o.pixels; ++px) {
      const Parcel* near = &parcels[0];
      double best = 1e300;
      for (const Parcel& p : parcels) {
        const double d = (p.y - line) * (p.y - line) + (p.x - px) * (p.x - px);
        if (d < best) {
          best = d;
          near = &p;
        }
      }
      // Per-pixel model in raw counts (1/4096 units; 1536 is the absolute
      // screening limit, so healthy vegetation peaks below it).
      const double base = near->base + 30.0 * rng.normal();
      const double amp = near->amp * (1.0 + 0.08 * rng.normal());
      const double phase = near->phase + 0.1 * rng.normal();
      const double shape = near->shape;
      const double trend = near->trend + 0.2 * rng.normal();
      const double noise = 10.0 + 20.0 * rng.uniform();
      for (int t = 0; t < o.steps; ++t) {
        const double a = two_pi * (t + 1) / 46.0 + phase;
        double v = base + amp * (0.5 - 0.5 * std::cos(a)) +
                   amp * shape * std::sin(2.0 * a) + trend * (t + 1) +
                   noise * rng.normal();
        flags[t] = 1;
        if (!independent) {
          const std::size_t i = static_cast<std::size_t>(t) * plane +
                                static_cast<std::size_t>(line) * o.pixels + px;
          if (!cover.opacity.empty() && cover.opacity[i] > 0.0f) {
            v *= 1.0 - cover.opacity[i] * (1.0 - cover.depth[i]);
            if (cover.opacity[i] >= 0.5f) flags[t] = 0;
          }
          series[t] = v;
          continue;
        }
        const double r = rng.uniform();
        if (r < 0.12) {  // cloud: a dip, usually but not always masked
          v *= 0.15 + 0.4 * rng.uniform();
          if (rng.uniform() < 0.8) flags[t] = 0;
        } else if (r < 0.14) {  // bright spike (snow, sun glint)
          v = 1600.0 + 2500.0 * rng.uniform();
          flags[t] = 0;
        }
        series[t] = v;
      }
      if (independent && rng.uniform() < 0.06) {  // a gap of missing acquisitions
        int len = 3 + static_cast<int>(rng.uniform() * 14.0);
        int start = static_cast<int>(rng.uniform() * o.steps);
        for (int t = start; t < start + len && t < o.steps; ++t) {
          series[t] = 0.0;
          flags[t] = 0;
        }
      }
      for (int t = 0; t < o.steps; ++t) {
        long raw = std::lround(series[t]);
        if (raw < 0) raw = 0;
        if (raw > 32767) raw = 32767;
        const std::size_t r =
            static_cast<std::size_t>(t) * plane +
            static_cast<std::size_t>(line) * o.pixels + px;
        data[2 * r] = static_cast<unsigned char>(raw & 0xFF);
        data[2 * r + 1] = static_cast<unsigned char>((raw >> 8) & 0xFF);
        mask[r] = flags[t];
      }
    }
  }
  if (o.top_bit_line >= 1 && o.top_bit_line <= o.lines && o.pixels > 0) {
    // A corrupt sample (top bit set) in the middle band of that line.
    const std::size_t r = static_cast<std::size_t>(o.steps / 2) * plane +
                          static_cast<std::size_t>(o.top_bit_line - 1) * o.pixels +
                          static_cast<std::size_t>(o.pixels / 2);
    data[2 * r] = 0x40;
    data[2 * r + 1] = 0x9C;  // 40000
  }

  write_file(o.dir + "/data.bsq", data.data(), data.size());
  write_file(o.dir + "/mask.bsq", mask.data(), mask.size());
  if (o.cntl) {
    std::string c;
    c += std::to_string(o.steps) + "\n";
    c += std::to_string(o.lines) + " " + std::to_string(o.pixels) + "\n";
    c += " &DATA NFUNC=6, NDEF=" + std::to_string(o.exclude.size()) + " /\n";
    c += " &CONTRL NWIN=3, INTP=" + std::string(o.intp ? "1" : "0") +
         ", MMSW=1, TCLD=0.15, FITSW=1, MASK=" + (o.mask ? "1" : "0") +
         ", FITMD=0 /\n";
    c += " &NPT NPOINT=46 /\n";
    for (int t : o.exclude) c += std::to_string(t) + "\n";
    write_file(o.dir + "/cntl.dat", c.data(), c.size());
  }
  return 0;
}
