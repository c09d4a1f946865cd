// Test entry for tests that run inside an MPI process.
#include <mpi.h>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int rc = RUN_ALL_TESTS();
  MPI_Finalize();
  return rc;
}
