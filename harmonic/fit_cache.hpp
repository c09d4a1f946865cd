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
// Bounded: kSlots slots of kSlotDoubles doubles each (16 MiB per worker at
// most), allocated on first use and touched only as far as used; a
// reduction that does not fit one slot is not kept. A miss takes the least
// recently used slot. Each slot keeps the inverted blocks of up to kWinners
// winning term lists (at least kMinWinners), replaced in turn.
// One entry serves the fixed-basis fit (its flags are those of the excluded
// steps, the same for every pixel of a run).
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
  static constexpr int kSlots = 32;
  static constexpr std::size_t kSlotDoubles = std::size_t{1} << 16;  // 512 KiB
  static constexpr int kWinners = 64;     // winners per slot, as room allows
  static constexpr int kMinWinners = 16;  // room a kept reduction leaves at least

  explicit FitCache(bool enabled = true) : enabled_(enabled) {}
  bool enabled() const { return enabled_; }
  void set_enabled(bool on);

  // Lookups and hits since construction, for the benchmarks.
  struct Stats {
    long reductions = 0, reduction_hits = 0;
    long winners = 0, winner_hits = 0;
    long fixed = 0, fixed_hits = 0;
  };
  const Stats& stats() const { return stats_; }

  // One kept reduction of the best-subset fit. data holds the loaded design
  // columns (u rows, 2*order+2 columns), then the reflections in the order
  // the fit forms them (v and beta*v, each padded to a multiple of 4), then
  // the winners' inverted blocks.
  struct Slot {
    FitKey key;
    bool valid = false;
    bool complete = false;  // every reflection recorded
    std::uint64_t tick = 0;
    int u = 0;
    std::size_t nrefl = 0;       // reflections recorded
    std::size_t used = 0;        // doubles of data in use
    std::unique_ptr<std::uint8_t[]> formed;  // per reflection: 1 formed, 0 identity
    std::unique_ptr<double[]> data;
    int next_winner = 0;
    struct Winner {
      int istar = -1;
      int list[kMaxHarmonics + 1] = {};
      bool inverted = false;  // false: the block is singular
      std::size_t at = 0;     // offset of the d x d inverse in data
    } winners[kWinners];
  };

  // The slot holding key with the same design columns (u x ncol, ld rows
  // per column), marked used, or nullptr.
  Slot* find(const FitKey& key, int u, const double* design, int ncol, int ld);
  // A slot made ready to record key (the least recently used one), with
  // the design columns copied, or nullptr when the reduction cannot fit:
  // nrefl reflections of at most u rows each plus the winners' blocks.
  Slot* claim(const FitKey& key, int u, const double* design, int ncol, int ld,
              std::size_t nrefl);
  // The winner with term list list[1..istar] in slot s, or nullptr.
  const Slot::Winner* find_winner(Slot& s, int istar, const int* list);
  // Keeps the inverted d x d block s (leading dimension kLdC) of a winner.
  void keep_winner(Slot& s, int istar, const int* list, bool inverted,
                   const double* block, int order);

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
  static std::size_t pad(int rows) { return static_cast<std::size_t>((rows + 3) & ~3); }

  bool enabled_;
  std::uint64_t tick_ = 0;
  Stats stats_;
  std::unique_ptr<Slot[]> slots_;
  std::unique_ptr<Fixed> fixed_;
};

}  // namespace kov
