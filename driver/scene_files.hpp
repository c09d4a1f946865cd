// The raster files of a run: the inputs and the seven products.
#pragma once

#include "base/control.hpp"
#include "rasterio/rasterfile.hpp"
#include "base/status.hpp"

namespace kov {

struct SceneFiles {
  RasterFile data, mask, p, i, f, order, aic, min, max;

  // Opens data.bsq and, when MASK = 1, mask.bsq; a missing input is an error
  // and is never created. Stops at the first failure.
  Status open_inputs(const Control& c);
  // Opens the products in their fixed order (i.bsq only when INTP = 1),
  // creating absent ones and truncating none. Stops at the first failure.
  Status open_products(const Control& c);
  // Closes every open file; returns the first failure.
  Status close_all();
};

}  // namespace kov
