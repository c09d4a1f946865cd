// kovarkit._engine: the pixel pipeline of kovcore for Python.
//
// A block of pixels comes in as a C-contiguous (pixels, NDAT) int16 array
// (and the mask likewise), already checked by kovarkit.core.fit for type and
// range. The control values are checked here by the same start-up checks as
// the control-file reader. The pixels are spread over threads with the GIL
// released; each worker owns one scratch and one result, and each pixel
// writes only its own row of the outputs, so the values do not depend on the
// number of threads. A signal (Ctrl-C) stops the workers within a pixel each
// and raises its exception. The stored values are those the batch program writes:
// parameters as singles, series saturated to counts, the order's low byte,
// the extremes' low 16 bits and the criterion as a single (0 beyond 1e8).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/control.hpp"
#include "driver/control_file.hpp"
#include "driver/memory_limit.hpp"
#include "harmonic/design_matrix.hpp"
#include "pixel/pipeline.hpp"
#include "rasterio/bsq_writer.hpp"
#include "rasterio/plane_writer.hpp"

namespace py = pybind11;

namespace {

using I16 = py::array_t<std::int16_t, py::array::c_style>;

[[noreturn]] void raise(PyObject* type, const std::string& msg) {
  PyErr_SetString(type, msg.c_str());
  throw py::error_already_set();
}

// The keyword of kovarkit.fit that carries the value a limit message names.
std::string argument_of(const std::string& msg) {
  if (msg.rfind("NDAT", 0) == 0) return "samples";
  if (msg.rfind("NDEF", 0) == 0) return "excluded";
  std::string key = msg.substr(0, msg.find(' '));
  for (char& ch : key) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return key;
}

// The run values for NDAT time steps from the keywords of kovarkit.fit,
// checked as the control-file reader checks them. tcld: nullopt for the
// reader's default. Excluded steps outside 1..NDAT are skipped, as the
// reader skips them.
kov::Control make_control(int ndat, int nfunc, int npoint, const std::vector<long long>& excluded,
                          int nwin, int intp, int mmsw, std::optional<double> tcld, int fitsw,
                          int fitmd, bool mask, long long npix) {
  kov::Control c;
  c.ndat = ndat;
  c.nline = 1;
  c.npix = static_cast<int>(std::min<long long>(npix, 2147483647LL));
  c.nfunc = nfunc;
  c.npoint = npoint;
  c.ndef = excluded.size() > 2147483647u ? 2147483647 : static_cast<int>(excluded.size());
  c.nwin = nwin;
  c.intp = intp;
  c.mmsw = mmsw;
  if (tcld) c.tcld = *tcld;
  c.fitsw = static_cast<std::int8_t>(fitsw);
  c.fitmd = static_cast<std::int8_t>(fitmd);
  c.mask = mask ? 1 : 0;
  const kov::Status st = kov::check_limits(c, "");
  if (!st.ok()) raise(PyExc_ValueError, argument_of(st.msg) + ": " + st.msg);
  for (long long t : excluded)
    if (t > 0 && t <= ndat) c.kdef.push_back(static_cast<std::int16_t>(t));
  kov::derive_limits(c);
  return c;
}

void check_control(int ndat, int nfunc, int npoint, const std::vector<long long>& excluded,
                   int nwin, int intp, int mmsw, std::optional<double> tcld, int fitsw,
                   int fitmd, bool mask) {
  make_control(ndat, nfunc, npoint, excluded, nwin, intp, mmsw, tcld, fitsw, fitmd, mask, 0);
}

int worker_count(int threads, long long npix) {
  int n = threads > 0 ? threads : static_cast<int>(std::thread::hardware_concurrency());
  n = std::max(n, 1);
  return static_cast<int>(std::min<long long>(n, std::max<long long>(npix, 1)));
}

// Runs work(0..workers-1) on worker threads while this thread, without the
// GIL, waits for them and every 0.1 s takes the GIL to run the signal
// handlers (Ctrl-C). When a handler raises, it sets `stop`, joins every
// worker and returns false with the exception pending. The pixels are
// handed out as they are asked for, so a thread that cannot be started
// leaves its share to the others; when none can, this thread does the work.
template <class Work>
bool run_interruptibly(const Work& work, int workers, std::atomic<bool>& stop) {
  bool raised = false;
  py::gil_scoped_release nogil;
  std::mutex m;
  std::condition_variable finished;
  int running = 0;
  std::vector<std::thread> pool;
  std::unique_lock<std::mutex> lock(m);
  for (int w = 0; w < workers; ++w) {
    try {
      pool.emplace_back([&, w] {
        work(w);
        std::lock_guard<std::mutex> done(m);
        if (--running == 0) finished.notify_one();
      });
      ++running;
    } catch (const std::system_error&) {
      break;
    }
  }
  if (pool.empty()) work(0);
  while (!finished.wait_for(lock, std::chrono::milliseconds(100), [&] { return running == 0; })) {
    lock.unlock();
    {
      py::gil_scoped_acquire gil;
      raised = PyErr_CheckSignals() != 0;
    }
    lock.lock();
    if (raised) {
      stop.store(true);
      break;
    }
  }
  lock.unlock();
  for (std::thread& t : pool) t.join();
  return !raised;
}

py::tuple fit_block(const I16& samples, const std::optional<I16>& mask, int nfunc, int npoint,
                    const std::vector<long long>& excluded, int nwin, int intp, int mmsw,
                    std::optional<double> tcld, int fitsw, int fitmd, int threads) {
  if (samples.ndim() != 2) raise(PyExc_ValueError, "samples: expected a (pixels, NDAT) block");
  const long long npix = samples.shape(0);
  const long long ndat_ll = samples.shape(1);
  if (ndat_ll > 2147483647LL) raise(PyExc_ValueError, "samples: too many time steps");
  const int ndat = static_cast<int>(ndat_ll);
  if (mask && (mask->ndim() != 2 || mask->shape(0) != npix || mask->shape(1) != ndat))
    raise(PyExc_ValueError, "mask: shape differs from samples");
  const kov::Control c = make_control(ndat, nfunc, npoint, excluded, nwin, intp, mmsw, tcld,
                                      fitsw, fitmd, mask.has_value(), npix);
  const int npara = c.npara;
  const auto n = static_cast<py::ssize_t>(npix);

  py::array_t<float> p({n, static_cast<py::ssize_t>(npara)});
  py::array_t<std::int16_t> f({n, static_cast<py::ssize_t>(ndat)});
  std::optional<py::array_t<std::int16_t>> first;
  if (c.intp == 1) first.emplace(py::array_t<std::int16_t>({n, static_cast<py::ssize_t>(ndat)}));
  py::array_t<std::uint8_t> order(n);
  py::array_t<float> aic(n);
  py::array_t<std::int16_t> kmin(n), kmax(n);

  const std::int16_t* raw = samples.data();
  const std::int16_t* msk = mask ? mask->data() : nullptr;
  float* po = p.mutable_data();
  std::int16_t* fo = f.mutable_data();
  std::int16_t* io = first ? first->mutable_data() : nullptr;
  std::uint8_t* oo = order.mutable_data();
  float* ao = aic.mutable_data();
  std::int16_t* mino = kmin.mutable_data();
  std::int16_t* maxo = kmax.mutable_data();

  const int workers = worker_count(threads, npix);
  std::vector<double> design;
  std::vector<std::unique_ptr<kov::PixelScratch>> scratch;
  std::vector<std::unique_ptr<kov::PixelResult>> results;
  try {
    design = kov::design_matrix(c.ndat, c.npoint, c.nfunc);
    for (int w = 0; w < workers; ++w) {
      scratch.push_back(
          std::make_unique<kov::PixelScratch>(c.ndat, kov::envelope_on(c) ? c.nwin : 0));
      results.push_back(std::make_unique<kov::PixelResult>());
    }
  } catch (const std::bad_alloc&) {
    raise(PyExc_MemoryError, "threads: cannot allocate the scratch of " +
                                 std::to_string(workers) + " worker(s) (NDAT = " +
                                 std::to_string(c.ndat) + ", NWIN = " + std::to_string(c.nwin) +
                                 ")");
  }

  // A pending signal sets `stop`; the workers look at it before each pixel.
  std::atomic<long long> next{0};
  std::atomic<bool> stop{false};
  constexpr long long kChunk = 16;
  const auto work = [&](int w) {
    kov::PixelScratch& ws = *scratch[w];
    kov::PixelResult& r = *results[w];
    std::fill(std::begin(r.first_fit), std::end(r.first_fit), 0.0);
    for (;;) {
      const long long b = next.fetch_add(kChunk);
      if (b >= npix) return;
      const long long e = std::min(npix, b + kChunk);
      for (long long j = b; j < e; ++j) {
        if (stop.load(std::memory_order_relaxed)) return;
        const std::size_t row = static_cast<std::size_t>(j) * ndat;
        kov::process_pixel(c, design.data(), raw + row, msk ? msk + row : nullptr, r, ws);
        for (int i = 0; i < ndat; ++i) fo[row + i] = kov::counts_i16(r.fit[i]);
        if (io)
          for (int i = 0; i < ndat; ++i) io[row + i] = kov::counts_i16(r.first_fit[i]);
        const std::size_t prow = static_cast<std::size_t>(j) * npara;
        for (int k = 0; k < npara; ++k) po[prow + k] = static_cast<float>(r.para[k]);
        oo[j] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(r.order));
        ao[j] = kov::criterion_f32(r.criterion);
        mino[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(r.min_counts));
        maxo[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(r.max_counts));
      }
    }
  };
  if (!run_interruptibly(work, workers, stop)) throw py::error_already_set();
  py::object i_out = first ? py::object(*first) : py::none();
  return py::make_tuple(p, f, i_out, order, aic, kmin, kmax);
}

// The control file at path through the programs' own reader: every value
// and the retained excluded steps (the echo the programs print is dropped).
py::dict read_control(const std::string& path, bool fixed_period) {
  char* buf = nullptr;
  std::size_t len = 0;
  std::FILE* echo = open_memstream(&buf, &len);
  if (echo == nullptr) raise(PyExc_MemoryError, path + ": cannot buffer the echo");
  kov::Control c;
  const kov::Status st = kov::read_control_file(
      path, fixed_period ? kov::Build::kFixedPeriod : kov::Build::kFull, c, echo);
  std::fclose(echo);
  std::free(buf);
  if (!st.ok()) raise(st.code == kov::Code::kIo ? PyExc_OSError : PyExc_ValueError, st.msg);
  py::dict d;
  d["ndat"] = c.ndat;
  d["nline"] = c.nline;
  d["npix"] = c.npix;
  d["nfunc"] = c.nfunc;
  d["ndef"] = c.ndef;
  d["ispot"] = c.ispot;
  d["nwin"] = c.nwin;
  d["intp"] = c.intp;
  d["select"] = static_cast<int>(c.select);
  d["mmsw"] = c.mmsw;
  d["tcld"] = c.tcld;
  d["fitsw"] = static_cast<int>(c.fitsw);
  d["mask"] = c.mask;
  d["fitmd"] = static_cast<int>(c.fitmd);
  d["npoint"] = c.npoint;
  d["npara"] = c.npara;
  d["tlo"] = c.tlo;
  d["thi"] = c.thi;
  std::vector<int> kdef(c.kdef.begin(), c.kdef.end());
  d["excluded"] = kdef;
  return d;
}

}  // namespace

PYBIND11_MODULE(_engine, m) {
  m.doc() = "The kovarind pixel pipeline (kovcore) for kovarkit.";
  m.attr("TCLD_DEFAULT") = kov::ControlValues{}.tcld;
  m.def("check_control", &check_control, py::arg("ndat"), py::arg("nfunc"), py::arg("npoint"),
        py::arg("excluded"), py::arg("nwin"), py::arg("intp"), py::arg("mmsw"),
        py::arg("tcld"), py::arg("fitsw"), py::arg("fitmd"), py::arg("mask"),
        "Raise ValueError when the control values break a start-up limit.");
  m.def("fit_block", &fit_block, py::arg("samples"), py::arg("mask"), py::arg("nfunc"),
        py::arg("npoint"), py::arg("excluded"), py::arg("nwin"), py::arg("intp"),
        py::arg("mmsw"), py::arg("tcld"), py::arg("fitsw"), py::arg("fitmd"),
        py::arg("threads"),
        "Products (p, f, i or None, order, aic, min, max) of a (pixels, NDAT) block.");
  m.def(
      "memory_available",
      [](const std::string& cgroup_root) {
        const kov::MemoryLimit m = kov::memory_available(cgroup_root);
        return py::make_tuple(m.bytes, m.source);
      },
      py::arg("cgroup_root") = "",
      "(bytes, what sets it): the memory the process can get, as the programs count it: "
      "physical memory and swap, the address-space and data-size limits, the cgroup limits "
      "(read below cgroup_root when given).");
  m.def("read_control", &read_control, py::arg("path"), py::arg("fixed_period") = false,
        "Read a control file with the programs' reader; ValueError or OSError on failure.");
}
