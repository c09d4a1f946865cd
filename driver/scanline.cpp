// Per-line steps of the scan. The reading and writing follow the fixed band
// and product order; the pixels of a line are spread over the workers with a
// dynamic schedule, each worker owning one scratch.
#include "driver/scanline.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "base/limits.hpp"
#include "driver/memory_limit.hpp"
#include "harmonic/design_matrix.hpp"
#include "rasterio/bsq_reader.hpp"
#include "rasterio/bsq_writer.hpp"
#include "rasterio/plane_writer.hpp"

namespace kov {
namespace {

int worker_count() {
#ifdef _OPENMP
  return omp_get_max_threads();
#else
  return 1;
#endif
}

}  // namespace

LineBuffers::LineBuffers(const Control& c)
    : npix(static_cast<std::size_t>(c.npix)),
      raw(static_cast<std::size_t>(c.ndat) * npix),
      mask(c.mask == 1 ? raw.size() : 0),
      fit(raw.size()),
      first_fit(raw.size()),
      para(static_cast<std::size_t>(c.npara) * npix),
      criterion(npix),
      order(npix),
      min_counts(npix),
      max_counts(npix) {}

PixelModel::PixelModel(const Control& c)
    : design(design_matrix(c.ndat, c.npoint, c.nfunc)) {
  // The envelope scratch is sized by NWIN only when the filter is on.
  // KOVARIND_FIT_CACHE=0 in the environment turns the fit cache off,
  // KOVARIND_SKIP=0 the skipping of term lists that cannot win and
  // KOVARIND_GROUP=0 the replay of pixels in groups (same products every
  // way, for measuring them).
  const auto on = [](const char* name) {
    const char* env = std::getenv(name);
    return env == nullptr || std::strcmp(env, "0") != 0;
  };
  const bool cached = on("KOVARIND_FIT_CACHE");
  const bool skip = on("KOVARIND_SKIP");
  grouped = on("KOVARIND_GROUP");
  const int workers = worker_count();
  for (int w = 0; w < workers; ++w) {
    scratch.push_back(
        std::make_unique<PixelScratch>(c.ndat, envelope_on(c) ? c.nwin : 0, cached));
    scratch.back()->fit.skip = skip;
  }
  results.resize(scratch.size() * kMaxGroup);
}

std::uint64_t scan_bytes(const Control& c, int workers) {
  using U = std::uint64_t;
  const U ndat = static_cast<U>(std::max(c.ndat, 0)), npara = static_cast<U>(std::max(c.npara, 0));
  const U nwin = envelope_on(c) ? static_cast<U>(std::max(c.nwin, 0)) : 0;
  // kpix (and msk), pix, pix0, para, aic, then the order, min and max lines.
  const U per_pixel = ndat * 2 * (c.mask == 1 ? 2 : 1) + 2 * ndat * 8 + npara * 8 + 8 + 3 * 2;
  const U per_worker = sizeof(PixelScratch) + PixelScratch::batch_bytes() +
                       (ndat + 2 * nwin) * sizeof(double) + kMaxGroup * sizeof(PixelResult);
  return static_cast<U>(std::max(c.npix, 0)) * per_pixel + static_cast<U>(workers) * per_worker +
         U{kLdT} * kMaxCols * sizeof(double);
}

Status allocate_scan(const Control& c, std::optional<PixelModel>& model,
                     std::optional<LineBuffers>& buffers) {
  const std::string what = "cntl.dat: NPIX = " + std::to_string(c.npix) +
                           ", NDAT = " + std::to_string(c.ndat) +
                           ", NWIN = " + std::to_string(c.nwin) +
                           ": cannot allocate the line buffers";
  // Sized first, so that an impossible size is refused at once rather than
  // after the pages have been zeroed or the process has been killed.
  // KOVARIND_CGROUP_ROOT, for tests, reads the cgroup files below a
  // prepared directory.
  const char* cgroup_root = std::getenv("KOVARIND_CGROUP_ROOT");
  const std::uint64_t need = scan_bytes(c, worker_count());
  const MemoryLimit have = memory_available(cgroup_root ? cgroup_root : "");
  if (need > have.bytes)
    return Status(Code::kIo, what + ": " + std::to_string(need) + " bytes needed, " +
                                 std::to_string(have.bytes) + " bytes available (" +
                                 have.source + ")");
  try {
    model.emplace(c);
    buffers.emplace(c);
  } catch (const std::exception&) {
    model.reset();
    buffers.reset();
    return Status(Code::kIo, what);
  }
  return Status();
}

Status read_line(int line, const Control& c, const SceneFiles& fs, LineBuffers& b) {
  Status s = read_line_i16(line, c.nline, c.npix, 1, c.ndat, b.raw.data(), c.ndat, fs.data);
  if (s.ok() && c.mask == 1)
    s = read_line_u8(line, c.nline, c.npix, 1, c.ndat, b.mask.data(), c.ndat, fs.mask);
  return s;
}

void process_line(const Control& c, PixelModel& m, LineBuffers& b) {
  const int ndat = c.ndat;
  const int npara = c.npara;
  const long npix = c.npix;
#pragma omp parallel
  {
#ifdef _OPENMP
    const std::size_t worker = static_cast<std::size_t>(omp_get_thread_num());
#else
    const std::size_t worker = 0;
#endif
    PixelScratch& ws = *m.scratch[worker];
    PixelResult* res = &m.results[worker * kMaxGroup];
    // first_fit is written by the pipeline only when INTP > 0; what it held
    // before is gathered but never written out.
    for (int k = 0; k < kMaxGroup; ++k)
      std::fill(std::begin(res[k].first_fit), std::end(res[k].first_fit), 0.0);
    // Runs of kMaxGroup pixels, so that pixels sharing flags are fitted
    // together (the same bits as one by one).
    const long run = m.grouped ? kMaxGroup : 1;
#pragma omp for schedule(dynamic, 1)
    for (long j0 = 0; j0 < npix; j0 += run) {
      const int count = static_cast<int>(std::min(run, npix - j0));
      const std::size_t col0 = static_cast<std::size_t>(j0) * ndat;
      const std::int16_t* mask = c.mask == 1 ? &b.mask[col0] : nullptr;
      if (m.grouped) {
        process_pixels(c, m.design.data(), &b.raw[col0], mask, static_cast<std::size_t>(ndat),
                       count, res, ws);
      } else {
        process_pixel(c, m.design.data(), &b.raw[col0], mask, res[0], ws);
      }
      for (int p = 0; p < count; ++p) {
        const long j = j0 + p;
        const PixelResult& r = res[p];
        const std::size_t col = static_cast<std::size_t>(j) * ndat;
        for (int i = 0; i < ndat; ++i) {
          b.fit[col + i] = r.fit[i];
          b.first_fit[col + i] = r.first_fit[i];
        }
        const std::size_t pcol = static_cast<std::size_t>(j) * npara;
        for (int i = 0; i < npara; ++i) b.para[pcol + i] = r.para[i];
        b.criterion[j] = r.criterion;
        b.order[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(r.order));
        b.min_counts[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(r.min_counts));
        b.max_counts[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(r.max_counts));
      }
    }
  }
}

Status write_line(int line, const Control& c, const SceneFiles& fs,
                  const LineBuffers& b,
                  const std::function<void(const Status&)>& report) {
  // A reported single-band failure goes on; anything else ends the line.
  const auto fatal = [&](const Status& st) {
    if (st.code != Code::kWriteReported) return !st.ok();
    report(st);
    return false;
  };
  Status s = write_line_f32(line, c.nline, c.npix, 1, c.npara, b.para.data(), c.npara, fs.p);
  if (fatal(s)) return s;
  if (c.intp == 1) {
    s = write_line_i16(line, c.nline, c.npix, 1, c.ndat, b.first_fit.data(), c.ndat, fs.i);
    if (fatal(s)) return s;
  }
  s = write_line_i16(line, c.nline, c.npix, 1, c.ndat, b.fit.data(), c.ndat, fs.f);
  if (fatal(s)) return s;
  s = write_plane_u8(line, c.npix, b.order.data(), fs.order);
  if (fatal(s)) return s;
  s = write_plane_f32(line, c.npix, b.criterion.data(), fs.aic);
  if (fatal(s)) return s;
  s = write_plane_i16(line, c.npix, b.min_counts.data(), fs.min);
  if (fatal(s)) return s;
  s = write_plane_i16(line, c.npix, b.max_counts.data(), fs.max);
  if (fatal(s)) return s;
  return Status();
}

}  // namespace kov
