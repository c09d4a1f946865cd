// Reader of the control file cntl.dat.
#pragma once

#include <cstdio>
#include <string>

#include "base/control.hpp"
#include "base/status.hpp"

namespace kov {

// Reads the control file at path: the two records, the groups DATA, CONTRL
// and (full build) NPT in namelist notation, and the excluded time steps,
// whose echo goes to `out` as it is read. Validates NDAT, NDEF and the
// start-up limits, and derives npara, tlo and thi. Returns kBadControl for a
// malformed file (message with the line number and what was expected),
// kInvalid for a value outside its limits, kIo when the file cannot be read.
Status read_control_file(const std::string& path, Build build, Control& c,
                std::FILE* out);

}  // namespace kov
