// Program entry of both builds; the fixed-period build is selected by the
// compile definition KOVARIND_FIXED_PERIOD.
#include "driver/run.hpp"

int main() {
#if defined(KOVARIND_FIXED_PERIOD) && KOVARIND_FIXED_PERIOD
  return kov::run_scene(kov::Build::kFixedPeriod);
#else
  return kov::run_scene(kov::Build::kFull);
#endif
}
