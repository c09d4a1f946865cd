// Program entry of both builds; the fixed-period build is selected by the
// compile definition KOVARIND_FIXED_PERIOD.
#include <string>
#include <vector>

#include "driver/run.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
#if defined(KOVARIND_FIXED_PERIOD) && KOVARIND_FIXED_PERIOD
  return kov::run_program(kov::Build::kFixedPeriod, args);
#else
  return kov::run_program(kov::Build::kFull, args);
#endif
}
