// Sample counts from FLAC frame headers and ALAC element headers.
#include "writer/frame_samples.h"

namespace {

// FLAC block sizes by the header's 4-bit code. Codes 6 and 7 put the size
// minus one in the 8 or 16 bits behind the coded frame number; 0 is reserved.
constexpr uint32_t kFlacBlockSizes[16] = {
    0,   192, 576,  1152, 2304, 4608, 0,     0,  // 6: 8 bits follow, 7: 16 bits follow
    256, 512, 1024, 2048, 4096, 8192, 16384, 32768,
};
constexpr uint32_t kFlacBlockSize8Bits = 6;
constexpr uint32_t kFlacBlockSize16Bits = 7;

// Bytes of the frame or sample number, coded like UTF-8 (1 to 7 bytes) from
// its first byte; 0 for a byte that cannot start one.
size_t flac_number_length(uint8_t first) {
  if (first < 0x80) return 1;
  size_t ones = 0;
  while (ones < 8 && (first & (0x80 >> ones))) ++ones;
  return ones >= 2 && ones <= 7 ? ones : 0;
}

// ALAC element types that carry audio and start with the common header.
constexpr uint8_t kAlacAudioElements[] = {0, 1, 3};  // single channel, channel pair, LFE

}  // namespace

uint32_t flac_frame_samples(const uint8_t* frame, size_t size) {
  // Sync code 0xFFF8 (fixed block size) or 0xFFF9 (variable), block size and
  // sample rate codes, channels and sample size, then the coded number.
  if (frame == nullptr || size < 5 || frame[0] != 0xFF || (frame[1] & 0xFE) != 0xF8) return 0;
  const uint32_t code = frame[2] >> 4;
  const size_t after_number = 4 + flac_number_length(frame[4]);
  if (after_number == 4) return 0;
  if (code == kFlacBlockSize8Bits) {
    return after_number < size ? frame[after_number] + 1u : 0;
  }
  if (code == kFlacBlockSize16Bits) {
    if (after_number + 1 >= size) return 0;
    return (static_cast<uint32_t>(frame[after_number]) << 8 | frame[after_number + 1]) + 1;
  }
  return kFlacBlockSizes[code];
}

uint32_t alac_frame_samples(const uint8_t* frame, size_t size) {
  // The first element: 3 bits type, 4 bits instance tag, 12 unused bits, the
  // partial-frame bit, 2 bits of shift, the escape bit, and when partial a
  // 32-bit sample count.
  if (frame == nullptr || size < 7) return 0;
  const uint8_t type = frame[0] >> 5;
  bool audio = false;
  for (uint8_t t : kAlacAudioElements) audio = audio || t == type;
  if (!audio || (frame[2] & 0x10) == 0) return 0;
  return static_cast<uint32_t>(frame[2] & 0x01) << 31 | static_cast<uint32_t>(frame[3]) << 23 |
         static_cast<uint32_t>(frame[4]) << 15 | static_cast<uint32_t>(frame[5]) << 7 |
         static_cast<uint32_t>(frame[6]) >> 1;
}
