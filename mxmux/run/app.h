// The mxmux program: command line, the muxing run, progress and summary.
#pragma once

#include "mxmux/run/command_line.h"

namespace mxmux {

// Runs the whole program; returns the exit status.
int run(const Options& options);
int main_entry(int argc, char** argv);

}  // namespace mxmux
