// Real encoder output through the slots, read back by ffprobe and decoded by
// ffmpeg (Debian's builds, used as black-box readers): H.264 with B-frames and
// AAC into MP4 and MOV, and HEVC into MP4. The streams are made with ffmpeg at
// test time.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/plugin_host.h"
#include "support/test_files.h"
#include "support/tools.h"

using host::fourcc;

namespace {

using Bytes = std::vector<uint8_t>;

struct CommandResult {
  int status;
  std::string output;
};

CommandResult run(const std::string& command) {
  CommandResult r{-1, {}};
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return r;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
  r.status = pclose(pipe);
  return r;
}

// NAL units of an Annex-B stream, split at 3- and 4-byte start codes.
std::vector<Bytes> nal_units(const Bytes& s) {
  std::vector<Bytes> units;
  size_t i = 0, start = std::string::npos;
  while (i + 3 <= s.size()) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      if (start != std::string::npos) {
        size_t end = i;
        while (end > start && s[end - 1] == 0) --end;  // the zero of a 4-byte code
        units.emplace_back(s.begin() + static_cast<long>(start),
                           s.begin() + static_cast<long>(end));
      }
      i += 3;
      start = i;
    } else {
      ++i;
    }
  }
  if (start != std::string::npos) units.emplace_back(s.begin() + static_cast<long>(start), s.end());
  return units;
}

// Access units: each starts at an access unit delimiter.
std::vector<std::vector<Bytes>> access_units(const Bytes& stream, bool hevc) {
  std::vector<std::vector<Bytes>> aus;
  for (Bytes& u : nal_units(stream)) {
    uint32_t type = hevc ? (u[0] >> 1) & 63 : u[0] & 31;
    bool delimiter = hevc ? type == 35 : type == 9;
    if (delimiter || aus.empty()) aus.emplace_back();
    aus.back().push_back(std::move(u));
  }
  return aus;
}

struct Packet {
  double pts, dts;
  bool key;
};

// pts_time, dts_time and the key flag of every packet of the first stream of a kind.
std::vector<Packet> packets(const std::string& file, const char* stream) {
  CommandResult r =
      run(std::string("ffprobe -v error -ignore_editlist 1 -select_streams ") + stream +
          " -show_entries packet=pts_time,dts_time,flags -of csv=p=0 '" + file + "'");
  EXPECT_EQ(r.status, 0) << r.output;
  std::vector<Packet> out;
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);) {
    double pts = 0, dts = 0;
    char flags[16] = {};
    if (std::sscanf(line.c_str(), "%lf,%lf,%15s", &pts, &dts, flags) == 3)
      out.push_back({pts, dts, flags[0] == 'K'});
  }
  return out;
}

int64_t units_100ns(double seconds) {
  return std::llround(seconds * 1e7);
}

struct AdtsFrame {
  Bytes payload;
  Bytes config;
};

std::vector<AdtsFrame> adts_frames(const Bytes& s) {
  std::vector<AdtsFrame> frames;
  size_t i = 0;
  while (i + 7 <= s.size() && s[i] == 0xFF && (s[i + 1] & 0xF0) == 0xF0) {
    size_t header = (s[i + 1] & 1) ? 7 : 9;
    uint32_t profile = s[i + 2] >> 6;
    uint32_t rate_index = (s[i + 2] >> 2) & 15;
    uint32_t channels = ((s[i + 2] & 1) << 2) | (s[i + 3] >> 6);
    size_t length = ((s[i + 3] & 3u) << 11) | (s[i + 4] << 3) | (s[i + 5] >> 5);
    if (length < header || i + length > s.size()) break;
    uint32_t asc = ((profile + 1) << 11) | (rate_index << 7) | (channels << 3);
    frames.push_back({Bytes(s.begin() + static_cast<long>(i + header),
                            s.begin() + static_cast<long>(i + length)),
                      {static_cast<uint8_t>(asc >> 8), static_cast<uint8_t>(asc)}});
    i += length;
  }
  return frames;
}

class SessionInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    MX_REQUIRE_TOOLS("ffmpeg", "ffprobe");
    host::slots_for(fourcc("MP4 ")).SetWriterOptions(nullptr);
  }

  // Encodes a clip with ffmpeg into a reference MP4 and extracts its Annex-B
  // access units with their time stamps.
  void make_video(const std::string& codec_args, const char* bsf, const char* raw_format,
                  bool hevc) {
    reference_ = test_temp_path(std::string("reference-") + raw_format + ".mp4");
    std::string raw = test_temp_path(std::string("reference.") + raw_format);
    CommandResult r =
        run("ffmpeg -y -v error -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 30 "
            "-pix_fmt yuv420p " +
            codec_args + " '" + reference_ + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    r = run("ffmpeg -y -v error -i '" + reference_ + "' -c:v copy -bsf:v " + bsf + " -f " +
            raw_format + " '" + raw + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    aus_ = access_units(read_whole_file(raw), hevc);
    ref_packets_ = packets(reference_, "v:0");
    ASSERT_EQ(aus_.size(), ref_packets_.size());
  }

  void make_audio() {
    std::string aac = test_temp_path("reference.aac");
    CommandResult r =
        run("ffmpeg -y -v error -f lavfi -i sine=frequency=440:sample_rate=48000 -t 1.2 "
            "-c:a aac -ac 2 -f adts '" +
            aac + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    audio_ = adts_frames(read_whole_file(aac));
    ASSERT_GT(audio_.size(), 40u);
  }

  std::string reference_;
  std::vector<std::vector<Bytes>> aus_;
  std::vector<Packet> ref_packets_;
  std::vector<AdtsFrame> audio_;
};

// Writes the access units (Annex-B, 4-byte start codes) and the AAC frames.
void write_session(const EncParam& p, const std::string& file,
                   const std::vector<std::vector<Bytes>>& aus, const std::vector<Packet>& times,
                   const Bytes& config1, const Bytes& config2,
                   const std::vector<AdtsFrame>& audio) {
  host::Session s(p, file);
  ASSERT_TRUE(s.open());
  s.video_config(config1, config2);
  if (!audio.empty()) s.audio_config(audio[0].config);
  size_t a = 0;
  for (size_t i = 0; i < aus.size(); ++i) {
    Bytes data = host::annex_b(aus[i]);
    MxVideoFrame f = host::video_frame(data.data(), static_cast<uint32_t>(data.size()),
                                       units_100ns(times[i].pts), units_100ns(times[i].dts),
                                       times[i].key ? 1 : 0);
    EXPECT_GT(s.video(f), 0u) << i;
    // Audio up to the video's decoding time, interleaved as a host would.
    for (; a < audio.size() && static_cast<int64_t>(a) * 1024 * 10000000LL / 48000 <=
                                   units_100ns(times[i].dts) + 4000000;
         ++a) {
      int32_t info[2] = {1, static_cast<int32_t>(audio[a].payload.size())};
      MxAudioFrame af =
          host::audio_frame(audio[a].payload.data(), static_cast<int32_t>(audio[a].payload.size()),
                            static_cast<int64_t>(a) * 1024 * 10000000LL / 48000);
      EXPECT_EQ(s.audio(af, info), audio[a].payload.size());
    }
  }
}

void expect_decodes(const std::string& file, size_t video_frames, size_t audio_frames) {
  CommandResult r = run("ffmpeg -v error -xerror -i '" + file + "' -f null -");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "");
  // Every stored packet (the edit lists would trim the presentation at both ends).
  EXPECT_EQ(packets(file, "v:0").size(), video_frames);
  if (audio_frames) {
    EXPECT_EQ(packets(file, "a:0").size(), audio_frames);
  }
}

}  // namespace

TEST_F(SessionInterop, H264WithBFramesAndAacPlayInMp4AndMov) {
  ASSERT_NO_FATAL_FAILURE(make_video("-c:v libx264 -profile:v main -bf 2 -g 12",
                                     "h264_mp4toannexb,h264_metadata=aud=insert", "h264", false));
  ASSERT_NO_FATAL_FAILURE(make_audio());
  Bytes sps, pps;
  for (const Bytes& u : aus_[0]) {
    if ((u[0] & 31) == 7) sps = u;
    if ((u[0] & 31) == 8) pps = u;
  }
  ASSERT_FALSE(sps.empty());
  ASSERT_FALSE(pps.empty());

  // The third file has no usable frame rate: it is written at 90000 / 3000.
  const struct {
    const char* code;
    double rate;
    const char* name;
  } files[] = {{"MP4 ", 25.0, "interop-h264.mp4"},
               {"MOV ", 25.0, "interop-h264.mov"},
               {"MP4 ", 0.0, "interop-h264-norate.mp4"}};
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    const char* code = f.code;
    auto p = host::blank_params(MX_FOURCC(code[0], code[1], code[2], code[3]));
    host::set_video(*p, fourcc("H264"), 320, 240, f.rate);
    host::set_audio(*p, fourcc("AAC "), 48000, 2, 16, "eng");
    std::string file = test_temp_path(f.name);
    size_t audio_written = 0;
    for (size_t a = 0; a < audio_.size() && static_cast<int64_t>(a) * 1024 * 10000000LL / 48000 <=
                                                units_100ns(ref_packets_.back().dts) + 4000000;
         ++a)
      ++audio_written;
    write_session(*p, file, aus_, ref_packets_, pps, sps, audio_);
    expect_decodes(file, 30, audio_written);

    // Composition offsets and key frames survive: pts - dts of every packet
    // matches the reference within one tick of the 25000 time scale.
    std::vector<Packet> ours = packets(file, "v:0");
    ASSERT_EQ(ours.size(), ref_packets_.size());
    for (size_t i = 0; i < ours.size(); ++i) {
      EXPECT_NEAR(ours[i].pts - ours[i].dts, ref_packets_[i].pts - ref_packets_[i].dts, 1.0 / 25000)
          << i;
      EXPECT_EQ(ours[i].key, ref_packets_[i].key) << i;
    }
  }
}

TEST_F(SessionInterop, HevcPlaysInMp4) {
  ASSERT_NO_FATAL_FAILURE(
      make_video("-c:v libx265 -x265-params log-level=none:bframes=0 -tag:v hvc1",
                 "hevc_mp4toannexb,hevc_metadata=aud=insert", "hevc", true));
  Bytes parameter_sets;
  for (const Bytes& u : aus_[0]) {
    uint32_t type = (u[0] >> 1) & 63;
    if (type >= 32 && type <= 34) {
      Bytes one = host::annex_b({u});
      parameter_sets.insert(parameter_sets.end(), one.begin(), one.end());
    }
  }
  ASSERT_FALSE(parameter_sets.empty());
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("HEVC"), 320, 240, 25.0);
  std::string file = test_temp_path("interop-hevc.mp4");
  write_session(*p, file, aus_, ref_packets_, {}, parameter_sets, {});
  expect_decodes(file, 30, 0);
  std::vector<Packet> ours = packets(file, "v:0");
  ASSERT_EQ(ours.size(), ref_packets_.size());
  for (size_t i = 0; i < ours.size(); ++i) EXPECT_EQ(ours[i].key, ref_packets_[i].key) << i;
}
