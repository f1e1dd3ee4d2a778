// AAC + AC-3 dual audio as the host hands it over: the configuration blob and
// the packets of either stream, byte for byte.
#include "mxmux/host/dual_audio.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/test_files.h"

using namespace mxmux;

namespace {

TEST(DualAudio, ConfigurationHoldsBothStreamsAacFirst) {
  std::vector<uint8_t> config = dual_audio_config(hex_bytes("1190"), {});
  EXPECT_EQ(config, hex_bytes("02000000 1190"  // AAC: length (little-endian), its bytes
                              "00000000"));    // AC-3: no configuration
}

TEST(DualAudio, APacketCarriesOneStreamTheOtherPartEmpty) {
  struct Case {
    int part;
    const char* bytes;
    const char* packet;
    std::vector<int32_t> info;
  };
  const Case cases[] = {
      {0,
       "aabbcc",
       "03000000 aabbcc"  // AAC: three bytes
       "00000000",        // AC-3: empty
       {2, 2, 1, 2, 0}},  // two frames: AAC's count and sizes, then 0 for AC-3
      {1,
       "0b77dd",
       "00000000"          // AAC: empty
       "03000000 0b77dd",  // AC-3: three bytes
       {2, 0, 2, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.part);
    std::vector<uint8_t> packet = {0xEE};
    std::vector<int32_t> packet_info = {-1};
    dual_audio_packet(c.part, 2, hex_bytes(c.bytes), {2, 1, 2}, packet, packet_info);
    EXPECT_EQ(packet, hex_bytes(c.packet));
    EXPECT_EQ(packet_info, c.info);
  }
}

}  // namespace
