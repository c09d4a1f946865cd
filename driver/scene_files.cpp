// Opening order of a run: inputs first, so that a missing input leaves no
// product behind, then the products in the order of their writers.
#include "driver/scene_files.hpp"

namespace kov {

Status SceneFiles::open_inputs(const Control& c) {
  Status s = data.open_input("data.bsq");
  if (s.ok() && c.mask == 1) s = mask.open_input("mask.bsq");
  return s;
}

Status SceneFiles::open_products(const Control& c) {
  Status s = p.open_product("p.bsq");
  if (s.ok() && c.intp == 1) s = i.open_product("i.bsq");
  if (s.ok()) s = f.open_product("f.bsq");
  if (s.ok()) s = order.open_product("order.dat");
  if (s.ok()) s = aic.open_product("aic.dat");
  if (s.ok()) s = min.open_product("min.dat");
  if (s.ok()) s = max.open_product("max.dat");
  return s;
}

Status SceneFiles::close_all() {
  Status first;
  for (RasterFile* r : {&data, &mask, &p, &i, &f, &order, &aic, &min, &max}) {
    if (!r->is_open()) continue;
    Status s = r->close();
    if (first.ok() && !s.ok()) first = s;
  }
  return first;
}

}  // namespace kov
