// The per-pixel pipeline at the default options on vegetation-like raw
// series (46 steps: seasonal curve, cloud dips, bright spikes, gaps), with the
// fast best-subset fit (fit cache on and off) and with the plain reference.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "base/limits.hpp"
#include "harmonic/design_matrix.hpp"
#include "pixel/pipeline.hpp"

namespace {

constexpr int kN = 46;
constexpr int kSeries = 512;

struct Data {
  std::vector<double> f;
  std::vector<std::vector<std::int16_t>> kpix;
};

const Data& data() {
  static const Data d = [] {
    Data d;
    d.f.assign(static_cast<std::size_t>(kov::kLdT) * kov::kMaxCols, 0.0);
    kov::fill_design_matrix(kN, 46, 6, kov::kHarmonicNumbers.data(), d.f.data());
    std::mt19937_64 rng(2026);
    auto unif = [&rng] { return static_cast<double>(rng() >> 11) * 0x1.0p-53; };
    for (int s = 0; s < kSeries; ++s) {
      std::vector<std::int16_t> k(kN);
      const double base = 250 + 250 * unif(), amp = 250 + 700 * unif();
      const double phase = 6.283185307179586 * unif();
      const bool gap = unif() < 0.06;
      const int g0 = static_cast<int>(unif() * kN), glen = 3 + static_cast<int>(unif() * 14);
      for (int t = 0; t < kN; ++t) {
        double v = base + amp * (0.5 - 0.5 * std::cos(6.283185307179586 * (t + 1) / 46 + phase)) +
                   20 * (unif() - 0.5);
        const double e = unif();
        if (e < 0.12) v *= 0.15 + 0.4 * unif();
        else if (e < 0.14) v = 1600 + 2500 * unif();
        if (gap && t >= g0 && t < g0 + glen) v = 0;
        k[t] = static_cast<std::int16_t>(std::lround(std::fmax(0.0, v)));
      }
      d.kpix.push_back(k);
    }
    return d;
  }();
  return d;
}

void run(benchmark::State& state, kov::FitPath path, bool cached = true) {
  const Data& d = data();
  kov::Control c;
  c.ndat = kN;
  kov::derive_limits(c);
  auto ws = std::make_unique<kov::PixelScratch>(kN, c.nwin, cached);
  kov::PixelResult r;
  std::size_t i = 0;
  for (auto _ : state) {
    kov::process_pixel(c, d.f.data(), d.kpix[i].data(), nullptr, r, *ws, path);
    benchmark::DoNotOptimize(r);
    i = (i + 1) % d.kpix.size();
  }
  state.counters["pixels/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate);
}

void BM_pipeline_fast(benchmark::State& s) { run(s, kov::FitPath::kFast); }
void BM_pipeline_fast_uncached(benchmark::State& s) { run(s, kov::FitPath::kFast, false); }
void BM_pipeline_plain(benchmark::State& s) { run(s, kov::FitPath::kPlain); }

BENCHMARK(BM_pipeline_fast)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_pipeline_fast_uncached)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_pipeline_plain)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
