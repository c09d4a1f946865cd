// The scene driver distributed over the processes of an MPI communicator.
#pragma once

#include <mpi.h>

#include <string>
#include <vector>

#include "base/control.hpp"
#include "driver/options.hpp"

namespace kov {

// Runs the program on every process of comm (collective): process 0 reads
// the control file and writes standard output; the selected lines (every
// line by default) are shared out in contiguous blocks and every process
// writes its own records of every product. Returns the exit status, the same
// on every process: 0 only when every selected line of every product was
// written, 2 when the selected lines leave the scene.
int run_scene_mpi(Build build, MPI_Comm comm, const RunOptions& opt = {});

// The program with its command-line arguments (after the program name) on
// every process of comm: help and version from process 0, usage errors
// (status 2), -C and -j on every process, then run_scene_mpi.
int run_program_mpi(Build build, const std::vector<std::string>& args, MPI_Comm comm);

}  // namespace kov
