// Option syntax as in GNU programs: short options may be bundled (-qj4) and
// take their value attached or as the next argument (-j4, -j 4); long
// options take it after '=' or as the next argument (--threads=4,
// --threads 4); "--" ends the options. No operands are taken.
#include "driver/options.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace kov {
namespace {

constexpr long kMaxThreads = 4096;

enum class Opt { kHelp, kVersion, kDir, kThreads, kLines, kQuiet };

struct OptionDef {
  Opt opt;
  char short_name;  // 0: long form only
  const char* long_name;
  bool takes_value;
};

constexpr OptionDef kOptionDefs[] = {
    {Opt::kHelp, 'h', "help", false},       {Opt::kVersion, 0, "version", false},
    {Opt::kDir, 'C', "directory", true},    {Opt::kThreads, 'j', "threads", true},
    {Opt::kLines, 0, "lines", true},        {Opt::kQuiet, 'q', "quiet", false},
};

// A decimal number of digits only, in 1..max.
bool parse_count(const std::string& s, long max, int& out) {
  if (s.empty() || s.size() > 10) return false;
  long v = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + (ch - '0');
  }
  if (v < 1 || v > max) return false;
  out = static_cast<int>(v);
  return true;
}

// Stores the value of one option; returns "" or what was expected of it.
std::string apply(Opt opt, const std::string& value, Options& o) {
  switch (opt) {
    case Opt::kHelp: o.help = true; break;
    case Opt::kVersion: o.version = true; break;
    case Opt::kQuiet: o.run.quiet = true; break;
    case Opt::kDir:
      if (value.empty()) return "expected a directory name";
      // As in make and tar, a relative DIR continues from the one before.
      o.dir = o.dir.empty() || value[0] == '/' ? value : o.dir + "/" + value;
      break;
    case Opt::kThreads:
      if (!parse_count(value, kMaxThreads, o.threads))
        return "expected a number of threads from 1 to " + std::to_string(kMaxThreads);
      break;
    case Opt::kLines: {
      const std::size_t dash = value.find('-');
      RunOptions& r = o.run;
      if (dash == std::string::npos || !parse_count(value.substr(0, dash), 0x7fffffff, r.first) ||
          !parse_count(value.substr(dash + 1), 0x7fffffff, r.last) || r.first > r.last)
        return "expected FIRST-LAST, line numbers with 1 <= FIRST <= LAST";
      break;
    }
  }
  return "";
}

// A message shows arguments as given; a control character in one (a newline,
// say) would break the message's single line, so it shows as '?'.
std::string one_line(std::string msg) {
  for (char& ch : msg)
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) ch = '?';
  return msg;
}

std::string parse(const std::vector<std::string>& args, Options& o);

}  // namespace

std::string program_name(Build build, bool mpi) {
  std::string name = build == Build::kFixedPeriod ? "kovarind-fixed" : "kovarind";
  return mpi ? name + "-mpi" : name;
}

std::string parse_options(const std::vector<std::string>& args, Options& o) {
  o = Options{};
  return one_line(parse(args, o));
}

namespace {

std::string parse(const std::vector<std::string>& args, Options& o) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const std::string at = "argument " + std::to_string(i + 1) + ": ";
    // The value of an option: the rest of this argument, else the next one.
    const auto value_of = [&](std::size_t pos, bool attached, std::string& value) {
      if (attached) {
        value = a.substr(pos);
        return true;
      }
      if (i + 1 >= args.size()) return false;
      value = args[++i];
      return true;
    };
    if (a == "--") {
      if (i + 1 < args.size()) return at + "unexpected operand '" + args[i + 1] + "'";
      break;
    }
    if (a.rfind("--", 0) == 0) {
      const std::size_t eq = a.find('=');
      const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      const OptionDef* def = nullptr;
      for (const OptionDef& s : kOptionDefs)
        if (name == s.long_name) def = &s;
      if (!def) return at + "unknown option '" + a + "'";
      const std::string shown = "--" + name;
      std::string value;
      if (!def->takes_value && eq != std::string::npos)
        return at + "option '" + shown + "' takes no value";
      if (def->takes_value && !value_of(eq + 1, eq != std::string::npos, value))
        return at + "option '" + shown + "' needs a value";
      const std::string bad = apply(def->opt, value, o);
      if (!bad.empty()) return at + "'" + shown + " " + value + "': " + bad;
      continue;
    }
    if (a.size() < 2 || a[0] != '-')
      return at + "unexpected operand '" + a + "'; the scene directory is given with -C DIR";
    for (std::size_t k = 1; k < a.size(); ++k) {
      const OptionDef* def = nullptr;
      for (const OptionDef& s : kOptionDefs)
        if (s.short_name != 0 && a[k] == s.short_name) def = &s;
      const std::string shown = std::string("-") + a[k];
      if (!def) return at + "unknown option '" + shown + "'";
      std::string value;
      if (def->takes_value) {
        if (!value_of(k + 1, k + 1 < a.size(), value))
          return at + "option '" + shown + "' needs a value";
        k = a.size();
      }
      const std::string bad = apply(def->opt, value, o);
      if (!bad.empty()) return at + "'" + shown + " " + value + "': " + bad;
    }
  }
  return "";
}

}  // namespace

std::string usage_text(Build build, bool mpi) {
  const std::string name = program_name(build, mpi);
  std::string t = "Usage: " + (mpi ? "mpirun [MPI OPTION]... " + name : name) + " [OPTION]...\n";
  t += "Fits a harmonic model to the time series of every pixel of a scene: reads\n"
       "cntl.dat, data.bsq (and mask.bsq when MASK = 1) and writes the products\n"
       "p.bsq, i.bsq, f.bsq, order.dat, aic.dat, min.dat and max.dat beside them.\n"
       "Without options: every line of the scene in the current directory.\n";
  if (build == Build::kFixedPeriod)
    t += "This build uses a period of 46 time steps (no NPT group) and writes no\n"
         "progress lines.\n";
  if (mpi)
    t += "Run under mpirun: the lines are shared out over the ranks, and every rank\n"
         "takes the same options.\n";
  t += "\n"
       "  -C, --directory=DIR     run in the scene directory DIR\n"
       "  -j, --threads=N         N worker threads per process (default:\n"
       "                          OMP_NUM_THREADS, else every core)\n"
       "      --lines=FIRST-LAST  process and write only image lines FIRST..LAST\n"
       "                          (1-based, inclusive); runs over disjoint ranges,\n"
       "                          in any order or at once, write the same products\n"
       "                          as one run over the whole scene\n"
       "  -q, --quiet             write no progress lines\n"
       "  -h, --help              show this help and exit\n"
       "      --version           show the version and exit\n"
       "\n"
       "Exit status: 0 when every selected line of every product was written,\n"
       "1 on any failure (one line on standard error), 2 on a usage error.\n";
  return t;
}

std::string check_line_range(const RunOptions& r, int nline) {
  if (r.first == 0 || r.last <= nline) return "";
  return "'--lines " + std::to_string(r.first) + "-" + std::to_string(r.last) +
         "': expected lines within 1.." + std::to_string(nline) + " (NLINE in cntl.dat)";
}

std::string apply_options(const Options& o) {
  if (!o.dir.empty() && ::chdir(o.dir.c_str()) != 0) {
    const int err = errno;
    return one_line(o.dir + ": cannot change into the scene directory: " + std::strerror(err));
  }
#ifdef _OPENMP
  if (o.threads > 0) omp_set_num_threads(o.threads);
#endif
  return "";
}

}  // namespace kov
