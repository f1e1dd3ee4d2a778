#include "codecs/esds.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/box_output.h"
#include "support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

// An AAC track at 44.1 kHz with three one-frame packets of 300, 400 and 500 bytes.
MuxTrack* aac_track(BoxOutput& out, const uint8_t* config, uint32_t config_size) {
  MuxTrack* t = out.track(0, kKindAudio);
  t->codec_id = kCodecAac;
  t->timescale = 44100;
  t->sample_duration = 1024;
  t->duration = 3 * 1024;
  t->audio_config = const_cast<uint8_t*>(config);
  t->audio_config_size = config_size;
  out.add_record(t, 300, 1);
  out.add_record(t, 400, 1);
  out.add_record(t, 500, 1);
  return t;
}

TEST(Esds, AacWithTwoByteAudioSpecificConfig) {
  BoxOutput out;
  const uint8_t asc[] = {0x12, 0x10};
  write_esds(out.ctx(), aac_track(out, asc, sizeof asc));
  // max = 44100 * 500 * 8 / 1024 = 172265; avg = 44100 * 1200 * 8 / 3072 = 137812.
  EXPECT_EQ(out.bytes(), hex_bytes(R"(
    00 00 00 27 65 73 64 73 00 00 00 00   # size 39, "esds", version and flags
    03 19 00 01 00                        # ES_Descriptor, length 25, ES_ID 1, flags
    04 11 40 15 00 18 00                  # DecoderConfig, length 17, AAC, audio, buffer 6144
    00 02 A0 E9                           # maxBitrate
    00 02 1A 54                           # avgBitrate
    05 02 12 10                           # DecoderSpecificInfo
    06 01 02                              # SLConfig, predefined 2
  )"));
}

TEST(Esds, LongDecoderSpecificInfoUsesTwoLengthBytes) {
  BoxOutput out;
  Bytes dsi(200);
  for (size_t i = 0; i < dsi.size(); ++i) dsi[i] = static_cast<uint8_t>(i);
  write_esds(out.ctx(), aac_track(out, dsi.data(), 200));
  Bytes b = out.bytes();
  // dcd = 13 + 1 + 2 + 200 = 216, es = 3 + 1 + 2 + 216 + 3 = 225.
  ASSERT_EQ(b.size(), 12u + 1 + 2 + 225);
  EXPECT_EQ(Bytes(b.begin() + 12, b.begin() + 18), hex_bytes("03 81 61 00 01 00"));
  EXPECT_EQ(Bytes(b.begin() + 18, b.begin() + 21), hex_bytes("04 81 58"));
  EXPECT_EQ(Bytes(b.begin() + 34, b.begin() + 37), hex_bytes("05 81 48"));
  EXPECT_EQ(Bytes(b.begin() + 37, b.begin() + 237), dsi);
  EXPECT_EQ(Bytes(b.end() - 3, b.end()), hex_bytes("06 01 02"));
}

TEST(Esds, NoConfigurationMeansNoDecoderSpecificInfo) {
  for (bool null_pointer : {false, true}) {
    BoxOutput out;
    const uint8_t asc[] = {0x12, 0x10};
    MuxTrack* t = aac_track(out, null_pointer ? nullptr : asc, null_pointer ? 2 : 0);
    write_esds(out.ctx(), t);
    Bytes b = out.bytes();
    ASSERT_EQ(b.size(), 35u);  // es = 21, dcd = 13
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 21),
              hex_bytes("00 00 00 23 65 73 64 73 00 00 00 00 03 15 00 01 00 04 0D 40 15"));
    EXPECT_EQ(Bytes(b.end() - 3, b.end()), hex_bytes("06 01 02"));
  }
}

TEST(Esds, VisualTrackStatesAverageAsMaximum) {
  BoxOutput out;
  MuxTrack* t = out.track(1, kKindVideo);
  t->codec_id = kCodecMpeg4Visual;
  t->timescale = 30000;
  t->duration = 3003;
  uint8_t header[34] = {0x00, 0x00, 0x01, 0xB0};
  t->audio_config = header;
  t->audio_config_size = sizeof header;
  out.add_record(t, 2000, 1, 1);
  out.add_record(t, 600, 1);
  out.add_record(t, 400, 1);
  write_esds(out.ctx(), t);
  Bytes b = out.bytes();
  ASSERT_EQ(b.size(), 12u + 2 + 3 + 2 + 13 + 2 + 34 + 3);
  // 30000 * 3000 * 8 / 3003 = 239760
  EXPECT_EQ(Bytes(b.begin() + 12, b.begin() + 32), hex_bytes(R"(
    03 39 00 02 00
    04 31 20 11 00 18 00 00 03 A8 90 00 03 A8 90
  )"));
}

TEST(Esds, BitRatesWalkEveryBlockAndSkipFramelessRecords) {
  BoxOutput out;
  MuxTrack* t = out.track(0, kKindAudio);
  t->codec_id = kCodecAac;
  t->timescale = 1000;
  t->sample_duration = 10;
  t->duration = 1000;
  for (uint32_t i = 0; i < kSampleBlockRecords; ++i) out.add_record(t, 1, 1);
  out.add_record(t, 5000, 0);            // no frames: counts for the total only
  out.add_record(t, 9000, 0xFFFFFFFFu);  // negative as a 32-bit count: same
  out.add_record(t, 800, 2);             // 400 bytes per frame: the largest
  ASSERT_NE(t->block_first->next, nullptr);
  write_esds(out.ctx(), t);
  Bytes b = out.bytes();
  // total = 10240 + 5000 + 9000 + 800 = 25040 -> avg 1000 * 25040 * 8 / 1000 = 200320
  // max = 1000 * 400 * 8 / 10 = 320000
  EXPECT_EQ(Bytes(b.begin() + 24, b.begin() + 32), hex_bytes("00 04 E2 00 00 03 0E 80"));
}

// A track without duration (no samples) or without a frame duration has no rate:
// both fields are 0 instead of a division by zero.
TEST(Esds, ZeroDurationsGiveZeroRates) {
  BoxOutput out;
  MuxTrack* t = out.track(0, kKindAudio);
  t->codec_id = kCodecAac;
  t->timescale = 48000;
  write_esds(out.ctx(), t);
  Bytes b = out.bytes();
  EXPECT_EQ(Bytes(b.begin() + 24, b.begin() + 32), hex_bytes("00 00 00 00 00 00 00 00"));

  BoxOutput out2;
  MuxTrack* v = out2.track(0, kKindAudio);
  v->codec_id = kCodecAac;
  v->timescale = 48000;
  v->duration = 1024;
  out2.add_record(v, 100, 1);  // sample_duration stays 0; avg = 48000 * 800 / 1024
  write_esds(out2.ctx(), v);
  b = out2.bytes();
  EXPECT_EQ(Bytes(b.begin() + 24, b.begin() + 32), hex_bytes("00 00 00 00 00 00 92 7C"));
}

// Rates beyond the 32-bit field are held at its top rather than wrapped.
TEST(Esds, HugeRatesSaturate) {
  BoxOutput out;
  MuxTrack* t = out.track(0, kKindVideo);
  t->codec_id = kCodecMpeg4Visual;
  t->timescale = 0xFFFFFFFF;
  t->duration = 1;
  out.add_record(t, 0xFFFFFFFFu, 1);  // the largest sample there can be
  write_esds(out.ctx(), t);
  Bytes b = out.bytes();
  EXPECT_EQ(Bytes(b.begin() + 24, b.begin() + 32), hex_bytes("FF FF FF FF FF FF FF FF"));
}

}  // namespace
