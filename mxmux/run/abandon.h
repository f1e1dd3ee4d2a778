// How a run that has begun writing ends when it fails: its temporary files
// go, and the message says what became of the target.
#pragma once

#include <string>

#include "mxmux/files/output_file.h"

namespace mxmux {

// Removes the temporary files and says `text` with the fate of `target` (the
// output as named on the command line); returns kExitFailed.
int abandon(OutputFile& output, const std::string& target, const std::string& text);

// "TARGET: cannot write: REASON" when writing the temporary file fails, in
// the system's words; empty when more can be written, so the cause of a
// failure lies elsewhere.
std::string write_failure_text(const OutputFile& output, const std::string& target);

}  // namespace mxmux
