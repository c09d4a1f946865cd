// The programs' command line end to end: every option and usage error, and
// line ranges run as separate jobs against one run over the whole scene.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/line_blocks.hpp"
#include "test/support.hpp"

namespace kov {
namespace {

using namespace test;

TEST(Cli, EveryOptionAndUsageError) {
  const std::vector<std::string> three = {"--lines", "3", "--pixels", "4", "--seed", "8"};
  TempDir ref;
  mkscene(ref, three);
  ASSERT_EQ(run_kovarind(ref).status, 0);
  const std::string done = " Program Deadified\n", see = " (see 'kovarind --help')\n";
  const char *full = KOVARIND_EXE, *fixed = KOVARIND_FIXED_EXE;
  struct Case {
    std::vector<std::string> args;  // after -C SCENE
    int status;
    std::string out, err;  // out: what standard output begins with; err: a part
    const char* exe;
    char files = '=';  // '=': scene unchanged, 'w': as after a whole run
  } cases[] = {
      {{"--help"}, 0, "Usage: kovarind [OPTION]...\n", "", full},
      {{"-h"}, 0, "Usage: kovarind-fixed [OPTION]...\n", "", fixed},
      {{"--version"}, 0, "kovarind 1.1.0\n", "", full},
      {{"-qj1", "--"}, 0, done, "", full, 'w'},
      {{"--threads=3", "--lines=1-3"}, 0, progress(3, 3) + done, "", full, 'w'},
      {{"--directory=.", "-j", "4096", "--quiet"}, 0, done, "", fixed, 'w'},
      {{"--fr\nob"}, 2, "", "argument 3: unknown option '--fr?ob'", full},
      {{"--frob", "-h"}, 2, "", "kovarind: argument 3: unknown option '--frob'" + see, full},
      {{"x"}, 2, "", "kovarind-fixed: argument 3: unexpected operand 'x'; the scene", fixed},
      {{"-j", "0"}, 2, "", "argument 3: '-j 0': expected a number of threads from 1 to 4096", full},
      {{"-j"}, 2, "", "option '-j' needs a value", full},
      {{"--quiet=1"}, 2, "", "option '--quiet' takes no value", full},
      {{"--lines", "3"}, 2, "", "'--lines 3': expected FIRST-LAST, line numbers with 1 <= FIRST <= LAST", full},
      {{"--lines", "0-2"}, 2, "", "FIRST-LAST", full},
      {{"--lines", "3-2"}, 2, "", "FIRST-LAST", full},
      {{"--lines", "1-2-3"}, 2, "", "FIRST-LAST", full},
      {{"--lines", "2-4"}, 2, "", "'--lines 2-4': expected lines within 1..3 (NLINE in cntl.dat)" + see, full},
      {{"-C", "nowhere"}, 1, "", "/nowhere: cannot change into the scene directory: No such file", full},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.args[0]);
    TempDir scene, here;
    mkscene(scene, three);
    const auto before = snapshot(scene);
    std::vector<std::string> argv = {k.exe, "-C", scene.path()};
    argv.insert(argv.end(), k.args.begin(), k.args.end());
    const RunResult r = run(argv, here.path(), {"OMP_NUM_THREADS=2"});
    EXPECT_EQ(r.status, k.status);
    EXPECT_EQ(r.out.substr(0, k.out.size()), k.out);
    EXPECT_NE(r.err.find(k.err), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), k.status == 0 ? 0 : 1) << r.err;
    EXPECT_TRUE(snapshot(here).empty());
    EXPECT_TRUE(snapshot(scene) == (k.files == 'w' ? snapshot(ref) : before));
  }
}

// Runs exe over `parts` line ranges of a scene of nline lines in d, in
// ascending, descending or no order (all at once); status 1 when any failed.
RunResult run_ranges(const TempDir& d, const std::string& exe, int nline, int parts,
                     const std::string& order) {
  std::string script = "s=0; for r in";
  for (int k = 0; k < parts; ++k) {
    const LineBlock b = line_block(nline, order == "reverse" ? parts - 1 - k : k, parts);
    script += " " + std::to_string(b.first) + "-" + std::to_string(b.end - 1);
  }
  script += order == "concurrent"
                ? "; do \"$0\" --lines $r & p=\"$p $!\"; done; for i in $p; do wait $i || s=1; done"
                : "; do \"$0\" --lines $r || s=1; done";
  return run({"/bin/sh", "-c", script + "; exit $s", exe}, d.path(), {"OMP_NUM_THREADS=1"});
}

TEST(JobArray, RangesInAnyOrderGiveTheProductsOfOneWholeRun) {
  const std::vector<std::string> scene = {"--lines", "9", "--pixels", "5", "--mask", "--intp"};
  for (const char* exe : {KOVARIND_EXE, KOVARIND_FIXED_EXE}) {
    TempDir whole;
    mkscene(whole, scene);
    ASSERT_EQ(run_kovarind(whole, 2, exe).status, 0);
    for (int parts : {1, 2, 3, 7})
      for (const char* order : {"forward", "reverse", "concurrent"}) {
        SCOPED_TRACE(std::string(exe) + " " + std::to_string(parts) + " " + order);
        TempDir d;
        mkscene(d, scene);
        EXPECT_EQ(run_ranges(d, exe, 9, parts, order).status, 0);
        EXPECT_TRUE(snapshot(d) == snapshot(whole));
      }
  }
}

}  // namespace
}  // namespace kov
