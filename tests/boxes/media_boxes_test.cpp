// mdhd, hdlr, the media headers, dinf/dref and the timecode boxes, box by box.
#include <gtest/gtest.h>

#include <string>

#include "boxes/boxes.h"
#include "tests/boxes/box_context.h"

namespace {

std::string h(const std::string& text) {
  return iso::hex(std::vector<uint8_t>(text.begin(), text.end()));
}

TEST(Language, PacksLowerCaseCodesOnly) {
  struct Case {
    const char* language;
    uint16_t packed;
  };
  const Case cases[] = {
      {"eng", 0x15C7},
      {"fra", 0x1A41},
      {"und", 0x55C4},
      {"deu", 0x10B5},
      {"jpn", 0x2A0E},
      {nullptr, 0x55C4},  // no language
      {"", 0x55C4},       // empty
      {"EN", 0x55C4},     // upper case
      {"ENG", 0x55C4},
      {"en", 0x55C4},  // two letters: the terminator is the third byte
      {"e", 0x55C4},
      {"e1g", 0x55C4},   // a digit
      {"engl", 0x15C7},  // only three bytes count
      {"`{|", 0x037C},   // the bytes 0x60 and 0x7B..0x7F pass as values 0, 27..31
      {"\x7f\x7f\x7f", 0x7FFF},
      {"\xe9ng", 0x55C4},  // a byte above 0x7F
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.language ? k.language : "(null)");
    EXPECT_EQ(pack_language(k.language), k.packed);
  }
}

TEST(MediaHeader, FixedLayoutWithLanguage) {
  BoxContext b(kModeMp4);
  MuxTrack& t = b.track(1, kKindAudio, kCodecAac, 44100, 441000);
  char language[] = "eng";
  t.language = language;
  EXPECT_EQ(write_mdhd(b.c, &t), 32);
  EXPECT_BYTES(blank_times(b.bytes(), b.time_before, {12, 16}), R"(
      00000020 6d646864 00000000 # size 32, "mdhd", version 0
      00000000 00000000          # creation, modification
      0000ac44 0006baa8          # time scale 44100, duration 441000
      15c7 0000                  # "eng", quality
  )");
}

TEST(MediaHeader, VersionOneOnlyWhenTheDurationWraps) {
  struct Case {
    uint64_t duration;
    int version;
  };
  // Ten hours at 192 kHz is past 2^32 units.
  const Case cases[] = {{0xFFFFFFFFull, 0}, {0x100000000ull, 1}, {192000ull * 36000, 1}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.duration);
    BoxContext b(kModeMov);
    MuxTrack& t = b.track(0, kKindAudio, kCodecPcm16, 192000, k.duration);
    int32_t size = write_mdhd(b.c, &t);
    std::vector<uint8_t> bytes = b.bytes();
    iso::Tree tree = iso::parse(bytes);
    const iso::Box& mdhd = tree.at("mdhd");
    EXPECT_EQ(mdhd.size, static_cast<uint64_t>(size));
    EXPECT_EQ(mdhd.version(), k.version);
    if (k.version == 0) {
      EXPECT_EQ(size, 32);
      EXPECT_EQ(mdhd.u32(16), k.duration);
      continue;
    }
    EXPECT_EQ(size, 44);
    EXPECT_EQ(mdhd.u32(20), 192000u);
    EXPECT_EQ(mdhd.u64(24), k.duration);
    EXPECT_EQ(mdhd.u16(32), 0x55C4);
    blank_times(bytes, b.time_before, {12, 20}, 8);
  }
}

TEST(Handler, RowsByKindAndMode) {
  const std::string zero = "00000000";
  struct Case {
    uint32_t mode;
    int32_t kind;  // -1: the data handler
    std::string expected;
  };
  // QuickTime movies count the name; the ISO flavours end it with a zero byte.
  const Case cases[] = {
      {kModeMp4, kKindVideo,
       "0000002d" + h("hdlr") + zero + zero + h("vide") + zero + zero + zero + h("VideoHandler") +
           "00"},
      {kModeMov, kKindVideo,
       "0000002d" + h("hdlr") + zero + h("mhlr") + h("vide") + zero + zero + zero + "0c" +
           h("VideoHandler")},
      {kModeMp4, kKindAudio,
       "0000002d" + h("hdlr") + zero + zero + h("soun") + zero + zero + zero + h("SoundHandler") +
           "00"},
      {kModeM4a, kKindAudio,
       "0000002d" + h("hdlr") + zero + zero + h("soun") + zero + zero + zero + h("SoundHandler") +
           "00"},
      {kMode3gp, kKindVideo,
       "0000002d" + h("hdlr") + zero + zero + h("vide") + zero + zero + zero + h("VideoHandler") +
           "00"},
      {kModeKddi, kKindAudio,
       "0000002d" + h("hdlr") + zero + zero + h("soun") + zero + zero + zero + h("SoundHandler") +
           "00"},
      {kModeF4v, kKindVideo,
       "0000002d" + h("hdlr") + zero + zero + h("vide") + zero + zero + zero + h("VideoHandler") +
           "00"},
      {kModeMov, kKindAudio,
       "0000002d" + h("hdlr") + zero + h("mhlr") + h("soun") + zero + zero + zero + "0c" +
           h("SoundHandler")},
      {kModeMov, kKindTimedMetadata,
       "00000034" + h("hdlr") + zero + h("mhlr") + h("meta") + zero + "00000001" + zero + "13" +
           h("Core Media Metadata")},
      {kModeMp4, kKindTimedMetadata,
       "00000034" + h("hdlr") + zero + zero + h("meta") + zero + "00000001" + zero +
           h("Core Media Metadata") + "00"},
      // The timecode handler says "mhlr" in every mode.
      {kModeMp4, kKindTimecode,
       "00000034" + h("hdlr") + zero + h("mhlr") + h("tmcd") + zero + zero + zero +
           h("Core Media Timecode") + "00"},
      {kModeMov, kKindTimecode,
       "00000034" + h("hdlr") + zero + h("mhlr") + h("tmcd") + zero + zero + zero + "13" +
           h("Core Media Timecode")},
      {kModeMov, -1,
       "0000002c" + h("hdlr") + zero + h("dhlr") + h("url ") + zero + zero + zero + "0b" +
           h("DataHandler")},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << k.mode << " kind " << k.kind);
    BoxContext b(k.mode);
    MuxTrack* t = nullptr;
    if (k.kind >= 0) t = &b.track(0, static_cast<uint32_t>(k.kind), 0, 600, 0);
    write_hdlr(b.c, t);
    EXPECT_BYTES(b.bytes(), k.expected);
  }
}

TEST(MediaInformation, FixedHeaderBoxes) {
  BoxContext b(kModeMp4);
  MuxTrack& video = b.track(0, kKindVideo, kCodecH264, 30000, 0);
  MuxTrack& timecode = b.track(1, kKindTimecode, kCodecTimecode, 30000, 0);
  MuxTrack& meta = b.track(2, kKindTimedMetadata, kCodecTimedMetadata, 600, 0);
  MuxTrack& audio = b.track(3, kKindAudio, kCodecAac, 48000, 0);
  write_vmhd(b.c);
  write_smhd(b.c);
  write_gmin(b.c);
  EXPECT_EQ(write_dref(b.c, &audio), 28);
  write_dinf(b.c, &video);
  write_dinf(b.c, &timecode);
  write_dinf(b.c, &meta);
  EXPECT_BYTES(b.bytes(), R"(
      00000014 766d6864 00000001 # vmhd, version 0 flags 1
      0000 0000 0000 0000        # graphics mode, opcolor
      00000010 736d6864 00000000 # smhd
      0000 0000                  # balance, reserved
      00000018 676d696e 00000000 # gmin
      0040 8000 8000 8000        # graphics mode, opcolor
      0000 0000                  # balance, reserved
      0000001c 64726566 00000000 # dref
      00000001                   # one entry
      0000000c 75726c20 00000001 # "url ", flags 1: data in this file
      00000024 64696e66          # dinf of the video track
      0000001c 64726566 00000000 00000001 0000000c 75726c20 00000001
      00000024 64696e66          # dinf of the timecode track: an alias
      0000001c 64726566 00000000 00000001 0000000c 616c6973 00000001
      00000024 64696e66          # dinf of the timed-metadata track: an alias
      0000001c 64726566 00000000 00000001 0000000c 616c6973 00000001
  )");
}

TEST(Timecode, SampleEntryFramesPerSecond) {
  struct Case {
    uint32_t timescale;
    uint64_t sample_duration;
    uint8_t frames;
  };
  const Case cases[] = {
      // The 1000/1001 rates count in their nominal whole rate.
      {30000, 1001, 30}, {24000, 1001, 24}, {60000, 1001, 60},
      {25, 1, 25},       {25000, 1000, 25}, {600, 40, 15},  // the track defaults
      {30000, 0, 0},    // no frame duration: 0 frames, no division
      {6000, 1, 0x70},  // 6000 frames: only the low 8 bits
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(::testing::Message() << k.timescale << "/" << k.sample_duration);
    BoxContext b(kModeMov);
    MuxTrack& t = b.track(2, kKindTimecode, kCodecTimecode, k.timescale, 0);
    t.sample_duration = k.sample_duration;
    write_tmcd_entry(b.c, &t);
    iso::Tree tree = iso::parse(b.bytes());
    const iso::Box& tmcd = tree.at("tmcd");
    EXPECT_EQ(tmcd.size, 34u);
    EXPECT_EQ(tmcd.u32(12), 2u);  // flags: 24-hour maximum, never drop frame
    EXPECT_EQ(tmcd.u32(16), k.timescale);
    EXPECT_EQ(tmcd.u32(20), static_cast<uint32_t>(k.sample_duration));
    EXPECT_EQ(tmcd.u8(24), k.frames);
  }
}

TEST(Timecode, FixedLayouts) {
  BoxContext b(kModeMp4);
  MuxTrack& t = b.track(2, kKindTimecode, kCodecTimecode, 30000, 0);
  t.sample_duration = 1001;
  write_tmcd_entry(b.c, &t);
  write_gmhd(b.c, &t);
  EXPECT_BYTES(b.bytes(), R"(
      00000022 746d6364          # tmcd sample entry, 34 bytes
      00000000 0000 0001         # reserved, data reference index 1
      00000000 00000002          # reserved, flags
      00007530 000003e9          # time scale 30000, frame duration 1001
      1e 00                      # 30 frames (the nominal rate), reserved
      00000052 676d6864          # gmhd, 82 bytes
      00000018 676d696e 00000000 0040 8000 8000 8000 0000 0000
      00000032 746d6364          # tmcd media information, 50 bytes
      0000002a 74636d69          # tcmi, 42 bytes
      00000001                   # version 0, flags 1
      0015 0000 000a 0000        # font 21, face 0, size 10, reserved
      0000 0000 0000             # text colour black
      ffff ffff ffff             # background white
      09 48656c766574696361      # "Helvetica", counted
  )");
}

}  // namespace
