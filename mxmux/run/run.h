// The mxmux program: reads the command line, picks the command it asks for,
// and runs that command's stages.
#pragma once

#include "mxmux/run/command_line.h"

namespace mxmux {

// Runs the command; returns the exit status.
int run(const CommandLine& line);
// The whole program, from main's arguments to the exit status.
int main_entry(int argc, char** argv);

}  // namespace mxmux
