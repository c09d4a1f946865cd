#include "harmonic/fit_cache.hpp"

#include <cstring>
#include <new>

namespace kov {

namespace {

constexpr int kBuckets = 8192;  // power of two, twice the records
constexpr std::size_t kAlign = 4;   // records start on 32-byte boundaries

std::uint64_t mix(std::uint64_t h, std::uint64_t x) {
  h ^= x + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
  return h * 0xBF58476D1CE4E5B9ull;
}

// Columns of ld-spaced storage against their packed copy.
bool same_columns(const double* packed, const double* cols, int rows, int ncol, int ld) {
  for (int c = 0; c < ncol; ++c)
    if (std::memcmp(packed + static_cast<std::size_t>(c) * rows,
                    cols + static_cast<std::size_t>(c) * ld,
                    sizeof(double) * static_cast<std::size_t>(rows)) != 0)
      return false;
  return true;
}

std::size_t round_up(std::size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

std::size_t pad(int rows) { return static_cast<std::size_t>((rows + 3) & ~3); }

}  // namespace

// A record as a link expects it: index in the ring and serial number.
struct FitCache::Link {
  int idx = -1;
  std::uint64_t serial = 0;
};

// One record of the ring: a reduction (owner 0) or a winner's block. serial
// 0 marks a dead record; a link to a record holds the serial it expects, so
// a record overwritten since reads as dead, and so does every older one of
// its bucket (records die oldest first).
struct FitCache::Record {
  std::uint64_t serial = 0;
  std::uint64_t hash = 0;
  Link next;  // the next older record of the same bucket
  std::size_t at = 0, size = 0;
  bool findable = false;
  // reduction
  FitKey key;
  int u = 0;
  int cert = -1;
  std::size_t design = 0, flags = 0;
  // winner
  std::uint64_t owner = 0;
  int istar = -1;
  int list[kMaxHarmonics + 1] = {};
  bool inverted = false;
};

FitKey FitKey::of(int n, int nfunc, int order, const std::uint8_t* use) {
  FitKey k;
  k.n = n;
  k.nfunc = nfunc;
  k.order = order;
  for (int t = 0; t < n && t < kMaxSteps; ++t)
    if (use[t] != 0) k.use[t >> 6] |= std::uint64_t{1} << (t & 63);
  return k;
}

FitCache::FitCache(bool enabled, std::size_t arena) : enabled_(enabled), capacity_(arena) {}
FitCache::~FitCache() = default;

void FitCache::set_enabled(bool on) {
  enabled_ = on;
  if (!on) {
    arena_.reset();
    records_.reset();
    buckets_.reset();
    fixed_.reset();
    seen_.reset();
    head_ = 0;
    tail_ = count_ = 0;
  }
}

namespace {

std::uint64_t reduction_hash(const FitKey& k, int u) {
  std::uint64_t h = mix(mix(mix(static_cast<std::uint64_t>(k.n), k.nfunc), k.order), u);
  for (std::uint64_t w : k.use) h = mix(h, w);
  return h;
}

std::uint64_t winner_hash(std::uint64_t owner, int istar, const int* list) {
  std::uint64_t h = mix(mix(owner, 0x57494E4Eull), static_cast<std::uint64_t>(istar));
  for (int i = 1; i <= istar; ++i) h = mix(h, static_cast<std::uint64_t>(list[i]));
  return h;
}

}  // namespace

void FitCache::kill_oldest() {
  records_[tail_].serial = 0;
  tail_ = (tail_ + 1) % kRecords;
  --count_;
}

// Ring allocation: the live records lie in the arena in the order they were
// made, so the ones a new record overlaps are always the oldest.
// The storage comes on first use; when the memory is not there, the cache
// switches itself off and every fit takes the uncached path (same bits).
bool FitCache::storage_ready() {
  if (arena_) return true;
  try {
    if (!seen_) seen_ = std::make_unique<std::uint64_t[]>(kSeen);
    arena_ = std::make_unique_for_overwrite<double[]>(capacity_);
    records_ = std::make_unique<Record[]>(kRecords);
    buckets_ = std::make_unique<Link[]>(kBuckets);
  } catch (const std::bad_alloc&) {
    arena_.reset();
    records_.reset();
    buckets_.reset();
    seen_.reset();
    enabled_ = false;
    return false;
  }
  return true;
}

std::size_t FitCache::allocate(std::size_t size) {
  if (head_ + size > capacity_) {
    while (count_ > 0 && records_[tail_].at >= head_) kill_oldest();
    head_ = 0;
  }
  while (count_ > 0 && records_[tail_].at < head_ + size &&
         records_[tail_].at + records_[tail_].size > head_)
    kill_oldest();
  if (count_ == kRecords) kill_oldest();
  const std::size_t at = head_;
  head_ += size;
  return at;
}

int FitCache::insert(std::uint64_t hash, std::size_t at, std::size_t size) {
  const int idx = (tail_ + count_) % kRecords;
  ++count_;
  Record& x = records_[idx];
  x = Record();
  x.serial = ++serial_;
  x.hash = hash;
  x.at = at;
  x.size = size;
  Link& b = buckets_[hash & (kBuckets - 1)];
  x.next = b;
  b = Link{idx, x.serial};
  return idx;
}

bool FitCache::find(const FitKey& key, int u, const double* design, int ncol, int ld,
                    Reduction& r) {
  if (!enabled_) return false;
  ++stats_.reductions;
  if (!arena_) return false;
  const std::uint64_t h = reduction_hash(key, u);
  for (Link l = buckets_[h & (kBuckets - 1)]; l.idx >= 0 && records_[l.idx].serial == l.serial;
       l = records_[l.idx].next) {
    const Record& x = records_[l.idx];
    if (x.findable && x.owner == 0 && x.hash == h && x.key == key && x.u == u &&
        same_columns(arena_.get() + x.at, design, u, ncol, ld)) {
      r.data = arena_.get() + x.at + x.design + x.flags;
      r.formed = reinterpret_cast<std::uint8_t*>(arena_.get() + x.at + x.design);
      r.design = x.design;
      r.handle = l.idx;
      r.serial = x.serial;
      ++stats_.reduction_hits;
      return true;
    }
  }
  return false;
}

bool FitCache::claim(const FitKey& key, int u, const double* design, int ncol, int ld,
                     std::size_t nrefl, Reduction& r) {
  if (!enabled_) return false;
  // Admission: a pattern is recorded the second time it is met, so that a
  // scene of patterns met once pays no arena traffic for them.
  const std::uint64_t h = reduction_hash(key, u);
  if (!storage_ready()) return false;
  std::uint64_t& seen = seen_[h & (kSeen - 1)];
  if (seen != h) {
    seen = h;
    return false;
  }
  const std::size_t dsz = round_up(static_cast<std::size_t>(u) * static_cast<std::size_t>(ncol));
  const std::size_t fsz = round_up((nrefl + 7) / 8);
  if (nrefl > capacity_ / 8) return false;
  const std::size_t need = dsz + fsz + nrefl * (pad(u) + 4);
  if (need > capacity_ / 4) return false;  // one reduction never takes over
  const std::size_t at = allocate(need);
  const int idx = insert(h, at, need);
  Record& x = records_[idx];
  x.key = key;
  x.u = u;
  x.design = dsz;
  x.flags = fsz;
  double* d = arena_.get() + at;
  for (int c = 0; c < ncol; ++c)
    std::memcpy(d + static_cast<std::size_t>(c) * u, design + static_cast<std::size_t>(c) * ld,
                sizeof(double) * static_cast<std::size_t>(u));
  r.data = d + dsz + fsz;
  r.formed = reinterpret_cast<std::uint8_t*>(d + dsz);
  r.design = dsz;
  r.handle = idx;
  r.serial = x.serial;
  return true;
}

void FitCache::finish(const Reduction& r, std::size_t used) {
  Record& x = records_[r.handle];
  if (x.serial != r.serial) return;
  x.size = x.design + x.flags + round_up(used);
  head_ = x.at + x.size;  // the newest allocation shrinks to what it holds
  x.findable = true;
}

bool FitCache::find_winner(const Reduction& r, int istar, const int* list, Winner& w) {
  ++stats_.winners;
  if (records_[r.handle].serial != r.serial) return false;
  const std::uint64_t h = winner_hash(r.serial, istar, list);
  for (Link l = buckets_[h & (kBuckets - 1)]; l.idx >= 0 && records_[l.idx].serial == l.serial;
       l = records_[l.idx].next) {
    const Record& x = records_[l.idx];
    if (x.owner == r.serial && x.hash == h && x.istar == istar &&
        std::memcmp(x.list + 1, list + 1, sizeof(int) * static_cast<std::size_t>(istar)) == 0) {
      w.inverted = x.inverted;
      w.block = arena_.get() + x.at;
      ++stats_.winner_hits;
      return true;
    }
  }
  return false;
}

void FitCache::keep_winner(const Reduction& r, int istar, const int* list, bool inverted,
                           const double* block) {
  if (records_[r.handle].serial != r.serial) return;
  const int d = 2 * istar + 2;
  const std::size_t size = inverted ? round_up(static_cast<std::size_t>(d) * d) : 0;
  const std::size_t at = allocate(size);
  const int idx = insert(winner_hash(r.serial, istar, list), at, size);
  Record& x = records_[idx];
  x.findable = true;
  x.owner = r.serial;
  x.istar = istar;
  std::memcpy(x.list + 1, list + 1, sizeof(int) * static_cast<std::size_t>(istar));
  x.inverted = inverted;
  if (!inverted) return;
  for (int j = 0; j < d; ++j)
    std::memcpy(arena_.get() + at + static_cast<std::size_t>(j) * d,
                block + static_cast<std::size_t>(j) * kLdC,
                sizeof(double) * static_cast<std::size_t>(d));
}

bool FitCache::alive(const Reduction& r) const {
  return r.handle >= 0 && records_ && records_[r.handle].serial == r.serial;
}

int FitCache::certificate(const Reduction& r) const {
  return alive(r) ? records_[r.handle].cert : -1;
}

void FitCache::keep_certificate(const Reduction& r, bool passed) {
  if (alive(r)) records_[r.handle].cert = passed ? 1 : 0;
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
  if (!fixed_) fixed_.reset(new (std::nothrow) Fixed());
  if (!fixed_) return;  // no memory: the first fit stays uncached
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
