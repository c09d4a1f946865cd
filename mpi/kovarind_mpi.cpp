// Program entry of both distributed builds (the fixed-period one selected by
// KOVARIND_FIXED_PERIOD): one process per MPI rank, OpenMP threads within
// each; only the main thread calls MPI.
#include <mpi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mpi/run_mpi.hpp"

int main(int argc, char** argv) {
#if defined(KOVARIND_FIXED_PERIOD) && KOVARIND_FIXED_PERIOD
  const kov::Build build = kov::Build::kFixedPeriod;
#else
  const kov::Build build = kov::Build::kFull;
#endif
  int provided = 0;
  if (MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided) != MPI_SUCCESS) {
    std::fprintf(stderr, "%s: MPI could not be initialised\n",
                 kov::program_name(build, true).c_str());
    return 1;
  }
  const std::vector<std::string> args(argv + 1, argv + argc);
  const int status = kov::run_program_mpi(build, args, MPI_COMM_WORLD);
  MPI_Finalize();
  return status;
}
