// Command-line options of every program: GNU-style short and long options,
// parsed once here so that the serial and the MPI programs agree on them.
// Without arguments a program runs the whole scene in the current directory.
#pragma once

#include <string>
#include <vector>

#include "base/control.hpp"

namespace kov {

inline constexpr char kVersion[] = "1.1.0";

// The part of a run that the options select: lines first..last (1-based,
// inclusive; 0 for both means every line) and whether progress is written.
struct RunOptions {
  int first = 0;
  int last = 0;
  bool quiet = false;
};

struct Options {
  bool help = false;
  bool version = false;
  std::string dir;  // -C: the scene directory (empty: the current one)
  int threads = 0;  // -j: worker threads per process (0: the runtime's default)
  RunOptions run;
};

// "kovarind", "kovarind-fixed", "kovarind-mpi" or "kovarind-fixed-mpi".
std::string program_name(Build build, bool mpi);

// Parses the arguments after the program name. Returns "" when they are
// valid, else the one-line usage error (without the program name): what was
// wrong, at which argument, and what was expected.
std::string parse_options(const std::vector<std::string>& args, Options& o);

// The text of --help.
std::string usage_text(Build build, bool mpi);

// The usage error when a --lines range leaves 1..nline, else "".
std::string check_line_range(const RunOptions& r, int nline);

// Applies -C and -j to the process. Returns "" or the failure (naming the
// directory and the cause).
std::string apply_options(const Options& o);

}  // namespace kov
