// Design-side work of the fits kept from one pixel to the next.
//
// In the best-subset fit every reflection is formed from the design columns
// of the flagged time steps alone: the reflection vectors, the leading
// triangular block of a winner and its inverse depend on (flagged steps,
// order limit, design), never on the series. Only the series column, the
// criteria and the coefficients are the pixel's own. Likewise the inverted
// normal matrix of the fixed-basis fit depends on its flags and the design.
// FitCache keeps that work so that a pixel whose flags were seen before only
// sends its series through the recorded reflections; every result is the
// same, bit for bit, as without the cache.
//
// Bounded: one arena of kArenaDoubles doubles (16 MiB per worker, allocated
// on first use and touched only as far as filled) holds the records, at
// most kRecords of them: a reduction (design columns, reflections) per flag
// pattern and order limit, an inverted block per winning term list of a
// reduction. A reduction is recorded the second time its pattern is met (a
// table of kSeen hashes remembers the first). The arena is a ring: a new
// record overwrites the oldest ones, first in first out. One entry serves the fixed-basis fit (its flags are
// those of the excluded steps, the same for every pixel of a run).
#pragma once

#include <cstdint>
#include <memory>

#include "base/limits.hpp"

namespace kov {

// Flagged steps, order limit and sizes: what the design-side work of one
// attempt depends on, besides the design values (compared separately).
struct FitKey {
  int n = -1;
  int nfunc = -1;
  int order = -1;
  std::uint64_t use[4] = {};

  static FitKey of(int n, int nfunc, int order, const std::uint8_t* use);
  bool operator==(const FitKey&) const = default;
};

class FitCache {
 public:
  static constexpr std::size_t kArenaDoubles = std::size_t{1} << 21;  // 16 MiB
  static constexpr int kRecords = 4096;
  static constexpr int kSeen = 4096;  // admission: hashes of patterns met once

  // arena: doubles of the arena (kArenaDoubles unless testing eviction).
  explicit FitCache(bool enabled = true, std::size_t arena = kArenaDoubles);
  ~FitCache();
  bool enabled() const { return enabled_; }
  void set_enabled(bool on);

  // Lookups and hits since construction, for the benchmarks.
  struct Stats {
    long reductions = 0, reduction_hits = 0;
    long winners = 0, winner_hits = 0;
    long fixed = 0, fixed_hits = 0;
  };
  const Stats& stats() const { return stats_; }

  // A reduction of the best-subset fit: the loaded design columns (u rows,
  // 2*order+2 columns), then the reflections in the order the fit forms
  // them (v padded to a multiple of 4 rows, then beta and 3 spare), flagged in
  // `formed` (1 formed, 0 left as identity). Valid until the next claim or
  // keep_winner; the handle tells whether it still lives.
  struct Reduction {
    double* data = nullptr;        // design columns, then reflections
    std::uint8_t* formed = nullptr;
    std::size_t design = 0;        // doubles of design columns
    int handle = -1;
    std::uint64_t serial = 0;
  };
  struct Winner {
    bool inverted = false;          // false: the block is singular
    const double* block = nullptr;  // the d x d inverse, column by column
  };

  // The reduction kept for key with the same design columns (u x ncol, ld
  // rows per column); false when there is none.
  bool find(const FitKey& key, int u, const double* design, int ncol, int ld, Reduction& r);
  // Room to record a reduction of key with at most nrefl reflections of u
  // rows, the design columns copied; false when it cannot be kept. After
  // the walk, finish() with the doubles used makes it findable.
  bool claim(const FitKey& key, int u, const double* design, int ncol, int ld,
             std::size_t nrefl, Reduction& r);
  void finish(const Reduction& r, std::size_t used);
  // The winner with term list list[1..istar] of reduction r, or false.
  bool find_winner(const Reduction& r, int istar, const int* list, Winner& w);
  // Keeps the inverted d x d block (leading dimension kLdC) of a winner.
  void keep_winner(const Reduction& r, int istar, const int* list, bool inverted,
                   const double* block);
  // Whether reduction r still holds its reflections (a later record, a
  // winner's block for one, may have overwritten it).
  bool alive(const Reduction& r) const;
  // The conditioning certificate of the fit's skipping, kept with reduction
  // r (it depends on the design columns alone): -1 none, 0 failed, 1 passed.
  int certificate(const Reduction& r) const;
  void keep_certificate(const Reduction& r, bool passed);

  // The fixed-basis fit's inverted normal matrix for key over design
  // columns 1..m (all n rows), or nullptr; and keeping one.
  struct Fixed {
    FitKey key;
    bool valid = false;
    bool inverted = false;
    double design[kMaxSteps * 8];  // columns 1..m of the design, n rows each
    double w[kLdC * kLdC];
  };
  const Fixed* find_fixed(const FitKey& key, const double* f, int m);
  void keep_fixed(const FitKey& key, const double* f, int m, bool inverted,
                  const double* w);

 private:
  struct Record;
  struct Link;
  bool storage_ready();
  std::size_t allocate(std::size_t size);
  int insert(std::uint64_t hash, std::size_t at, std::size_t size);
  void kill_oldest();

  bool enabled_;
  std::size_t capacity_;
  Stats stats_;
  std::unique_ptr<double[]> arena_;
  std::unique_ptr<Record[]> records_;   // ring, oldest at tail_
  std::unique_ptr<Link[]> buckets_;     // newest record per hash bucket
  std::size_t head_ = 0;                // next free double of the arena
  int tail_ = 0, count_ = 0;
  std::uint64_t serial_ = 0;
  std::unique_ptr<Fixed> fixed_;
  std::unique_ptr<std::uint64_t[]> seen_;
};

}  // namespace kov
