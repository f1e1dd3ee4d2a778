// Faults readers meet in files written through the slots, shown with real
// encoder output and the Debian readers (ffprobe, ffmpeg, exiftool) used as
// black boxes: H.264 at 23.976 fps with host time stamps in 100 ns, streams
// whose decode times are not delayed by the reorder depth, timecode at 29.97,
// ALAC and FLAC clips that end on a short frame, audio-only M4A files,
// stereo H.264 and the handler names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "interop_media.h"
#include "support/box_reader.h"
#include "support/plugin_host.h"
#include "support/test_files.h"
#include "support/tools.h"
#include "support/track_samples.h"

using host::fourcc;
using interop::Media;
using interop::run_command;
using interop::shell_quote;

namespace {

using Bytes = std::vector<uint8_t>;

std::string scratch(const std::string& name) {
  return test_temp_path("timing-" + name);
}

void ffmpeg(const std::string& args) {
  interop::CommandResult r = run_command("ffmpeg -nostdin -v error -y " + args);
  ASSERT_EQ(r.status, 0) << args << "\n" << r.err;
}

// NAL units of an Annex-B stream (3- or 4-byte start codes), without start codes.
std::vector<Bytes> nal_units(const Bytes& s) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= s.size(); ++i) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      starts.push_back(i + 3);
      i += 2;
    }
  }
  std::vector<Bytes> units;
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : s.size();
    while (end > starts[k] && s[end - 1] == 0) --end;  // the zero byte of a 4-byte code
    units.emplace_back(s.begin() + static_cast<long>(starts[k]),
                       s.begin() + static_cast<long>(end));
  }
  return units;
}

// An H.264 clip as an encoder hands it to a host: access units in decoding
// order (Annex-B, each starting at its delimiter, parameter sets in front of
// key frames), the presentation index of each, and the reference decode.
struct Clip {
  std::vector<Bytes> aus;
  std::vector<int64_t> order;  // presentation index of each access unit
  std::vector<bool> key;
  Bytes sps, pps;
  std::vector<std::string> hashes;  // framemd5 of the reference file's decode
  int64_t depth = 0;                // the reorder depth: max(decode index - presentation index)
};

// x264 with B-pyramid at `rate` (an ffmpeg rational), `frames` pictures.
Clip encode_h264(const std::string& name, const std::string& rate, int frames,
                 const std::string& extra = "") {
  Clip clip;
  const std::string ref = scratch("source-" + name + ".mp4");
  const std::string raw = scratch("source-" + name + ".h264");
  ffmpeg("-f lavfi -i testsrc2=size=160x96:rate=" + rate + " -frames:v " + std::to_string(frames) +
         " -c:v libx264 -preset veryfast -bf 3 -b_strategy 0 -g 24 -pix_fmt yuv420p " +
         "-x264-params aud=1:b-pyramid=normal " + extra + " " + shell_quote(ref));
  ffmpeg("-i " + shell_quote(ref) + " -c:v copy -bsf:v h264_mp4toannexb -f h264 " +
         shell_quote(raw));
  bool has_slice = false;  // a delimiter starts a new access unit once the last one has a slice
  for (const Bytes& u : nal_units(read_whole_file(raw))) {
    if (u.empty()) continue;
    const int type = u[0] & 31;
    if (clip.aus.empty() || (type == 9 && has_slice)) {
      clip.aus.emplace_back();
      has_slice = false;
    }
    has_slice = has_slice || type == 1 || type == 5;
    if (type == 7) clip.sps = u;
    if (type == 8) clip.pps = u;
    Bytes& au = clip.aus.back();
    au.insert(au.end(), {0, 0, 0, 1});
    au.insert(au.end(), u.begin(), u.end());
  }
  interop::Probe p = interop::probe(ref, true);
  std::vector<int64_t> pts;
  for (const interop::ProbedPacket& pk : p.packets) {
    pts.push_back(pk.pts);
    clip.key.push_back(pk.key);
  }
  std::vector<int64_t> sorted = pts;
  std::sort(sorted.begin(), sorted.end());
  for (int64_t t : pts) {
    int64_t index = std::lower_bound(sorted.begin(), sorted.end(), t) - sorted.begin();
    clip.order.push_back(index);
    clip.depth = std::max<int64_t>(clip.depth, static_cast<int64_t>(clip.order.size()) - 1 - index);
  }
  clip.hashes =
      interop::parse_framemd5(run_command("ffmpeg -nostdin -v error -i " + shell_quote(ref) +
                                          " -fps_mode passthrough -f framemd5 -")
                                  .out);
  EXPECT_EQ(clip.aus.size(), static_cast<size_t>(frames));
  EXPECT_EQ(clip.order.size(), clip.aus.size());
  EXPECT_EQ(clip.hashes.size(), clip.aus.size());
  return clip;
}

// Host time of frame k at num/den frames per second, in 100 ns, computed as a
// host does: whole units, truncated.
int64_t host_time(int64_t k, int64_t num, int64_t den) {
  return k * 10000000 * den / num;
}

enum class Style {
  kDelayed,    // decode times start at 0, presentation times delayed by the reorder depth
  kUndelayed,  // decode times start at the first presentation time
  kNegative,   // presentation times start at 0, decode times before that
};

struct Stamps {
  int64_t pts, dts;
};

Stamps stamps(const Clip& c, size_t i, Style style, int64_t num, int64_t den) {
  const auto k = static_cast<int64_t>(i);
  switch (style) {
    case Style::kDelayed:
      return {host_time(c.order[i] + c.depth, num, den), host_time(k, num, den)};
    case Style::kUndelayed:
      return {host_time(c.order[i], num, den), host_time(k, num, den)};
    case Style::kNegative:
      return {host_time(c.order[i], num, den), host_time(k - c.depth, num, den)};
  }
  return {};
}

struct Written {
  std::string path;
  std::vector<Stamps> times;
};

// Writes the clip through the slots of `file_code` in one timing style.
Written write_clip(const Clip& c, const char* file_code, Style style, int64_t num, int64_t den,
                   const std::string& name, uint32_t stereo_mode = 0) {
  Written w{scratch(name), {}};
  auto p = host::blank_params(MX_FOURCC(file_code[0], file_code[1], file_code[2], file_code[3]));
  host::set_video(*p, fourcc("H264"), 160, 96, static_cast<double>(num) / den);
  p->video.stereo_mode = stereo_mode;
  host::Session s(*p, w.path);
  EXPECT_TRUE(s.open());
  s.video_config(c.pps, c.sps);
  for (size_t i = 0; i < c.aus.size(); ++i) {
    Stamps t = stamps(c, i, style, num, den);
    w.times.push_back(t);
    Bytes data = c.aus[i];
    MxVideoFrame f = host::video_frame(data.data(), static_cast<uint32_t>(data.size()), t.pts,
                                       t.dts, c.key[i] ? 1 : 0);
    EXPECT_GT(s.video(f), 0u) << i;
  }
  s.close();
  return w;
}

// What ffmpeg says while decoding the whole file (nothing, for a sound file)
// and the hashes of the pictures it shows.
struct Decoded {
  std::string errors;
  std::vector<std::string> hashes;
};

// Empty when the decoded pictures hash like the source's; else the first difference.
std::string picture_mismatch(const std::vector<std::string>& got,
                             const std::vector<std::string>& want) {
  if (got.size() != want.size()) {
    return std::to_string(got.size()) + " pictures decoded, the source has " +
           std::to_string(want.size());
  }
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] != want[i]) return "picture " + std::to_string(i) + " differs";
  }
  return "";
}

Decoded decode(const std::string& path) {
  interop::CommandResult r = run_command("ffmpeg -nostdin -v error -i " + shell_quote(path) +
                                         " -map 0:v:0 -fps_mode passthrough -f framemd5 -");
  return {r.err, interop::parse_framemd5(r.out)};
}

// Presentation times of the video packets as ffprobe reads them (edit list
// applied), in seconds, in decoding order.
std::vector<double> presentation_times(const std::string& path) {
  interop::CommandResult r = run_command(
      "ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 " +
      shell_quote(path));
  std::vector<double> out;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) out.push_back(std::stod(line));
  }
  return out;
}

// Empty when every packet is presented at the host's time, counted from the
// first picture shown; else the first difference. Composition offsets are whole
// track units truncated from 100 ns differences, so a packet may be one unit
// off (the host's own stamps are truncated too).
std::string presentation_mismatch(const std::vector<double>& shown, const std::vector<Stamps>& host,
                                  double timescale) {
  if (shown.size() != host.size()) {
    return std::to_string(shown.size()) + " packets, the host wrote " + std::to_string(host.size());
  }
  int64_t first = INT64_MAX;
  for (const Stamps& t : host) first = std::min(first, t.pts);
  for (size_t i = 0; i < host.size(); ++i) {
    double want = static_cast<double>(host[i].pts - first) / 1e7;
    if (std::abs(shown[i] - want) > 1.5 / timescale) {
      return "packet " + std::to_string(i) + " is shown at " + std::to_string(shown[i]) +
             " s, the host said " + std::to_string(want) + " s";
    }
  }
  return "";
}

class HostTiming : public ::testing::Test {
 protected:
  void SetUp() override {
    MX_REQUIRE_TOOLS("ffmpeg", "ffprobe");
    MX_REQUIRE(interop::have_encoder("libx264"), "ffmpeg's libx264 encoder");
    host::slots_for(fourcc("MP4 ")).SetWriterOptions(nullptr);
  }
};

}  // namespace

// At 23.976 fps the host's 100 ns stamps (417083 per frame) make composition
// offsets that are not whole track units. The edit must start exactly at the
// first picture's stored composition time, or readers drop that picture.
TEST_F(HostTiming, EveryPictureOfA23976ClipIsShown) {
  const Clip clip = encode_h264("23976", "24000/1001", 48);
  ASSERT_GE(clip.depth, 1);
  for (const char* code : {"MP4 ", "MOV "}) {
    SCOPED_TRACE(code);
    Written w = write_clip(clip, code, Style::kDelayed, 24000, 1001,
                           std::string("23976") + (code[1] == 'O' ? ".mov" : ".mp4"));
    Decoded d = decode(w.path);
    EXPECT_EQ(d.errors, "");
    EXPECT_EQ(picture_mismatch(d.hashes, clip.hashes), "");
    EXPECT_EQ(presentation_mismatch(presentation_times(w.path), w.times, 24000), "");
  }
}

// Decode times that start at the first presentation time give B-frames
// negative composition offsets; the file must still present every picture at
// its own time, in every flavour.
TEST_F(HostTiming, UndelayedDecodeTimesKeepThePresentationTimes) {
  const Clip clip = encode_h264("25-undelayed", "25", 36);
  ASSERT_GE(clip.depth, 1);
  for (const char* code : {"MP4 ", "MOV "}) {
    SCOPED_TRACE(code);
    Written w = write_clip(clip, code, Style::kUndelayed, 25, 1,
                           std::string("undelayed") + (code[1] == 'O' ? ".mov" : ".mp4"));
    Decoded d = decode(w.path);
    EXPECT_EQ(d.errors, "");
    EXPECT_EQ(picture_mismatch(d.hashes, clip.hashes), "");
    EXPECT_EQ(presentation_mismatch(presentation_times(w.path), w.times, 25000), "");
  }
}

// Stereo H.264 with AAC: the frame-packing message stands in front of every IDR
// slice and nowhere else, so ffmpeg decodes the file without a word (a
// sample holding only the message was "missing picture in access unit").
TEST_F(HostTiming, StereoH264DecodesWithoutComplaint) {
  const Clip clip = encode_h264("stereo", "25", 24);
  const interop::SourceTrack& aac = interop::source(Media::kAac);
  MX_REQUIRE(aac.missing.empty(), aac.missing);
  for (uint32_t stereo_mode : {1u, 2u}) {
    SCOPED_TRACE(stereo_mode);
    const std::string path = scratch("stereo.mp4");
    auto p = host::blank_params(fourcc("MP4 "));
    host::set_video(*p, fourcc("H264"), 160, 96, 25.0);
    host::set_audio(*p, aac.host_codec, aac.sample_rate, aac.channels, 16, "eng");
    p->video.stereo_mode = stereo_mode;
    {
      host::Session s(*p, path);
      ASSERT_TRUE(s.open());
      s.video_config(clip.pps, clip.sps);
      s.audio_config(aac.config1);
      size_t a = 0;
      for (size_t i = 0; i < clip.aus.size(); ++i) {
        Stamps t = stamps(clip, i, Style::kDelayed, 25, 1);
        // Audio first, as a host interleaves it: up to this picture's decode time.
        for (; a < aac.packets.size() && aac.packets[a].pts <= t.dts; ++a) {
          const interop::HostPacket& packet = aac.packets[a];
          MxAudioFrame f = host::audio_frame(
              packet.data.data(), static_cast<int32_t>(packet.data.size()), packet.pts, 2);
          const int32_t info[2] = {1, static_cast<int32_t>(packet.data.size())};
          EXPECT_EQ(s.audio(f, info), packet.data.size());
        }
        Bytes data = clip.aus[i];
        MxVideoFrame f = host::video_frame(data.data(), static_cast<uint32_t>(data.size()), t.pts,
                                           t.dts, clip.key[i] ? 1 : 0);
        EXPECT_GT(s.video(f), 0u) << i;
      }
    }
    Decoded d = decode(path);
    EXPECT_EQ(d.errors, "");
    EXPECT_EQ(picture_mismatch(d.hashes, clip.hashes), "");
    // ffprobe reads the arrangement from the message of the first picture.
    interop::CommandResult r = run_command(
        "ffprobe -v error -select_streams v:0 -read_intervals %+#1 -show_entries "
        "frame_tags=stereo_mode -of csv=p=0 " +
        shell_quote(path));
    EXPECT_EQ(r.out.substr(0, r.out.find_first_of(",\n")),
              stereo_mode == 1 ? "left_right" : "top_bottom")
        << r.err;
  }
}

// A timecode counter for 01:00:00:00 reads back as 01:00:00:00 at every rate:
// the sample entry counts in the nominal whole rate (30 at 29.97). mediainfo
// counts with the entry's number of frames (a truncated 29 reads 01:02:04:04);
// ffprobe derives the rate from the time scale and frame duration.
TEST(TimecodeReaders, OneHourReadsBackAtEveryRate) {
  MX_REQUIRE_TOOLS("ffprobe", "mediainfo");
  struct Case {
    int64_t num, den;
    uint32_t frames_per_hour;  // the counter: one hour in nominal frames
  };
  const Case cases[] = {
      {30000, 1001, 108000}, {60000, 1001, 216000}, {24000, 1001, 86400}, {25, 1, 90000}};
  const Bytes idr = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x33, 0xFF};
  for (const Case& c : cases) {
    for (const char* code : {"MOV ", "MP4 "}) {
      SCOPED_TRACE(::testing::Message() << c.num << "/" << c.den << " " << code);
      auto p = host::blank_params(MX_FOURCC(code[0], code[1], code[2], code[3]));
      host::set_video(*p, fourcc("H264"), 160, 96, static_cast<double>(c.num) / c.den);
      p->no_timecode = 0;
      const std::string path = scratch("timecode" + std::string(code[1] == 'O' ? ".mov" : ".mp4"));
      {
        host::Session s(*p, path);
        ASSERT_TRUE(s.open());
        const uint32_t n = c.frames_per_hour;
        Bytes counter = {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                         static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        MxVideoFrame tc = host::video_frame(nullptr, 0, 0, 0);
        tc.frame_type = MX_FRAME_TYPE_TIMECODE;
        tc.tc_data = counter.data();
        tc.tc_size = 4;
        tc.frame_duration = host_time(4, c.num, c.den);
        EXPECT_EQ(s.video(tc), 0u);
        for (int64_t k = 0; k < 4; ++k) {
          Bytes data = idr;
          int64_t t = host_time(k, c.num, c.den);
          MxVideoFrame f =
              host::video_frame(data.data(), static_cast<uint32_t>(data.size()), t, t, 1);
          EXPECT_GT(s.video(f), 0u);
        }
      }
      interop::CommandResult r =
          run_command("mediainfo '--Inform=Other;%TimeCode_FirstFrame%' " + shell_quote(path));
      EXPECT_EQ(r.out, "01:00:00:00\n") << r.err;
      r = run_command(
          "ffprobe -v quiet -select_streams d:0 -show_entries stream_tags=timecode "
          "-of csv=p=0 " +
          shell_quote(path));
      EXPECT_EQ(r.out, "01:00:00:00\n");
    }
  }
}

namespace {

// Writes an audio-only file of one source through the slots.
void write_audio(const interop::SourceTrack& a, const char* file_code, const std::string& path) {
  auto p = host::blank_params(MX_FOURCC(file_code[0], file_code[1], file_code[2], file_code[3]));
  host::set_audio(*p, a.host_codec, a.sample_rate, a.channels, a.bits ? a.bits : 16, "eng");
  host::Session s(*p, path);
  ASSERT_TRUE(s.open());
  if (!a.config1.empty()) s.audio_config(a.config1);
  for (const interop::HostPacket& packet : a.packets) {
    MxAudioFrame f = host::audio_frame(packet.data.data(), static_cast<int32_t>(packet.data.size()),
                                       packet.pts, a.channels);
    f.dts = packet.dts;
    const int32_t info[2] = {packet.frames, static_cast<int32_t>(packet.data.size())};
    EXPECT_EQ(s.audio(f, info), packet.data.size());
  }
}

// Samples per channel ffmpeg decodes from the first audio stream.
int64_t decoded_samples(const std::string& path, uint32_t channels) {
  interop::CommandResult r = run_command("ffmpeg -nostdin -v error -i " + shell_quote(path) +
                                         " -map 0:a:0 -c:a pcm_s16le -f s16le -");
  EXPECT_EQ(r.err, "");
  return static_cast<int64_t>(r.out.size() / (2 * channels));
}

}  // namespace

// ALAC and FLAC clips whose length is not a whole number of frames: the last
// frame holds fewer samples than a full one, and the file lasts exactly as long
// as the source, to the sample.
TEST(AudioDurationReaders, LosslessClipsLastAsLongAsTheirSource) {
  MX_REQUIRE_TOOLS("ffmpeg", "ffprobe");
  for (Media m : {Media::kAlac, Media::kFlac16, Media::kFlac24}) {
    const interop::SourceTrack& a = interop::source(m);
    MX_REQUIRE(a.missing.empty(), a.missing);
    const auto samples = static_cast<int64_t>(std::llround(a.seconds * a.sample_rate));
    for (const char* code : {"MP4 ", "MOV ", "M4A "}) {
      SCOPED_TRACE(::testing::Message() << interop::media_name(m) << " " << code);
      const std::string path = scratch(std::string("lossless-") + interop::media_name(m) +
                                       (code[1] == 'O' ? ".mov" : ".m4a"));
      write_audio(a, code, path);
      interop::Probe p = interop::probe(path, false);
      ASSERT_EQ(p.streams.size(), 1u);
      EXPECT_EQ(p.streams[0].get_int("duration_ts"), samples);
      EXPECT_EQ(p.streams[0].get("duration"),
                interop::probe(a.source_path, false).streams[0].get("duration"));
      EXPECT_EQ(decoded_samples(path, a.channels), samples);
    }
  }
}

// M4A and M4B files carry one media-kind item, from the media kind, so exiftool
// and ffprobe read the same kind; a second, leading item of 14 reads as
// "Ringtone".
TEST(MediaKindReaders, OneItemThatEveryReaderAgreesOn) {
  MX_REQUIRE_TOOLS("exiftool", "ffprobe");
  struct Case {
    int32_t media_kind;
    const char* exiftool;  // exiftool's name for the kind; empty: no item
    const char* ffprobe;   // ffprobe's media_type tag
  };
  const Case cases[] = {{2, "Audiobook", "2"}, {9, "Movie", "9"}, {1, "", ""}};
  const interop::SourceTrack& aac = interop::source(Media::kAac);
  MX_REQUIRE(aac.missing.empty(), aac.missing);
  for (const char* code : {"M4A ", "M4B ", "MP4 "}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << code << " media kind " << c.media_kind);
      const std::string path = scratch("media-kind.m4a");
      auto p = host::blank_params(MX_FOURCC(code[0], code[1], code[2], code[3]));
      host::set_audio(*p, aac.host_codec, aac.sample_rate, aac.channels, 16, "eng");
      p->metadata.media_kind = c.media_kind;
      {
        host::Session s(*p, path);
        ASSERT_TRUE(s.open());
        s.audio_config(aac.config1);
        for (const interop::HostPacket& packet : aac.packets) {
          MxAudioFrame f = host::audio_frame(
              packet.data.data(), static_cast<int32_t>(packet.data.size()), packet.pts, 2);
          const int32_t info[2] = {1, static_cast<int32_t>(packet.data.size())};
          EXPECT_EQ(s.audio(f, info), packet.data.size());
        }
      }
      iso::Tree tree = iso::read_file(path);
      EXPECT_EQ(tree.at("moov/udta/meta/ilst").count("stik"), c.exiftool[0] ? 1u : 0u);
      EXPECT_EQ(run_command("exiftool -s3 -MediaType " + shell_quote(path)).out,
                c.exiftool[0] ? std::string(c.exiftool) + "\n" : "");
      EXPECT_EQ(run_command("ffprobe -v error -show_entries format_tags=media_type -of csv=p=0 " +
                            shell_quote(path))
                    .out,
                std::string(c.ffprobe) + "\n");
    }
  }
}

// Handler names read the same in every flavour: ISO files end the name with a
// zero byte, QuickTime movies count it (a counted name in an ISO file read as
// "\fVideoHandler").
TEST(HandlerNameReaders, NamesReadWithoutTheirCount) {
  MX_REQUIRE_TOOLS("ffprobe", "exiftool");
  const interop::SourceTrack& aac = interop::source(Media::kAac);
  MX_REQUIRE(aac.missing.empty(), aac.missing);
  const Bytes idr = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x33, 0xFF};
  for (const char* code : {"MP4 ", "MOV ", "3GP ", "NF4V"}) {
    SCOPED_TRACE(code);
    const std::string path = scratch("handlers.mp4");
    auto p = host::blank_params(MX_FOURCC(code[0], code[1], code[2], code[3]));
    host::set_video(*p, fourcc("H264"), 160, 96, 25.0);
    host::set_audio(*p, aac.host_codec, aac.sample_rate, aac.channels, 16, "eng");
    {
      host::Session s(*p, path);
      ASSERT_TRUE(s.open());
      s.audio_config(aac.config1);
      for (int64_t k = 0; k < 4; ++k) {
        Bytes data = idr;
        MxVideoFrame f = host::video_frame(data.data(), static_cast<uint32_t>(data.size()),
                                           k * 400000, k * 400000, 1);
        EXPECT_GT(s.video(f), 0u);
        const interop::HostPacket& packet = aac.packets[static_cast<size_t>(k)];
        MxAudioFrame a = host::audio_frame(packet.data.data(),
                                           static_cast<int32_t>(packet.data.size()), packet.pts, 2);
        const int32_t info[2] = {1, static_cast<int32_t>(packet.data.size())};
        EXPECT_EQ(s.audio(a, info), packet.data.size());
      }
    }
    EXPECT_EQ(run_command("ffprobe -v quiet -show_entries stream_tags=handler_name -of csv=p=0 " +
                          shell_quote(path))
                  .out,
              "VideoHandler\nSoundHandler\n");
    EXPECT_EQ(run_command("exiftool -a -s3 -HandlerDescription " + shell_quote(path)).out,
              code[1] == 'O' ? "VideoHandler\nDataHandler\nSoundHandler\nDataHandler\n"
                             : "VideoHandler\nSoundHandler\n");
  }
}
