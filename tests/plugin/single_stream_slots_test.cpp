// The single-stream slots as a host sees them: only the public header, the
// library loaded with dlopen, and the files it writes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "mx_mp4/host.h"
#include "support/box_reader.h"
#include "support/plugin_host.h"
#include "support/test_files.h"
#include "support/track_samples.h"

using host::fourcc;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kSps = {0x67, 0x42, 0xC0, 0x1E, 0xD9, 0x00, 0xA0, 0x47, 0xFE, 0xC8};
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80};
const Bytes kAacConfig = {0x11, 0x90};  // AAC LC, 48000 Hz, stereo

Bytes idr_unit(uint8_t seed) {
  return {0x65, 0x88, 0x84, seed, 0x21, 0x43};
}
Bytes slice_unit(uint8_t seed) {
  return {0x41, 0x9A, seed, 0x07};
}

uint32_t be32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
         static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

class SingleStreamSlots_ : public ::testing::Test {
 protected:
  void SetUp() override { host::slots_for(fourcc("MP4 ")).SetWriterOptions(nullptr); }
};

}  // namespace

TEST_F(SingleStreamSlots_, CreateRefusesUnknownCodesAndUnopenableFiles) {
  host::LogCapture log;
  const SingleStreamSlots& slots = host::slots_for(fourcc("MP4 "));
  auto p = host::blank_params(fourcc("ZZZZ"));
  host::set_video(*p, fourcc("H264"), 320, 240, 25.0);
  std::string file = test_temp_path("unknown.mp4");
  std::u16string name = u16(file);
  EXPECT_EQ(slots.CreateMediaFile(host_text(name.c_str()), p.get()), nullptr);
  struct stat st;
  EXPECT_NE(stat(file.c_str(), &st), 0);  // nothing was opened
  EXPECT_TRUE(log.contains("mx_mp4.dll: Creating media file[" + file + "]..."));
  EXPECT_EQ(log.count_prefix("mx_mp4.dll: Create file["), 0u);

  p->file_fourcc = fourcc("MP4 ");
  std::string missing = test_temp_path("missing-folder/x.mp4");
  std::u16string missing_name = u16(missing);
  EXPECT_EQ(slots.CreateMediaFile(host_text(missing_name.c_str()), p.get()), nullptr);
  std::vector<std::string> lines = log.lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 2], "CMp4Writer::Init fopen Failed [2]");
  EXPECT_EQ(lines.back(), "mx_mp4.dll: Create file[" + missing + "] failed.");
}

TEST_F(SingleStreamSlots_, AudioOnlyFormatsHaveNoVideoSlots) {
  const SingleStreamSlots& m4a = host::slots_for(fourcc("M4A "));
  EXPECT_EQ(m4a.WriteVideoFrame, nullptr);
  EXPECT_EQ(m4a.WriteVideoExtraData, nullptr);
  auto p = host::blank_params(fourcc("M4A "));
  host::set_audio(*p, fourcc("AAC "), 48000, 2);
  std::string file = test_temp_path("audio.m4a");
  {
    host::Session s(*p, file);
    ASSERT_TRUE(s.open());
    s.audio_config(kAacConfig);
    Bytes packet(20, 0x33);
    int32_t info[] = {1, 20};
    MxAudioFrame a = host::audio_frame(packet.data(), 20, 0);
    EXPECT_EQ(s.audio(a, info), 20u);
  }
  iso::Tree tree = iso::read_file(file);
  EXPECT_EQ(tree.at("ftyp").fourcc(0), "M4A ");
  EXPECT_EQ(tree.at("moov").count("trak"), 1u);
  EXPECT_EQ(tree.at("moov/trak/mdia/hdlr").fourcc(8), "soun");
}

// A host that knows only the public header writes H.264 + AAC into an MP4
// and a MOV file; the files hold ftyp, the media data and a complete moov.
TEST_F(SingleStreamSlots_, HostWritesH264AndAacFiles) {
  struct Case {
    const char* code;
    const char* name;
    const char* major;
    const char* spacer;
  };
  const Case cases[] = {{"MP4 ", "whole.mp4", "mp42", "free"},
                        {"MOV ", "whole.mov", "qt  ", "wide"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    uint32_t code = MX_FOURCC(c.code[0], c.code[1], c.code[2], c.code[3]);
    auto p = host::blank_params(code);
    host::set_video(*p, fourcc("H264"), 320, 240, 25.0);
    host::set_audio(*p, fourcc("AAC "), 48000, 2, 16, "eng");
    std::string file = test_temp_path(c.name);

    std::vector<Bytes> video_samples;
    std::vector<Bytes> audio_samples;
    {
      host::Session s(*p, file);
      ASSERT_TRUE(s.open());
      s.video_config(kPps, kSps);
      s.audio_config(kAacConfig);
      for (int i = 0; i < 10; ++i) {
        // 25 fps video, two AAC frames of 1024 samples per 40 ms step (roughly)
        bool key = i % 5 == 0;
        std::vector<Bytes> units =
            key ? std::vector<Bytes>{{0x09, 0xF0}, kSps, kPps, idr_unit(uint8_t(i))}
                : std::vector<Bytes>{{0x09, 0xF0}, slice_unit(uint8_t(i))};
        Bytes au = host::annex_b(units);
        MxVideoFrame v = host::video_frame(au.data(), static_cast<uint32_t>(au.size()), i * 400000,
                                           i * 400000, key ? 1 : 0);
        uint32_t stored = s.video(v);
        Bytes expected = host::length_prefixed({units.back()});
        EXPECT_EQ(stored, expected.size());
        video_samples.push_back(expected);

        Bytes packet(30 + i, static_cast<uint8_t>(0xA0 + i));
        int32_t info[] = {1, static_cast<int32_t>(packet.size())};
        MxAudioFrame a =
            host::audio_frame(packet.data(), static_cast<int32_t>(packet.size()), i * 213333);
        EXPECT_EQ(s.audio(a, info), packet.size());
        audio_samples.push_back(packet);
      }
    }

    Bytes bytes = read_whole_file(file);
    iso::Tree tree = iso::parse(bytes);
    ASSERT_EQ(tree.types(), (std::vector<std::string>{"ftyp", c.spacer, "mdat", "moov"}))
        << tree.dump();
    EXPECT_EQ(tree.at("ftyp").fourcc(0), c.major);

    // mdat holds exactly the samples, in arrival order, behind its 16-byte header.
    const iso::Box& mdat = tree.at("mdat");
    uint64_t payload = 0;
    for (const Bytes& b : video_samples) payload += b.size();
    for (const Bytes& b : audio_samples) payload += b.size();
    EXPECT_EQ(mdat.size, 16 + payload);
    EXPECT_EQ(mdat.offset, tree.at(c.spacer).offset + 8);

    const iso::Box& mvhd = tree.at("moov/mvhd");
    EXPECT_EQ(mvhd.u32(12), 1000u);  // movie time scale
    EXPECT_EQ(mvhd.u32(16), 400u);   // 10 frames of 40 ms
    EXPECT_EQ(mvhd.u32(96), 3u);     // next track ID
    ASSERT_EQ(tree.at("moov").count("trak"), 2u);

    // Video track.
    const iso::Box& vtrak = tree.at("moov/trak[0]");
    EXPECT_EQ(vtrak.at("tkhd").u32(12), 1u);
    EXPECT_EQ(vtrak.at("tkhd").u32(76), 320u << 16);
    EXPECT_EQ(vtrak.at("tkhd").u32(80), 240u << 16);
    EXPECT_EQ(vtrak.at("mdia/hdlr").fourcc(8), "vide");
    EXPECT_NE(vtrak.find("mdia/minf/vmhd"), nullptr);
    TrackSamples v = read_track_samples(vtrak);
    EXPECT_EQ(v.timescale, 25000u);
    EXPECT_EQ(v.duration, 10000u);
    ASSERT_EQ(v.samples.size(), 10u);
    for (size_t i = 0; i < 10; ++i) {
      EXPECT_EQ(sample_bytes(bytes, v.samples[i]), video_samples[i]) << i;
      EXPECT_EQ(v.samples[i].sync, i % 5 == 0) << i;
      EXPECT_EQ(v.samples[i].delta, 1000u);
    }
    EXPECT_TRUE(v.has_stss);
    EXPECT_FALSE(v.has_ctts);  // all composition offsets are 0

    // Audio track.
    const iso::Box& atrak = tree.at("moov/trak[1]");
    EXPECT_EQ(atrak.at("tkhd").u32(12), 2u);
    EXPECT_EQ(atrak.at("mdia/hdlr").fourcc(8), "soun");
    EXPECT_NE(atrak.find("mdia/minf/smhd"), nullptr);
    const iso::Box& mdhd = atrak.at("mdia/mdhd");
    EXPECT_EQ(mdhd.u16(20), ((('e' - 0x60) << 10) | (('n' - 0x60) << 5) | ('g' - 0x60)));
    TrackSamples a = read_track_samples(atrak);
    EXPECT_EQ(a.timescale, 48000u);
    EXPECT_EQ(a.duration, 10u * 1024);
    ASSERT_EQ(a.samples.size(), 10u);
    for (size_t i = 0; i < 10; ++i) {
      EXPECT_EQ(sample_bytes(bytes, a.samples[i]), audio_samples[i]) << i;
      EXPECT_EQ(a.samples[i].delta, 1024u);
    }

    // Chunk offsets point behind the mdat header: the first sample is the first video frame.
    EXPECT_EQ(v.samples[0].offset, mdat.offset + 16);
    EXPECT_EQ(be32(bytes, v.samples[0].offset), idr_unit(0).size());
  }
}
