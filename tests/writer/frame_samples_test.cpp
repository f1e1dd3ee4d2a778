// Sample counts read from FLAC frame headers and ALAC element headers.
#include "writer/frame_samples.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(FrameSamples, FlacBlockSizeFromTheFrameHeader) {
  struct Case {
    const char* name;
    const char* header;  // sync, block size and rate codes, channels, number, extra bytes
    uint32_t samples;
  };
  const Case cases[] = {
      {"code 1: 192", "ff f8 19 08 00", 192},
      {"code 2: 576", "ff f8 29 08 00", 576},
      {"code 5: 4608", "ff f8 59 08 00", 4608},
      {"code 8: 256", "ff f8 89 08 00", 256},
      {"code 12: 4096", "ff f8 c9 08 00", 4096},
      {"code 15: 32768", "ff f8 f9 08 00", 32768},
      {"variable block size stream", "ff f9 c9 08 00", 4096},
      // Codes 6 and 7: the size minus one behind the coded frame number.
      {"code 6: 8 bits", "ff f8 69 08 07 ff", 256},
      {"code 6 after a two-byte number", "ff f8 69 08 c2 a2 4b", 76},
      {"code 7: 16 bits", "ff f8 79 08 09 0a 43", 2628},
      {"code 7 after a seven-byte number", "ff f9 79 18 fe 80 80 80 80 80 81 07 7f", 1920},
      {"code 0 is reserved", "ff f8 09 08 00", 0},
      {"no sync code", "ff f0 c9 08 00", 0},
      {"a continuation byte cannot start the number", "ff f8 c9 08 80", 0},
      {"0xff cannot start the number", "ff f8 69 08 ff 00 00 00 00 00 00 00 00", 0},
      {"cut before the 8-bit size", "ff f8 69 08 07", 0},
      {"cut inside the 16-bit size", "ff f8 79 08 09 0a", 0},
      {"too short for a header", "ff f8 c9 08", 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Bytes b = hex_bytes(k.header);
    EXPECT_EQ(flac_frame_samples(b.data(), b.size()), k.samples);
  }
  EXPECT_EQ(flac_frame_samples(nullptr, 0), 0u);
}

TEST(FrameSamples, AlacCountOnlyWhenTheFrameIsPartial) {
  struct Case {
    const char* name;
    const char* header;
    uint32_t samples;
  };
  const Case cases[] = {
      // Channel pair, tag 0, 12 unused bits, partial bit, shift 0, not escaped,
      // then 3140 (0x00000c44) in the next 32 bits.
      {"partial channel pair", "20 00 10 00 00 18 88 00", 3140},
      {"partial single channel", "00 00 10 00 00 18 88", 3140},
      {"partial LFE, shifted and escaped", "60 00 1e 00 00 18 88", 3140},
      {"count with its top bit", "20 00 11 00 00 00 02", 0x80000001},
      {"full frame", "20 00 00 00 00 18 88", 0},
      {"fill element", "c0 00 10 00 00 18 88", 0},
      {"cut before the count ends", "20 00 10 00 00 18", 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Bytes b = hex_bytes(k.header);
    EXPECT_EQ(alac_frame_samples(b.data(), b.size()), k.samples);
  }
  EXPECT_EQ(alac_frame_samples(nullptr, 0), 0u);
}

}  // namespace
