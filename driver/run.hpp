// The scene driver: the whole run of the program in the current directory.
#pragma once

#include <string>
#include <vector>

#include "base/control.hpp"
#include "driver/options.hpp"

namespace kov {

// Runs the program: control file, design matrix, inputs and products, the
// scan over the selected lines (every line by default) and their pixels, and
// the final message. Returns the exit status (0 only when every selected line
// of every product was written; 2 when the selected lines leave the scene).
int run_scene(Build build, const RunOptions& opt = {});

// The program with its command-line arguments (after the program name):
// help, version, usage errors (status 2), -C and -j, then run_scene.
int run_program(Build build, const std::vector<std::string>& args);

}  // namespace kov
