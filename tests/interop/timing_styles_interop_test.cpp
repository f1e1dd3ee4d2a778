// Host timing styles × frame rates, through the slots: the same encoded
// pictures (x264 and x265 with B-frame pyramids, two frames of reorder delay)
// handed over with the time stamps different hosts give them, in 100 ns units
// rounded as a host computes them. Whatever the style, every reader must show
// the source's frames at the source's times:
//   - ffmpeg decodes the file without printing anything at all;
//   - ffprobe's presentation times equal the source's, frame for frame;
//   - the decoded pictures are the source's, in number and in content (framemd5);
//   - mediainfo reports the source's frame count, duration and frame rate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "interop_media.h"
#include "slot_writer.h"
#include "support/test_files.h"
#include "support/tools.h"

namespace {

using interop::Media;
using interop::Rate;
using interop::SourceTrack;

using Style = interop::TimingStyle;

const char* style_name(Style s) {
  switch (s) {
    case Style::kDelayed:
      return "delayed";
    case Style::kUndelayed:
      return "undelayed";
    case Style::kNegative:
      return "negative";
    case Style::kNegativeTimed:
      return "negative_timed";
  }
  return "?";
}

struct Case {
  const char* file_code;
  Media media;
  Rate rate;
  Style style;
};

std::string rate_name(Rate r) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", r.fps());
  std::string s = buf;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  for (char& c : s) {
    if (c == '.') c = '_';
  }
  return s;
}

std::string case_name(const Case& c) {
  std::string container = c.file_code[0] == 'M' && c.file_code[1] == 'O' ? "MOV" : "MP4";
  std::string codec = c.media == Media::kH264Pyramid ? "h264" : "hevc";
  return container + "_" + codec + "_" + rate_name(c.rate) + "_" + style_name(c.style);
}

void PrintTo(const Case& c, std::ostream* os) {
  *os << case_name(c);
}

uint32_t code_of(const char* s) {
  return MX_FOURCC(s[0], s[1], s[2], s[3]);
}

struct Packet {
  int64_t pts = 0, duration = 0;
  bool discard = false;
};

struct VideoReading {
  int64_t timescale = 0;        // of the stream's time base 1/timescale
  std::vector<Packet> packets;  // in file order
  std::string errors;
};

// ffprobe's packets of the video stream, with the edit list applied as players do.
VideoReading read_video(const std::string& path) {
  interop::CommandResult r = interop::run_command(
      "ffprobe -v error -select_streams v:0 -show_entries stream=time_base "
      "-show_entries packet=pts,duration,flags -of csv=nk=0 " +
      interop::shell_quote(path));
  VideoReading v;
  v.errors = r.err;
  size_t start = 0;
  const std::string& t = r.out;
  while (start < t.size()) {
    size_t end = t.find('\n', start);
    if (end == std::string::npos) end = t.size();
    const std::string line = t.substr(start, end - start);
    start = end + 1;
    long long pts = 0, duration = 0, num = 0, den = 0;
    char flags[8] = {};
    if (std::sscanf(line.c_str(), "packet,pts=%lld,duration=%lld,flags=%7s", &pts, &duration,
                    flags) == 3) {
      v.packets.push_back({pts, duration, std::string(flags).find('D') != std::string::npos});
    } else if (std::sscanf(line.c_str(), "stream,time_base=%lld/%lld", &num, &den) == 2 &&
               num == 1) {
      v.timescale = den;
    }
  }
  return v;
}

class TimingStyles : public ::testing::TestWithParam<Case> {
 protected:
  // Writes the case as the writer flags say and checks what the readers show.
  void check(uint32_t writer_flags);
};

TEST_P(TimingStyles, ReadersShowTheSourceFramesAtTheSourceTimes) {
  check(0);
}

// The same files written resilient: once finished, every reader shows the same.
TEST_P(TimingStyles, ResilientFilesShowTheSourceFramesAtTheSourceTimes) {
  check(MX_WRITE_RESILIENT);
}

void TimingStyles::check(uint32_t writer_flags) {
  const Case& c = GetParam();
  MX_REQUIRE_TOOLS("ffmpeg", "ffprobe", "mediainfo");
  const SourceTrack& source = interop::source(c.media, c.rate);
  MX_REQUIRE(source.missing.empty(), source.missing);
  const SourceTrack video = interop::with_host_times(source, c.style);
  const int64_t frames = static_cast<int64_t>(video.packets.size());

  const std::string path = test_temp_path(case_name(c) + (writer_flags ? "-resilient" : "") +
                                          (c.file_code[1] == 'O' ? ".mov" : ".mp4"));
  interop::SlotFile file;
  file.file_code = code_of(c.file_code);
  file.video = &video;
  file.writer_flags = writer_flags;
  if (c.style == Style::kNegativeTimed) {
    file.adjust = [](EncParam& p) {
      p.video.ext_flags |= 1;
      p.video.timestamp_durations = 1;
    };
  }
  interop::write_through_slots(file, path);
  if (HasFatalFailure()) return;
  SCOPED_TRACE(path);

  // ffmpeg: not a word, warnings included.
  interop::CommandResult decode = interop::run_command("ffmpeg -nostdin -v error -i " +
                                                       interop::shell_quote(path) + " -f null -");
  EXPECT_EQ(decode.status, 0);
  EXPECT_EQ(decode.out + decode.err, "");

  // ffprobe: the frames it presents, at the source's times. The file keeps
  // times in the track's time scale; the host's 100 ns times are converted into
  // it by truncation, and a presentation time is a decode time plus an offset,
  // each converted on its own, less the edit's start: together up to two ticks
  // early or one late. Two ticks (83 µs at 24000) is far below a frame, so any
  // shifted, dropped or reordered frame still shows.
  VideoReading reading = read_video(path);
  EXPECT_EQ(reading.errors, "");
  ASSERT_GT(reading.timescale, 0);
  EXPECT_EQ(static_cast<int64_t>(reading.packets.size()), frames) << "packets stored";
  const double tick = 1.0 / static_cast<double>(reading.timescale);
  int discarded = 0, off_time = 0;
  for (size_t k = 0; k < reading.packets.size() && k < video.packets.size(); ++k) {
    const Packet& p = reading.packets[k];  // in decoding order: the file's order here
    discarded += p.discard;
    const double ours = static_cast<double>(p.pts) * tick;
    const double theirs = static_cast<double>(video.packets[k].order) * c.rate.den / c.rate.num;
    if (std::fabs(ours - theirs) > 2 * tick + 1e-9 && off_time++ < 4) {
      ADD_FAILURE() << "packet " << k << " presented at " << p.pts << "/" << reading.timescale
                    << " s, the source's frame at " << theirs << " s";
    }
  }
  EXPECT_EQ(discarded, 0) << "packets outside the edit";
  EXPECT_EQ(off_time, 0) << "packets presented off the source's times";
  // Every frame lasts one frame, the last one too.
  if (!reading.packets.empty()) {
    const double last = static_cast<double>(reading.packets.back().duration) * tick;
    EXPECT_NEAR(last, static_cast<double>(c.rate.den) / c.rate.num, 2 * tick)
        << "the last frame's duration";
  }

  // The decoded pictures: as many as the source's, the same, in the same order.
  interop::CommandResult hashes =
      interop::run_command("ffmpeg -nostdin -v error -i " + interop::shell_quote(path) +
                           " -map 0:v:0 -fps_mode passthrough -f framemd5 -");
  EXPECT_EQ(hashes.err, "");
  std::vector<std::string> ours = interop::parse_framemd5(hashes.out);
  EXPECT_EQ(static_cast<int64_t>(ours.size()), frames) << "frames decoded";
  EXPECT_TRUE(ours == interop::reference_hashes(source)) << "decoded pictures differ";

  // mediainfo: frame count, duration (ms) and frame rate of the video track.
  auto info = interop::mediainfo(path, "Video", {"FrameCount", "Duration", "FrameRate"});
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0][0], std::to_string(frames)) << "mediainfo frame count";
  const double seconds = static_cast<double>(frames) * c.rate.den / c.rate.num;
  EXPECT_NEAR(std::atof(info[0][1].c_str()), seconds * 1000, 1.0) << "mediainfo duration (ms)";
  EXPECT_NEAR(std::atof(info[0][2].c_str()), c.rate.fps(), 0.001) << "mediainfo frame rate";

  if (!HasFailure() && std::getenv("MX_INTEROP_KEEP") == nullptr) std::remove(path.c_str());
}

constexpr Rate kRates[] = {{24000, 1001}, {25, 1}, {30000, 1001}, {30, 1}, {50, 1}, {60000, 1001}};
constexpr Style kStyles[] = {Style::kDelayed, Style::kUndelayed, Style::kNegative};

std::vector<Case> all_cases() {
  std::vector<Case> cases;
  for (const char* container : {"MP4 ", "MOV "}) {
    for (Media media : {Media::kH264Pyramid, Media::kHevcPyramid}) {
      for (Rate rate : kRates) {
        for (Style style : kStyles) cases.push_back({container, media, rate, style});
      }
    }
    // Durations from the time stamps need the decode times counted from the first.
    for (Rate rate : {Rate{24000, 1001}, Rate{30000, 1001}}) {
      cases.push_back({container, Media::kH264Pyramid, rate, Style::kNegativeTimed});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Hosts, TimingStyles, ::testing::ValuesIn(all_cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return case_name(info.param);
                         });

}  // namespace
