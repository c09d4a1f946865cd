// Report of a failed record write in the single-band integer writers: the
// record goes to standard output, the run goes on and ends with status 1.
#include "rasterio/putdatfail.hpp"

#include <cstdio>
#include <string>

namespace kov {

Status putdatfail(int line, std::size_t i, const std::int16_t* values,
                  const Status& st, const RasterFile& file) {
  std::printf(" %d %zu %d\n", line, i, static_cast<int>(values[i - 1]));
  std::fflush(stdout);
  const Status where = file.located(
      st, "line " + std::to_string(line) + ", pixel " + std::to_string(i));
  return Status(Code::kWriteReported,
                where.msg + "; the rest of the line is not written");
}

}  // namespace kov
