// Whole writer sessions driven through the built plug-in's slots, checked in
// the files they write: modes and brands, tracks, timing, display sizes, the
// dual-audio split, PCM counts, the H.264 and HEVC conversions, frame
// packing, composition offsets, timecode samples and configuration hand-over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "support/box_reader.h"
#include "support/plugin_host.h"
#include "support/test_files.h"
#include "support/track_samples.h"
#include "writer/annexb.h"

using host::fourcc;

namespace {

using Bytes = std::vector<uint8_t>;

// NAL units (without start codes).
const Bytes kAud = {0x09, 0xF0};
const Bytes kSps = {0x67, 0x42, 0x00, 0x1E, 0xAB, 0xCD, 0xEF, 0x10};
const Bytes kPps = {0x68, 0xCE, 0x38, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33, 0xFF, 0x12, 0x34};
const Bytes kSlice = {0x41, 0x9A, 0x02, 0x04, 0x05};
const Bytes kSei = {0x06, 0x05, 0x01, 0xFF, 0x80};
const Bytes kFiller = {0x0C, 0xFF, 0xFF, 0x80};
const Bytes kSps15 = {0x6F, 0x01};  // type 15: subset SPS, dropped

const Bytes kVps265 = {0x40, 0x01, 0x0C, 0x01};
const Bytes kSps265 = {0x42, 0x01, 0x01, 0x60};
const Bytes kPps265 = {0x44, 0x01, 0xC1, 0x72};
const Bytes kIdr265 = {0x26, 0x01, 0xAF, 0x10, 0x20};    // IDR_W_RADL (19)
const Bytes kCra265 = {0x2A, 0x01, 0xAF, 0x30};          // CRA (21)
const Bytes kTrail265 = {0x02, 0x01, 0xD0, 0x11, 0x22};  // TRAIL_R (1)
const Bytes kSei265 = {0x4E, 0x01, 0x05, 0x80};          // prefix SEI (39)

const Bytes kSideBySide = hex_bytes("00 00 00 0C 06 2D 07 81 81 00 00 03 00 01 20 80");
const Bytes kTopBottom = hex_bytes("00 00 00 0C 06 2D 07 82 01 00 00 03 00 01 20 80");

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct Written {
  Bytes bytes;
  iso::Tree tree;
  const iso::Box& trak(size_t i) const { return tree.at("moov/trak[" + std::to_string(i) + "]"); }
  TrackSamples samples(size_t i) const { return read_track_samples(trak(i)); }
  Bytes sample(size_t track, size_t index) const {
    return sample_bytes(bytes, samples(track).samples.at(index));
  }
};

Written read_back(const std::string& path) {
  Written w;
  w.bytes = read_whole_file(path);
  w.tree = iso::parse(w.bytes);
  return w;
}

std::unique_ptr<EncParam> h264_params(uint32_t file_code, double rate = 25.0) {
  auto p = host::blank_params(file_code);
  host::set_video(*p, fourcc("H264"), 320, 240, rate);
  return p;
}

// One AAC packet of one frame.
uint32_t write_aac(host::Session& s, int64_t pts, size_t bytes = 12) {
  Bytes packet(bytes, 0x21);
  int32_t info[2] = {1, static_cast<int32_t>(bytes)};
  MxAudioFrame f = host::audio_frame(packet.data(), static_cast<int32_t>(bytes), pts);
  return s.audio(f, info);
}

uint32_t write_video(host::Session& s, Bytes data, int64_t pts, int64_t dts, uint32_t flag = 1) {
  MxVideoFrame f =
      host::video_frame(data.data(), static_cast<uint32_t>(data.size()), pts, dts, flag);
  return s.video(f);
}

class SessionFiles : public ::testing::Test {
 protected:
  void SetUp() override { host::slots_for(fourcc("MP4 ")).SetWriterOptions(nullptr); }
  void TearDown() override { host::slots_for(fourcc("MP4 ")).SetWriterOptions(nullptr); }
  std::string path(const std::string& name) { return test_temp_path(name); }
};

}  // namespace

TEST_F(SessionFiles, ModeAndBrandsFollowTheFileCode) {
  struct Case {
    const char* code;
    bool video;
    const char* major;
    std::vector<std::string> compatible;
    const char* spacer;  // box between ftyp and mdat
  };
  const Case cases[] = {
      {"KMP4", true, "mp42", {"mp42", "isom"}, "free"},
      {"MP4 ", true, "mp42", {"mp42", "isom"}, "free"},
      {"AVC ", true, "mp42", {"mp42", "isom"}, "free"},
      {"3GP2", true, "mp42", {"mp42", "isom"}, "free"},
      {"3GPH", true, "mp42", {"mp42", "isom"}, "free"},
      {"MOV ", true, "qt  ", {"qt  "}, "wide"},
      {"3GP ", true, "3gp4", {"3gp4"}, "free"},
      {"KDDI", true, "kddi", {"3g2a"}, "free"},
      {"NF4V", true, "f4v ", {"mp42"}, "free"},
      {"M4A ", false, "M4A ", {"mp42"}, "free"},
      {"M4B ", false, "M4A ", {"mp42"}, "free"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    uint32_t code = MX_FOURCC(c.code[0], c.code[1], c.code[2], c.code[3]);
    auto p = c.video ? h264_params(code) : host::blank_params(code);
    host::set_audio(*p, fourcc("AAC "), 44100, 2);
    std::string file = path(std::string("mode-") + std::to_string(code) + ".mp4");
    {
      host::Session s(*p, file);
      ASSERT_TRUE(s.open());
      if (c.video) {
        EXPECT_EQ(write_video(s, host::annex_b({kIdr}), 0, 0), 12u);
      }
      EXPECT_EQ(write_aac(s, 0), 12u);
    }
    Written w = read_back(file);
    ASSERT_EQ(w.tree.types(), (std::vector<std::string>{"ftyp", c.spacer, "mdat", "moov"}))
        << w.tree.dump();
    const iso::Box& ftyp = w.tree.at("ftyp");
    EXPECT_EQ(ftyp.fourcc(0), c.major);
    EXPECT_EQ(ftyp.u32(4), 0x200u);
    std::vector<std::string> compatible;
    for (uint64_t off = 8; off + 4 <= ftyp.payload_size(); off += 4)
      compatible.push_back(ftyp.fourcc(off));
    EXPECT_EQ(compatible, c.compatible);
    EXPECT_EQ(w.tree.at(c.spacer).size, 8u);
    EXPECT_EQ(w.tree.at("moov").count("trak"), c.video ? 2u : 1u);
  }
}

TEST_F(SessionFiles, TracksComeInSlotOrderWithTheirTimeScales) {
  auto p = h264_params(fourcc("MP4 "));
  host::set_audio(*p, fourcc("EAAC"), 44100, 2);
  p->no_timecode = 0;  // timecode block word 0 is 0: a timecode track
  std::string file = path("order.mp4");
  {
    host::Session s(*p, file);
    ASSERT_TRUE(s.open());
    EXPECT_EQ(write_video(s, host::annex_b({kIdr}), 0, 0), 12u);
    Bytes packet = hex_bytes("03 00 00 00 AA AA AA  02 00 00 00 CC CC");
    int32_t info[] = {1, 1, 3, 1, 2};
    MxAudioFrame a = host::audio_frame(packet.data(), static_cast<int32_t>(packet.size()), 0);
    EXPECT_EQ(s.audio(a, info), packet.size() - 8);
    Bytes tc = hex_bytes("00 00 00 00");
    MxVideoFrame t = host::video_frame(nullptr, 0, 0, 0);
    t.frame_type = MX_FRAME_TYPE_TIMECODE;
    t.tc_data = tc.data();
    t.tc_size = 4;
    t.frame_duration = 400000;
    EXPECT_EQ(s.video(t), 0u);
  }
  Written w = read_back(file);
  ASSERT_EQ(w.tree.at("moov").count("trak"), 4u) << w.tree.dump();
  const char* handlers[] = {"vide", "soun", "soun", "tmcd"};
  const uint32_t timescales[] = {25000, 44100, 48000, 25000};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    TrackSamples t = w.samples(i);
    EXPECT_EQ(t.handler, handlers[i]);
    EXPECT_EQ(t.timescale, timescales[i]);
    EXPECT_EQ(w.trak(i).at("tkhd").u32(12), i + 1);  // track ID = slot + 1
  }
  EXPECT_EQ(w.sample(1, 0), hex_bytes("AA AA AA"));
  EXPECT_EQ(w.sample(2, 0), hex_bytes("CC CC"));
  EXPECT_EQ(w.sample(3, 0), hex_bytes("00 00 00 00"));
  EXPECT_EQ(w.samples(3).samples[0].delta, 1000u);  // 40 ms at 25000
}

TEST_F(SessionFiles, VideoTimeScaleAndDurationFollowTheFrameRate) {
  struct Case {
    double rate;
    uint32_t timescale;
    uint32_t delta;
  };
  const Case cases[] = {
      {25.0, 25000, 1000},
      {29.97, 30000, 1001},
      {30000.0 / 1001, 30000, 1001},
      {23.976, 24000, 1001},
      {59.94, 60000, 1001},
      {14.985, 15000, 1001},
      {7.992, 8000, 1001},
      {12.5, 90000, 7200},
      {50.0, 50000, 1000},
      {0.0, 90000, 3000},
      {-25.0, 90000, 3000},
      {std::nan(""), 90000, 3000},
      {std::numeric_limits<double>::infinity(), 90000, 3000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    auto p = h264_params(fourcc("MP4 "), c.rate);
    p->no_timecode = 0;
    std::string file = path("rate.mp4");
    {
      host::Session s(*p, file);
      ASSERT_TRUE(s.open());
      for (int i = 0; i < 3; ++i)
        EXPECT_EQ(write_video(s, host::annex_b({kIdr}), i * 400000, i * 400000), 12u);
      Bytes tc = hex_bytes("00 00 00 01");
      MxVideoFrame t = host::video_frame(nullptr, 0, 0, 0);
      t.frame_type = MX_FRAME_TYPE_TIMECODE;
      t.tc_data = tc.data();
      t.tc_size = 4;
      t.frame_duration = 10000000;  // one second
      EXPECT_EQ(s.video(t), 0u);
    }
    Written w = read_back(file);
    TrackSamples v = w.samples(0);
    EXPECT_EQ(v.timescale, c.timescale);
    ASSERT_EQ(v.samples.size(), 3u);
    for (const TrackSample& s : v.samples) EXPECT_EQ(s.delta, c.delta);
    EXPECT_EQ(v.duration, 3u * c.delta);
    TrackSamples tc = w.samples(1);
    EXPECT_EQ(tc.handler, "tmcd");
    EXPECT_EQ(tc.timescale, c.timescale);            // the timecode track shares the video pair
    EXPECT_EQ(tc.samples.at(0).delta, c.timescale);  // one second
  }
}

// Video whose durations follow its time stamps, in the timing styles hosts
// use: the decode deltas add up to the track's duration, none is negative or
// wrapped, and decode times that stop increasing are logged once.
TEST_F(SessionFiles, TimestampDurationsAddUpToTheTrackDuration) {
  // 23.976 fps as a host computes it in 100 ns; I P B B P B B P, two frames of delay.
  auto at = [](int64_t k) { return k * 10000000 * 1001 / 24000; };
  const int64_t order[] = {0, 3, 1, 2, 6, 4, 5, 7};
  struct Case {
    const char* name;
    int64_t dts_shift;          // frames added to the decode index
    int64_t pts_shift;          // frames added to the presentation index
    std::vector<int64_t> back;  // decode indexes whose decode time repeats an earlier one
    size_t logged;
  };
  const Case cases[] = {
      {"delayed by the reorder depth", 0, 2, {}, 0},
      {"starting at the first presentation time", 0, 0, {}, 0},
      {"starting below 0", -2, 0, {}, 0},
      {"decode times going back twice", 0, 2, {3, 6}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto p = h264_params(fourcc("MP4 "), 24000.0 / 1001);
    p->video.ext_flags = 1;
    p->video.timestamp_durations = 1;
    std::string file = path("timestamp-durations.mp4");
    host::LogCapture log;
    {
      host::Session s(*p, file);
      ASSERT_TRUE(s.open());
      for (int64_t i = 0; i < 8; ++i) {
        bool back = std::find(c.back.begin(), c.back.end(), i) != c.back.end();
        int64_t dts = at((back ? 1 : i) + c.dts_shift);
        int64_t pts = at(order[i] + c.pts_shift);
        EXPECT_GT(write_video(s, host::annex_b({i == 0 ? kIdr : kSlice}), pts, dts, i == 0), 0u);
      }
    }
    TrackSamples v = read_back(file).samples(0);
    ASSERT_EQ(v.samples.size(), 8u);
    uint64_t sum = 0;
    for (const TrackSample& sample : v.samples) {
      EXPECT_GT(sample.delta, 0u);
      EXPECT_LT(sample.delta, 0x80000000u);
      sum += sample.delta;
    }
    EXPECT_EQ(sum, v.duration);
    EXPECT_EQ(log.count_prefix("CMp4Writer::WriteVideoFrame decode time"), c.logged);
  }
}

// The last frame of an ALAC or FLAC stream holds fewer samples; its own header
// says how many, and the track lasts exactly that much longer.
TEST_F(SessionFiles, ShortLastLosslessFrameKeepsItsLength) {
  struct Case {
    const char* codec;
    uint32_t rate;
    uint32_t frame_length;
    const char* full;  // frame bytes of a full frame
    const char* last;  // the last frame: a header that states fewer samples
    uint32_t last_samples;
  };
  const Case cases[] = {
      {"flac", 48000, 4608, "ff f8 59 18 00 aa 55", "ff f8 69 18 03 7f aa 55", 128},
      {"ALAC", 44100, 4096, "20 00 00 00 00 aa 55", "20 00 10 00 00 18 88 aa 55", 3140},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codec);
    auto p = host::blank_params(fourcc("M4A "));
    host::set_audio(*p, MX_FOURCC(c.codec[0], c.codec[1], c.codec[2], c.codec[3]), c.rate, 2);
    std::string file = path("short-last.m4a");
    {
      host::Session s(*p, file);
      ASSERT_TRUE(s.open());
      // Three packets: one full frame, then a full frame and the short one together.
      const Bytes full = hex_bytes(c.full), last = hex_bytes(c.last);
      const Bytes pair = concat({full, last});
      int32_t one[2] = {1, static_cast<int32_t>(full.size())};
      int32_t two[3] = {2, static_cast<int32_t>(full.size()), static_cast<int32_t>(last.size())};
      MxAudioFrame a = host::audio_frame(full.data(), static_cast<int32_t>(full.size()), 0);
      EXPECT_EQ(s.audio(a, one), full.size());
      MxAudioFrame b = host::audio_frame(pair.data(), static_cast<int32_t>(pair.size()), 1000);
      EXPECT_EQ(s.audio(b, two), pair.size());
    }
    Written w = read_back(file);
    TrackSamples t = w.samples(0);
    ASSERT_EQ(t.samples.size(), 3u);
    EXPECT_EQ(t.samples[0].delta, c.frame_length);
    EXPECT_EQ(t.samples[1].delta, c.frame_length);
    EXPECT_EQ(t.samples[2].delta, c.last_samples);
    EXPECT_EQ(t.duration, 2u * c.frame_length + c.last_samples);
    const uint64_t ms = (2u * c.frame_length + c.last_samples) * 1000ull / c.rate;
    EXPECT_EQ(w.trak(0).at("edts/elst").u32(8), ms);
    EXPECT_EQ(w.trak(0).at("tkhd").u32(20), ms);
  }
}

// Every track header carries the unity matrix, also in files without video.
TEST_F(SessionFiles, AudioOnlyFilesHaveTheUnityMatrix) {
  const Bytes unity =
      hex_bytes("00010000 00000000 00000000 00000000 00010000 00000000 00000000 00000000 40000000");
  for (const char* code : {"M4A ", "M4B ", "MP4 ", "MOV "}) {
    SCOPED_TRACE(code);
    auto p = host::blank_params(MX_FOURCC(code[0], code[1], code[2], code[3]));
    host::set_audio(*p, fourcc("AAC "), 48000, 2);
    std::string file = path("audio-only.m4a");
    {
      host::Session s(*p, file);
      ASSERT_TRUE(s.open());
      EXPECT_EQ(write_aac(s, 0), 12u);
    }
    Written w = read_back(file);
    const iso::Box& tkhd = w.trak(0).at("tkhd");
    Bytes payload = tkhd.payload();
    EXPECT_EQ(Bytes(payload.begin() + 40, payload.begin() + 76), unity);
  }
}

TEST_F(SessionFiles, DisplaySizeFollowsTheStoredOptions) {
  const SingleStreamSlots& slots = host::slots_for(fourcc("MP4 "));
  auto display_of = [&](uint32_t width, uint32_t height) {
    auto p = host::blank_params(fourcc("MP4 "));
    host::set_video(*p, fourcc("H264"), width, height, 25.0);
    std::string file = path("display.mp4");
    {
      host::Session s(*p, file);
      EXPECT_EQ(write_video(s, host::annex_b({kIdr}), 0, 0), 12u);
    }
    Written w = read_back(file);
    const iso::Box& tkhd = w.trak(0).at("tkhd");
    return std::pair<uint32_t, uint32_t>(tkhd.u32(76) >> 16, tkhd.u32(80) >> 16);
  };
  using Size = std::pair<uint32_t, uint32_t>;

  EXPECT_EQ(display_of(640, 480), Size(640, 480));  // no options: the picture size

  WriterOptions o{};
  o.flags = 1;
  o.display_width = 1280;
  o.display_height = 720;
  EXPECT_EQ(slots.SetWriterOptions(&o), 0u);
  EXPECT_EQ(display_of(640, 480), Size(1280, 720));

  o.flags = 0;  // stored size present but not enabled
  slots.SetWriterOptions(&o);
  EXPECT_EQ(display_of(640, 480), Size(640, 480));

  // Enabled without a size: the first file's picture size is stored and stays
  // for the next files.
  o = WriterOptions{};
  o.flags = 1;
  o.display_width = 0;
  o.display_height = 720;
  slots.SetWriterOptions(&o);
  EXPECT_EQ(display_of(640, 480), Size(640, 480));
  EXPECT_EQ(display_of(320, 240), Size(640, 480));

  slots.SetWriterOptions(nullptr);
  EXPECT_EQ(display_of(320, 240), Size(320, 240));
}

TEST_F(SessionFiles, DualAudioPacketsAreSplitIntoTwoTracks) {
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_audio(*p, fourcc("EAAC"), 48000, 2);
  std::string file = path("dual.mp4");
  {
    host::Session s(*p, file);
    ASSERT_TRUE(s.open());
    // A = 4 bytes in two AAC frames, B = 6 bytes in one AC-3 frame.
    Bytes packet = hex_bytes("04 00 00 00 A1 A2 A3 A4  06 00 00 00 C1 C2 C3 C4 C5 C6");
    int32_t info[] = {2, 2, 1, 3, 1, 6};
    MxAudioFrame a = host::audio_frame(packet.data(), static_cast<int32_t>(packet.size()), 0);
    EXPECT_EQ(s.audio(a, info), 10u);
    // A = 0: only the AC-3 part is written.
    Bytes only_ac3 = hex_bytes("00 00 00 00  03 00 00 00 D1 D2 D3");
    int32_t info2[] = {1, 0, 1, 3};
    a = host::audio_frame(only_ac3.data(), static_cast<int32_t>(only_ac3.size()), 640000);
    EXPECT_EQ(s.audio(a, info2), 3u);
  }
  Written w = read_back(file);
  ASSERT_EQ(w.tree.at("moov").count("trak"), 2u);
  TrackSamples aac = w.samples(0);
  TrackSamples ac3 = w.samples(1);
  EXPECT_EQ(aac.timescale, 48000u);
  EXPECT_EQ(ac3.timescale, 48000u);
  ASSERT_EQ(aac.samples.size(), 2u);  // two AAC frames in one chunk
  EXPECT_EQ(aac.chunk_samples, (std::vector<uint32_t>{2}));
  EXPECT_EQ(sample_bytes(w.bytes, aac.samples[0]), hex_bytes("A1"));
  EXPECT_EQ(sample_bytes(w.bytes, aac.samples[1]), hex_bytes("A2 A3 A4"));
  EXPECT_EQ(aac.duration, 2u * 1024);  // word 0 = 2 frames
  ASSERT_EQ(ac3.samples.size(), 2u);
  EXPECT_EQ(sample_bytes(w.bytes, ac3.samples[0]), hex_bytes("C1 C2 C3 C4 C5 C6"));
  EXPECT_EQ(sample_bytes(w.bytes, ac3.samples[1]), hex_bytes("D1 D2 D3"));
  EXPECT_EQ(ac3.duration, 2u * 1536 + 1536);
}

TEST_F(SessionFiles, PcmPacketsBecomeFrameCounts) {
  struct Case {
    uint32_t bits;
    uint32_t channels;
    std::vector<int32_t> packets;
    uint32_t frame_bytes;
  };
  const Case cases[] = {
      {16, 2, {4096, 4096, 2048}, 4},
      {32, 2, {4096}, 8},
      {16, 1, {1000, 998}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits * 100 + c.channels);
    auto p = host::blank_params(fourcc("MOV "));
    host::set_audio(*p, fourcc("PCM "), 48000, c.channels, c.bits);
    std::string file = path("pcm.mov");
    uint64_t total_frames = 0;
    std::vector<uint32_t> chunks;
    {
      host::Session s(*p, file);
      ASSERT_TRUE(s.open());
      int64_t pts = 0;
      for (int32_t size : c.packets) {
        Bytes packet(static_cast<size_t>(size), 0x5A);
        MxAudioFrame a = host::audio_frame(packet.data(), size, pts, c.channels);
        int32_t host_info[2] = {77, 88};  // the host's records are only read
        EXPECT_EQ(s.audio(a, host_info), static_cast<uint32_t>(size));
        EXPECT_EQ(host_info[0], 77);
        EXPECT_EQ(host_info[1], 88);
        total_frames += static_cast<uint32_t>(size) / c.frame_bytes;
        chunks.push_back(static_cast<uint32_t>(size) / c.frame_bytes);
        pts += 213333;
      }
    }
    Written w = read_back(file);
    TrackSamples t = w.samples(0);
    EXPECT_EQ(t.samples.size(), total_frames);
    EXPECT_EQ(t.chunk_samples, chunks);
    for (const TrackSample& s : t.samples) EXPECT_EQ(s.size, c.frame_bytes);
    EXPECT_EQ(t.duration, total_frames);
    EXPECT_EQ(w.trak(0).at("mdia/minf/stbl/stsz").u32(4), c.frame_bytes);  // uniform size
  }
}

TEST_F(SessionFiles, H264AccessUnitsKeepSlicesSeiAndFiller) {
  struct Case {
    const char* name;
    std::vector<Bytes> units;
    uint32_t picture_flag;
    std::vector<Bytes> stored;  // 0 units: nothing written
    bool key;
  };
  const Case cases[] = {
      {"AUD SPS PPS IDR", {kAud, kSps, kPps, kIdr}, 1, {kIdr}, true},
      {"SEI and a slice", {kAud, kSei, kSlice}, 0, {kSei, kSlice}, false},
      {"filler is kept", {kSlice, kFiller}, 0, {kSlice, kFiller}, false},
      {"the last unit decides the key flag", {kIdr, kSlice}, 1, {kIdr, kSlice}, false},
      {"a dropped unit also decides", {kIdr, kSps15}, 1, {kIdr}, false},
      {"an IDR after SEI", {kSei, kIdr}, 0, {kSei, kIdr}, true},
      {"only parameter sets", {kSps, kPps}, 1, {}, false},
  };
  auto p = h264_params(fourcc("MP4 "));
  std::string file = path("h264.mp4");
  std::vector<const Case*> written;
  {
    host::Session s(*p, file);
    ASSERT_TRUE(s.open());
    int64_t t = 0;
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      Bytes data = host::annex_b(c.units);
      uint32_t expected = static_cast<uint32_t>(host::length_prefixed(c.stored).size());
      EXPECT_EQ(write_video(s, data, t, t, c.picture_flag), expected);
      if (!c.stored.empty()) written.push_back(&c);
      t += 400000;
    }
  }
  Written w = read_back(file);
  TrackSamples v = w.samples(0);
  ASSERT_EQ(v.samples.size(), written.size());
  for (size_t i = 0; i < written.size(); ++i) {
    SCOPED_TRACE(written[i]->name);
    EXPECT_EQ(sample_bytes(w.bytes, v.samples[i]), host::length_prefixed(written[i]->stored));
    EXPECT_EQ(v.samples[i].sync, written[i]->key);
  }
}

TEST_F(SessionFiles, H264ThreeByteStartCodesStayInsideTheUnit) {
  auto p = h264_params(fourcc("MP4 "));
  std::string file = path("h264-3byte.mp4");
  // The IDR unit carries 00 00 01 41 ...: it is not split there.
  Bytes data = concat({hex_bytes("00 00 00 01"), kIdr, hex_bytes("00 00 01"), kSlice});
  {
    host::Session s(*p, file);
    EXPECT_EQ(write_video(s, data, 0, 0), data.size());
  }
  Written w = read_back(file);
  Bytes expected = host::length_prefixed({concat({kIdr, hex_bytes("00 00 01"), kSlice})});
  EXPECT_EQ(w.sample(0, 0), expected);
  EXPECT_TRUE(w.samples(0).samples[0].sync);
}

TEST_F(SessionFiles, StereoFramePackingBytesPrecedeIdrSlices) {
  struct Case {
    uint32_t stereo_mode;
    const Bytes* packing;  // null: none
  };
  const Case cases[] = {{1, &kSideBySide}, {2, &kTopBottom}, {0, nullptr}, {3, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stereo_mode);
    auto p = h264_params(fourcc("MP4 "));
    host::set_audio(*p, fourcc("AAC "), 48000, 2);
    p->video.stereo_mode = c.stereo_mode;
    std::string file = path("stereo.mp4");
    {
      host::Session s(*p, file);
      ASSERT_TRUE(s.open());
      EXPECT_EQ(write_aac(s, 0), 12u);
      EXPECT_EQ(write_aac(s, 213333), 12u);
      uint32_t extra = c.packing ? 16 : 0;
      EXPECT_EQ(write_video(s, host::annex_b({kSps, kPps, kIdr}), 0, 0), 12u + extra);
      EXPECT_EQ(write_video(s, host::annex_b({kSlice}), 400000, 400000, 0), 9u);
      EXPECT_EQ(write_video(s, host::annex_b({kIdr, kSlice, kIdr}), 800000, 800000),
                12u + 9u + 12u + 2 * extra);
    }
    // Only the access units the host wrote: the packing message never stands
    // alone in a sample of its own (an access unit without a picture).
    Written w = read_back(file);
    TrackSamples v = w.samples(0);
    ASSERT_EQ(v.samples.size(), 3u);
    const Bytes none;
    const Bytes& packing = c.packing ? *c.packing : none;
    EXPECT_EQ(sample_bytes(w.bytes, v.samples[0]),
              concat({packing, host::length_prefixed({kIdr})}));
    EXPECT_TRUE(v.samples[0].sync);
    EXPECT_EQ(sample_bytes(w.bytes, v.samples[1]), host::length_prefixed({kSlice}));
    EXPECT_EQ(sample_bytes(w.bytes, v.samples[2]),
              concat({packing, host::length_prefixed({kIdr, kSlice}), packing,
                      host::length_prefixed({kIdr})}));
  }
}

TEST_F(SessionFiles, Vt64StreamsAreCompactedInPlace) {
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("VT64"), 320, 240, 30.0);
  p->video.stereo_mode = 1;  // no SEI is inserted for VT64 streams
  std::string file = path("vt64.mp4");
  Bytes first = host::annex_b({kAud, kSps, kPps, kSei, kIdr});
  Bytes second = host::annex_b({kSlice, kSei, kSlice});
  Bytes only_sei = host::annex_b({kSei});
  {
    host::Session s(*p, file);
    ASSERT_TRUE(s.open());
    MxVideoFrame f = host::video_frame(first.data(), static_cast<uint32_t>(first.size()), 0, 0, 0);
    EXPECT_EQ(s.video(f), 12u);
    // The host's buffer now starts with the compacted sample.
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 12), host::length_prefixed({kIdr}));
    f = host::video_frame(second.data(), static_cast<uint32_t>(second.size()), 333667, 333667, 1);
    EXPECT_EQ(s.video(f), 18u);
    f = host::video_frame(only_sei.data(), static_cast<uint32_t>(only_sei.size()), 667334, 667334,
                          1);
    EXPECT_EQ(s.video(f), 0u);
  }
  Written w = read_back(file);
  TrackSamples v = w.samples(0);
  ASSERT_EQ(v.samples.size(), 2u);
  EXPECT_EQ(sample_bytes(w.bytes, v.samples[0]), host::length_prefixed({kIdr}));
  EXPECT_TRUE(v.samples[0].sync);  // from the kept IDR, not the picture flag 0
  EXPECT_EQ(sample_bytes(w.bytes, v.samples[1]), host::length_prefixed({kSlice, kSlice}));
  EXPECT_FALSE(v.samples[1].sync);  // the picture flag 1 is overruled by the kept slices
}

TEST_F(SessionFiles, HevcAccessUnitsDropParameterSetsUnlessAsked) {
  struct Case {
    const char* name;
    std::vector<Bytes> units;
    uint32_t picture_flag;
    std::vector<Bytes> stored;
    bool key;
  };
  const Case cases[] = {
      {"VPS SPS PPS IDR", {kVps265, kSps265, kPps265, kIdr265}, 1, {kIdr265}, true},
      {"picture flag 2 keeps everything",
       {kVps265, kSps265, kPps265, kIdr265},
       2,
       {kVps265, kSps265, kPps265, kIdr265},
       true},
      {"a trailing picture", {kSei265, kTrail265}, 1, {kSei265, kTrail265}, false},
      {"CRA is a key frame", {kCra265}, 0, {kCra265}, true},
      {"the last kept unit decides", {kIdr265, kSei265}, 1, {kIdr265, kSei265}, false},
      {"picture flag 2 marks any unit as key", {kTrail265}, 2, {kTrail265}, true},
      {"parameter sets alone", {kVps265, kSps265, kPps265}, 1, {}, false},
  };
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("HEVC"), 320, 240, 25.0);
  std::string file = path("hevc.mp4");
  std::vector<const Case*> written;
  {
    host::Session s(*p, file);
    ASSERT_TRUE(s.open());
    int64_t t = 0;
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      Bytes data = host::annex_b(c.units);
      const Bytes before = data;
      uint32_t expected = static_cast<uint32_t>(host::length_prefixed(c.stored).size());
      EXPECT_EQ(write_video(s, data, t, t, c.picture_flag), expected);
      if (!c.stored.empty()) written.push_back(&c);
      t += 400000;
    }
  }
  Written w = read_back(file);
  TrackSamples v = w.samples(0);
  ASSERT_EQ(v.samples.size(), written.size());
  for (size_t i = 0; i < written.size(); ++i) {
    SCOPED_TRACE(written[i]->name);
    EXPECT_EQ(sample_bytes(w.bytes, v.samples[i]), host::length_prefixed(written[i]->stored));
    EXPECT_EQ(v.samples[i].sync, written[i]->key);
  }
}

// Payload bytes from 0x10 up: no start code where a case did not put one.
Bytes payload(uint8_t header, size_t size, uint32_t seed) {
  Bytes unit(size);
  unit[0] = header;
  for (size_t i = 1; i < size; ++i) {
    seed = seed * 1664525u + 1013904223u;
    unit[i] = static_cast<uint8_t>(0x10 + (seed >> 24) % 0xF0);
  }
  return unit;
}

// What the host's buffer holds after the conversion: every unit's start code
// (of those given to `rewritten`) replaced by the unit's length.
Bytes with_lengths(const std::vector<Bytes>& units, const std::vector<bool>& rewritten) {
  Bytes out;
  for (size_t i = 0; i < units.size(); ++i) {
    const auto n = static_cast<uint32_t>(units[i].size());
    if (n > 0 && rewritten[i]) {
      out.insert(out.end(), {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                             static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    } else {
      out.insert(out.end(), {0, 0, 0, 1});
    }
    out.insert(out.end(), units[i].begin(), units[i].end());
  }
  return out;
}

// A frame whose units are given one by one, which of them the sample keeps,
// and the key flag the whole-frame rules give it.
struct LargeFrameCase {
  std::string name;
  std::vector<Bytes> units;
  std::vector<bool> kept;
  bool key;
};

// Frames around the ends of the search blocks. The first unit's end lies at
// 4 + n for a payload of n bytes; its first search block ends at 4 + B.
std::vector<LargeFrameCase> large_frame_cases() {
  constexpr size_t B = kAnnexBBlock;
  using Case = LargeFrameCase;
  std::vector<Case> cases;
  for (int delta = -5; delta <= 4; ++delta) {
    cases.push_back({"the next code at the first block's end " + std::to_string(delta),
                     {payload(0x65, B + delta, 1), payload(0x41, 1000, 2)},
                     {true, true},
                     false});
  }
  for (int delta : {-4, -1, 0, 3}) {
    cases.push_back({"the next code at the second block's end " + std::to_string(delta),
                     {payload(0x65, 2 * B + delta, 3), payload(0x41, 70000, 4)},
                     {true, true},
                     false});
    cases.push_back({"a long second unit ending at its block's end " + std::to_string(delta),
                     {payload(0x06, 30, 5), payload(0x65, B + delta, 6), payload(0x0C, 9, 7)},
                     {true, true, true},
                     false});
  }
  for (int delta = -2; delta <= 2; ++delta) {
    Bytes zeros_behind = payload(0x65, B + delta, 8);
    zeros_behind[zeros_behind.size() - 1] = 0;
    zeros_behind[zeros_behind.size() - 2] = 0;
    cases.push_back({"zeros in front of a code at a block's end " + std::to_string(delta),
                     {zeros_behind, payload(0x41, 500, 9)},
                     {true, true},
                     false});
    Bytes three_byte = payload(0x41, 3 * B, 10);
    const size_t at = B + static_cast<size_t>(delta);  // the block's end is at payload byte B
    three_byte[at - 1] = 0;
    three_byte[at] = 0;
    three_byte[at + 1] = 1;
    cases.push_back({"a 3-byte code across a block's end " + std::to_string(delta),
                     {three_byte},
                     {true},
                     false});
  }
  cases.push_back({"one slice of many blocks", {payload(0x65, 5 * B + 17, 11)}, {true}, true});
  cases.push_back({"just above one block", {payload(0x65, B + 1, 12)}, {true}, true});
  cases.push_back({"a long dropped unit decides the key flag too",
                   {payload(0x65, 900, 13), payload(0x67, 2 * B, 14)},
                   {true, false},
                   false});
  cases.push_back({"a long dropped unit between kept ones",
                   {payload(0x09, 2, 15), payload(0x6F, B + 3, 16), payload(0x65, B, 17)},
                   {false, false, true},
                   true});
  cases.push_back({"an empty unit behind a long one",
                   {payload(0x65, B + 40, 18), Bytes{}, payload(0x41, 33, 19)},
                   {true, false, true},
                   false});
  cases.push_back({"short units behind a long one, one of them dropped",
                   {payload(0x41, B + 100, 20), payload(0x06, 50, 21), payload(0x67, 12, 22),
                    payload(0x0C, 30, 23), payload(0x41, 2 * B, 24)},
                   {true, true, false, true, true},
                   false});
  cases.push_back({"IDR slices behind long ones (frame packing goes in front of each)",
                   {payload(0x65, B + 5, 25), payload(0x65, 40, 26), payload(0x41, B, 27),
                    payload(0x65, B + 9, 28)},
                   {true, true, true, true},
                   true});
  // Last, so that what the frame took back lies at the end of the file
  // until the movie box is written behind the samples.
  cases.push_back({"a long slice, then a long dropped unit at the end",
                   {payload(0x41, B + 1000, 29), payload(0x67, B / 2, 30)},
                   {true, false},
                   false});

  return cases;
}

// The sample a case stores: its kept units with their lengths, in order, with
// frame packing (stereo_mode 1) putting 16 bytes in front of every IDR slice.
Bytes stored_sample(const LargeFrameCase& c, uint32_t stereo_mode) {
  Bytes out;
  for (size_t i = 0; i < c.units.size(); ++i) {
    if (!c.kept[i]) continue;
    if (stereo_mode == 1 && (c.units[i][0] & 31) == 5)
      out.insert(out.end(), kSideBySide.begin(), kSideBySide.end());
    const Bytes unit = host::length_prefixed({c.units[i]});
    out.insert(out.end(), unit.begin(), unit.end());
  }
  return out;
}

// Frames larger than a search block are written while their units are found
// and get their lengths afterwards. Wherever the blocks end (start codes just
// before, on and after a block's end, zeros and 3-byte codes across it, long
// units dropped, empty units behind long ones), the samples and key flags are
// those of the whole-frame rules, in a session without and one with frame
// packing.
TEST_F(SessionFiles, LargeFramesKeepTheirUnitsWhereverTheSearchBlocksEnd) {
  const std::vector<LargeFrameCase> cases = large_frame_cases();
  for (uint32_t stereo_mode : {0u, 1u}) {
    SCOPED_TRACE(stereo_mode);
    auto p = h264_params(fourcc("MP4 "));
    p->video.stereo_mode = stereo_mode;
    std::string file = path("h264-large.mp4");
    {
      host::Session s(*p, file);
      ASSERT_TRUE(s.open());
      int64_t t = 0;
      for (const LargeFrameCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes data = host::annex_b(c.units);
        ASSERT_GT(data.size(), kAnnexBBlock + 4);
        EXPECT_EQ(write_video(s, data, t, t, 0), stored_sample(c, stereo_mode).size());
        t += 400000;
      }
    }
    Written w = read_back(file);
    // Nothing the frames took back is left behind the movie box.
    ASSERT_EQ(w.tree.types(), (std::vector<std::string>{"ftyp", "free", "mdat", "moov"}));
    const iso::Box& moov = w.tree.at("moov");
    ASSERT_EQ(moov.offset + moov.size, w.bytes.size());
    TrackSamples v = w.samples(0);
    ASSERT_EQ(v.samples.size(), cases.size());
    for (size_t k = 0; k < cases.size(); ++k) {
      const LargeFrameCase& c = cases[k];
      SCOPED_TRACE(c.name);
      EXPECT_TRUE(sample_bytes(w.bytes, v.samples[k]) == stored_sample(c, stereo_mode));
      EXPECT_EQ(v.samples[k].sync, c.key);
    }
  }
}

// The host's buffer after a large frame: H.264 rewrites every unit's start
// code into its length, HEVC only those of the units it keeps.
TEST_F(SessionFiles, LargeFramesRewriteTheHostsBufferAsSmallOnes) {
  constexpr size_t B = kAnnexBBlock;
  struct Case {
    const char* name;
    uint32_t video;
    std::vector<Bytes> units;
    uint32_t picture_flag;
    std::vector<bool> rewritten;
    uint32_t stored;
  };
  const Case cases[] = {
      {"H.264, a long parameter set dropped",
       fourcc("H264"),
       {payload(0x67, B + 7, 21), payload(0x65, B + 1, 22)},
       1,
       {true, true},
       static_cast<uint32_t>(4 + B + 1)},
      {"HEVC, a long parameter set dropped",
       fourcc("HEVC"),
       {payload(0x42, B + 7, 23), payload(0x26, B + 1, 24)},
       1,
       {false, true},
       static_cast<uint32_t>(4 + B + 1)},
      {"HEVC, a long parameter set kept",
       fourcc("HEVC"),
       {payload(0x42, B + 7, 25), payload(0x26, B + 1, 26)},
       2,
       {true, true},
       static_cast<uint32_t>(8 + 2 * B + 8)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto p = host::blank_params(fourcc("MP4 "));
    host::set_video(*p, c.video, 320, 240, 25.0);
    std::string file = path("large-buffer.mp4");
    Bytes data = host::annex_b(c.units);
    {
      host::Session s(*p, file);
      ASSERT_TRUE(s.open());
      MxVideoFrame f =
          host::video_frame(data.data(), static_cast<uint32_t>(data.size()), 0, 0, c.picture_flag);
      EXPECT_EQ(s.video(f), c.stored);
    }
    EXPECT_TRUE(data == with_lengths(c.units, c.rewritten));
    Written w = read_back(file);
    ASSERT_EQ(w.samples(0).samples.size(), 1u);
    EXPECT_EQ(w.sample(0, 0).size(), c.stored);
  }
}

TEST_F(SessionFiles, PassThroughFramesKeepTheirBytesAndFlags) {
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("Xvid"), 320, 240, 25.0);
  std::string file = path("mpeg4.mp4");
  Bytes key = hex_bytes("00 00 01 B6 10 20 30");
  Bytes inter = hex_bytes("00 00 01 B6 50 60");
  {
    host::Session s(*p, file);
    EXPECT_EQ(write_video(s, key, 0, 0, 1), key.size());
    EXPECT_EQ(write_video(s, inter, 400000, 400000, 0), inter.size());
  }
  // H.264 data without a leading 4-byte start code is stored as it is.
  auto q = h264_params(fourcc("MP4 "));
  std::string file2 = path("h264-raw.mp4");
  Bytes raw = host::length_prefixed({kIdr});
  {
    host::Session s(*q, file2);
    EXPECT_EQ(write_video(s, raw, 0, 0, 1), raw.size());
  }
  Written w = read_back(file);
  TrackSamples v = w.samples(0);
  ASSERT_EQ(v.samples.size(), 2u);
  EXPECT_EQ(sample_bytes(w.bytes, v.samples[0]), key);
  EXPECT_TRUE(v.samples[0].sync);
  EXPECT_EQ(sample_bytes(w.bytes, v.samples[1]), inter);
  EXPECT_FALSE(v.samples[1].sync);
  EXPECT_EQ(read_back(file2).sample(0, 0), raw);
}

TEST_F(SessionFiles, CompositionOffsetsUseTheVideoTimeScale) {
  auto p = h264_params(fourcc("MP4 "), 29.97);
  std::string file = path("ctts.mp4");
  // I P B B in decoding order: pts - dts of 333667 (100 ns) is 1001 at 30000.
  struct Frame {
    int64_t dts, pts;
    int32_t offset;
  };
  const Frame frames[] = {{0, 333667, 1001},
                          {333667, 1334668, 3003},
                          {667334, 667334, 0},
                          {1001001, 1001001, 0},
                          {1334668, 1334668 + 667334, 2002}};
  {
    host::Session s(*p, file);
    for (const Frame& f : frames)
      EXPECT_EQ(write_video(s, host::annex_b({kSlice}), f.pts, f.dts, 0), 9u);
  }
  Written w = read_back(file);
  TrackSamples v = w.samples(0);
  ASSERT_TRUE(v.has_ctts);
  ASSERT_EQ(v.samples.size(), 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(v.samples[i].composition, frames[i].offset) << i;
  EXPECT_EQ(w.trak(0).at("mdia/minf/stbl/ctts").u32(4), 5u);  // one entry per sample
}

// pts - dts in the video time scale, truncated toward zero and held to 32
// bits, also when the difference or its product with the time scale does not
// fit 64 bits.
TEST_F(SessionFiles, CompositionOffsetsOfExtremeTimeStamps) {
  auto p = h264_params(fourcc("MP4 "), 29.97);  // time scale 30000
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  struct Case {
    const char* name;
    int64_t pts, dts;
    int32_t offset;
  };
  const Case cases[] = {
      {"one frame later", 333667, 0, 1001},
      {"one frame earlier", 0, 333667, -1001},
      {"truncated toward zero", 0, 3334, -10},
      {"the largest that fits", 715827882334, 0, std::numeric_limits<int32_t>::max()},
      {"held to 32 bits", 715827882334 + 334, 0, std::numeric_limits<int32_t>::max()},
      {"product past 64 bits", 400000000000000, 0, std::numeric_limits<int32_t>::max()},
      {"difference past 64 bits", kMax, kMin, std::numeric_limits<int32_t>::max()},
      {"negative difference past 64 bits", kMin, kMax, std::numeric_limits<int32_t>::min()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = path("ctts-extreme.mp4");
    {
      host::Session s(*p, file);
      EXPECT_EQ(write_video(s, host::annex_b({kSlice}), c.pts, c.dts, 0), 9u);
    }
    TrackSamples v = read_back(file).samples(0);
    ASSERT_EQ(v.samples.size(), 1u);
    EXPECT_EQ(v.samples[0].composition, c.offset);
  }
}

TEST_F(SessionFiles, TimecodeFramesGoToTheTimecodeTrack) {
  auto p = h264_params(fourcc("MOV "));
  p->no_timecode = 0;
  std::string file = path("tc.mov");
  Bytes tc = hex_bytes("00 01 02 03");
  {
    host::Session s(*p, file);
    MxVideoFrame t = host::video_frame(nullptr, 0, 0, 0);
    t.frame_type = MX_FRAME_TYPE_TIMECODE;
    t.tc_data = tc.data();
    t.tc_size = 4;
    t.frame_duration = 123456789;  // 12.3456789 s at 25000: 308641 (truncated)
    EXPECT_EQ(s.video(t), 0u);
    EXPECT_EQ(write_video(s, host::annex_b({kIdr}), 0, 0), 12u);
  }
  Written w = read_back(file);
  ASSERT_EQ(w.tree.at("moov").count("trak"), 2u);
  TrackSamples t = w.samples(1);
  EXPECT_EQ(t.handler, "tmcd");
  ASSERT_EQ(t.samples.size(), 1u);
  EXPECT_EQ(sample_bytes(w.bytes, t.samples[0]), tc);
  EXPECT_EQ(t.duration, 308641u);

  // Without a timecode track the frame is ignored.
  auto q = h264_params(fourcc("MOV "));
  std::string file2 = path("no-tc.mov");
  {
    host::Session s(*q, file2);
    MxVideoFrame t2 = host::video_frame(nullptr, 0, 0, 0);
    t2.frame_type = MX_FRAME_TYPE_TIMECODE;
    t2.tc_data = tc.data();
    t2.tc_size = 4;
    EXPECT_EQ(s.video(t2), 0u);
    EXPECT_EQ(write_video(s, host::annex_b({kIdr}), 0, 0), 12u);
  }
  EXPECT_EQ(read_back(file2).tree.at("moov").count("trak"), 1u);
}

TEST_F(SessionFiles, AvcConfigurationComesFromTheFirstExtraData) {
  auto p = h264_params(fourcc("MP4 "));
  std::string file = path("avcc.mp4");
  {
    host::Session s(*p, file);
    s.video_config(kPps, kSps);                              // first: PPS, second: SPS
    s.video_config(hex_bytes("68 00"), hex_bytes("67 00"));  // ignored: the first call wins
    EXPECT_EQ(write_video(s, host::annex_b({kIdr}), 0, 0), 12u);
  }
  Written w = read_back(file);
  const iso::Box* avcc = w.tree.all("avcC").empty() ? nullptr : w.tree.all("avcC")[0];
  ASSERT_NE(avcc, nullptr) << w.tree.dump();
  Bytes expected =
      concat({hex_bytes("01 42 00 1E FF E1 00 08"), kSps, hex_bytes("01 00 04"), kPps});
  EXPECT_EQ(avcc->payload(), expected);
}

// The profile and level of avcC follow the host's video code, not its file
// code: a PS3 stream in a plain MP4 file is still High profile, level 4.2.
TEST_F(SessionFiles, AvcProfileAndLevelFollowTheVideoCode) {
  struct Case {
    const char* file_code;
    const char* video_code;
    const char* indication;  // profile, compatibility, level
  };
  const Case cases[] = {
      {"MP4 ", "PS3H", "64 00 2A"}, {"MOV ", "VAVC", "42 00 1F"}, {"MP4 ", "EPSP", "4D 00 1E"},
      {"M4V ", "HAVC", "42 00 29"}, {"MP4 ", "H264", "42 00 1E"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.file_code << " " << c.video_code);
    auto p = host::blank_params(
        MX_FOURCC(c.file_code[0], c.file_code[1], c.file_code[2], c.file_code[3]));
    host::set_video(*p,
                    MX_FOURCC(c.video_code[0], c.video_code[1], c.video_code[2], c.video_code[3]),
                    320, 240, 25.0);
    std::string file = path("avc-indication.mp4");
    {
      host::Session s(*p, file);
      ASSERT_TRUE(s.open());
      s.video_config(kPps, kSps);
      EXPECT_EQ(write_video(s, host::annex_b({kIdr}), 0, 0), 12u);
    }
    Written w = read_back(file);
    ASSERT_EQ(w.tree.all("avcC").size(), 1u) << w.tree.dump();
    Bytes payload = w.tree.all("avcC")[0]->payload();
    EXPECT_EQ(Bytes(payload.begin() + 1, payload.begin() + 4), hex_bytes(c.indication));
  }
}

TEST_F(SessionFiles, ConfigurationIsHandedToEachCodecAtClose) {
  struct Case {
    const char* video;
    Bytes config;      // the second buffer of WriteVideoExtraData
    const char* line;  // expected log line, or empty for none
  };
  const Case cases[] = {
      {"AV1 ", hex_bytes("0A 0B 00 00 00 24 C6 7F FF F8"),
       "CMp4Writer::WriteTrail AV1 extralen = 10 "},
      {"AVHD", {}, "CMp4Writer::WriteTrail AV1 extralen = 0 "},
      {"FFV1", hex_bytes("01 02 03 04 05 06 07"), "CMp4Writer::WriteTrail FFV1 extralen = 7 "},
      {"FFV1", {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.video);
    host::LogCapture log;
    auto p = host::blank_params(fourcc("MOV "));
    host::set_video(*p, MX_FOURCC(c.video[0], c.video[1], c.video[2], c.video[3]), 320, 240, 25.0);
    std::string file = path("handover.mov");
    {
      host::Session s(*p, file);
      ASSERT_TRUE(s.open());
      s.video_config({}, c.config);
      EXPECT_EQ(write_video(s, Bytes(40, 0x11), 0, 0), 40u);
    }
    if (*c.line) {
      EXPECT_TRUE(log.contains(c.line));
    } else {
      EXPECT_EQ(log.count_prefix("CMp4Writer::WriteTrail"), 0u);
    }
    EXPECT_TRUE(log.contains("mx_mp4.dll: writed trail successful."));
    EXPECT_NE(read_back(file).tree.find("moov/trak/mdia/minf/stbl/stsd"), nullptr);
  }
}

TEST_F(SessionFiles, DualAudioConfigurationIsSplitBetweenTheTracks) {
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_audio(*p, fourcc("EAAC"), 48000, 2);
  std::string file = path("dual-config.mp4");
  {
    host::Session s(*p, file);
    s.audio_config(hex_bytes("02 00 00 00 11 90  03 00 00 00 10 3D E0"));
    Bytes packet = hex_bytes("01 00 00 00 A1  01 00 00 00 C1");
    int32_t info[] = {1, 1, 1, 1, 1};
    MxAudioFrame a = host::audio_frame(packet.data(), static_cast<int32_t>(packet.size()), 0);
    EXPECT_EQ(s.audio(a, info), 2u);
  }
  Written w = read_back(file);
  auto contains = [](const Bytes& hay, const Bytes& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
  };
  const std::vector<const iso::Box*> esds = w.tree.all("esds");
  ASSERT_EQ(esds.size(), 1u) << w.tree.dump();
  EXPECT_TRUE(contains(esds[0]->payload(), hex_bytes("11 90")));  // the AAC part
  EXPECT_FALSE(contains(esds[0]->payload(), hex_bytes("10 3D E0")));
  EXPECT_EQ(w.trak(0).at("mdia/hdlr").fourcc(8), "soun");
  EXPECT_EQ(w.trak(1).at("mdia/hdlr").fourcc(8), "soun");
}
