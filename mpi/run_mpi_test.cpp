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
    std::string msg = l.rfind("kovarind: ", 0) == 0 ? l.substr(10) : "";
    if (std::regex_match(l, m, mpi)) {
      msg = m[2];
      const bool named = std::regex_search(msg, n, line);
      EXPECT_EQ(std::stoi(m[1]), named ? line_owner(std::stoi(n[1]), nline, ranks) : 0) << l;
    }
    if (!msg.empty()) out.push_back(std::regex_search(msg, n, what) ? n[1].str() : msg);
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

struct Job {
  std::vector<std::string> scene;                 // mkscene arguments
  int status;                                     // of both programs
  std::function<void(const TempDir&)> prepare;  // applied to every copy
  std::vector<int> ranks = {2};
  int threads = 1;
  // Compares the files of the serial and the MPI run; all of them by default.
  std::function<void(const TempDir&, const TempDir&)> compare = [](auto& serial, auto& d) {
    EXPECT_EQ(snapshot(d), snapshot(serial));
  };
  std::vector<std::string> args = {};  // options of both programs
  bool fixed = false;                  // the fixed-period programs
};

// A run that does not end within a minute is killed (status 124): a hang fails.
RunResult run_mpi(const TempDir& d, int ranks, int threads, bool fixed,
                  const std::vector<std::string>& args) {
  std::vector<std::string> argv = {
      "/usr/bin/timeout", "-k", "5", "60", KOVARIND_MPIEXEC, "--allow-run-as-root",
      "--oversubscribe", "--bind-to", "none", "-np", std::to_string(ranks),
      fixed ? KOVARIND_FIXED_MPI_EXE : KOVARIND_MPI_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, d.path(), {"OMP_NUM_THREADS=" + std::to_string(threads)});
}

void expect_like_serial(const Job& job) {
  const auto setup = [&](const TempDir& d) {
    mkscene(d, job.scene);
    if (job.prepare) job.prepare(d);
  };
  TempDir serial;
  setup(serial);
  std::vector<std::string> argv = {job.fixed ? KOVARIND_FIXED_EXE : KOVARIND_EXE};
  argv.insert(argv.end(), job.args.begin(), job.args.end());
  const RunResult want = run(argv, serial.path(), {"OMP_NUM_THREADS=2"});
  ASSERT_EQ(want.status, job.status) << want.err;
  const int nline = std::stoi(job.scene[1]);
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

const auto with_cntl = [](const std::string& text) {
  return [=](const TempDir& d) { write_file(d.file("cntl.dat"), text); };
};
const auto old_products = [](char fill) {
  return [=](const TempDir& d) {
    for (const char* name : kProducts) write_file(d.file(name), std::string(4416, fill));
  };
};
// Six lines: on two ranks rank 0 holds lines 1..3, rank 1 lines 4..6.
std::vector<std::string> six(std::vector<std::string> more = {}) {
  more.insert(more.begin(), {"--lines", "6", "--pixels", "4", "--seed", "26"});
  return more;
}

TEST(RunMpi, ProductsOutputAndFailuresMatchTheSerialPrograms) {
  const std::vector<std::string> mask = {"--lines", "7", "--pixels", "5", "--mask", "--intp"},
                                  plain = {"--lines", "7", "--pixels", "5", "--intp"};
  const auto same = Job{}.compare;
  const Job jobs[] = {
      {{"--lines", "7", "--pixels", "5", "--intp", "--exclude", "5,60,17", "--seed", "21"}, 0, {},
       {1, 2, 3}},
      // Control values away from their defaults, over longer old products.
      {{"--lines", "3", "--pixels", "4", "--seed", "25"}, 0,
       [](const TempDir& d) {
         write_file(d.file("cntl.dat"),
                    "46\n3 4\n &DATA NFUNC=4, NDEF=2 /\n &CONTRL NWIN=2, INTP=1, TCLD=0.2, "
                    "FITSW=0, FITMD=1 /\n &NPT NPOINT=23 /\n9\n30\n");
         old_products('\xA5')(d);
       }},
      // Fewer lines than ranks, two threads each; FITSW acts only with a mask.
      {{"--lines", "2", "--pixels", "9", "--mask", "--seed", "23"}, 0,
       with_cntl("46\n2 9\n&DATA /\n&CONTRL MASK=1, INTP=1, FITSW=0 /\n&NPT /\n"), {3}, 2},
      // Rank 1 fails at line 5 while rank 0 still has line 3 to complete.
      {six({"--top-bit", "5"}), 1, {}},
      // Rank 0 fails at line 2: line 1 complete, line 2 untouched.
      {six({"--top-bit", "2"}), 1, old_products('\x5A'), {2}, 1,
       [](auto& serial, auto& d) {
         expect_lines_intact(serial, d, control_of(serial), 1, 2, '\x5A');
       }},
      // A failed write of min.dat is reported per line and the run goes on.
      {six(), 1, [](auto& d) { ASSERT_EQ(symlink("/dev/full", d.file("min.dat").c_str()), 0); }},
      // A start-up failure ends every rank once and creates nothing.
      {{"--lines", "1", "--pixels", "1", "--no-cntl"}, 1,
       with_cntl("46\n1 1\n&DATA NDEF=3 /\n&CONTRL /\n&NPT NPOINT=0 /\n4\n7\n9\n"), {3}},
      // The fixed-period programs, and options of both programs.
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
