// The progress line on standard error while a file is muxed: bytes read of
// the inputs' total, share and speed, redrawn at most four times a second.
#pragma once

#include <chrono>
#include <cstdint>

namespace mxmux {

class Progress {
 public:
  Progress(bool enabled, uint64_t total);
  // `done` input bytes have been read.
  void update(uint64_t done);
  // Takes the line away again, when it was shown.
  void clear();

 private:
  bool enabled_;
  uint64_t total_;
  uint64_t calls_ = 0;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_, last_;
};

}  // namespace mxmux
