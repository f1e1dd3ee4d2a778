// ftyp, mvhd, tkhd, elst, tref and the audio track name, box by box.
#include <gtest/gtest.h>

#include <string>

#include "boxes/boxes.h"
#include "tests/boxes/box_context.h"

namespace {

// Hex of ASCII text, for expected bytes that spell four-character codes.
std::string h(const std::string& text) {
  return iso::hex(std::vector<uint8_t>(text.begin(), text.end()));
}

TEST(FileType, BrandsByMode) {
  struct Case {
    uint32_t mode;
    std::string expected;
  };
  const Case cases[] = {
      {kModeMp4, "00000018" + h("ftyp") + h("mp42") + "00000200" + h("mp42") + h("isom")},
      {kModeMov, "00000014" + h("ftyp") + h("qt  ") + "00000200" + h("qt  ")},
      {kMode3gp, "00000014" + h("ftyp") + h("3gp4") + "00000200" + h("3gp4")},
      {kModeKddi, "00000014" + h("ftyp") + h("kddi") + "00000200" + h("3g2a")},
      {kModeF4v, "00000014" + h("ftyp") + h("f4v ") + "00000200" + h("mp42")},
      {kModeM4a, "00000014" + h("ftyp") + h("M4A ") + "00000200" + h("mp42")},
      // Unlisted modes are MP4.
      {3, "00000018" + h("ftyp") + h("mp42") + "00000200" + h("mp42") + h("isom")},
      {7, "00000018" + h("ftyp") + h("mp42") + "00000200" + h("mp42") + h("isom")},
      {0xFFFFFFFF, "00000018" + h("ftyp") + h("mp42") + "00000200" + h("mp42") + h("isom")},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.mode);
    BoxContext b(k.mode);
    write_ftyp(b.c);
    EXPECT_BYTES(b.bytes(), k.expected);
  }
}

TEST(MovieHeader, FixedLayout) {
  BoxContext b(kModeMp4);
  b.track(0, kKindVideo, kCodecH264, 30000, 300300);  // 10.01 s
  b.track(1, kKindAudio, kCodecAac, 44100, 463050);   // 10.5 s
  EXPECT_EQ(write_mvhd(b.c), 108);
  std::vector<uint8_t> box = blank_times(b.bytes(), b.time_before, {12, 16});
  EXPECT_BYTES(box, R"(
      0000006c 6d766864          # size 108, "mvhd"
      00 000000                  # version 0, flags
      00000000 00000000          # creation, modification (checked, blanked)
      000003e8 00002904          # time scale 1000, duration 10500
      00010000 0100              # rate 1.0, volume 1.0
      0000 00000000 00000000     # reserved
      00010000 00000000 00000000 # identity matrix
      00000000 00010000 00000000
      00000000 00000000 40000000
      00000000 00000000 00000000 # preview time, preview duration, poster time
      00000000 00000000 00000000 # selection time, selection duration, current time
      00000003                   # next track ID
  )");
}

TEST(MovieHeader, DurationComesFromTheFirstTwoSlots) {
  struct Slot {
    uint64_t duration;
    uint32_t timescale;
  };
  struct Case {
    const char* name;
    int32_t track_count;
    Slot s0, s1, s2;
    uint32_t expected_ms;
  };
  const Case cases[] = {
      {"audio in slot 1 is longer", 3, {300300, 30000}, {463050, 44100}, {20000, 1000}, 10500},
      {"video in slot 0 is longer", 2, {330000, 30000}, {441000, 44100}, {}, 11000},
      {"slot 2 never counts", 3, {30000, 30000}, {44100, 44100}, {99000, 1000}, 1000},
      // 16777217 and 16777216 are the same number in single precision: a tie, slot 1 wins.
      {"tie in single precision", 2, {16777217, 1000}, {16777216, 1000}, {}, 16777216},
      {"slot 0 without duration", 2, {0, 30000}, {441000, 44100}, {}, 10000},
      {"no duration at all", 2, {0, 30000}, {0, 44100}, {}, 0},
      {"one track", 1, {3003, 30000}, {}, {}, 100},
      {"truncated, not rounded", 1, {2999, 3000}, {}, {}, 999},
      // A time scale of 0 counts as no time instead of dividing by zero.
      {"slot 1 time scale 0", 2, {30000, 30000}, {500, 0}, {}, 1000},
      {"slot 0 time scale 0", 2, {500, 0}, {44100, 44100}, {}, 1000},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    BoxContext b(kModeMp4);
    b.track(0, kKindVideo, kCodecH264, k.s0.timescale, k.s0.duration);
    b.track(1, kKindAudio, kCodecAac, k.s1.timescale, k.s1.duration);
    b.track(2, kKindAudio, kCodecAac, k.s2.timescale, k.s2.duration);
    b.c->track_count = k.track_count;
    write_mvhd(b.c);
    iso::Tree tree = iso::parse(b.bytes());
    EXPECT_EQ(tree.at("mvhd").u32(16), k.expected_ms);
    EXPECT_EQ(tree.at("mvhd").u32(96), static_cast<uint32_t>(k.track_count + 1));
  }
}

TEST(MovieHeader, VersionOneOnlyWhenMillisecondsWrap) {
  struct Case {
    uint64_t duration;  // at time scale 1000
    int version;
  };
  const Case cases[] = {{0xFFFFFFFFull, 0}, {0x100000000ull, 1}, {5000000000ull, 1}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.duration);
    BoxContext b(kModeMov);
    b.track(0, kKindVideo, kCodecH264, 1000, k.duration);
    int32_t size = write_mvhd(b.c);
    iso::Tree tree = iso::parse(b.bytes());
    const iso::Box& mvhd = tree.at("mvhd");
    EXPECT_EQ(mvhd.version(), k.version);
    EXPECT_EQ(mvhd.size, static_cast<uint64_t>(size));
    EXPECT_EQ(size, k.version ? 120 : 108);
    EXPECT_EQ(k.version ? mvhd.u64(24) : mvhd.u32(16), k.duration);
  }

  BoxContext b(kModeMov);
  b.track(0, kKindVideo, kCodecH264, 1000, 5000000000ull);
  write_mvhd(b.c);
  EXPECT_BYTES(blank_times(b.bytes(), b.time_before, {12, 20}, 8), R"(
      00000078 6d766864                  # size 120, "mvhd"
      01 000000                          # version 1, flags
      0000000000000000 0000000000000000  # creation, modification (64-bit)
      000003e8 000000012a05f200          # time scale, duration 5 000 000 000 ms
      00010000 0100 0000 00000000 00000000
      00010000 00000000 00000000 00000000 00010000 00000000 00000000 00000000 40000000
      00000000 00000000 00000000 00000000 00000000 00000000
      00000002                           # next track ID
  )");
}

TEST(TrackHeader, VideoLayoutWithDisplayMatrix) {
  BoxContext b(kModeMp4);
  MuxTrack& t = b.track(0, kKindVideo, kCodecH264, 30000, 300300);
  t.display_width = 1920;
  t.display_height = 1080;
  // A quarter turn: a = 0, b = 1, c = -1, d = 0, moved right by 1080.
  int32_t params[6] = {0, 1, -1, 0, 1080, 0};
  std::copy(params, params + 6, b.c->display_params);
  EXPECT_EQ(write_tkhd(b.c, &t), 92);
  EXPECT_BYTES(blank_times(b.bytes(), b.time_before, {12, 16}), R"(
      0000005c 746b6864          # size 92, "tkhd"
      00 00000f                  # version 0, flags 15
      00000000 00000000          # creation, modification
      00000001 00000000          # track ID 1, reserved
      0000271a                   # duration 10010 ms
      00000000 00000000          # reserved
      0000 0000 0000 0000        # layer, alternate group, volume, reserved
      00000000 00010000 00000000 # a, b, u
      ffff0000 00000000 00000000 # c (-1 shifted as a 32-bit word), d, v
      04380000 00000000 40000000 # tx 1080, ty, w
      07800000 04380000          # width 1920, height 1080 (16.16)
  )");
}

TEST(TrackHeader, AudioHasGroupVolumeAndNoSize) {
  BoxContext b(kModeMov);
  MuxTrack& t = b.track(1, kKindAudio, kCodecAac, 44100, 1001);
  t.display_width = 640;  // never written for audio
  t.display_height = 480;
  int32_t params[6] = {1, 0, 0, 1, 0, 0};
  std::copy(params, params + 6, b.c->display_params);
  write_tkhd(b.c, &t);
  EXPECT_BYTES(blank_times(b.bytes(), b.time_before, {12, 16}), R"(
      0000005c 746b6864 00 00000f 00000000 00000000
      00000002 00000000          # track ID 2
      00000016                   # 1001 / 44100 s = 22.69 ms, truncated
      00000000 00000000
      0000 0001 0100 0000        # layer, alternate group 1, volume 1.0
      00010000 00000000 00000000 00000000 00010000 00000000 00000000 00000000 40000000
      00000000 00000000          # no width, no height
  )");
}

TEST(TrackHeader, FlagsByKindHintAndCodec) {
  struct Case {
    uint32_t kind;
    uint32_t codec_id;
    uint32_t enable_hint;
    uint32_t flags;
  };
  const Case cases[] = {
      {kKindVideo, kCodecH264, 0, 15},
      {kKindVideo, kCodecH264, 1, 15},  // video ignores the hint
      {kKindAudio, kCodecAac, 0, 15},   // a lone AAC track
      {kKindAudio, kCodecAac, 1, 3},    // dual-audio AAC plays by default
      {kKindAudio, kCodecAc3, 1, 2},    // dual-audio AC-3 is present but disabled
      {kKindAudio, kCodecAc3, 0, 15},
      {kKindAudio, kCodecPcm16, 1, 3},
      {kKindAudio, kCodecPcm32Float, 1, 3},
      {kKindAudio, kCodecFlac, 1, 3},
      {kKindAudio, kCodecAlac, 1, 15},
      {kKindTimecode, kCodecTimecode, 1, 15},
      {kKindTimedMetadata, kCodecTimedMetadata, 1, 15},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "kind " << k.kind << " codec " << k.codec_id << " hint " << k.enable_hint);
    BoxContext b(kModeMp4);
    MuxTrack& t = b.track(0, k.kind, k.codec_id, 1000, 1000);
    t.enable_hint = k.enable_hint;
    write_tkhd(b.c, &t);
    iso::Tree tree = iso::parse(b.bytes());
    const iso::Box& tkhd = tree.at("tkhd");
    EXPECT_EQ(tkhd.flags(), k.flags);
    EXPECT_EQ(tkhd.u16(34), k.kind == kKindAudio ? 1 : 0);      // alternate group
    EXPECT_EQ(tkhd.u16(36), k.kind == kKindAudio ? 0x100 : 0);  // volume
  }
}

TEST(TrackHeader, VersionOneOnlyWhenMillisecondsWrap) {
  BoxContext b(kModeMp4);
  // 2^32 ms and one more unit at 90 kHz: the 32-bit field would wrap to 0.
  MuxTrack& t = b.track(0, kKindVideo, kCodecH264, 90000, 0x100000000ull * 90);
  t.display_width = 2;
  t.display_height = 3;
  EXPECT_EQ(write_tkhd(b.c, &t), 104);
  MuxTrack& short_track = b.track(1, kKindVideo, kCodecH264, 90000, 0xFFFFFFFFull * 90);
  EXPECT_EQ(write_tkhd(b.c, &short_track), 92);
  std::vector<uint8_t> bytes = b.bytes();
  iso::Tree tree = iso::parse(bytes);
  const iso::Box& wide = tree.at("tkhd[0]");
  EXPECT_EQ(wide.size, 104u);
  EXPECT_EQ(wide.version(), 1);
  EXPECT_EQ(wide.u32(20), 1u);              // track ID behind two 64-bit times
  EXPECT_EQ(wide.u64(28), 0x100000000ull);  // duration
  EXPECT_EQ(wide.u32(88), 0x20000u);        // width still at the end
  EXPECT_EQ(wide.u32(92), 0x30000u);
  blank_times(wide.bytes(), b.time_before, {12, 20}, 8);  // checks both 64-bit times
  const iso::Box& narrow = tree.at("tkhd[1]");
  EXPECT_EQ(narrow.version(), 0);
  EXPECT_EQ(narrow.u32(20), 0xFFFFFFFFu);
}

TEST(EditList, MediaTimeByCodec) {
  struct Case {
    const char* name;
    uint32_t kind;
    uint32_t codec_id;
    uint32_t timescale;
    int64_t first_cts_offset;  // 100 ns
    uint32_t media_time;
    uint32_t segment;  // ms: the 10 s of media from the media time on
  };
  const Case cases[] = {
      {"AAC: fixed 1600", kKindAudio, kCodecAac, 44100, 0, 1600, 9963},
      {"AAC ignores its offset", kKindAudio, kCodecAac, 48000, 1000000, 1600, 9966},
      {"FLAC 0.1 s at 44100", kKindAudio, kCodecFlac, 44100, 1000000, 4410, 9900},
      {"ALAC rounds half up", kKindAudio, kCodecAlac, 44100, 1134, 5, 9999},  // 5.0009
      {"ALAC rounds down", kKindAudio, kCodecAlac, 44100, 1020, 4, 9999},     // 4.4982
      {"ALAC 1024 frames at 48000", kKindAudio, kCodecAlac, 48000, 213334, 1024, 9978},
      {"FLAC negative offset: no negative edit", kKindAudio, kCodecFlac, 44100, -1000000, 0, 10000},
      {"PCM", kKindAudio, kCodecPcm16, 48000, 5000, 0, 10000},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    BoxContext b(kModeMp4);
    MuxTrack& t = b.track(0, k.kind, k.codec_id, k.timescale, k.timescale * 10ull);
    t.first_cts_offset = k.first_cts_offset;
    write_edts(b.c, &t);
    iso::Tree tree = iso::parse(b.bytes());
    const iso::Box& elst = tree.at("edts/elst");
    EXPECT_EQ(elst.size, 28u);
    EXPECT_EQ(elst.u32(0), 0u);  // version 0, flags
    EXPECT_EQ(elst.u32(4), 1u);  // one entry
    EXPECT_EQ(elst.u32(8), k.segment);
    EXPECT_EQ(elst.u32(12), k.media_time);
    EXPECT_EQ(elst.u32(16), 0x00010000u);  // rate 1.0
  }
}

TEST(EditList, VideoStartsAtTheFirstStoredCompositionTime) {
  struct Frame {
    int64_t dts;  // 100 ns
    int32_t offset;
    uint32_t sync;
  };
  struct Case {
    const char* name;
    uint32_t codec_id;
    uint32_t timescale;
    uint32_t timestamp_durations;
    int64_t first_cts_offset;  // 100 ns
    std::vector<Frame> frames;
    uint32_t media_time;
  };
  const Case cases[] = {
      // 23.976 fps with host stamps of 417083 per frame and two frames of
      // delay: 834166 is 2001.998 units, stored truncated as 2001. The edit
      // starts there, not one unit later at the rounded 2002.
      {"truncated offset at 23.976",
       kCodecH264,
       24000,
       0,
       834166,
       {{0, 2001, 1}, {417083, 4003, 0}, {834166, 0, 0}, {1251249, 0, 0}},
       2001},
      // An open GOP: the picture decoded second is shown first.
      {"open-GOP leading picture",
       kCodecH264,
       30000,
       0,
       1001001,
       {{0, 3003, 1}, {333667, 1001, 0}, {667334, 1001, 0}},
       2002},
      // Only the leading pictures count: from the second sync sample on, a
      // picture cannot be shown before the first one.
      {"later groups are not searched",
       kCodecHevc,
       30000,
       0,
       667334,
       {{0, 2002, 1},
        {333667, 2002, 0},
        {667334, 2002, 1},
        {1001101, -3003, 0},
        {1334668, 1001, 0}},
       2002},
      // Decode times that start below 0: media time counts from the first one.
      {"timestamp durations, negative first decode time",
       kCodecH264,
       30000,
       1,
       667334,
       {{-667334, 2002, 1}, {-333667, 4004, 0}, {0, 0, 0}, {333667, 0, 0}},
       2002},
      // Without composition offsets in the file the first picture is shown at 0.
      {"AV1 with a delay but no ctts",
       kCodecAv1,
       30000,
       0,
       667334,
       {{0, 2002, 1}, {333667, 2002, 0}},
       0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    BoxContext b(kModeMp4);
    MuxTrack& t = b.track(0, kKindVideo, k.codec_id, k.timescale, k.timescale);
    t.sample_duration = 1001;
    t.timestamp_durations = k.timestamp_durations;
    t.first_cts_offset = k.first_cts_offset;
    std::vector<int32_t> offsets;
    for (const Frame& f : k.frames) {
      b.add(t, f.dts, 100, 10, f.sync);
      offsets.push_back(f.offset);
    }
    b.set_offsets(t, offsets);
    write_edts(b.c, &t);
    iso::Tree tree = iso::parse(b.bytes());
    EXPECT_EQ(tree.at("edts/elst").u32(12), k.media_time);
  }
}

TEST(EditList, FixedLayoutAndVersionOneForLongTracks) {
  BoxContext b(kModeMp4);
  MuxTrack& aac = b.track(0, kKindAudio, kCodecAac, 44100, 441000);
  write_edts(b.c, &aac);
  MuxTrack& longer = b.track(1, kKindAudio, kCodecAac, 1000, 5000000000ull);
  write_edts(b.c, &longer);
  EXPECT_BYTES(b.bytes(), R"(
      00000024 65647473          # edts, 36 bytes
      0000001c 656c7374          # elst, 28 bytes
      00000000 00000001          # version 0, one entry
      000026eb 00000640          # 9963 ms (10 s less 1600 / 44100 s), media time 1600
      0001 0000                  # rate 1.0
      0000002c 65647473          # edts, 44 bytes
      00000024 656c7374          # elst, 36 bytes
      01000000 00000001          # version 1, one entry
      000000012a05ebc0           # 4 999 998 400 ms: the media from 1600 on
      0000000000000640           # media time 1600, 64-bit
      0001 0000
  )");
}

TEST(TrackReference, PointsAtTheTimecodeTrack) {
  BoxContext b(kModeMov);
  MuxTrack& t = b.track(0, kKindVideo, kCodecH264, 30000, 0);
  write_tref(b.c, &t, 3);
  EXPECT_BYTES(b.bytes(), "00000014" + h("tref") + "0000000c" + h("tmcd") + "00000003");
}

TEST(TrackName, ByAudioCodec) {
  struct Case {
    uint32_t codec_id;
    std::string expected;
  };
  const Case cases[] = {
      {kCodecAc3, "00000018" + h("udta") + "00000010" + h("name") + h("Surround")},
      {kCodecAac, "00000016" + h("udta") + "0000000e" + h("name") + h("Stereo")},
      {kCodecAlac, "00000008" + h("udta")},
      {kCodecFlac, "00000008" + h("udta")},
      {kCodecPcm16, "00000008" + h("udta")},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.codec_id);
    BoxContext b(kModeMp4);
    MuxTrack& t = b.track(0, kKindAudio, k.codec_id, 48000, 0);
    t.channels = 6;  // the AAC name says "Stereo" whatever the channel count
    write_track_name(b.c, &t);
    EXPECT_BYTES(b.bytes(), k.expected);
  }
}

TEST(CreationTime, SecondsSince1904) {
  uint32_t before = static_cast<uint32_t>(std::time(nullptr) + 2082844800);
  uint32_t now = mp4_creation_time();
  uint32_t after = static_cast<uint32_t>(std::time(nullptr) + 2082844800);
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

}  // namespace
