// The session object itself: the track slots it makes from EncParam, the
// values it hands to the MuxContext, the configuration it stores, its state
// machine and its failure paths.
#include "writer/mp4_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/wformat.h"
#include "plugin/slots.h"
#include "support/box_reader.h"
#include "support/plugin_host.h"
#include "support/test_files.h"

using host::fourcc;

namespace {

using Bytes = std::vector<uint8_t>;

struct SpecRow {
  int32_t kind;
  uint32_t codec_id;
  uint32_t enable_hint;
};

std::vector<SpecRow> spec_rows(const CMp4Writer& w) {
  std::vector<SpecRow> rows;
  for (int32_t i = 0; i < w.spec_count(); ++i) {
    EXPECT_EQ(w.specs()[i].index, i);
    rows.push_back({w.specs()[i].kind, w.specs()[i].codec_id, w.specs()[i].enable_hint});
  }
  for (int32_t i = w.spec_count(); i < kMaxTracks; ++i) EXPECT_EQ(w.specs()[i].kind, -1);
  return rows;
}

bool same_rows(const std::vector<SpecRow>& a, const std::vector<SpecRow>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].kind != b[i].kind || a[i].codec_id != b[i].codec_id ||
        a[i].enable_hint != b[i].enable_hint)
      return false;
  return true;
}

class WriterSession : public ::testing::Test {
 protected:
  void SetUp() override { SetWriterOptions(nullptr); }
  void TearDown() override { SetWriterOptions(nullptr); }
  std::u16string name(const std::string& file) { return u16(test_temp_path(file)); }
};

}  // namespace

TEST_F(WriterSession, SlotsFollowTheHostCodesInOrder) {
  struct Case {
    const char* name;
    uint32_t video;
    uint32_t audio;
    uint32_t bits;
    bool timecode;
    bool live_photo;
    std::vector<SpecRow> rows;
    uint32_t video_codec, audio_codec, mode;
  };
  const Case cases[] = {
      {"H.264 + AAC",
       fourcc("H264"),
       fourcc("AAC "),
       16,
       false,
       false,
       {{1, 36, 0}, {0, 45, 0}},
       36,
       45,
       0},
      {"HEVC + dual audio + timecode + Live Photo",
       fourcc("HEVC"),
       fourcc("EAAC"),
       16,
       true,
       true,
       {{1, 37, 0}, {0, 45, 1}, {0, 11, 1}, {3, 105, 0}, {2, 104, 0}},
       37,
       11,
       1},
      {"AV1 + AC-3",
       fourcc("AV1 "),
       fourcc("AC3 "),
       16,
       false,
       false,
       {{1, 38, 0}, {0, 11, 0}},
       38,
       11,
       0},
      {"DNxHD + ALAC",
       fourcc("AVHD"),
       fourcc("ALAC"),
       16,
       false,
       false,
       {{1, 39, 0}, {0, 46, 0}},
       39,
       46,
       0},
      {"H.263 + AMR",
       fourcc("H263"),
       fourcc("AMRN"),
       16,
       false,
       false,
       {{1, 5, 0}, {0, 94, 0}},
       5,
       94,
       0},
      {"FFV1 + FLAC",
       fourcc("FFV1"),
       fourcc("flac"),
       24,
       false,
       false,
       {{1, 49, 0}, {0, 101, 1}},
       49,
       101,
       0},
      {"CineForm + PCM 16",
       fourcc("CFHD"),
       fourcc("PCM "),
       16,
       false,
       false,
       {{1, 40, 0}, {0, 73, 1}},
       40,
       73,
       0},
      {"Xvid + PCM 32",
       fourcc("Xvid"),
       fourcc("PCM "),
       32,
       false,
       false,
       {{1, 16, 0}, {0, 74, 1}},
       16,
       74,
       0},
      {"PCM of another depth",
       fourcc("H264"),
       fourcc("PCM "),
       24,
       false,
       false,
       {{1, 36, 0}, {0, 0, 1}},
       36,
       0,
       0},
      {"unknown codes", fourcc("XXXX"), fourcc("YYYY"), 16, true, false, {{3, 105, 0}}, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto p = host::blank_params(fourcc("MP4 "));
    host::set_video(*p, c.video, 320, 240, 25.0);
    host::set_audio(*p, c.audio, 48000, 2, c.bits);
    p->no_timecode = c.timecode ? 0 : 1;
    p->metadata.live_photo = c.live_photo ? 1 : 0;
    CMp4Writer w;
    ASSERT_TRUE(w.CreateMediaFile(name("slots.mp4").c_str(), p.get()));
    EXPECT_TRUE(same_rows(spec_rows(w), c.rows));
    EXPECT_EQ(w.video_codec_value(), c.video_codec);
    EXPECT_EQ(w.audio_codec_value(), c.audio_codec);
    EXPECT_EQ(w.mode_value(), c.mode);
    EXPECT_EQ(w.WriteTrail(), 0);
  }

  // A timecode block whose first word is not 0 makes no timecode track.
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("H264"), 320, 240, 25.0);
  p->no_timecode = 0;
  p->timecode[0] = 1;
  CMp4Writer w;
  ASSERT_TRUE(w.CreateMediaFile(name("slots.mp4").c_str(), p.get()));
  EXPECT_TRUE(same_rows(spec_rows(w), {{1, 36, 0}}));
}

TEST_F(WriterSession, TracksAreConfiguredBeforeTheFirstFrame) {
  auto p = host::blank_params(fourcc("MOV "));
  host::set_video(*p, fourcc("H264"), 1920, 1080, 23.976);
  host::set_audio(*p, fourcc("EAAC"), 44100, 2, 16, "eng");
  p->no_timecode = 0;
  p->video.ext_flags = 1;
  p->video.timestamp_durations = 1;
  p->video.field_of_view = 360;
  p->video.stereo_mode = 2;
  p->video.spherical_aux = 7;
  uint32_t projection[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  std::memcpy(p->video.projection, projection, sizeof projection);
  CMp4Writer w;
  ASSERT_TRUE(w.CreateMediaFile(name("configured.mov").c_str(), p.get()));
  MuxContext* c = w.mux_context();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->mode, 1u);

  const MuxTrack& v = c->tracks[0];
  EXPECT_EQ(v.codec_id, 36u);
  EXPECT_EQ(v.timescale, 24000u);
  EXPECT_EQ(v.sample_duration, 1001u);
  EXPECT_EQ(w.video_timescale_value(), 24000u);
  EXPECT_EQ(v.width, 1920u);
  EXPECT_EQ(v.height, 1080u);
  EXPECT_EQ(v.display_width, 1920u);
  EXPECT_EQ(v.display_height, 1080u);
  EXPECT_FLOAT_EQ(v.frame_rate, 23.976f);
  EXPECT_EQ(v.timestamp_durations, 1u);
  EXPECT_EQ(v.stereo_layout, 2u);
  EXPECT_EQ(v.field_of_view, 360u);
  EXPECT_EQ(v.spherical_aux, 7u);
  EXPECT_EQ(v.stereo_mode, 2u);  // top-bottom
  EXPECT_EQ(v.spherical_projection, 1u);
  EXPECT_EQ(v.spherical_yaw, 2u);
  EXPECT_EQ(v.spherical_cubemap_padding, 10u);
  const int32_t identity[6] = {1, 0, 0, 1, 0, 0};
  EXPECT_EQ(std::memcmp(c->display_params, identity, sizeof identity), 0);

  const MuxTrack& aac = c->tracks[1];
  EXPECT_EQ(aac.codec_id, 45u);
  EXPECT_EQ(aac.timescale, 44100u);
  EXPECT_EQ(aac.channels, 2u);
  EXPECT_EQ(aac.sample_duration, 1024u);
  ASSERT_NE(aac.language, nullptr);
  EXPECT_STREQ(aac.language, "eng");
  const MuxTrack& ac3 = c->tracks[2];
  EXPECT_EQ(ac3.codec_id, 11u);
  EXPECT_EQ(ac3.timescale, 48000u);
  EXPECT_EQ(ac3.channels, 6u);
  EXPECT_EQ(ac3.sample_duration, 1536u);
  EXPECT_EQ(ac3.enable_hint, 1u);

  const MuxTrack& tc = c->tracks[3];
  EXPECT_EQ(tc.codec_id, 105u);
  EXPECT_EQ(tc.timescale, 24000u);
  EXPECT_EQ(tc.sample_duration, 1001u);
  EXPECT_EQ(w.WriteTrail(), 0);
}

TEST_F(WriterSession, SphericalStereoCodesAndDolbyVision) {
  struct Case {
    uint32_t video;
    uint32_t fov, stereo;
    uint32_t ext_flags, dolby;
    uint32_t expect_layout, expect_stereo_code, expect_dovi;
  };
  const Case cases[] = {
      {fourcc("H264"), 360, 0, 0, 0, 0, 1, 0}, {fourcc("H264"), 360, 1, 0, 0, 1, 3, 0},
      {fourcc("H264"), 360, 2, 0, 0, 2, 2, 0}, {fourcc("H264"), 360, 5, 0, 0, 5, 0, 0},
      {fourcc("H264"), 180, 1, 0, 0, 1, 0, 0},  // not spherical: no stereo code
      {fourcc("HEVC"), 360, 1, 1, 1, 0, 0, 1},  // other codecs: no spherical values
      {fourcc("HEVC"), 0, 0, 0, 1, 0, 0, 0},    // Dolby Vision needs ext_flags bit 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.video == fourcc("H264") ? c.fov * 10 + c.stereo : 1000 + c.ext_flags);
    auto p = host::blank_params(fourcc("MP4 "));
    host::set_video(*p, c.video, 320, 240, 25.0);
    p->video.field_of_view = c.fov;
    p->video.stereo_mode = c.stereo;
    p->video.ext_flags = c.ext_flags;
    p->video.dolby_vision = c.dolby;
    CMp4Writer w;
    ASSERT_TRUE(w.CreateMediaFile(name("spherical.mp4").c_str(), p.get()));
    const MuxTrack& v = w.mux_context()->tracks[0];
    EXPECT_EQ(v.stereo_layout, c.expect_layout);
    EXPECT_EQ(v.stereo_mode, c.expect_stereo_code);
    EXPECT_EQ(v.dovi_enabled, c.expect_dovi);
    EXPECT_EQ(v.spherical_projection, 0u);  // no projection block given
  }
}

TEST_F(WriterSession, FlacDepthAndFrameSize) {
  struct Case {
    uint32_t rate, bits, expect_bits;
    uint64_t frame;
  };
  const Case cases[] = {{44100, 32, 24, 4608}, {32000, 16, 16, 2304}, {8000, 24, 24, 576}};
  for (const Case& c : cases) {
    auto p = host::blank_params(fourcc("MP4 "));
    host::set_audio(*p, fourcc("flac"), c.rate, 2, c.bits);
    CMp4Writer w;
    ASSERT_TRUE(w.CreateMediaFile(name("flac.mp4").c_str(), p.get()));
    const MuxTrack& t = w.mux_context()->tracks[0];
    EXPECT_EQ(t.bits_per_sample, c.expect_bits) << c.rate;
    EXPECT_EQ(t.sample_duration, c.frame) << c.rate;
    EXPECT_EQ(t.timescale, c.rate);
  }
  // PCM tracks keep the context's default depth.
  auto p = host::blank_params(fourcc("MOV "));
  host::set_audio(*p, fourcc("PCM "), 48000, 2, 32);
  CMp4Writer w;
  ASSERT_TRUE(w.CreateMediaFile(name("pcm.mov").c_str(), p.get()));
  EXPECT_EQ(w.mux_context()->tracks[0].bits_per_sample, 16u);
  EXPECT_EQ(w.mux_context()->tracks[0].sample_duration, 1u);
}

TEST_F(WriterSession, MetadataAndCoverArtAreCopiedIntoTheContext) {
  Bytes jpeg = hex_bytes("FF D8 FF E0 00 10 4A 46 49 46 00 FF D9");
  MxPicture picture{jpeg.data(), static_cast<uint32_t>(jpeg.size()), 0};
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_audio(*p, fourcc("AAC "), 48000, 2);
  std::u16string title = u"A title";
  std::memcpy(p->metadata.title, title.c_str(), (title.size() + 1) * 2);
  p->metadata.season = 3;
  p->metadata.cover_art = &picture;
  CMp4Writer w;
  ASSERT_TRUE(w.CreateMediaFile(name("cover.mp4").c_str(), p.get()));
  MuxContext* c = w.mux_context();
  EXPECT_EQ(field_text(c->metadata.title), title);
  EXPECT_EQ(c->metadata.season, 3);
  ASSERT_NE(c->metadata.cover_art, nullptr);
  EXPECT_NE(c->metadata.cover_art, &picture);
  EXPECT_NE(c->metadata.cover_art->data, jpeg.data());  // its own copy
  EXPECT_EQ(
      Bytes(c->metadata.cover_art->data, c->metadata.cover_art->data + c->metadata.cover_art->size),
      jpeg);
  EXPECT_EQ(c->metadata.cover_art->picture_kind, 0u);
  EXPECT_EQ(c->live_photo, 0u);

  // A picture record without bytes is not copied.
  MxPicture empty{nullptr, 100, 0};
  p->metadata.cover_art = &empty;
  CMp4Writer w2;
  ASSERT_TRUE(w2.CreateMediaFile(name("cover2.mp4").c_str(), p.get()));
  EXPECT_EQ(w2.mux_context()->metadata.cover_art, nullptr);
}

TEST_F(WriterSession, LivePhotoMarksTheContextAndHandsTheStillOver) {
  Bytes jpeg = hex_bytes("FF D8 FF E0 00 10 4A 46 49 46 00 01 01 00 00 01 00 01 00 00 FF D9");
  MxPicture picture{jpeg.data(), static_cast<uint32_t>(jpeg.size()), 0};
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("H264"), 320, 240, 30.0);
  p->metadata.live_photo = 1;
  p->metadata.cover_art = &picture;
  // A dot in a folder name does not count as the movie's extension.
  std::string folder = test_temp_path("live.d");
  std::filesystem::create_directories(folder);
  std::string movie = folder + "/clip.mp4";
  std::remove((folder + "/clip.jpg").c_str());
  CMp4Writer w;
  ASSERT_TRUE(w.CreateMediaFile(u16(movie).c_str(), p.get()));
  MuxContext* c = w.mux_context();
  EXPECT_EQ(c->live_photo, 1u);
  // The picture becomes the still and, as in any movie, the cover art: a copy of its own.
  ASSERT_NE(c->metadata.cover_art, nullptr);
  EXPECT_NE(c->metadata.cover_art->data, jpeg.data());
  EXPECT_EQ(
      Bytes(c->metadata.cover_art->data, c->metadata.cover_art->data + c->metadata.cover_art->size),
      jpeg);
  EXPECT_EQ(w.mode_value(), 1u);
  ASSERT_EQ(w.content_id_value().size(), 36u);
  EXPECT_EQ(std::string(c->content_id), w.content_id_value());

  // The sibling plug-in wrote the still beside the movie, carrying the identifier.
  Bytes still = read_whole_file(folder + "/clip.jpg");
  ASSERT_GT(still.size(), jpeg.size());
  EXPECT_EQ(still[0], 0xFF);
  EXPECT_EQ(still[1], 0xD8);
  std::string text(still.begin(), still.end());
  EXPECT_NE(text.find(w.content_id_value()), std::string::npos);
  EXPECT_EQ(w.WriteTrail(), 0);
  w.CloseFile();

  // The movie's covr item holds the picture (data type 13: JPEG).
  iso::Tree tree = iso::read_file(movie);
  const iso::Box& data = tree.at("moov/udta/meta/ilst/covr/data");
  EXPECT_EQ(data.u32(0), 13u);
  const Bytes payload = data.payload();
  EXPECT_EQ(Bytes(payload.begin() + 8, payload.end()), jpeg);
}

// What the trace hook a session was given receives.
static std::vector<std::string> g_traced;
static void recording_trace(const char16_t* format, ...) {
  char16_t message[256];
  va_list args;
  va_start(args, format);
  format_utf16v(message, 256, format, args);
  va_end(args);
  g_traced.push_back(wide_to_string(message));
}

// A session works from what it was given when it was created: its own copy
// of the writer options, and the trace hook. The module-wide options record
// is neither read nor written by the session itself.
TEST_F(WriterSession, UsesTheOptionsAndTraceHookItWasGiven) {
  struct Case {
    const char* name;
    WriterOptions options;
    double frame_rate;
    uint32_t display_width, display_height;
    WriterOptions after;  // the session's copy once the file is created
    size_t traced;
  };
  const Case cases[] = {
      {"no options", {}, 25.0, 640, 480, {}, 0},
      {"stored size", {0, 1, 0, 1280, 720, 0}, 25.0, 1280, 720, {0, 1, 0, 1280, 720, 0}, 0},
      {"flag without a size: filled in",
       {0, 1, 0, 0, 720, 0},
       23.976023976023978,
       640,
       480,
       {0, 1, 0, 640, 480, 0},
       1},
      {"size without the flag",
       {0, 0, 0, 1280, 720, 0},
       23.976023976023978,
       640,
       480,
       {0, 0, 0, 1280, 720, 0},
       1},
  };
  const WriterOptions marker = {0, 1, 0, 111, 222, 0};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetWriterOptions(&marker);
    g_traced.clear();
    auto p = host::blank_params(fourcc("MP4 "));
    host::set_video(*p, fourcc("H264"), 640, 480, c.frame_rate);
    CMp4Writer w(SessionSettings{c.options, recording_trace});
    ASSERT_TRUE(w.CreateMediaFile(name("given.mp4").c_str(), p.get()));
    EXPECT_EQ(w.mux_context()->tracks[0].display_width, c.display_width);
    EXPECT_EQ(w.mux_context()->tracks[0].display_height, c.display_height);
    EXPECT_EQ(std::memcmp(&w.writer_options(), &c.after, sizeof c.after), 0);
    WriterOptions module = module_writer_options();
    EXPECT_EQ(std::memcmp(&module, &marker, sizeof marker), 0);
    ASSERT_EQ(g_traced.size(), c.traced);
    if (c.traced) {
      EXPECT_EQ(g_traced[0], "\r\nFrameRate[23.976024Hz].\r\n");
    }
  }
  // Without a trace hook nothing is traced, and nothing fails.
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("H264"), 640, 480, 23.976023976023978);
  CMp4Writer w;
  EXPECT_TRUE(w.CreateMediaFile(name("untraced.mp4").c_str(), p.get()));
}

TEST_F(WriterSession, AudioConfigurationReachesTheAudioSlots) {
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_audio(*p, fourcc("AAC "), 48000, 2);
  CMp4Writer w;
  ASSERT_TRUE(w.CreateMediaFile(name("aconfig.mp4").c_str(), p.get()));
  w.WriteAudioExtraData(hex_bytes("11 90 56 E5").data(), 4);
  EXPECT_EQ(w.specs()[0].extradata_size, 4u);
  EXPECT_EQ(Bytes(w.specs()[0].extradata, w.specs()[0].extradata + 5), hex_bytes("11 90 56 E5 00"));
  const uint8_t* first_buffer = w.specs()[0].extradata;
  w.WriteAudioExtraData(hex_bytes("12 10").data(), 2);  // the last call wins, in the same buffer
  EXPECT_EQ(w.specs()[0].extradata, first_buffer);
  EXPECT_EQ(w.specs()[0].extradata_size, 2u);
  EXPECT_EQ(Bytes(w.specs()[0].extradata, w.specs()[0].extradata + 3), hex_bytes("12 10 00"));

  // Dual audio: AAC gets the first part, AC-3 the second.
  auto q = host::blank_params(fourcc("MP4 "));
  host::set_audio(*q, fourcc("EAAC"), 48000, 2);
  CMp4Writer d;
  ASSERT_TRUE(d.CreateMediaFile(name("aconfig2.mp4").c_str(), q.get()));
  Bytes dual = hex_bytes("02 00 00 00 11 90  03 00 00 00 10 3D E0");
  d.WriteAudioExtraData(dual.data(), static_cast<uint32_t>(dual.size()));
  EXPECT_EQ(Bytes(d.specs()[0].extradata, d.specs()[0].extradata + d.specs()[0].extradata_size),
            hex_bytes("11 90"));
  EXPECT_EQ(Bytes(d.specs()[1].extradata, d.specs()[1].extradata + d.specs()[1].extradata_size),
            hex_bytes("10 3D E0"));
  // A length word that points past the bytes hands that part to no track.
  Bytes cut = hex_bytes("02 00 00 00 11 90  09 00 00 00 10 3D E0");
  d.WriteAudioExtraData(cut.data(), static_cast<uint32_t>(cut.size()));
  EXPECT_EQ(d.specs()[0].extradata_size, 2u);
  EXPECT_EQ(d.specs()[1].extradata, nullptr);
  EXPECT_EQ(d.specs()[1].extradata_size, 0u);
  Bytes bad = hex_bytes("FF 00 00 00 11");
  d.WriteAudioExtraData(bad.data(), static_cast<uint32_t>(bad.size()));
  EXPECT_EQ(d.specs()[0].extradata, nullptr);
  EXPECT_EQ(d.specs()[1].extradata, nullptr);
}

TEST_F(WriterSession, VideoConfigurationKeepsTheFirstOfEachBuffer) {
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("H264"), 320, 240, 25.0);
  CMp4Writer w;
  ASSERT_TRUE(w.CreateMediaFile(name("vconfig.mp4").c_str(), p.get()));
  Bytes pps = hex_bytes("68 CE 38 80");
  Bytes sps = hex_bytes("67 42 00 1E");
  w.WriteVideoExtraData(pps.data(), 4, nullptr, 0);
  EXPECT_EQ(w.video_config1_value(), hex_bytes("68 CE 38 80 00"));
  EXPECT_TRUE(w.video_config2_value().empty());
  w.WriteVideoExtraData(sps.data(), 4, sps.data(), 4);  // only the second buffer is new
  EXPECT_EQ(w.video_config1_value(), hex_bytes("68 CE 38 80 00"));
  EXPECT_EQ(w.video_config2_value(), hex_bytes("67 42 00 1E 00"));
  w.WriteVideoExtraData(pps.data(), 4, pps.data(), 4);
  EXPECT_EQ(w.video_config2_value(), hex_bytes("67 42 00 1E 00"));
  EXPECT_EQ(w.WriteTrail(), 0);
  w.CloseFile();
  EXPECT_TRUE(w.video_config1_value().empty());
  EXPECT_TRUE(w.video_config2_value().empty());
}

TEST_F(WriterSession, StateMachine) {
  host::LogCapture log;
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("H264"), 320, 240, 25.0);
  CMp4Writer never_created;
  EXPECT_EQ(never_created.WriteTrail(), -1);
  never_created.CloseFile();
  never_created.CloseFile();

  CMp4Writer w;
  ASSERT_TRUE(w.CreateMediaFile(name("state.mp4").c_str(), p.get()));
  Bytes idr = host::annex_b({{0x65, 0x88, 0x80}});
  MxVideoFrame f = host::video_frame(idr.data(), static_cast<uint32_t>(idr.size()), 0, 0, 1);
  EXPECT_EQ(w.WriteVideoFrame(&f), 7u);
  EXPECT_EQ(w.WriteTrail(), 0);
  EXPECT_EQ(w.mux_context(), nullptr);
  EXPECT_EQ(w.WriteTrail(), -1);  // the trail is written once
  idr = host::annex_b({{0x65, 0x88, 0x80}});
  f = host::video_frame(idr.data(), static_cast<uint32_t>(idr.size()), 0, 0, 1);
  EXPECT_EQ(w.WriteVideoFrame(&f), 0u);  // frames only while open
  w.CloseFile();
  w.CloseFile();
  EXPECT_EQ(log.count_prefix("mx_mp4.dll: writed trail successful."), 1u);
  EXPECT_EQ(log.count_prefix("mx_mp4.dll: mp4 file released successful."), 1u);
}

TEST_F(WriterSession, FileThatCannotBeOpened) {
  host::LogCapture log;
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("H264"), 320, 240, 25.0);
  CMp4Writer w;
  std::u16string missing = u16(test_temp_path("no-such-folder/x.mp4"));
  EXPECT_FALSE(w.CreateMediaFile(missing.c_str(), p.get()));
  EXPECT_EQ(w.mux_context(), nullptr);
  EXPECT_TRUE(log.contains("CMp4Writer::Init fopen Failed [2]"));
  EXPECT_EQ(w.WriteTrail(), -1);
}
