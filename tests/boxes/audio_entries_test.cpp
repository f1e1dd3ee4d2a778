#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boxes/boxes.h"
#include "support/box_output.h"
#include "support/box_reader.h"
#include "support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

MuxTrack* audio_track(BoxOutput& out, uint32_t codec, uint32_t channels, uint32_t rate) {
  MuxTrack* t = out.track(0, kKindAudio);
  t->codec_id = codec;
  t->channels = channels;
  t->bits_per_sample = 16;
  t->timescale = rate;
  t->sample_duration = 1024;
  return t;
}

Bytes entry(uint32_t mode, uint32_t codec, uint32_t channels, uint32_t rate,
            const Bytes& config = {}) {
  BoxOutput out(mode);
  MuxTrack* t = audio_track(out, codec, channels, rate);
  if (!config.empty()) {
    t->audio_config = const_cast<uint8_t*>(config.data());
    t->audio_config_size = static_cast<uint32_t>(config.size());
  }
  write_audio_sample_entry(out.ctx(), t);
  return out.bytes();
}

std::string fourcc_at(const Bytes& b, size_t off) {
  return std::string(b.begin() + off, b.begin() + off + 4);
}

const char* kAacEsdsNoRates = R"(
    00 00 00 27 65 73 64 73 00 00 00 00 03 19 00 01 00
    04 11 40 15 00 18 00 00 00 00 00 00 00 00 00
    05 02 12 10 06 01 02)";

TEST(AudioEntry, AacInQuickTimeIsVersionOneWithWaveAndChan) {
  EXPECT_EQ(entry(kModeMov, kCodecAac, 2, 44100, hex_bytes("12 10")), hex_bytes(std::string(R"(
    00 00 00 9B 6D 70 34 61       # size 155, "mp4a"
    00 00 00 00 00 00 00 01       # reserved, data reference index 1
    00 01 00 00 00 00 00 00       # version 1, revision, vendor
    00 02 00 10 FF FE 00 00       # 2 channels, 16 bits, compression id -2, packet size
    AC 44 00 00                   # 44100 Hz
    00 00 04 00 00 00 00 00 00 00 00 00 00 00 00 02   # 1024 samples per packet, sizes vary
    00 00 00 4F 77 61 76 65       # wave
    00 00 00 0C 66 72 6D 61 6D 70 34 61   # frma mp4a
    00 00 00 0C 6D 70 34 61 00 00 00 00   # mp4a atom
  )") + kAacEsdsNoRates + R"(
    00 00 00 08 00 00 00 00       # terminator
    00 00 00 18 63 68 61 6E 00 00 00 00 00 65 00 02 00 00 00 00 00 00 00 00   # chan: stereo
  )"));
}

TEST(AudioEntry, AacInIsoFlavoursIsVersionZeroWithEsds) {
  for (uint32_t mode : {kModeMp4, kMode3gp, kModeKddi, kModeF4v, kModeM4a}) {
    EXPECT_EQ(entry(mode, kCodecAac, 2, 48000, hex_bytes("12 10")), hex_bytes(std::string(R"(
      00 00 00 4B 6D 70 34 61 00 00 00 00 00 00 00 01
      00 00 00 00 00 00 00 00 00 02 00 10 FF FE 00 00
      BB 80 00 00
    )") + kAacEsdsNoRates))
        << "mode " << mode;
  }
}

TEST(AudioEntry, Pcm16) {
  EXPECT_EQ(entry(kModeMp4, kCodecPcm16, 2, 48000), hex_bytes(R"(
    00 00 00 48 69 70 63 6D 00 00 00 00 00 00 00 01   # "ipcm"
    00 00 00 00 00 00 00 00 00 02 00 10 00 00 00 00   # version 0, compression id 0
    BB 80 00 00
    00 00 00 16 63 68 6E 6C 00 00 00 00 01 02 00 00 00 00 00 00 00 00   # chnl: stereo
    00 00 00 0E 70 63 6D 43 00 00 00 00 01 10         # pcmC: little-endian, 16 bits
  )"));
  EXPECT_EQ(entry(kModeMov, kCodecPcm16, 2, 48000), hex_bytes(R"(
    00 00 00 3C 73 6F 77 74 00 00 00 00 00 00 00 01   # "sowt"
    00 00 00 00 00 00 00 00 00 02 00 10 00 00 00 00
    BB 80 00 00
    00 00 00 18 63 68 61 6E 00 00 00 00 00 65 00 02 00 00 00 00 00 00 00 00
  )"));
}

TEST(AudioEntry, Pcm32Float) {
  EXPECT_EQ(entry(kModeMp4, kCodecPcm32Float, 1, 48000), hex_bytes(R"(
    00 00 00 32 66 70 63 6D 00 00 00 00 00 00 00 01   # "fpcm"
    00 00 00 00 00 00 00 00 00 01 00 10 00 00 00 00
    BB 80 00 00
    00 00 00 0E 70 63 6D 43 00 00 00 00 01 20         # no chnl for one channel
  )"));
  EXPECT_EQ(entry(kModeMov, kCodecPcm32Float, 1, 48000), hex_bytes(R"(
    00 00 00 72 66 6C 33 32 00 00 00 00 00 00 00 01   # "fl32"
    00 01 00 00 00 00 00 00 00 01 00 10 00 00 00 00   # version 1
    BB 80 00 00
    00 00 00 01 00 00 00 04 00 00 00 04 00 00 00 02   # 1 sample per packet of 4 bytes
    00 00 00 26 77 61 76 65
    00 00 00 0C 66 72 6D 61 66 6C 33 32               # frma fl32
    00 00 00 0A 65 6E 64 61 00 01                     # enda: little-endian
    00 00 00 08 00 00 00 00
    00 00 00 18 63 68 61 6E 00 00 00 00 00 64 00 01 00 00 00 00 00 00 00 00
  )"));
}

// The version 1 fields of QuickTime sound: compressed sound (AAC) is a codec
// frame per packet, as long as the track's samples, with no fixed size;
// uncompressed sound (32-bit float) is a sample per packet of 4 bytes a channel.
TEST(AudioEntry, QuickTimeVersionOneFields) {
  struct Case {
    uint32_t codec;
    uint32_t channels;
    uint64_t sample_duration;
    const char* fields;  // samples per packet, bytes per packet, bytes per frame, bytes per sample
  };
  const Case cases[] = {
      {kCodecAac, 2, 1024, "00 00 04 00  00 00 00 00  00 00 00 00  00 00 00 02"},
      {kCodecAac, 6, 1024, "00 00 04 00  00 00 00 00  00 00 00 00  00 00 00 02"},
      {kCodecAac, 1, 960, "00 00 03 C0  00 00 00 00  00 00 00 00  00 00 00 02"},
      {kCodecPcm32Float, 1, 1, "00 00 00 01  00 00 00 04  00 00 00 04  00 00 00 02"},
      {kCodecPcm32Float, 2, 1, "00 00 00 01  00 00 00 04  00 00 00 08  00 00 00 02"},
      {kCodecPcm32Float, 6, 1, "00 00 00 01  00 00 00 04  00 00 00 18  00 00 00 02"},
      {kCodecPcm32Float, 0, 1, "00 00 00 01  00 00 00 04  00 00 00 00  00 00 00 02"},
  };
  for (const Case& c : cases) {
    BoxOutput out(kModeMov);
    MuxTrack* t = audio_track(out, c.codec, c.channels, 48000);
    t->sample_duration = c.sample_duration;
    write_audio_sample_entry(out.ctx(), t);
    const Bytes b = out.bytes();
    ASSERT_GE(b.size(), 52u);
    EXPECT_EQ(Bytes(b.begin() + 16, b.begin() + 18), hex_bytes("00 01")) << "version 1";
    EXPECT_EQ(Bytes(b.begin() + 36, b.begin() + 52), hex_bytes(c.fields))
        << c.codec << ", " << c.channels << " channels";
  }
}

// M4A, F4V and the other ISO flavours store PCM like MP4 does.
TEST(AudioEntry, PcmInOtherIsoFlavoursIsIsoPcm) {
  for (uint32_t mode : {kMode3gp, kModeKddi, kModeF4v, kModeM4a}) {
    EXPECT_EQ(entry(mode, kCodecPcm16, 2, 48000), entry(kModeMp4, kCodecPcm16, 2, 48000));
    EXPECT_EQ(entry(mode, kCodecPcm32Float, 6, 48000), entry(kModeMp4, kCodecPcm32Float, 6, 48000));
  }
}

TEST(AudioEntry, Ac3) {
  const Bytes sync = hex_bytes("0B 77 12 34 50 40 43");
  EXPECT_EQ(entry(kModeMp4, kCodecAc3, 2, 48000, sync), hex_bytes(R"(
    00 00 00 2F 61 63 2D 33 00 00 00 00 00 00 00 01   # "ac-3"
    00 00 00 00 00 00 00 00 00 02 00 10 FF FE 00 00
    BB 80 00 00
    00 00 00 0B 64 61 63 33 50 11 00                  # dac3
  )"));
  EXPECT_EQ(entry(kModeMov, kCodecAc3, 2, 48000, sync), hex_bytes(R"(
    00 00 00 63 61 63 2D 33 00 00 00 00 00 00 00 01
    00 00 00 00 00 00 00 00 00 02 00 10 FF FE 00 00   # version 0 in QuickTime too
    BB 80 00 00
    00 00 00 27 77 61 76 65
    00 00 00 0C 66 72 6D 61 61 63 2D 33
    00 00 00 0B 64 61 63 33 50 11 00
    00 00 00 08 00 00 00 00
    00 00 00 18 63 68 61 6E 00 00 00 00 00 65 00 02 00 00 00 00 00 00 00 00
  )"));
}

TEST(AudioEntry, Dac3FromSyncFrameBits) {
  struct Case {
    const char* bytes_4_to_6;
    const char* payload;
    const char* what;
  };
  const Case cases[] = {
      {"50 40 43", "50 11 00", "2/0, two dsurmod bits"},
      {"10 40 30", "10 0D 00", "1/0: lfeon right after acmod"},
      {"10 40 20", "10 09 00", "1/0 without LFE"},
      {"1C 40 E9", "10 3D C0", "3/2 with cmixlev and surmixlev, LFE on"},
      {"1C 40 CC", "10 35 C0", "2/2 with surmixlev, LFE on"},
      {"5E 4B 6C", "52 DD E0", "44.1 kHz, bsid 9, bsmod 3, 3/0 with cmixlev, LFE on"},
  };
  for (const Case& c : cases) {
    BoxOutput out;
    MuxTrack* t = audio_track(out, kCodecAc3, 2, 48000);
    Bytes sync = hex_bytes(std::string("0B 77 00 00 ") + c.bytes_4_to_6);
    t->audio_config = sync.data();
    t->audio_config_size = static_cast<uint32_t>(sync.size());
    EXPECT_EQ(write_dac3(out.ctx(), t), 11) << c.what;
    EXPECT_EQ(out.bytes(), hex_bytes(std::string("00 00 00 0B 64 61 63 33 ") + c.payload))
        << c.what;
  }
  BoxOutput out;
  MuxTrack* t = audio_track(out, kCodecAc3, 2, 48000);
  Bytes short_sync = hex_bytes("0B 77 00 00 50 40");
  t->audio_config = short_sync.data();
  t->audio_config_size = 6;
  EXPECT_EQ(write_dac3(out.ctx(), t), -1);
  t->audio_config = nullptr;
  t->audio_config_size = 7;
  EXPECT_EQ(write_dac3(out.ctx(), t), -1);
  EXPECT_TRUE(out.bytes().empty());
}

TEST(AudioEntry, ChanLayoutTags) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0, "00 00 00 00"}, {1, "00 64 00 01"}, {2, "00 65 00 02"}, {3, "00 71 00 03"},
      {4, "00 6C 00 04"}, {5, "00 75 00 05"}, {6, "00 79 00 06"}, {7, "00 7D 00 07"},
      {8, "00 7E 00 08"}, {9, "00 00 00 00"},
  };
  for (const auto& [channels, tag] : cases) {
    BoxOutput out(kModeMov);
    MuxTrack* t = audio_track(out, kCodecAac, channels, 48000);
    write_chan(out.ctx(), t);
    EXPECT_EQ(out.bytes(), hex_bytes(std::string("00 00 00 18 63 68 61 6E 00 00 00 00 ") + tag +
                                     " 00 00 00 00 00 00 00 00"))
        << channels;
  }
}

// definedLayout of chnl: the channel count up to six, the 6.1 and 7.1
// configurations for seven and eight; other counts have no predefined layout
// and get no chnl.
TEST(AudioEntry, ChnlDefinedLayouts) {
  const std::pair<uint32_t, int> cases[] = {{2, 2},  {3, 3},  {5, 5},  {6, 6},
                                            {7, 11}, {8, 12}, {9, -1}, {0, -1}};
  for (const auto& [channels, layout] : cases) {
    BoxOutput out;
    MuxTrack* t = audio_track(out, kCodecPcm16, channels, 48000);
    write_chnl(out.ctx(), t);
    Bytes b = out.bytes();
    if (layout < 0) {
      EXPECT_TRUE(b.empty()) << channels;
      continue;
    }
    Bytes expect = hex_bytes("00 00 00 16 63 68 6E 6C 00 00 00 00 01 00 00 00 00 00 00 00 00 00");
    expect[13] = static_cast<uint8_t>(layout);
    EXPECT_EQ(b, expect) << channels;
  }
}

TEST(AudioEntry, AmrNarrowBand) {
  const char* damr = "00 00 00 11 64 61 6D 72 61 70 70 6C 01 00 80 00 01";
  EXPECT_EQ(entry(kMode3gp, kCodecAmrNb, 1, 8000), hex_bytes(std::string(R"(
    00 00 00 35 73 61 6D 72 00 00 00 00 00 00 00 01   # "samr"
    00 00 00 00 00 00 00 00 00 01 00 10 00 00 00 00
    1F 40 00 00
  )") + damr));
  Bytes mov = entry(kModeMov, kCodecAmrNb, 1, 8000);
  ASSERT_EQ(mov.size(), 36u + 17 + 24);
  EXPECT_EQ(Bytes(mov.begin() + 36, mov.begin() + 53), hex_bytes(damr));
  EXPECT_EQ(fourcc_at(mov, 57), "chan");
}

TEST(AudioEntry, FlacStreamInfo) {
  Bytes info(34);
  for (size_t i = 0; i < info.size(); ++i) info[i] = static_cast<uint8_t>(0xA0 + i);
  for (uint32_t mode : {kModeMp4, kModeMov, kModeM4a}) {
    Bytes b = entry(mode, kCodecFlac, 2, 96000, info);
    EXPECT_EQ(fourcc_at(b, 4), "fLaC");
    EXPECT_EQ(Bytes(b.begin() + 16, b.begin() + 36),
              hex_bytes("00 00 00 00 00 00 00 00 00 02 00 10 00 00 00 00 77 00 00 00"))
        << "version 0, 96000 keeps its low 16 bits";
    Bytes dfla(b.begin() + 36, b.begin() + 36 + 50);
    EXPECT_EQ(Bytes(dfla.begin(), dfla.begin() + 16),
              hex_bytes("00 00 00 32 64 66 4C 61 00 00 00 00 80 00 00 22"));
    EXPECT_EQ(Bytes(dfla.begin() + 16, dfla.end()), info);
    EXPECT_EQ(b.size(), mode == kModeMov ? 36u + 50 + 24 : 36u + 50);
  }
  // Anything but a 34-byte STREAMINFO gives no dfLa.
  Bytes shorter(33, 0x11);
  EXPECT_EQ(entry(kModeMp4, kCodecFlac, 2, 44100, shorter).size(), 36u);
  BoxOutput out;
  MuxTrack* t = audio_track(out, kCodecFlac, 2, 44100);
  EXPECT_EQ(write_dfla(out.ctx(), t), -1);
  t->audio_config = info.data();
  t->audio_config_size = 34;
  EXPECT_EQ(write_dfla(out.ctx(), t), 50);
}

TEST(AudioEntry, AlacCookieIsCopiedAsItStands) {
  const Bytes cookie = hex_bytes(R"(
    00 00 00 24 61 6C 61 63 00 00 00 00 00 00 10 00 00 10 28 0A 0E 02 00 FF
    00 00 00 00 00 00 00 00 00 00 AC 44)");
  Bytes iso = entry(kModeMp4, kCodecAlac, 2, 44100, cookie);
  EXPECT_EQ(fourcc_at(iso, 4), "alac");
  EXPECT_EQ(Bytes(iso.begin() + 24, iso.begin() + 30), hex_bytes("00 02 00 10 FF FE"));
  EXPECT_EQ(Bytes(iso.begin() + 36, iso.end()), cookie);

  Bytes mov = entry(kModeMov, kCodecAlac, 2, 44100, cookie);
  EXPECT_EQ(Bytes(mov.begin() + 16, mov.begin() + 18), hex_bytes("00 00")) << "version 0";
  Bytes wave(mov.begin() + 36, mov.end() - 24);
  EXPECT_EQ(wave, hex_bytes("00 00 00 40 77 61 76 65 00 00 00 0C 66 72 6D 61 61 6C 61 63 " +
                            iso::hex(cookie) + " 00 00 00 08 00 00 00 00"));

  // Without configuration bytes the cookie is empty.
  EXPECT_EQ(entry(kModeMp4, kCodecAlac, 2, 44100).size(), 36u);
}

TEST(AudioEntry, EndaAndPcmcAlone) {
  BoxOutput out;
  MuxTrack* t = audio_track(out, kCodecPcm32Float, 2, 48000);
  write_enda(out.ctx(), t);
  write_pcmc(out.ctx(), t);
  t->codec_id = kCodecPcm16;
  write_pcmc(out.ctx(), t);
  EXPECT_EQ(out.bytes(), hex_bytes(R"(
    00 00 00 0A 65 6E 64 61 00 01
    00 00 00 0E 70 63 6D 43 00 00 00 00 01 20
    00 00 00 0E 70 63 6D 43 00 00 00 00 01 10
  )"));
}

}  // namespace
