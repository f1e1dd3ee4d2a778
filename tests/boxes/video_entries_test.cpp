#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boxes/boxes.h"
#include "support/box_output.h"
#include "support/box_reader.h"
#include "support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kVisualHeaderSize = 86;

MuxTrack* video_track(BoxOutput& out, uint32_t codec, uint32_t width, uint32_t height) {
  MuxTrack* t = out.track(0, kKindVideo);
  t->codec_id = codec;
  t->width = t->display_width = width;
  t->height = t->display_height = height;
  t->timescale = 30000;
  t->frame_rate = 29.97f;
  out.give_video_scratch(t);
  return t;
}

Bytes write_entry(BoxOutput& out, MuxTrack* t) {
  write_video_sample_entry(out.ctx(), t);
  return out.bytes();
}

// The boxes behind the visual header, as a box tree.
iso::Tree boxes_after_header(const Bytes& entry) {
  return iso::parse(Bytes(entry.begin() + kVisualHeaderSize, entry.end()));
}

std::string fourcc_at(const Bytes& b, size_t off) {
  return std::string(b.begin() + off, b.begin() + off + 4);
}

uint32_t be32_at(const Bytes& b, size_t off) {
  return static_cast<uint32_t>(b[off]) << 24 | static_cast<uint32_t>(b[off + 1]) << 16 |
         static_cast<uint32_t>(b[off + 2]) << 8 | b[off + 3];
}

TEST(VideoEntry, VisualHeaderInQuickTimeAndIsoFlavours) {
  const char* common_tail = R"(
    07 80 04 38                   # 1920 x 1080
    00 48 00 00 00 48 00 00       # 72 dpi
    00 00 00 00 00 01             # data size, frame count
    04 68 32 36 34 00 00 00 00 00 00 00 00 00 00 00   # compressor name "h264"
    00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
    00 18 FF FF                   # depth 24, no colour table
  )";
  BoxOutput mov(kModeMov);
  Bytes qt = write_entry(mov, video_track(mov, kCodecH264, 1920, 1080));
  ASSERT_GT(qt.size(), kVisualHeaderSize);
  EXPECT_EQ(Bytes(qt.begin() + 4, qt.begin() + kVisualHeaderSize), hex_bytes(std::string(R"(
    61 76 63 31 00 00 00 00 00 00 00 01 00 00 00 00   # "avc1", data reference index 1
    46 46 4D 50 00 00 02 00 00 00 02 00               # vendor "FFMP", qualities 512
  )") + common_tail));

  for (uint32_t mode : {kModeMp4, kMode3gp, kModeKddi, kModeF4v, kModeM4a}) {
    BoxOutput out(mode);
    Bytes iso = write_entry(out, video_track(out, kCodecH264, 1920, 1080));
    EXPECT_EQ(Bytes(iso.begin() + 4, iso.begin() + kVisualHeaderSize), hex_bytes(std::string(R"(
      61 76 63 31 00 00 00 00 00 00 00 01 00 00 00 00
      00 00 00 00 00 00 00 00 00 00 00 00             # no vendor, no qualities
    )") + common_tail))
        << "mode " << mode;
    EXPECT_EQ(be32_at(iso, 0), iso.size());
    EXPECT_EQ(boxes_after_header(iso).types(), std::vector<std::string>{"avcC"});
  }
}

TEST(VideoEntry, TypeAndCompressorNameByCodec) {
  struct Case {
    uint32_t codec;
    const char* type;
    const char* name;
  };
  const Case cases[] = {
      {kCodecH263, "s263", "h263"},     {kCodecMpeg4Visual, "mp4v", "mp4v"},
      {kCodecH264, "avc1", "h264"},     {kCodecHevc, "hvc1", "h265"},
      {kCodecAv1, "av01", "av01"},      {kCodecDnxhd, "AVdn", "AVdn"},
      {kCodecCineform, "CFHD", "CFHD"}, {kCodecFfv1, "FFV1", "FFV1"},
  };
  for (const Case& c : cases) {
    for (uint32_t mode : {kModeMp4, kModeMov, kMode3gp}) {
      BoxOutput out(mode);
      Bytes b = write_entry(out, video_track(out, c.codec, 640, 480));
      EXPECT_EQ(fourcc_at(b, 4), c.type);
      Bytes name(32, 0);
      name[0] = 4;
      for (int i = 0; i < 4; ++i) name[1 + i] = static_cast<uint8_t>(c.name[i]);
      EXPECT_EQ(Bytes(b.begin() + 50, b.begin() + 82), name) << c.type << " mode " << mode;
      EXPECT_EQ(be32_at(b, 0), b.size());
    }
  }
}

// The generated VOS + VOL header for 320x240 at 29.97 frames per second.
const char* kMpeg4VisualHeader = R"(
  00 00 01 B0 01                  # visual object sequence, profile and level 1
  00 00 01 B5 89 13               # visual object: verid 1, priority 1, video, stuffing
  00 00 01 00                     # video object 0
  00 00 01 20 00 C4 88 BA 98 50 A0 41 E1 46 3F   # video object layer 0, resolution 30000
  00 00 01 B2                     # user data start code
)";

TEST(VideoEntry, Mpeg4VisualHeaderInEsds) {
  BoxOutput out;
  MuxTrack* t = video_track(out, kCodecMpeg4Visual, 320, 240);
  Bytes b = write_entry(out, t);
  EXPECT_EQ(t->audio_config_size, 34u);
  EXPECT_EQ(Bytes(t->audio_config, t->audio_config + 34), hex_bytes(kMpeg4VisualHeader));
  iso::Tree tree = boxes_after_header(b);
  ASSERT_EQ(tree.types(), std::vector<std::string>{"esds"});
  Bytes esds = tree.at("esds").payload();
  // ES_Descriptor, then the decoder config: MPEG-4 Visual, visual stream.
  EXPECT_EQ(Bytes(esds.begin() + 4, esds.begin() + 11), hex_bytes("03 39 00 01 00 04 31"));
  EXPECT_EQ(esds[11], 0x20);
  EXPECT_EQ(esds[12], 0x11);
  EXPECT_EQ(Bytes(esds.begin() + 24, esds.begin() + 26), hex_bytes("05 22"));
  EXPECT_EQ(Bytes(esds.begin() + 26, esds.begin() + 60), hex_bytes(kMpeg4VisualHeader));
  EXPECT_EQ(Bytes(esds.begin() + 60, esds.end()), hex_bytes("06 01 02"));

  // Writing the entry again gives the same bytes.
  BoxOutput again;
  MuxTrack* t2 = video_track(again, kCodecMpeg4Visual, 320, 240);
  write_video_sample_entry(again.ctx(), t2);
  int64_t second = writer_tell(again.writer());
  write_video_sample_entry(again.ctx(), t2);
  EXPECT_EQ(again.bytes_from(second), b);
}

uint32_t bits_at(const uint8_t* p, uint32_t bit, uint32_t n) {
  uint32_t v = 0;
  for (uint32_t i = 0; i < n; ++i, ++bit) v = v << 1 | ((p[bit / 8] >> (7 - bit % 8)) & 1);
  return v;
}

TEST(VideoEntry, Mpeg4VisualTimeIncrementResolution) {
  // Whole rates are used as they are, others rounded and scaled by 1000; rates
  // without a usable value take 30000.
  const std::pair<float, uint32_t> cases[] = {
      {25.0f, 25},    {29.97f, 30000}, {23.976f, 24000}, {59.94f, 60000}, {120.0f, 120},
      {12.5f, 13000}, {0.0f, 30000},   {-5.0f, 30000},   {100.5f, 65535}, {0.5f, 1000},
  };
  for (const auto& [rate, resolution] : cases) {
    BoxOutput out;
    MuxTrack* t = video_track(out, kCodecMpeg4Visual, 1920, 1080);
    t->frame_rate = rate;
    write_entry(out, t);
    ASSERT_EQ(t->audio_config_size, 34u);
    // VOL start code at byte 15; resolution 25 bits after it; width and height follow.
    EXPECT_EQ(bits_at(t->audio_config, 19 * 8 + 25, 16), resolution) << rate;
    EXPECT_EQ(bits_at(t->audio_config, 19 * 8 + 25 + 16 + 3, 13), 1920u);
    EXPECT_EQ(bits_at(t->audio_config, 19 * 8 + 25 + 16 + 3 + 14, 13), 1080u);
  }
}

TEST(VideoEntry, H263CarriesD263) {
  BoxOutput out(kMode3gp);
  Bytes b = write_entry(out, video_track(out, kCodecH263, 176, 144));
  ASSERT_EQ(b.size(), kVisualHeaderSize + 15);
  EXPECT_EQ(Bytes(b.begin() + kVisualHeaderSize, b.end()),
            hex_bytes("00 00 00 0F 64 32 36 33 58 51 4D 4D 00 0A 00"));
}

TEST(VideoEntry, CineformHasNoConfiguration) {
  BoxOutput out;
  Bytes b = write_entry(out, video_track(out, kCodecCineform, 1280, 720));
  EXPECT_EQ(b.size(), kVisualHeaderSize);
}

TEST(VideoEntry, Ffv1GlobalHeader) {
  BoxOutput out(kModeMov);
  MuxTrack* t = video_track(out, kCodecFfv1, 640, 480);
  Bytes config = hex_bytes("03 00 01 02 03 04 05");
  t->extradata = config.data();
  t->extradata_size = static_cast<uint32_t>(config.size());
  Bytes b = write_entry(out, t);
  EXPECT_EQ(Bytes(b.begin() + kVisualHeaderSize, b.end()),
            hex_bytes("00 00 00 0F 67 6C 62 6C 03 00 01 02 03 04 05"));

  BoxOutput bare(kModeMov);
  EXPECT_EQ(write_entry(bare, video_track(bare, kCodecFfv1, 640, 480)).size(), kVisualHeaderSize);
}

TEST(VideoEntry, Av1ConfigurationOnlyWithExtradata) {
  BoxOutput bare;
  EXPECT_EQ(write_entry(bare, video_track(bare, kCodecAv1, 640, 480)).size(), kVisualHeaderSize);

  BoxOutput out;
  MuxTrack* t = video_track(out, kCodecAv1, 640, 480);
  Bytes seq = hex_bytes("0A 0B 00 00 00 24 C4 FF DF 00 68 02");
  t->extradata = seq.data();
  t->extradata_size = static_cast<uint32_t>(seq.size());
  Bytes b = write_entry(out, t);
  EXPECT_EQ(boxes_after_header(b).types(), std::vector<std::string>{"av1C"});
}

TEST(VideoEntry, HevcWithoutConfigurationGetsAnEmptyHvcc) {
  BoxOutput out;
  Bytes b = write_entry(out, video_track(out, kCodecHevc, 1920, 1080));
  EXPECT_EQ(Bytes(b.begin() + kVisualHeaderSize, b.end()), hex_bytes("00 00 00 08 68 76 63 43"));
}

// A DNxHD header start with a compression id at bytes 40..43; a shorter
// header holds as much of the id as fits.
Bytes dnxhd_header(bool interlaced, uint32_t cid, uint32_t size = 64) {
  Bytes h(size, 0);
  const uint8_t prefix[] = {0x00, 0x00, 0x02, 0x80, 0x01};
  std::copy(prefix, prefix + 5, h.begin());
  if (interlaced) h[5] = 0x02;
  for (uint32_t i = 40; i < 44 && i < size; ++i) h[i] = static_cast<uint8_t>(cid >> (8 * (43 - i)));
  return h;
}

TEST(VideoEntry, DnxhdAvidAtoms) {
  struct Case {
    const char* what;
    Bytes extradata;
    uint32_t height;
    const char* ares_values;  // compression id, display width, then four values
  };
  const Case cases[] = {
      {"no extradata, 1080 lines",
       {},
       1080,
       "00 00 00 00 00 00 07 80 00 00 04 38 00 00 00 01 00 00 00 00 00 00 00 05"},
      {"no extradata, 720 lines",
       {},
       720,
       "00 00 00 00 00 00 05 00 00 00 02 D0 00 00 00 01 00 00 00 00 00 00 00 06"},
      {"progressive header", dnxhd_header(false, 1235), 1080,
       "00 00 04 D3 00 00 07 80 00 00 04 38 00 00 00 01 00 00 00 00 00 00 00 05"},
      {"interlaced header", dnxhd_header(true, 1242), 1080,
       "00 00 04 DA 00 00 07 80 00 00 02 1C 00 00 00 02 00 00 00 00 00 00 00 04"},
      {"header too short", dnxhd_header(true, 1242, 41), 1080,
       "00 00 00 00 00 00 07 80 00 00 04 38 00 00 00 01 00 00 00 00 00 00 00 05"},
      // The id needs bytes 40..43: 42 or 43 bytes hold only part of it, and
      // reading it would run past the copy (the sanitizer build sees that).
      {"42-byte header", dnxhd_header(true, 0x010204D3, 42), 1080,
       "00 00 00 00 00 00 07 80 00 00 04 38 00 00 00 01 00 00 00 00 00 00 00 05"},
      {"43-byte header", dnxhd_header(true, 0x010204D3, 43), 1080,
       "00 00 00 00 00 00 07 80 00 00 04 38 00 00 00 01 00 00 00 00 00 00 00 05"},
      {"44-byte header", dnxhd_header(true, 0x010204D3, 44), 1080,
       "01 02 04 D3 00 00 07 80 00 00 02 1C 00 00 00 02 00 00 00 00 00 00 00 04"},
      {"not a DNxHD header", Bytes(64, 0x11), 720,
       "00 00 00 00 00 00 05 00 00 00 02 D0 00 00 00 01 00 00 00 00 00 00 00 06"},
  };
  for (const Case& c : cases) {
    BoxOutput out(kModeMov);
    MuxTrack* t = video_track(out, kCodecDnxhd, c.height == 1080 ? 1920 : 1280, c.height);
    Bytes extradata = c.extradata;
    t->extradata = extradata.empty() ? nullptr : extradata.data();
    t->extradata_size = static_cast<uint32_t>(extradata.size());
    Bytes b = write_entry(out, t);
    ASSERT_EQ(b.size(), kVisualHeaderSize + 24 + 24 + 120 + 4) << c.what;
    Bytes atoms(b.begin() + kVisualHeaderSize, b.end());
    EXPECT_EQ(Bytes(atoms.begin(), atoms.begin() + 48), hex_bytes(R"(
      00 00 00 18 41 43 4C 52 41 43 4C 52 30 30 30 31 00 00 00 01 00 00 00 00   # ACLR
      00 00 00 18 41 50 52 47 41 50 52 47 30 30 30 31 00 00 00 01 00 00 00 00   # APRG
    )")) << c.what;
    EXPECT_EQ(Bytes(atoms.begin() + 48, atoms.begin() + 64),
              hex_bytes("00 00 00 78 41 52 45 53 41 52 45 53 30 30 30 31"));
    EXPECT_EQ(Bytes(atoms.begin() + 64, atoms.begin() + 88), hex_bytes(c.ares_values)) << c.what;
    EXPECT_EQ(Bytes(atoms.begin() + 88, atoms.end()), Bytes(80 + 4, 0)) << c.what;
  }
}

TEST(VideoEntry, DnxhdHeaderPrefix) {
  struct Case {
    const char* bytes;
    uint64_t result;
  };
  const Case cases[] = {
      {"00 00 02 80 01", 0x000002800100},  // DNxHD
      {"00 00 02 80 02", 0x000002800200},  // DNxHD, 4:4:4 / newer header
      {"00 00 02 80 03", 0x000002800300},  // DNxHR, 640 wide
      {"00 00 21 70 03", 0x000021700300},  // 8560: the widest
      {"00 00 0F 00 03", 0x00000F000300},  // 3840
      {"00 00 21 74 03", 0},               // 8564: too wide
      {"00 00 02 7C 03", 0},               // 636: too narrow
      {"00 00 02 82 03", 0},               // 642: not a multiple of 4
      {"00 00 02 80 04", 0},
      {"00 01 02 80 01", 0},
      {"00 00 00 00 00", 0},
      {"FF FF FF FF FF", 0},
  };
  for (const Case& c : cases) {
    Bytes b = hex_bytes(c.bytes);
    EXPECT_EQ(is_dnxhd_header_prefix(b.data()), c.result) << c.bytes;
  }
}

// Everything after the configuration, with every property field set.
void set_all_properties(MuxTrack* t) {
  t->dovi_enabled = 1;
  t->stereo_mode = 3;
  t->spherical_projection = 1;
  t->color_primaries = 9;
  t->color_trc = 16;
  t->color_space = 9;
  t->gamma = 2.2;
  t->max_cll = 1000;
  t->max_fall = 400;
  t->mastering_white_point[0] = 15635;
  t->mastering_white_point[1] = 16450;
  t->pixel_aspect = 1;
  t->display_width = t->width + 10;
}

TEST(VideoEntry, PropertyBoxesByMode) {
  struct Case {
    uint32_t mode;
    std::vector<std::string> types;
  };
  const Case cases[] = {
      {kModeMp4, {"hvcC", "dvvC", "st3d", "sv3d", "colr", "clli", "mdcv", "pasp"}},
      {kModeMov, {"hvcC", "dvvC", "gama", "colr", "clli", "mdcv", "pasp"}},
      {kMode3gp, {"hvcC", "dvvC", "pasp"}},
      {kModeM4a, {"hvcC", "dvvC", "pasp"}},
      {kModeF4v, {"hvcC", "dvvC", "pasp"}},
  };
  for (const Case& c : cases) {
    BoxOutput out(c.mode);
    MuxTrack* t = video_track(out, kCodecHevc, 1920, 1080);
    set_all_properties(t);
    Bytes b = write_entry(out, t);
    iso::Tree tree = boxes_after_header(b);
    EXPECT_EQ(tree.types(), c.types) << "mode " << c.mode << "\n" << tree.dump();
    EXPECT_EQ(tree.trailing, 0u);
  }
}

// pasp is considered only when the display size differs from the coded size.
TEST(VideoEntry, PaspOnlyWhenDisplaySizeDiffers) {
  BoxOutput out;
  MuxTrack* t = video_track(out, kCodecCineform, 1280, 720);
  t->pixel_aspect = 4;
  EXPECT_EQ(write_entry(out, t).size(), kVisualHeaderSize);

  BoxOutput out2;
  MuxTrack* t2 = video_track(out2, kCodecCineform, 1280, 720);
  t2->pixel_aspect = 4;
  t2->display_height = 540;
  Bytes b = write_entry(out2, t2);
  EXPECT_EQ(Bytes(b.begin() + kVisualHeaderSize, b.end()),
            hex_bytes("00 00 00 10 70 61 73 70 00 00 00 04 00 00 00 04"));
}

TEST(VideoEntry, DnxhdClosingZerosComeAfterTheProperties) {
  BoxOutput out(kModeMov);
  MuxTrack* t = video_track(out, kCodecDnxhd, 1920, 1080);
  t->color_primaries = 1;
  t->color_trc = 1;
  t->color_space = 1;
  Bytes b = write_entry(out, t);
  // ACLR, APRG, ARES, gama (derived from the transfer), colr nclc, then four zero bytes.
  size_t off = kVisualHeaderSize + 24 + 24 + 120;
  EXPECT_EQ(Bytes(b.begin() + off, b.end()), hex_bytes(R"(
    00 00 00 0C 67 61 6D 61 00 01 F6 04   # 1.961 in 16.16
    00 00 00 12 63 6F 6C 72 6E 63 6C 63 00 01 00 01 00 01
    00 00 00 00
  )"));
}

}  // namespace
