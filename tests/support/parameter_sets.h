// Parameter sets the writer tests hand to the plug-in: an H.264 SPS and PPS
// (High profile, level 3.1) and an HEVC VPS, SPS and PPS (Main), as NAL units
// without start codes.
#pragma once

#include <cstdint>
#include <vector>

#include "support/test_files.h"

namespace parameter_sets {

inline const std::vector<uint8_t> kSps264 = {0x67, 0x64, 0x00, 0x1F, 0xAC, 0xD9,
                                             0x40, 0x50, 0x05, 0xBB, 0x01, 0x10};
inline const std::vector<uint8_t> kPps264 = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};
inline const std::vector<uint8_t> kVps265 =
    hex_bytes("40 01 0c 01 ff ff 01 60 00 00 03 00 90 00 00 03 00 00 03 00 3c 95 98 09");
inline const std::vector<uint8_t> kSps265 = hex_bytes(
    "42 01 01 01 60 00 00 03 00 90 00 00 03 00 00 03 00 3c a0 0a 08 0f 16 59 59 a4 93 2b"
    "c0 5a 02 00 00 03 00 02 00 00 03 00 32 10");
inline const std::vector<uint8_t> kPps265 = hex_bytes("44 01 c1 72 b4 62 40");

}  // namespace parameter_sets
