// The progress line written before each image line is read.
#pragma once

#include <string>

namespace kov {

// " LLLLL/NNNNNline\n": the line number and the line count right-aligned in
// five columns each, five asterisks for a number that does not fit.
std::string progress_line(int line, int nline);

}  // namespace kov
