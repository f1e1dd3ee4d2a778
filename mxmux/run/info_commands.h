// The commands that only read and print: the help text, the version, and the
// plug-in's format catalogue. (The box listing, --dump, is files/dump.h.)
#pragma once

#include "mxmux/run/command_line.h"

namespace mxmux {

// The help text on standard output; 0.
int show_help();
// The help text on standard error, for a command line with nothing on it; 2.
int show_usage();
int show_version(const Options& options);
// Loads the plug-in (with its log as the options direct it) and prints its
// formats with the codecs each takes.
int list_formats(const Options& options);

}  // namespace mxmux
