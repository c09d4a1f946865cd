// The three steps of the scan over one image line, shared by the serial and
// the distributed driver: read every band of the line, run the per-pixel
// pipeline over its pixels on all workers, write the line of every product.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "base/control.hpp"
#include "driver/scene_files.hpp"
#include "pixel/pipeline.hpp"
#include "base/status.hpp"

namespace kov {

// Line buffers, sized once from the control values: every two-index buffer
// holds (band or parameter, pixel) with the first index varying fastest.
struct LineBuffers {
  explicit LineBuffers(const Control& c);
  std::size_t npix;
  std::vector<std::int16_t> raw, mask;      // inputs: samples, mask values
  std::vector<double> fit, first_fit, para, criterion;
  std::vector<std::int16_t> order, min_counts, max_counts;
};

// Run-constant inputs of the pipeline: the design matrix (built once for
// the run's period), and one scratch and one result per worker thread.
struct PixelModel {
  explicit PixelModel(const Control& c);
  PixelModel(const PixelModel&) = delete;
  PixelModel& operator=(const PixelModel&) = delete;
  std::vector<double> design;
  std::vector<std::unique_ptr<PixelScratch>> scratch;
  std::vector<PixelResult> results;  // kMaxGroup per worker
  bool grouped = true;               // pixels sharing flags fitted together
};

// Bytes that the line buffers and the pixel model of `workers` workers take.
std::uint64_t scan_bytes(const Control& c, int workers);

// Allocates the pixel model and the line buffers of a run. A size beyond
// memory_available() (checked before anything is allocated, else a failed
// allocation) gives kIo naming NPIX, NDAT, NWIN, the bytes needed and the
// limit that applied instead of ending the process.
Status allocate_scan(const Control& c, std::optional<PixelModel>& model,
                     std::optional<LineBuffers>& buffers);

// Reads line `line` of bands 1..NDAT of data.bsq and, when MASK = 1, of
// mask.bsq into b. Returns kTopBit, kShortRead or kIo with the position.
Status read_line(int line, const Control& c, const SceneFiles& fs, LineBuffers& b);

// Runs the pipeline over every pixel of the line held in b. Each pixel writes
// only its own column, so the result does not depend on the worker count.
void process_line(const Control& c, PixelModel& m, LineBuffers& b);

// Writes line `line` of every product in the writers' fixed order. A reported
// failure of a single-band integer record is handed to `report` and writing
// goes on; any other failure is returned at once.
Status write_line(int line, const Control& c, const SceneFiles& fs,
                  const LineBuffers& b,
                  const std::function<void(const Status&)>& report);

}  // namespace kov
