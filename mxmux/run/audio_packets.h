// Audio frames gathered into the packets the plug-in is handed: up to about
// half a second of one stream, at most 64 frames or 1 MiB, written as one
// chunk each.
#pragma once

#include <cstdint>
#include <vector>

#include "mxmux/readers/byte_source.h"
#include "mxmux/run/input.h"

namespace mxmux {

struct AudioPacket {
  std::vector<uint8_t> bytes;
  std::vector<int32_t> info;  // frame count, then one size per frame
  int64_t dts = 0, pts = 0;
  uint32_t frames = 0;
  bool ready = false;
};

// Reads the next packet of an input into `packet`, counting its frames and
// samples in the input. 1: a packet; 0: the stream ended; -1: error.
int fill_packet(Input& in, AudioPacket& packet, Error& error);

}  // namespace mxmux
