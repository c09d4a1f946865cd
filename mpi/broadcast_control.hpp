// Broadcast of the run parameters from the process that read the control file.
#pragma once

#include <mpi.h>

#include "base/control.hpp"

namespace kov {

// Collective over comm: afterwards c on every process equals c on root,
// including the retained excluded steps and the derived limits.
void broadcast_control(Control& c, int root, MPI_Comm comm);

}  // namespace kov
