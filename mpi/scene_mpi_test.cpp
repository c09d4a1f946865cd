// End-to-end tests of kovarind-mpi: scenes generated with mkscene run under
// mpirun with 1, 2 and 3 ranks beside the serial program, and every product
// byte, the standard output and the exit status are compared with it.

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/testing.hpp"

namespace kov {
namespace {

using e2e::exists;
using e2e::read_file;
using e2e::RunResult;
using e2e::ScratchDir;
using e2e::write_file;

const char* const kProducts[] = {"p.bsq",   "i.bsq",   "f.bsq",  "order.dat",
                                 "aic.dat", "min.dat", "max.dat"};

void mkscene(const ScratchDir& d, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {KOVARIND_MKSCENE_EXE, d.path()};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult r = e2e::run(argv, d.path());
  ASSERT_EQ(r.status, 0) << r.err;
}

RunResult run_serial(const ScratchDir& d) {
  return e2e::run({KOVARIND_EXE}, d.path(), {"OMP_NUM_THREADS=2"});
}

// Runs kovarind-mpi on `ranks` processes; a run that does not end within a
// minute is killed and shows status 124, so a hang fails the test.
RunResult run_mpi(const ScratchDir& d, int ranks, int threads = 1) {
  return e2e::run({"/usr/bin/timeout", "-k", "5", "60", KOVARIND_MPIEXEC,
                   "--allow-run-as-root", "--oversubscribe", "--bind-to", "none",
                   "-np", std::to_string(ranks), KOVARIND_MPI_EXE},
                  d.path(), {"OMP_NUM_THREADS=" + std::to_string(threads)});
}

// Copies the inputs (and any products already there) of one directory.
void copy_scene(const ScratchDir& from, const ScratchDir& to) {
  for (const char* name : {"cntl.dat", "data.bsq", "mask.bsq", "p.bsq", "i.bsq",
                           "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"})
    if (exists(from.file(name))) write_file(to.file(name), read_file(from.file(name)));
}

// Diagnostic lines of the program (mpirun adds its own notes on failure).
std::vector<std::string> diagnostics(const std::string& err) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < err.size()) {
    std::size_t end = err.find('\n', pos);
    if (end == std::string::npos) end = err.size();
    std::string line = err.substr(pos, end - pos);
    if (line.rfind("kovarind-mpi: ", 0) == 0) lines.push_back(line);
    pos = end + 1;
  }
  return lines;
}

void expect_same_products(const ScratchDir& want, const ScratchDir& got,
                          const std::string& what) {
  for (const char* name : kProducts) {
    ASSERT_EQ(exists(want.file(name)), exists(got.file(name))) << name << what;
    EXPECT_TRUE(read_file(want.file(name)) == read_file(got.file(name)))
        << name << " differs" << what;
  }
}

// Runs the serial program on `scene` and the MPI program on copies of it with
// 1, 2 and 3 ranks; everything must match.
void expect_like_serial(const ScratchDir& scene, const std::string& label,
                        int threads = 1) {
  ScratchDir serial;
  copy_scene(scene, serial);
  const RunResult want = run_serial(serial);
  ASSERT_EQ(want.status, 0) << want.err;
  for (int ranks = 1; ranks <= 3; ++ranks) {
    ScratchDir d;
    copy_scene(scene, d);
    const std::string what = " (" + label + ", " + std::to_string(ranks) + " ranks)";
    const RunResult got = run_mpi(d, ranks, threads);
    EXPECT_EQ(got.status, 0) << got.err << what;
    EXPECT_EQ(got.err, "") << what;
    EXPECT_EQ(got.out, want.out) << what;
    expect_same_products(serial, d, what);
  }
}

TEST(SceneMpi, ProductsAndOutputMatchTheSerialProgramOnOneToThreeRanks) {
  {  // 7 lines: no even split over 2 or 3 ranks; excluded steps echoed
    ScratchDir d;
    mkscene(d, {"--lines", "7", "--pixels", "5", "--intp", "--exclude", "5,60,17",
                "--seed", "21"});
    expect_like_serial(d, "7 lines, INTP");
  }
  {  // mask variant, updating longer products left by an earlier run in place
    ScratchDir d;
    mkscene(d, {"--lines", "4", "--pixels", "6", "--mask", "--seed", "22"});
    for (const char* name : kProducts)
      write_file(d.file(name), std::string(4000, static_cast<char>(0xA5)));
    expect_like_serial(d, "MASK, old products");
  }
  {  // fewer lines than ranks, and two threads per rank
    ScratchDir d;
    mkscene(d, {"--lines", "2", "--pixels", "9", "--intp", "--seed", "23"});
    expect_like_serial(d, "2 lines", 2);
  }
  {  // one line; and an empty scene
    ScratchDir one, none;
    mkscene(one, {"--lines", "1", "--pixels", "3", "--seed", "24"});
    mkscene(none, {"--lines", "0", "--pixels", "3"});
    expect_like_serial(one, "1 line");
    expect_like_serial(none, "0 lines");
  }
}

TEST(SceneMpi, EveryControlValueReachesEveryRank) {
  // Values away from every default: a parameter that process 0 read but did
  // not hand on would change the products of the other ranks.
  ScratchDir d;
  mkscene(d, {"--lines", "3", "--pixels", "4", "--seed", "25", "--no-cntl"});
  write_file(d.file("cntl.dat"),
             "46\n3 4\n &DATA NFUNC=4, NDEF=2 /\n"
             " &CONTRL NWIN=2, INTP=1, MMSW=1, TCLD=0.2, FITSW=0, MASK=0, FITMD=1 /\n"
             " &NPT NPOINT=23 /\n9\n30\n");
  expect_like_serial(d, "control values");
}

// A scene of 6 lines of 4 pixels, for the failure tests on 2 ranks: rank 0
// holds lines 1..3, rank 1 lines 4..6.
void failing_pair(ScratchDir& serial, ScratchDir& mpi,
                  const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"--lines", "6", "--pixels", "4", "--seed", "26"};
  args.insert(args.end(), extra.begin(), extra.end());
  mkscene(serial, args);
  mkscene(mpi, args);
}

TEST(SceneMpi, TopBitOnALaterRankStillCompletesEveryEarlierLine) {
  // Rank 1 fails at line 5 in its second round while rank 0 has line 3 to
  // go: the job must finish it, and the result is the serial one.
  ScratchDir serial, d;
  failing_pair(serial, d, {"--top-bit", "5"});
  const RunResult want = run_serial(serial);
  ASSERT_EQ(want.status, 1);
  const RunResult got = run_mpi(d, 2);
  EXPECT_EQ(got.status, 1) << got.err;
  EXPECT_EQ(got.out, want.out);
  const auto diag = diagnostics(got.err);
  ASSERT_EQ(diag.size(), 1u) << got.err;
  EXPECT_NE(diag[0].find("rank 1: data.bsq: band 24, line 5, pixel 3"), std::string::npos)
      << diag[0];
  expect_same_products(serial, d, " (top bit in line 5)");
}

TEST(SceneMpi, TopBitOnTheFirstRankLeavesItsLineUntouched) {
  ScratchDir serial, d;
  failing_pair(serial, d, {"--top-bit", "2"});
  const RunResult want = run_serial(serial);
  for (const char* name : kProducts)  // sentinel content shows what was written
    write_file(d.file(name), std::string(4 * 46 * 24, '\x5A'));
  const RunResult got = run_mpi(d, 2);
  EXPECT_EQ(got.status, 1) << got.err;
  EXPECT_EQ(got.out, want.out);
  EXPECT_EQ(got.out.substr(got.out.size() - 5), " 6 4\n");
  const auto diag = diagnostics(got.err);
  ASSERT_EQ(diag.size(), 1u) << got.err;
  EXPECT_NE(diag[0].find("rank 0: data.bsq: band 24, line 2"), std::string::npos) << diag[0];
  // Line 1 is the serial result in every band; line 2 was never written.
  struct P {
    const char* name;
    std::size_t bands, rec;
  } products[] = {{"p.bsq", 14, 4}, {"f.bsq", 46, 2}, {"order.dat", 1, 1},
                  {"aic.dat", 1, 4}, {"min.dat", 1, 2}, {"max.dat", 1, 2}};
  for (const P& p : products) {
    const std::string ref = read_file(serial.file(p.name));
    const std::string out = read_file(d.file(p.name));
    const std::size_t line = 4 * p.rec, band = 6 * line;
    for (std::size_t k = 0; k < p.bands; ++k) {
      EXPECT_EQ(out.substr(k * band, line), ref.substr(k * band, line)) << p.name;
      EXPECT_EQ(out.substr(k * band + line, line), std::string(line, '\x5A')) << p.name;
    }
  }
}

TEST(SceneMpi, ShortInputEndsEveryRankWithTheSerialResult) {
  ScratchDir serial, d;
  failing_pair(serial, d, {});
  for (const ScratchDir* s : {&serial, &d}) {
    const std::string data = read_file(s->file("data.bsq"));
    write_file(s->file("data.bsq"), data.substr(0, data.size() - 3));  // inside line 6
  }
  const RunResult want = run_serial(serial);
  ASSERT_EQ(want.status, 1);
  const RunResult got = run_mpi(d, 2);
  EXPECT_EQ(got.status, 1) << got.err;
  EXPECT_EQ(got.out, want.out);
  const auto diag = diagnostics(got.err);
  ASSERT_EQ(diag.size(), 1u) << got.err;
  EXPECT_NE(diag[0].find("rank 1: data.bsq: band 46, line 6, pixel 3"), std::string::npos)
      << diag[0];
  expect_same_products(serial, d, " (short input)");
}

TEST(SceneMpi, FailedWritesEndTheJobOrAreReportedByTheirRank) {
  {  // a product on a full device: every rank fails, line 1 decides
    ScratchDir serial, d;
    failing_pair(serial, d, {});
    for (const ScratchDir* s : {&serial, &d})
      ASSERT_EQ(symlink("/dev/full", s->file("aic.dat").c_str()), 0);
    const RunResult want = run_serial(serial);
    ASSERT_EQ(want.status, 1);
    const RunResult got = run_mpi(d, 2);
    EXPECT_EQ(got.status, 1) << got.err;
    EXPECT_EQ(got.out, want.out);
    const auto diag = diagnostics(got.err);
    ASSERT_EQ(diag.size(), 1u) << got.err;
    EXPECT_NE(diag[0].find("rank 0: aic.dat: line 1: write at byte offset 0"),
              std::string::npos)
        << diag[0];
  }
  {  // a single-band integer product: each rank reports its own lines, the
     // run goes on to the end and fails
    ScratchDir d;
    mkscene(d, {"--lines", "6", "--pixels", "4", "--seed", "27"});
    ASSERT_EQ(symlink("/dev/full", d.file("min.dat").c_str()), 0);
    const RunResult got = run_mpi(d, 2);
    EXPECT_EQ(got.status, 1) << got.err;
    EXPECT_NE(got.out.find(" Program Deadified\n"), std::string::npos) << got.out;
    const auto diag = diagnostics(got.err);
    EXPECT_EQ(diag.size(), 6u) << got.err;
    EXPECT_EQ(std::count_if(diag.begin(), diag.end(),
                            [](const std::string& l) {
                              return l.find("rank 1: min.dat: line 5, pixel 1") !=
                                     std::string::npos;
                            }),
              1)
        << got.err;
  }
}

TEST(SceneMpi, StartUpFailuresEndEveryRankOnceAndCreateNothing) {
  {  // rejected control file: the echo and one diagnostic, from rank 0 only
    ScratchDir serial, d;
    const char* cntl = "46\n1 1\n&DATA NDEF=3 /\n&CONTRL /\n&NPT NPOINT=0 /\n4\n7\n9\n";
    write_file(serial.file("cntl.dat"), cntl);
    write_file(d.file("cntl.dat"), cntl);
    const RunResult want = run_serial(serial);
    const RunResult got = run_mpi(d, 3);
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, want.out);
    const auto diag = diagnostics(got.err);
    ASSERT_EQ(diag.size(), 1u) << got.err;
    EXPECT_NE(diag[0].find("cntl.dat"), std::string::npos) << diag[0];
    for (const char* name : kProducts) EXPECT_FALSE(exists(d.file(name))) << name;
  }
  {  // missing input: never created, no product behind
    ScratchDir d;
    mkscene(d, {"--lines", "3", "--pixels", "2", "--mask"});
    ASSERT_EQ(unlink(d.file("mask.bsq").c_str()), 0);
    const RunResult got = run_mpi(d, 2);
    EXPECT_EQ(got.status, 1);
    const auto diag = diagnostics(got.err);
    ASSERT_EQ(diag.size(), 1u) << got.err;
    EXPECT_NE(diag[0].find("rank 0: mask.bsq"), std::string::npos) << diag[0];
    EXPECT_FALSE(exists(d.file("mask.bsq")));
    for (const char* name : kProducts) EXPECT_FALSE(exists(d.file(name))) << name;
  }
  {  // a product that cannot be opened (a directory in its place)
    ScratchDir d;
    mkscene(d, {"--lines", "3", "--pixels", "2"});
    ASSERT_EQ(mkdir(d.file("aic.dat").c_str(), 0777), 0);
    const RunResult got = run_mpi(d, 2);
    EXPECT_EQ(got.status, 1);
    const auto diag = diagnostics(got.err);
    ASSERT_EQ(diag.size(), 1u) << got.err;
    EXPECT_NE(diag[0].find("aic.dat"), std::string::npos) << diag[0];
  }
}

}  // namespace
}  // namespace kov
