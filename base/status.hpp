// Outcome of an operation that can fail: a small code plus a one-line
// message naming the file, the position and what was expected.
#pragma once

#include <string>
#include <utility>

namespace kov {

enum class Code {
  kOk = 0,
  kTopBit,        // a data.bsq sample with its top bit set (orderly data stop)
  kShortRead,     // an input file too short for the scene
  kIo,            // open, read, write, flush or close failed
  kWriteReported, // a single-band record write failed and was reported; go on
  kBadControl,    // malformed control file
  kInvalid,       // a run parameter outside its limits
};

struct Status {
  Code code = Code::kOk;
  std::string msg;

  Status() = default;
  Status(Code c, std::string m) : code(c), msg(std::move(m)) {}
  bool ok() const { return code == Code::kOk; }
};

}  // namespace kov
