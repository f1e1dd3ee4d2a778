// A stop asked for by an interrupt or termination signal. Once the run begins
// writing, a signal no longer ends the process: the run sees the request
// between frames and while rewriting, and removes its temporary files.
#pragma once

namespace mxmux {

// From now on, signals only ask the run to stop.
void stop_on_signals();
bool stop_requested();

}  // namespace mxmux
