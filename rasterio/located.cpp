// Placing a position into a file's message, shared by the POSIX and the
// MPI-IO body of RasterFile.
#include <string>

#include "rasterio/rasterfile.hpp"

namespace kov {

Status RasterFile::located(const Status& st, const std::string& place) const {
  const std::string prefix = name_ + ": ";
  if (st.msg.compare(0, prefix.size(), prefix) == 0) {
    return Status(st.code, prefix + place + ": " + st.msg.substr(prefix.size()));
  }
  return Status(st.code, prefix + place + ": " + st.msg);
}

}  // namespace kov
