// Program entry of the distributed build: one process per MPI rank, OpenMP
// threads within each; only the main thread calls MPI.
#include <mpi.h>

#include <cstdio>

#include "mpi/run_mpi.hpp"

int main(int argc, char** argv) {
  int provided = 0;
  if (MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided) != MPI_SUCCESS) {
    std::fprintf(stderr, "kovarind-mpi: MPI could not be initialised\n");
    return 1;
  }
  const int status = kov::run_scene_mpi(kov::Build::kFull, MPI_COMM_WORLD);
  MPI_Finalize();
  return status;
}
