// mxmux --dump: the box tree of an MP4-family file, one line per box with its
// offset, size and main fields, for people looking inside a file.
#pragma once

#include <cstdio>
#include <string>

#include "isobox/box_reader.h"

namespace mxmux {

// The listing of a parsed tree. Malformed boxes are listed with their error;
// nothing in the input can make it read outside the loaded bytes.
std::string dump_text(const iso::Tree& tree);

// Reads the file with memory bounds fit for any input (media data is never
// loaded) and prints its listing to `out`. Returns the exit status: 0 for a
// well-formed tree, 1 when the file cannot be read or has malformed boxes
// (listed as far as they go, with a message on standard error).
int dump_file(const std::string& path, std::FILE* out);

}  // namespace mxmux
