// mxmux --recover FILE: a file that a crash left as fragments becomes, in
// place, the plain file a normal end would have written (files/recover.h).
#pragma once

#include <string>

namespace mxmux {

// 0 when the file is now a plain file; kExitFailed after saying why it is
// not (a refusal leaves it untouched). The environment variable
// MXMUX_RECOVER_STOP_AFTER=N (1 to 3) stops after that step, so that tests
// can show what an interrupted recovery leaves.
int recover_file(const std::string& path);

}  // namespace mxmux
