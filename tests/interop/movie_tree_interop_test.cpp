// The movie tree read back by ffprobe as a black box: the packets it finds
// (timing, size, position) must be the samples the muxer was given.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "boxes/boxes.h"
#include "support/mux_file.h"

namespace {

struct Packet {
  int stream = 0;
  int64_t pts = 0, dts = 0, duration = 0, size = 0, pos = 0;
  bool operator==(const Packet&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Packet& p) {
  return out << "{stream " << p.stream << " pts " << p.pts << " dts " << p.dts << " dur "
             << p.duration << " size " << p.size << " pos " << p.pos << "}";
}

std::string run(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  *status = pclose(pipe);
  return out;
}

// Packets in time-base units as the demuxer reads the tables, edit lists ignored.
std::vector<Packet> probe_packets(const std::string& path, std::string* log) {
  int status = -1;
  std::string out =
      run("ffprobe -v error -ignore_editlist 1 -show_entries "
          "packet=stream_index,pts,dts,duration,size,pos -of csv=p=0 '" +
              path + "'",
          &status);
  *log = out;
  std::vector<Packet> packets;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    Packet p;
    char c1, c2, c3, c4, c5;
    std::istringstream fields(line);
    if (fields >> p.stream >> c1 >> p.pts >> c2 >> p.dts >> c3 >> p.duration >> c4 >> p.size >>
        c5 >> p.pos) {
      packets.push_back(p);
    }
  }
  EXPECT_EQ(status, 0) << out;
  return packets;
}

std::string probe(const std::string& path, const std::string& entries) {
  int status = -1;
  std::string out = run(
      "ffprobe -v error -show_entries " + entries + " -of default=nw=1 '" + path + "'", &status);
  EXPECT_EQ(status, 0) << out;
  return out;
}

TEST(MovieTreeInterop, PacketsMatchTheSamples) {
  MuxFile f("interop.mp4", kModeMp4,
            {track_spec(0, kKindVideo, kCodecH264), track_spec(1, kKindAudio, kCodecAac)});
  mux_set_timescale(0, f.c, 30000);
  mux_set_sample_duration(0, f.c, 1001);
  mux_set_frame_rate(0, f.c, 29.97f, 1);
  mux_set_picture_size(0, f.c, 320, 240);
  mux_set_display_size(0, f.c, 320, 240);
  mux_set_timescale(1, f.c, 44100);
  mux_set_channels(1, f.c, 2);
  static const uint8_t kAsc[] = {0x12, 0x10};  // AAC LC, 44100 Hz, stereo
  mux_set_audio_config(1, f.c, kAsc, sizeof kAsc);

  // Decoding order I P B B P B B ...: offsets in frames 1, 3, 0, 0, 3, 0, 0, ...
  std::vector<Packet> expected;
  uint64_t pos = 48;
  const int kFrames = 30;
  const int kPackets = 40;
  for (int i = 0; i < std::max(kFrames, kPackets); ++i) {
    if (i < kFrames) {
      int offset_frames = i == 0 ? 1 : i % 3 == 1 ? 3 : 0;
      int32_t offset = offset_frames * 1001;
      uint32_t size = 200 + (i * 37) % 100;
      int64_t dts = i * 333667ll;
      f.video(0, size, dts, dts + offset_frames * 333667ll, i % 15 == 0, offset);
      int64_t dts_units = i * 1001ll;
      expected.push_back({0, dts_units + offset, dts_units, 1001, size, static_cast<int64_t>(pos)});
      pos += size;
    }
    if (i < kPackets) {
      uint32_t size = 150 + (i * 13) % 60;
      f.audio(1, {size}, i * 232200ll, i * 232200ll, 1024);
      expected.push_back({1, i * 1024ll, i * 1024ll, 1024, size, static_cast<int64_t>(pos)});
      pos += size;
    }
  }
  f.finish();

  std::string log;
  std::vector<Packet> packets = probe_packets(f.path, &log);
  // The demuxer interleaves by position, which is the order of arrival here.
  EXPECT_EQ(packets, expected) << log;

  std::string streams = probe(f.path, "stream=codec_name,nb_frames,time_base");
  EXPECT_NE(streams.find("codec_name=h264"), std::string::npos) << streams;
  EXPECT_NE(streams.find("codec_name=aac"), std::string::npos) << streams;
  EXPECT_NE(streams.find("nb_frames=30"), std::string::npos) << streams;
  EXPECT_NE(streams.find("nb_frames=40"), std::string::npos) << streams;
}

// The timecode track as ffprobe reads it: the first sample's frame number
// through the entry's time scale, frame duration and frames per second.
TEST(MovieTreeInterop, TimecodeTrack) {
  struct Case {
    uint32_t timescale;
    int32_t frame_duration;
    uint32_t frame_number;
    const char* timecode;
  };
  const Case cases[] = {
      {25, 1, 257, "00:00:10:07"},
      {600, 40, 15 * 3600 + 2, "01:00:00:02"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.timecode);
    MuxFile f(
        "interop_tc.mov", kModeMov,
        {track_spec(0, kKindVideo, kCodecH264), track_spec(1, kKindTimecode, kCodecTimecode)});
    mux_set_timescale(1, f.c, k.timescale);
    mux_set_sample_duration(1, f.c, k.frame_duration);
    f.video(0, 100, 0, 0, true);
    uint8_t sample[4] = {
        static_cast<uint8_t>(k.frame_number >> 24), static_cast<uint8_t>(k.frame_number >> 16),
        static_cast<uint8_t>(k.frame_number >> 8), static_cast<uint8_t>(k.frame_number)};
    f.raw(1, kKindTimecode, sample, 4, 1, nullptr, 0, 0, k.frame_duration);
    f.finish();
    std::string tags = probe(f.path, "stream=codec_tag_string:stream_tags=timecode");
    EXPECT_NE(tags.find("codec_tag_string=tmcd"), std::string::npos) << tags;
    EXPECT_NE(tags.find(std::string("TAG:timecode=") + k.timecode), std::string::npos) << tags;
  }
}

}  // namespace
