#include "driver/scene.hpp"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "driver/progress.hpp"
#include "driver/readcntl.hpp"
#include "harmonic/dims.hpp"
#include "harmonic/mkmat2.hpp"
#include "pixel/qenpros.hpp"
#include "rasterio/gtbq1f.hpp"
#include "rasterio/gtbq2f.hpp"
#include "rasterio/putbsq2.hpp"
#include "rasterio/putbsq4.hpp"
#include "rasterio/putdat1.hpp"
#include "rasterio/putdat2.hpp"
#include "rasterio/putdatf.hpp"
#include "rasterio/rasterfile.hpp"

namespace kov {
namespace {

void diagnose(const Status& s) {
  std::fflush(stdout);
  std::fprintf(stderr, "kovarind: %s\n", s.msg.c_str());
  std::fflush(stderr);
}

// Line buffers of the scan, sized once from the control values: every
// two-index buffer holds (band or parameter, pixel) with the first index
// varying fastest.
struct LineBuffers {
  LineBuffers(const Control& c)
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
  std::size_t npix;
  std::vector<std::int16_t> kpix, msk;
  std::vector<double> pix, pix0, para, aic;
  std::vector<std::int16_t> order, kmin, kmax;
};

// The open files of a run, in the order they are opened.
struct SceneFiles {
  RasterFile data, mask, p, i, f, order, aic, min, max;

  // Closes every open file; returns the first failure.
  Status close_all() {
    Status first;
    for (RasterFile* r : {&data, &mask, &p, &i, &f, &order, &aic, &min, &max}) {
      if (!r->is_open()) continue;
      Status s = r->close();
      if (first.ok() && !s.ok()) first = s;
    }
    return first;
  }
};

Status open_files(const Control& c, SceneFiles& fs) {
  // Inputs first, so that a missing input leaves no product behind.
  Status s = fs.data.open_input("data.bsq");
  if (s.ok() && c.mask == 1) s = fs.mask.open_input("mask.bsq");
  if (s.ok()) s = fs.p.open_product("p.bsq");
  if (s.ok() && c.intp == 1) s = fs.i.open_product("i.bsq");
  if (s.ok()) s = fs.f.open_product("f.bsq");
  if (s.ok()) s = fs.order.open_product("order.dat");
  if (s.ok()) s = fs.aic.open_product("aic.dat");
  if (s.ok()) s = fs.min.open_product("min.dat");
  if (s.ok()) s = fs.max.open_product("max.dat");
  return s;
}

// Runs qenpros over every pixel of the line held in b, on all workers. Each
// pixel is independent and writes only its own column of the line buffers,
// so the result does not depend on the number of threads.
void process_line(const Control& c, const PixelParams& pp, LineBuffers& b,
                  std::vector<std::unique_ptr<PixelScratch>>& scratch) {
  const int ndat = c.ndat;
  const int npara = c.npara;
  const long npix = c.npix;
#pragma omp parallel
  {
#ifdef _OPENMP
    PixelScratch& ws = *scratch[static_cast<std::size_t>(omp_get_thread_num())];
#else
    PixelScratch& ws = *scratch[0];
#endif
    std::int16_t kpix[kMaxSteps];
    std::int16_t kflg[kMaxSteps];
    double pix[kMaxSteps];
    double pix0[kMaxSteps] = {};
    double para[kMaxCols];
#pragma omp for schedule(dynamic, 8)
    for (long j = 0; j < npix; ++j) {
      const std::size_t col = static_cast<std::size_t>(j) * ndat;
      for (int i = 0; i < ndat; ++i) {
        kpix[i] = b.kpix[col + i];
        kflg[i] = c.mask == 1 ? b.msk[col + i] : std::int16_t{1};
      }
      int kmax = 0, kmin = 0, iord = 0;
      double aic = 0.0;
      qenpros(pp, kpix, pix, pix0, kflg, para, kmax, kmin, aic, iord, ws);
      // pix0 is written by qenpros only when INTP > 0; what it held before
      // is this worker's previous pixel, gathered but never written out.
      for (int i = 0; i < ndat; ++i) {
        b.pix[col + i] = pix[i];
        b.pix0[col + i] = pix0[i];
      }
      const std::size_t pcol = static_cast<std::size_t>(j) * npara;
      for (int i = 0; i < npara; ++i) b.para[pcol + i] = para[i];
      b.aic[j] = aic;
      b.order[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(iord));
      b.kmin[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(kmin));
      b.kmax[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(kmax));
    }
  }
}

int worker_count() {
#ifdef _OPENMP
  return omp_get_max_threads();
#else
  return 1;
#endif
}

}  // namespace

int scene(Build build) {
  Control c;
  Status s = readcntl("cntl.dat", build, c, stdout);
  if (!s.ok()) {
    diagnose(s);
    return 1;
  }

  std::vector<double> f(static_cast<std::size_t>(kLdT) * kMaxCols, 0.0);
  const int npoint = build == Build::kFixedPeriod ? 46 : c.npoint;
  mkmat2(c.ndat, npoint, c.nfunc, kNumk.data(), f.data());

  SceneFiles fs;
  s = open_files(c, fs);
  if (!s.ok()) {
    diagnose(s);
    fs.close_all();
    return 1;
  }

  PixelParams pp;
  pp.ndat = c.ndat;
  pp.nfunc = c.nfunc;
  pp.npara = c.npara;
  pp.nwin = c.nwin;
  pp.ndef = static_cast<int>(c.kdef.size());
  pp.kdef = c.kdef.data();
  pp.mmsw = c.mmsw;
  pp.intp = c.intp;
  pp.tlo = c.tlo;
  pp.thi = c.thi;
  pp.fitsw = c.fitsw;
  pp.mask = c.mask;
  pp.fitmd = c.fitmd;
  pp.f = f.data();

  // Buffers sized from the control values; the envelope scratch only when
  // the filter is on. A size beyond the memory ends the run with a message.
  std::optional<LineBuffers> bufs;
  std::vector<std::unique_ptr<PixelScratch>> scratch;
  const bool filter = c.mmsw > 0 && (c.fitmd == 0 || c.fitmd == 1);
  try {
    bufs.emplace(c);
    const int workers = worker_count();
    for (int w = 0; w < workers; ++w)
      scratch.push_back(std::make_unique<PixelScratch>(c.ndat, filter ? c.nwin : 0));
  } catch (const std::exception&) {
    diagnose(Status(Code::kIo, "cntl.dat: NPIX = " + std::to_string(c.npix) +
                                   ", NDAT = " + std::to_string(c.ndat) +
                                   ", NWIN = " + std::to_string(c.nwin) +
                                   ": cannot allocate the line buffers"));
    fs.close_all();
    return 1;
  }
  LineBuffers& b = *bufs;

  bool write_failed = false;
  for (int line = 1; line <= c.nline; ++line) {
    if (build == Build::kFull) {
      std::string p = progress_line(line, c.nline);
      std::fputs(p.c_str(), stdout);
    }
    s = gtbq2f(line, c.nline, c.npix, 1, c.ndat, b.kpix.data(), c.ndat, fs.data);
    if (s.code == Code::kTopBit) {
      std::printf(" %d %d\n", c.nline, c.npix);
    }
    if (s.ok() && c.mask == 1)
      s = gtbq1f(line, c.nline, c.npix, 1, c.ndat, b.msk.data(), c.ndat, fs.mask);
    if (!s.ok()) {
      diagnose(s);
      fs.close_all();
      return 1;
    }

    process_line(c, pp, b, scratch);

    // Products of the line, in their fixed order. A reported failure of a
    // single-band integer record goes on (and fails the run at its end);
    // any other failure ends the run at once.
    const auto stop = [&](const Status& st) {
      if (st.ok()) return false;
      diagnose(st);
      if (st.code == Code::kWriteReported) {
        write_failed = true;
        return false;
      }
      fs.close_all();
      return true;
    };
    if (stop(putbsq4(line, c.nline, c.npix, 1, c.npara, b.para.data(),
                     c.npara, fs.p)))
      return 1;
    if (c.intp == 1 && stop(putbsq2(line, c.nline, c.npix, 1, c.ndat,
                                    b.pix0.data(), c.ndat, fs.i)))
      return 1;
    if (stop(putbsq2(line, c.nline, c.npix, 1, c.ndat, b.pix.data(), c.ndat,
                     fs.f)))
      return 1;
    if (stop(putdat1(line, c.npix, b.order.data(), fs.order))) return 1;
    if (stop(putdatf(line, c.npix, b.aic.data(), fs.aic))) return 1;
    if (stop(putdat2(line, c.npix, b.kmin.data(), fs.min))) return 1;
    if (stop(putdat2(line, c.npix, b.kmax.data(), fs.max))) return 1;
  }

  s = fs.close_all();
  if (!s.ok()) {
    diagnose(s);
    return 1;
  }
  std::fputs(" Program Deadified\n", stdout);
  if (std::fflush(stdout) != 0) return 1;
  return write_failed ? 1 : 0;
}

}  // namespace kov
