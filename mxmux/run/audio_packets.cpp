#include "mxmux/run/audio_packets.h"

namespace mxmux {

namespace {

constexpr uint32_t kMaxFramesPerPacket = 64;
constexpr size_t kMaxPacketBytes = size_t{1} << 20;

}  // namespace

int fill_packet(Input& in, AudioPacket& packet, Error& error) {
  packet.bytes.clear();
  packet.info.assign(1, 0);
  packet.frames = 0;
  packet.ready = false;
  const StreamParams& p = in.reader->params();
  uint64_t samples = 0;
  uint64_t target = p.sample_rate / 2;
  Frame frame;
  while (samples < target && packet.frames < kMaxFramesPerPacket &&
         packet.bytes.size() < kMaxPacketBytes) {
    int r = in.reader->next(frame, error);
    if (r < 0) return -1;
    if (r == 0) break;
    if (frame.size > 0x7FFFFFFF) {
      error = in.src.fail(frame.offset, "audio frame too large");
      return -1;
    }
    if (packet.frames == 0) {
      packet.dts = frame.dts;
      packet.pts = frame.pts;
    }
    packet.bytes.insert(packet.bytes.end(), frame.data, frame.data + frame.size);
    packet.info.push_back(static_cast<int32_t>(frame.size));
    ++packet.frames;
    samples += frame.samples;
    ++in.frames;
    in.samples += frame.samples;
  }
  packet.info[0] = static_cast<int32_t>(packet.frames);
  packet.ready = packet.frames > 0;
  return packet.ready ? 1 : 0;
}

}  // namespace mxmux
