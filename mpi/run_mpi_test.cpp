// kovarind-mpi under mpirun beside the serial program on the same scene: exit
// status, standard output, diagnostics and every file must agree.

#include <algorithm>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/line_blocks.hpp"
#include "test/support.hpp"

namespace kov {
namespace {

using namespace test;

// A run that does not end within a minute is killed (status 124): a hang fails.
RunResult run_mpi(const TempDir& d, int ranks, int threads, bool fixed = false,
                  const std::vector<std::string>& args = {}) {
  std::vector<std::string> argv = {
      "/usr/bin/timeout", "-k", "5", "60", KOVARIND_MPIEXEC, "--allow-run-as-root", "--oversubscribe",
      "--bind-to", "none", "-np", std::to_string(ranks), fixed ? KOVARIND_FIXED_MPI_EXE : KOVARIND_MPI_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, d.path(), {"OMP_NUM_THREADS=" + std::to_string(threads)});
}

// The diagnostics of either program, sorted, without their prefix and the
// system's wording of the cause (MPI-IO words it differently). A line of
// kovarind-mpi must come from the rank owning the line it names, else rank 0.
std::vector<std::string> diagnostics(const std::string& err, int nline, int ranks) {
  const std::regex mpi("kovarind-mpi: rank (\\d+): (.*)"), line("line (\\d+)"),
      what("^(.*?byte offset \\d+|[^:]*: [^:]*)");
  std::vector<std::string> out;
  std::istringstream in(err);
  for (std::string l; std::getline(in, l);) {
    std::smatch m, n;
    std::string msg;
    if (l.rfind("kovarind: ", 0) == 0) {
      msg = l.substr(10);
    } else if (std::regex_match(l, m, mpi)) {
      msg = m[2];
      const int owner =
          std::regex_search(msg, n, line) ? line_owner(std::stoi(n[1]), nline, ranks) : 0;
      EXPECT_EQ(std::stoi(m[1]), owner) << l;
    } else {
      continue;
    }
    out.push_back(std::regex_search(msg, n, what) ? n[1].str() : msg);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Standard output in order, except the failed-record reports of the
// single-band writers ("line pixel value"), which any rank may write.
std::vector<std::string> output(const std::string& out) {
  const std::regex report(" -?\\d+ -?\\d+ -?\\d+");
  std::vector<std::string> lines, reports;
  std::istringstream in(out);
  for (std::string l; std::getline(in, l);)
    (std::regex_match(l, report) ? reports : lines).push_back(l);
  std::sort(reports.begin(), reports.end());
  lines.insert(lines.end(), reports.begin(), reports.end());
  return lines;
}

void expect_same_files(const TempDir& want, const TempDir& got) {
  const auto a = snapshot(want), b = snapshot(got);
  EXPECT_EQ(a.size(), b.size());
  for (const auto& [name, bytes] : a) EXPECT_TRUE(b.count(name) && b.at(name) == bytes) << name;
}

struct Job {
  std::vector<std::string> scene;                       // mkscene arguments
  int status;                                           // of both programs
  std::function<void(const TempDir&)> prepare = {};  // applied to every copy
  std::vector<int> ranks = {2};
  int threads = 1;
  // Compares the files of the serial and the MPI run; all of them by default.
  std::function<void(const TempDir&, const TempDir&)> compare = expect_same_files;
  std::vector<std::string> args = {};  // options of both programs
  bool fixed = false;                  // the fixed-period programs
};

void expect_like_serial(const Job& job) {
  const auto setup = [&](const TempDir& d) {
    mkscene(d, job.scene);
    if (job.prepare) job.prepare(d);
  };
  const int nline = std::stoi(*(std::find(job.scene.begin(), job.scene.end(), "--lines") + 1));
  TempDir serial;
  setup(serial);
  std::vector<std::string> argv = {job.fixed ? KOVARIND_FIXED_EXE : KOVARIND_EXE};
  argv.insert(argv.end(), job.args.begin(), job.args.end());
  const RunResult want = run(argv, serial.path(), {"OMP_NUM_THREADS=2"});
  ASSERT_EQ(want.status, job.status) << want.err;
  for (int ranks : job.ranks) {
    SCOPED_TRACE(job.scene[1] + " lines on " + std::to_string(ranks) + " ranks");
    TempDir d;
    setup(d);
    const RunResult got = run_mpi(d, ranks, job.threads, job.fixed, job.args);
    EXPECT_EQ(got.status, want.status) << got.err;
    EXPECT_EQ(output(got.out), output(want.out));
    EXPECT_EQ(diagnostics(got.err, nline, ranks), diagnostics(want.err, nline, ranks));
    job.compare(serial, d);
  }
}

const auto with_file = [](const std::string& name, const std::string& bytes) {
  return [=](const TempDir& d) { write_file(d.file(name), bytes); };
};
const auto full_device = [](const std::string& name) {
  return [=](const TempDir& d) { ASSERT_EQ(symlink("/dev/full", d.file(name).c_str()), 0); };
};

TEST(RunMpi, ProductsAndOutputMatchTheSerialProgram) {
  const std::string cntl =
      "46\n3 4\n &DATA NFUNC=4, NDEF=2 /\n"
      " &CONTRL NWIN=2, INTP=1, MMSW=1, TCLD=0.2, FITSW=0, MASK=0, FITMD=1 /\n"
      " &NPT NPOINT=23 /\n9\n30\n";
  const Job jobs[] = {
      {{"--lines", "7", "--pixels", "5", "--intp", "--exclude", "5,60,17", "--seed", "21"},
       0,
       {},
       {1, 2, 3}},
      // Control values away from their defaults, over longer old products.
      {{"--lines", "3", "--pixels", "4", "--seed", "25"},
       0,
       [&](const TempDir& d) {
         write_file(d.file("cntl.dat"), cntl);
         for (const char* name : kProducts) write_file(d.file(name), std::string(4000, '\xA5'));
       }},
      // Fewer lines than ranks, two threads each; FITSW acts only with a mask.
      {{"--lines", "2", "--pixels", "9", "--mask", "--seed", "23"},
       0,
       with_file("cntl.dat", "46\n2 9\n&DATA /\n&CONTRL MASK=1, INTP=1, FITSW=0 /\n&NPT /\n"),
       {3},
       2},
      {{"--lines", "0", "--pixels", "3"}, 0},
  };
  for (const Job& job : jobs) expect_like_serial(job);
}

// Six lines: on two ranks rank 0 holds lines 1..3, rank 1 lines 4..6.
const std::vector<std::string> kSix = {"--lines", "6", "--pixels", "4", "--seed", "26"};

TEST(RunMpi, BadInputOnAnyRankEndsTheJobLikeTheSerialProgram) {
  const auto with = [](const std::string& top_bit_line) {
    std::vector<std::string> args = kSix;
    args.insert(args.end(), {"--top-bit", top_bit_line});
    return args;
  };
  const Job jobs[] = {
      // Rank 1 fails at line 5 while rank 0 still has line 3 to complete.
      {with("5"), 1},
      // Rank 0 fails at line 2: line 1 complete, line 2 untouched.
      {with("2"),
       1,
       [](const TempDir& d) {
         for (const char* name : kProducts) write_file(d.file(name), std::string(4416, '\x5A'));
       },
       {2},
       1,
       [](const TempDir& serial, const TempDir& d) {
         expect_lines_intact(serial, d, control_of(serial), 1, 2, '\x5A');
       }},
      {kSix, 1,
       [](const TempDir& d) {
         const std::string data = read_file(d.file("data.bsq"));
         write_file(d.file("data.bsq"), data.substr(0, data.size() - 3));
       }},
  };
  for (const Job& job : jobs) expect_like_serial(job);
}

TEST(RunMpi, FailedWriteOnAnyRankEndsTheJobLikeTheSerialProgram) {
  const Job jobs[] = {
      // Line 1 fails on rank 0 while rank 1 writes line 4: no line is complete.
      {kSix, 1, full_device("aic.dat"), {2}, 1, [](const TempDir&, const TempDir&) {}},
      {kSix, 1, full_device("min.dat")},  // reported per line, the run goes on
  };
  for (const Job& job : jobs) expect_like_serial(job);
}

TEST(RunMpi, StartUpFailureEndsEveryRankOnceAndCreatesNothing) {
  const Job jobs[] = {
      {{"--lines", "1", "--pixels", "1", "--no-cntl"},
       1,
       with_file("cntl.dat", "46\n1 1\n&DATA NDEF=3 /\n&CONTRL /\n&NPT NPOINT=0 /\n4\n7\n9\n"),
       {3}},
      {{"--lines", "3", "--pixels", "2", "--mask"},
       1,
       [](const TempDir& d) { ASSERT_EQ(unlink(d.file("mask.bsq").c_str()), 0); }},
      {{"--lines", "3", "--pixels", "2"},
       1,
       [](const TempDir& d) { ASSERT_EQ(mkdir(d.file("aic.dat").c_str(), 0777), 0); }},
  };
  for (const Job& job : jobs) expect_like_serial(job);
}

TEST(RunMpi, FixedPeriodProgramAndOptionsMatchTheSerialPrograms) {
  const std::vector<std::string> mask = {"--lines", "7", "--pixels", "5", "--mask", "--intp"},
                                  plain = {"--lines", "7", "--pixels", "5", "--intp"};
  const auto same = expect_same_files;
  const Job jobs[] = {
      {mask, 0, {}, {1, 2, 3}, 1, same, {}, true},
      {plain, 0, {}, {2, 3}, 1, same, {"-C", ".", "--lines", "2-6", "-j", "2"}},
      {mask, 0, {}, {2}, 1, same, {"-q", "--lines=7-7"}, true},
  };
  for (const Job& job : jobs) expect_like_serial(job);
  // A usage error is written once, by rank 0, and nothing is created.
  TempDir d;
  const RunResult r = run_mpi(d, 3, 1, true, {"--frob"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("kovarind-fixed-mpi: "), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("kovarind-fixed-mpi: "), r.err.rfind("kovarind-fixed-mpi: ")) << r.err;
}

}  // namespace
}  // namespace kov
