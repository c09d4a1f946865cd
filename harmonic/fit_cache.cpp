#include "harmonic/fit_cache.hpp"

#include <cstring>

namespace kov {

FitKey FitKey::of(int n, int nfunc, int order, const std::uint8_t* use) {
  FitKey k;
  k.n = n;
  k.nfunc = nfunc;
  k.order = order;
  for (int t = 0; t < n && t < kMaxSteps; ++t)
    if (use[t] != 0) k.use[t >> 6] |= std::uint64_t{1} << (t & 63);
  return k;
}

void FitCache::set_enabled(bool on) {
  enabled_ = on;
  if (!on) {
    slots_.reset();
    fixed_.reset();
  }
}

namespace {

// Columns of ld-spaced storage against their packed copy.
bool same_columns(const double* packed, const double* cols, int rows, int ncol, int ld) {
  for (int c = 0; c < ncol; ++c)
    if (std::memcmp(packed + static_cast<std::size_t>(c) * rows,
                    cols + static_cast<std::size_t>(c) * ld,
                    sizeof(double) * static_cast<std::size_t>(rows)) != 0)
      return false;
  return true;
}

}  // namespace

FitCache::Slot* FitCache::find(const FitKey& key, int u, const double* design, int ncol,
                               int ld) {
  if (!enabled_) return nullptr;
  ++stats_.reductions;
  if (!slots_) return nullptr;
  for (int i = 0; i < kSlots; ++i) {
    Slot& s = slots_[i];
    if (!s.valid || !s.complete || !(s.key == key) || s.u != u) continue;
    if (!same_columns(s.data.get(), design, u, ncol, ld)) continue;
    s.tick = ++tick_;
    ++stats_.reduction_hits;
    return &s;
  }
  return nullptr;
}

FitCache::Slot* FitCache::claim(const FitKey& key, int u, const double* design, int ncol,
                                int ld, std::size_t nrefl) {
  if (!enabled_) return nullptr;
  const std::size_t dmax = static_cast<std::size_t>(2 * key.order + 2);
  const std::size_t need = static_cast<std::size_t>(u) * static_cast<std::size_t>(ncol) +
                           nrefl * 2 * pad(u) + kMinWinners * dmax * dmax;
  if (need > kSlotDoubles || nrefl > kSlotDoubles / 8) return nullptr;
  if (!slots_) slots_ = std::make_unique<Slot[]>(kSlots);
  Slot* lru = &slots_[0];
  for (int i = 1; i < kSlots; ++i)
    if (slots_[i].tick < lru->tick) lru = &slots_[i];
  Slot& s = *lru;
  if (!s.data) {
    s.data = std::make_unique_for_overwrite<double[]>(kSlotDoubles);
    s.formed = std::make_unique_for_overwrite<std::uint8_t[]>(kSlotDoubles / 8);
  }
  s.key = key;
  s.valid = true;
  s.complete = false;
  s.tick = ++tick_;
  s.u = u;
  s.nrefl = 0;
  for (int c = 0; c < ncol; ++c)
    std::memcpy(s.data.get() + static_cast<std::size_t>(c) * u,
                design + static_cast<std::size_t>(c) * ld,
                sizeof(double) * static_cast<std::size_t>(u));
  s.used = static_cast<std::size_t>(u) * static_cast<std::size_t>(ncol);
  s.next_winner = 0;
  for (Slot::Winner& w : s.winners) w.istar = -1;
  return &s;
}

const FitCache::Slot::Winner* FitCache::find_winner(Slot& s, int istar, const int* list) {
  ++stats_.winners;
  for (const Slot::Winner& w : s.winners) {
    if (w.istar != istar) continue;
    if (std::memcmp(w.list + 1, list + 1, sizeof(int) * static_cast<std::size_t>(istar)) != 0)
      continue;
    ++stats_.winner_hits;
    return &w;
  }
  return nullptr;
}

void FitCache::keep_winner(Slot& s, int istar, const int* list, bool inverted,
                           const double* block, int order) {
  // Winner blocks live in a fixed region after the reflections, one d x d
  // area of the largest size per winner.
  const std::size_t dmax = static_cast<std::size_t>(2 * order + 2);
  const std::size_t room = (kSlotDoubles - s.used) / (dmax * dmax);
  const int capacity = room < kWinners ? static_cast<int>(room) : kWinners;
  const int i = s.next_winner;
  s.next_winner = (i + 1) % capacity;
  Slot::Winner& w = s.winners[i];
  w.istar = istar;
  std::memcpy(w.list + 1, list + 1, sizeof(int) * static_cast<std::size_t>(istar));
  w.inverted = inverted;
  w.at = s.used + static_cast<std::size_t>(i) * dmax * dmax;
  if (!inverted) return;
  const int d = 2 * istar + 2;
  for (int j = 0; j < d; ++j)
    std::memcpy(s.data.get() + w.at + static_cast<std::size_t>(j) * d,
                block + static_cast<std::size_t>(j) * kLdC,
                sizeof(double) * static_cast<std::size_t>(d));
}

const FitCache::Fixed* FitCache::find_fixed(const FitKey& key, const double* f, int m) {
  if (!enabled_ || m > 8) return nullptr;
  ++stats_.fixed;
  if (!fixed_ || !fixed_->valid || !(fixed_->key == key)) return nullptr;
  if (!same_columns(fixed_->design, f, key.n, m, kLdT)) return nullptr;
  ++stats_.fixed_hits;
  return fixed_.get();
}

void FitCache::keep_fixed(const FitKey& key, const double* f, int m, bool inverted,
                          const double* w) {
  if (!enabled_ || m > 8) return;
  if (!fixed_) fixed_ = std::make_unique<Fixed>();
  Fixed& x = *fixed_;
  x.key = key;
  x.valid = true;
  x.inverted = inverted;
  for (int c = 0; c < m; ++c)
    std::memcpy(x.design + static_cast<std::size_t>(c) * key.n,
                f + static_cast<std::size_t>(c) * kLdT,
                sizeof(double) * static_cast<std::size_t>(key.n));
  if (inverted) std::memcpy(x.w, w, sizeof(x.w));
}

}  // namespace kov
