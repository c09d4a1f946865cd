// Best-subset fit, plain reference against the fast path, on vegetation-like
// series (seasonal curve, cloud dips, spikes, gaps) of 46 steps at the
// default options (6 harmonics), for order limits 6 down to 3.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "harmonic/design_matrix.hpp"
#include "harmonic/best_subset.hpp"
#include "harmonic/best_subset_fast.hpp"

namespace {

constexpr int kN = 46;
constexpr int kNfunc = 6;
constexpr int kSeries = 256;

struct Data {
  std::vector<double> f;
  std::vector<std::vector<double>> y;
  std::vector<std::vector<std::uint8_t>> use;
};

// Seasonal curves: a green-up and senescence of varying height and timing,
// a weaker second season, noise; 10% cloud dips (mostly screened out of the
// fit), 3% spikes, and runs of missing steps (gaps, never flagged).
const Data& data() {
  static const Data d = [] {
    Data d;
    d.f.assign(static_cast<std::size_t>(kov::kLdT) * kov::kMaxCols, 0.0);
    kov::fill_design_matrix(kN, kN, kNfunc, kov::kHarmonicNumbers.data(), d.f.data());
    std::mt19937_64 rng(46);
    auto unif = [&rng] { return static_cast<double>(rng() >> 11) * 0x1.0p-53; };
    for (int s = 0; s < kSeries; ++s) {
      std::vector<double> y(kN);
      std::vector<std::uint8_t> use(kN, 1);
      const double base = 0.1 + 0.15 * unif();
      const double amp = 0.25 + 0.45 * unif();
      const double peak = kN * (0.35 + 0.3 * unif());
      const double width = kN * (0.08 + 0.1 * unif());
      for (int t = 0; t < kN; ++t) {
        const double z = (t - peak) / width;
        double v = base + amp * std::exp(-0.5 * z * z) +
                   0.05 * amp * std::sin(0.4 * t) + 0.015 * (unif() - 0.5);
        const double e = unif();
        if (e < 0.10) {
          v *= 0.15 + 0.4 * unif();  // cloud
          if (unif() < 0.8) use[t] = 0;
        } else if (e < 0.13) {
          v += 0.2 + 0.3 * unif();  // spike
        }
        y[t] = v;
      }
      if (unif() < 0.5) {  // a gap of 2..6 steps
        const int g0 = static_cast<int>(unif() * (kN - 6));
        const int gl = 2 + static_cast<int>(unif() * 5);
        for (int t = g0; t < g0 + gl; ++t) use[t] = 0;
      }
      d.y.push_back(std::move(y));
      d.use.push_back(std::move(use));
    }
    return d;
  }();
  return d;
}

template <bool kFast, bool kSkip = true>
void BM_Tfit7(benchmark::State& state) {
  const Data& d = data();
  const int order0 = static_cast<int>(state.range(0));
  auto plain = std::make_unique<kov::BestSubsetScratch>();
  auto fast = std::make_unique<kov::BestSubsetFastScratch>();
  fast->skip = kSkip;
  double coef[2 * kNfunc + 4];
  double fit[kN];
  int s = 0;
  for (auto _ : state) {
    int order = order0;
    double crit = 0.0;
    if constexpr (kFast) {
      kov::fit_best_subset_fast(kN, kNfunc, d.y[s].data(), d.use[s].data(), d.f.data(),
                     coef, fit, order, crit, *fast);
    } else {
      kov::fit_best_subset(kN, kNfunc, d.y[s].data(), d.use[s].data(), d.f.data(), coef,
                 fit, order, crit, *plain);
    }
    benchmark::DoNotOptimize(coef);
    benchmark::DoNotOptimize(crit);
    s = (s + 1) % kSeries;
  }
  state.counters["calls_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}

BENCHMARK(BM_Tfit7<false>)
    ->Name("best_subset_plain/order")
    ->DenseRange(3, 6)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Tfit7<true>)
    ->Name("best_subset_fast/order")
    ->DenseRange(3, 6)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Tfit7<true, false>)
    ->Name("best_subset_fast_noskip/order")
    ->DenseRange(3, 6)
    ->Unit(benchmark::kMicrosecond);

// Console output plus a closing line per order limit with the speed-up of
// the fast path over the plain reference measured in this run.
class SpeedupReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
      const std::string name = r.benchmark_name();
      const double us = r.GetAdjustedCPUTime();
      const auto slash = name.rfind('/');
      const std::string key = name.substr(slash + 1);
      if (name.find("plain") != std::string::npos) plain_[key] = us;
      if (name.find("fast/") != std::string::npos) fast_[key] = us;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [order, us] : fast_) {
      const auto p = plain_.find(order);
      if (p == plain_.end() || us <= 0.0) continue;
      std::printf("order limit %s: plain %.1f us, fast %.1f us, speed-up %.1fx\n",
                  order.c_str(), p->second, us, p->second / us);
    }
  }

 private:
  std::map<std::string, double> plain_;
  std::map<std::string, double> fast_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SpeedupReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
