// The finishing stage: closes the session (the plug-in writes the movie box),
// checks what was written, moves the movie box ahead of the media data
// (--faststart), pins the movie times (--creation-time), gives the file its
// name, and reports: notes on standard error, the summary line.
#pragma once

#include "mxmux/run/mux.h"

namespace mxmux {

// The exit status of the run: 0 when the file is complete and in place.
int finish(MuxedFile& muxed);

}  // namespace mxmux
