// Whole scenes through the scan (reading and processing every line, no
// product writes) with each speed feature switched on and off in the same
// binary, for the scenes named in KOVARIND_BENCH_SCENES ("name=dir,..."),
// in the variants named in KOVARIND_BENCH_VARIANTS (default
// "off,cache,skip,cache+skip,cache+skip+group"; a variant is a '+'-joined
// set of features: cache, skip, group). Run with OMP_NUM_THREADS=1, repetitions and random
// interleaving so that the load of a shared machine falls on all alike.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "driver/control_file.hpp"
#include "driver/scanline.hpp"
#include "driver/scene_files.hpp"

namespace {

struct Features {
  bool cache = false, skip = false, group = false;
};

Features parse(const std::string& v) {
  Features f;
  f.cache = v.find("cache") != std::string::npos;
  f.skip = v.find("skip") != std::string::npos;
  f.group = v.find("group") != std::string::npos;
  return f;
}

std::vector<std::string> split(const std::string& list, char sep) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos < list.size()) {
    std::size_t end = list.find(sep, pos);
    if (end == std::string::npos) end = list.size();
    if (end > pos) out.push_back(list.substr(pos, end - pos));
    pos = end + 1;
  }
  return out;
}

void run_scene(benchmark::State& state, const std::string& dir, Features feat) {
  if (chdir(dir.c_str()) != 0) {
    state.SkipWithError("cannot enter the scene directory");
    return;
  }
  kov::Control c;
  std::FILE* null = std::fopen("/dev/null", "w");
  kov::Status s = kov::read_control_file("cntl.dat", kov::Build::kFull, c, null);
  std::fclose(null);
  kov::SceneFiles fs;
  if (s.ok()) s = fs.open_inputs(c);
  if (!s.ok()) {
    state.SkipWithError(s.msg.c_str());
    return;
  }
  kov::FitCache::Stats total;
  kov::FastFitStats refl;
  for (auto _ : state) {
    std::optional<kov::PixelModel> m;
    std::optional<kov::LineBuffers> b;
    if (!kov::allocate_scan(c, m, b).ok()) break;
    m->grouped = feat.group;
    for (auto& w : m->scratch) {
      w->cache.set_enabled(feat.cache);
      w->fit.skip = feat.skip;
    }
    for (int line = 1; line <= c.nline; ++line) {
      if (!kov::read_line(line, c, fs, *b).ok()) break;
      kov::process_line(c, *m, *b);
    }
    for (auto& w : m->scratch) {
      const kov::FitCache::Stats& st = w->cache.stats();
      total.reductions += st.reductions;
      total.reduction_hits += st.reduction_hits;
      total.winners += st.winners;
      total.winner_hits += st.winner_hits;
      total.fixed += st.fixed;
      total.fixed_hits += st.fixed_hits;
      refl.applied += w->fit.stats.applied;
      refl.skipped += w->fit.stats.skipped;
      refl.fallbacks += w->fit.stats.fallbacks;
      refl.grouped += w->fit.stats.grouped;
    }
  }
  fs.close_all();
  const auto rate = [](long hits, long all) {
    return all > 0 ? static_cast<double>(hits) / static_cast<double>(all) : 0.0;
  };
  state.counters["pixels/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * c.nline * c.npix, benchmark::Counter::kIsRate);
  state.counters["hit"] = rate(total.reduction_hits, total.reductions);
  state.counters["winner_hit"] = rate(total.winner_hits, total.winners);
  state.counters["first_fit_hit"] = rate(total.fixed_hits, total.fixed);
  const double pixels = static_cast<double>(state.iterations()) * c.nline * c.npix;
  state.counters["refl/px"] = static_cast<double>(refl.applied) / pixels;
  state.counters["skipped"] = rate(refl.skipped, refl.applied + refl.skipped);
  state.counters["refits"] = static_cast<double>(refl.fallbacks);
  state.counters["grouped"] = static_cast<double>(refl.grouped) / pixels;
}

}  // namespace

int main(int argc, char** argv) {
  const char* env = std::getenv("KOVARIND_BENCH_SCENES");
  const char* venv = std::getenv("KOVARIND_BENCH_VARIANTS");
  const std::vector<std::string> variants =
      split(venv ? venv : "off,cache,skip,cache+skip,cache+skip+group", ',');
  for (const std::string& item : split(env ? env : "", ',')) {
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = item.substr(0, eq), dir = item.substr(eq + 1);
    for (const std::string& v : variants)
      benchmark::RegisterBenchmark(("scene/" + name + "/" + v).c_str(),
                                   [dir, f = parse(v)](benchmark::State& st) {
                                     run_scene(st, dir, f);
                                   })
          ->Unit(benchmark::kMillisecond)
          ->Iterations(1)
          ->UseRealTime()
          ->MeasureProcessCPUTime();
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
