// The scalar control values travel as the bytes of one struct (every
// process runs the same program), the excluded steps as 16-bit integers.
#include "mpi/broadcast_control.hpp"

#include <cstdint>

namespace kov {

void broadcast_control(Control& c, int root, MPI_Comm comm) {
  ControlValues& values = c;
  MPI_Bcast(&values, static_cast<int>(sizeof values), MPI_BYTE, root, comm);
  int steps = static_cast<int>(c.kdef.size());
  MPI_Bcast(&steps, 1, MPI_INT, root, comm);
  c.kdef.resize(static_cast<std::size_t>(steps));
  if (steps > 0) MPI_Bcast(c.kdef.data(), steps, MPI_INT16_T, root, comm);
}

}  // namespace kov
