#include "mxmux/run/stop_request.h"

#include <csignal>

#include "mxmux/system.h"

namespace mxmux {

namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) {
  g_stop = 1;
}

}  // namespace

void stop_on_signals() {
  sys::on_stop_request(on_signal);
}

bool stop_requested() {
  return g_stop != 0;
}

}  // namespace mxmux
