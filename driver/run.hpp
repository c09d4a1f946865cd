// The scene driver: the whole run of the program in the current directory.
#pragma once

#include "base/control.hpp"

namespace kov {

// Runs the program: control file, design matrix, inputs and products, the
// scan over every line and pixel, and the final message. Returns the exit
// status (0 only when every line of every product was written).
int run_scene(Build build);

}  // namespace kov
