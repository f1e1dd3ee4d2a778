#include "mxmux/run/progress.h"

#include <cstdio>

#include "mxmux/run/messages.h"

namespace mxmux {

Progress::Progress(bool enabled, uint64_t total) : enabled_(enabled), total_(total) {
  start_ = last_ = std::chrono::steady_clock::now();
}

void Progress::update(uint64_t done) {
  if (!enabled_ || (++calls_ & 63) != 0) return;
  auto now = std::chrono::steady_clock::now();
  if (now - last_ < std::chrono::milliseconds(250)) return;
  last_ = now;
  double seconds = std::chrono::duration<double>(now - start_).count();
  double speed = seconds > 0 ? done / seconds : 0;
  char line[160];
  if (total_ > 0) {
    std::snprintf(line, sizeof line, "\rmxmux: %s of %s (%3.0f%%)  %s/s   ",
                  human_size(done).c_str(), human_size(total_).c_str(),
                  100.0 * static_cast<double>(done) / static_cast<double>(total_),
                  human_size(static_cast<uint64_t>(speed)).c_str());
  } else {
    std::snprintf(line, sizeof line, "\rmxmux: %s read  %s/s   ", human_size(done).c_str(),
                  human_size(static_cast<uint64_t>(speed)).c_str());
  }
  std::fputs(line, stderr);
  shown_ = true;
}

void Progress::clear() {
  if (shown_) std::fputs("\r\033[K", stderr);
  shown_ = false;
}

}  // namespace mxmux
