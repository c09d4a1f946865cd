// The scene driver distributed over the processes of an MPI communicator.
#pragma once

#include <mpi.h>

#include "base/control.hpp"

namespace kov {

// Runs the program on every process of comm (collective): process 0 reads
// the control file and writes standard output; the lines are shared out in
// contiguous blocks and every process writes its own records of every
// product. Returns the exit status, the same on every process: 0 only when
// every line of every product was written.
int run_scene_mpi(Build build, MPI_Comm comm);

}  // namespace kov
