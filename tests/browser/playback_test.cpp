// Files of the interoperability group, written through the slots, played in a
// real browser (headless chromium driven by tests/browser/play.mjs): each must
// play to its end without an error, its length as the browser reads it must be
// the source's, and every video frame must be decoded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "interop_media.h"
#include "slot_writer.h"
#include "support/browser_play.h"
#include "support/test_files.h"
#include "support/tools.h"

namespace {

using interop::Media;
using interop::Rate;
using interop::SourceTrack;

// Four times normal speed: the clips last a second or two.
constexpr double kPlaybackRate = 4.0;

struct Written {
  std::string path;
  double seconds = 0;  // the longest stream's length
  // How far the browser's duration may be from it: AAC's length depends on the
  // encoder's priming, which the host does not pass on; the rest is exact and
  // the browser rounds to the millisecond.
  double tolerance = 0.002;
  int video_frames = 0;
};

struct BrowserFile {
  const char* file_code;
  const char* extension;
  const SourceTrack* video;
  const SourceTrack* audio;
};

Written write_file(const BrowserFile& f, const std::string& name, uint32_t writer_flags = 0) {
  interop::SlotFile file;
  file.file_code = MX_FOURCC(f.file_code[0], f.file_code[1], f.file_code[2], f.file_code[3]);
  file.video = f.video;
  file.audio = f.audio;
  file.writer_flags = writer_flags;
  Written w;
  w.path = test_temp_path(name + f.extension);
  interop::write_through_slots(file, w.path);
  if (f.video) {
    w.video_frames = static_cast<int>(f.video->packets.size());
    w.seconds = w.video_frames / f.video->frame_rate;
  }
  if (f.audio) w.seconds = std::max(w.seconds, f.audio->seconds);
  if (f.audio && f.audio->media == Media::kAac) {
    w.tolerance = (1024.0 + 1600.0) / f.audio->sample_rate;  // a frame and a priming
  }
  return w;
}

// Plays the files and checks each one's playback.
void expect_plays_to_the_end(const std::vector<Written>& files) {
  std::vector<std::string> paths;
  for (const Written& w : files) paths.push_back(w.path);
  std::string failure;
  std::vector<Playback> played = play_in_browser(paths, kPlaybackRate, &failure);
  EXPECT_EQ(failure, "");
  ASSERT_EQ(played.size(), files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    const Written& w = files[i];
    const Playback& p = played[i];
    SCOPED_TRACE(w.path + " events " + p.events);
    EXPECT_EQ(p.error, "");
    EXPECT_TRUE(p.ended) << "stopped at " << p.current_time << " s of " << p.duration;
    EXPECT_NEAR(p.current_time, p.duration, 0.001) << "the end is the duration";
    // The browser's duration is the longest track's, with its last frame's length.
    EXPECT_NEAR(p.duration, w.seconds, w.tolerance) << "the source's length";
    if (w.video_frames > 0) {
      EXPECT_EQ(p.decoded_frames, w.video_frames) << "video frames decoded";
      EXPECT_GT(p.video_width, 0);
    }
  }
}

class BrowserPlayback : public ::testing::Test {
 protected:
  void SetUp() override {
    MX_REQUIRE_TOOLS("ffmpeg", "ffprobe");
    const std::string missing = browser_missing();
    MX_REQUIRE(missing.empty(), missing);
  }
};

// H.264 and AV1 with AAC, FLAC and PCM, in MP4 and QuickTime; AAC and FLAC alone;
// each file written plainly and written resilient.
TEST_F(BrowserPlayback, CodecsPlayToTheEnd) {
  struct Pair {
    const char* file_code;
    const char* extension;
    Media video, audio;
    bool has_video;
  };
  const Pair pairs[] = {
      {"MP4 ", ".mp4", Media::kH264, Media::kAac, true},
      {"MP4 ", ".mp4", Media::kH264, Media::kFlac16, true},
      {"MP4 ", ".mp4", Media::kH264, Media::kPcm16, true},
      {"MP4 ", ".mp4", Media::kH264Large, Media::kAac, true},
      {"MP4 ", ".mp4", Media::kAv1, Media::kAac, true},
      {"MP4 ", ".mp4", Media::kAv1, Media::kFlac24, true},
      {"MOV ", ".mov", Media::kH264, Media::kAac, true},
      {"MOV ", ".mov", Media::kH264, Media::kPcm16, true},
      {"M4A ", ".m4a", Media::kH264, Media::kAac, false},
      {"M4A ", ".m4a", Media::kH264, Media::kFlac16, false},
  };
  std::vector<Written> files;
  for (const Pair& p : pairs) {
    const SourceTrack* video = p.has_video ? &interop::source(p.video) : nullptr;
    const SourceTrack& audio = interop::source(p.audio);
    if (video) MX_REQUIRE(video->missing.empty(), video->missing);
    MX_REQUIRE(audio.missing.empty(), audio.missing);
    std::string name = std::string("browser-") + (video ? interop::media_name(p.video) : "") + "-" +
                       interop::media_name(p.audio);
    // Written plainly, and written as fragments and finished.
    files.push_back(write_file({p.file_code, p.extension, video, &audio}, name));
    files.push_back(write_file({p.file_code, p.extension, video, &audio}, name + "-resilient",
                               MX_WRITE_RESILIENT));
    if (HasFatalFailure()) return;
  }
  expect_plays_to_the_end(files);
  if (!HasFailure()) {
    for (const Written& w : files) std::remove(w.path.c_str());
  }
}

// The host timing styles of the interop group at the 1000/1001 rates, H.264 in MP4.
TEST_F(BrowserPlayback, HostTimingStylesPlayToTheEnd) {
  std::vector<Written> files;
  for (Rate rate : {Rate{24000, 1001}, Rate{30000, 1001}}) {
    const SourceTrack& source = interop::source(Media::kH264Pyramid, rate);
    MX_REQUIRE(source.missing.empty(), source.missing);
    for (auto style : {interop::TimingStyle::kDelayed, interop::TimingStyle::kUndelayed,
                       interop::TimingStyle::kNegative}) {
      const SourceTrack video = interop::with_host_times(source, style);
      files.push_back(write_file({"MP4 ", ".mp4", &video, nullptr},
                                 "browser-timing-" + std::to_string(rate.num) + "-" +
                                     std::to_string(static_cast<int>(style))));
      if (HasFatalFailure()) return;
    }
  }
  expect_plays_to_the_end(files);
  if (!HasFailure()) {
    for (const Written& w : files) std::remove(w.path.c_str());
  }
}

}  // namespace
