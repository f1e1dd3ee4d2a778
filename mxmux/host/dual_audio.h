// AAC + AC-3 dual audio ("EAAC"): one configuration blob for both streams,
// and packets of two parts, AAC first. Each part is a 32-bit little-endian
// length and that many bytes; a packet carries one stream, its other part empty.
#pragma once

#include <cstdint>
#include <vector>

namespace mxmux {

std::vector<uint8_t> dual_audio_config(const std::vector<uint8_t>& aac,
                                       const std::vector<uint8_t>& ac3);

// A packet of `frames` frames of one stream (part 0: AAC, 1: AC-3) whose
// frame information (count, then one size per frame) is `info`: the packet
// bytes and the frame information of the whole packet (the frame count, then
// each part's information, 0 for the empty part).
void dual_audio_packet(int part, uint32_t frames, const std::vector<uint8_t>& bytes,
                       const std::vector<int32_t>& info, std::vector<uint8_t>& packet,
                       std::vector<int32_t>& packet_info);

}  // namespace mxmux
