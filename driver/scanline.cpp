// Per-line steps of the scan. The reading and writing follow the fixed band
// and product order; the pixels of a line are spread over the workers with a
// dynamic schedule, each worker owning one scratch.
#include "driver/scanline.hpp"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "base/limits.hpp"
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
      kpix(static_cast<std::size_t>(c.ndat) * npix),
      msk(c.mask == 1 ? kpix.size() : 0),
      pix(kpix.size()),
      pix0(kpix.size()),
      para(static_cast<std::size_t>(c.npara) * npix),
      aic(npix),
      order(npix),
      kmin(npix),
      kmax(npix) {}

PixelModel::PixelModel(const Control& c)
    : design(design_matrix(c.ndat, c.npoint, c.nfunc)) {
  // The envelope scratch is sized by NWIN only when the filter is on.
  // KOVARIND_FIT_CACHE=0 in the environment turns the fit cache off (same
  // products, for measuring it).
  const char* env = std::getenv("KOVARIND_FIT_CACHE");
  const bool cached = env == nullptr || std::strcmp(env, "0") != 0;
  const int workers = worker_count();
  for (int w = 0; w < workers; ++w)
    scratch.push_back(
        std::make_unique<PixelScratch>(c.ndat, envelope_on(c) ? c.nwin : 0, cached));
  results.resize(scratch.size());
}

Status allocate_scan(const Control& c, std::optional<PixelModel>& model,
                     std::optional<LineBuffers>& buffers) {
  try {
    model.emplace(c);
    buffers.emplace(c);
  } catch (const std::exception&) {
    model.reset();
    buffers.reset();
    return Status(Code::kIo, "cntl.dat: NPIX = " + std::to_string(c.npix) +
                                 ", NDAT = " + std::to_string(c.ndat) +
                                 ", NWIN = " + std::to_string(c.nwin) +
                                 ": cannot allocate the line buffers");
  }
  return Status();
}

Status read_line(int line, const Control& c, const SceneFiles& fs, LineBuffers& b) {
  Status s = read_line_i16(line, c.nline, c.npix, 1, c.ndat, b.kpix.data(), c.ndat, fs.data);
  if (s.ok() && c.mask == 1)
    s = read_line_u8(line, c.nline, c.npix, 1, c.ndat, b.msk.data(), c.ndat, fs.mask);
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
    PixelResult& r = m.results[worker];
    // first_fit is written by the pipeline only when INTP > 0; what it held
    // before is gathered but never written out.
    std::fill(std::begin(r.first_fit), std::end(r.first_fit), 0.0);
#pragma omp for schedule(dynamic, 8)
    for (long j = 0; j < npix; ++j) {
      const std::size_t col = static_cast<std::size_t>(j) * ndat;
      process_pixel(c, m.design.data(), &b.kpix[col], c.mask == 1 ? &b.msk[col] : nullptr,
                    r, ws);
      for (int i = 0; i < ndat; ++i) {
        b.pix[col + i] = r.fit[i];
        b.pix0[col + i] = r.first_fit[i];
      }
      const std::size_t pcol = static_cast<std::size_t>(j) * npara;
      for (int i = 0; i < npara; ++i) b.para[pcol + i] = r.para[i];
      b.aic[j] = r.criterion;
      b.order[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(r.order));
      b.kmin[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(r.min_counts));
      b.kmax[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(r.max_counts));
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
    s = write_line_i16(line, c.nline, c.npix, 1, c.ndat, b.pix0.data(), c.ndat, fs.i);
    if (fatal(s)) return s;
  }
  s = write_line_i16(line, c.nline, c.npix, 1, c.ndat, b.pix.data(), c.ndat, fs.f);
  if (fatal(s)) return s;
  s = write_plane_u8(line, c.npix, b.order.data(), fs.order);
  if (fatal(s)) return s;
  s = write_plane_f32(line, c.npix, b.aic.data(), fs.aic);
  if (fatal(s)) return s;
  s = write_plane_i16(line, c.npix, b.kmin.data(), fs.min);
  if (fatal(s)) return s;
  s = write_plane_i16(line, c.npix, b.kmax.data(), fs.max);
  if (fatal(s)) return s;
  return Status();
}

}  // namespace kov
