#include "mxmux/host/dual_audio.h"

namespace mxmux {

namespace {

void append_part(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes) {
  uint32_t n = static_cast<uint32_t>(bytes.size());
  uint8_t le[4] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                   static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
  out.insert(out.end(), le, le + 4);
  out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

std::vector<uint8_t> dual_audio_config(const std::vector<uint8_t>& aac,
                                       const std::vector<uint8_t>& ac3) {
  std::vector<uint8_t> config;
  append_part(config, aac);
  append_part(config, ac3);
  return config;
}

void dual_audio_packet(int part, uint32_t frames, const std::vector<uint8_t>& bytes,
                       const std::vector<int32_t>& info, std::vector<uint8_t>& packet,
                       std::vector<int32_t>& packet_info) {
  static const std::vector<uint8_t> kEmpty;
  packet.clear();
  packet_info.assign(1, static_cast<int32_t>(frames));
  for (int p = 0; p < 2; ++p) {
    append_part(packet, p == part ? bytes : kEmpty);
    if (p == part)
      packet_info.insert(packet_info.end(), info.begin(), info.end());
    else
      packet_info.push_back(0);
  }
}

}  // namespace mxmux
