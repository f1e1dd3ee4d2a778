// mxmux --resilient killed while it writes: the file left under the
// target's name plays in Chromium and in Firefox to its end with every
// picture of its complete fragments, and VLC (its own MP4 demuxer, forced)
// remuxes every one of them without a complaint. mxmux reads H.264 and AAC
// from named pipes fed a piece at a time, so that the kill, at a random
// moment (seed printed), finds it writing: the left file may end in an open
// fragment.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "interop/vlc_remux.h"
#include "mxmux/mxmux_test_util.h"
#include "support/box_reader.h"
#include "support/browser_play.h"
#include "support/fragment_samples.h"
#include "support/test_files.h"
#include "support/tools.h"

using namespace mxmux_test;

namespace {

constexpr int kKills = 6;
constexpr size_t kPiece = 4 << 10;  // bytes fed at a time, with a pause between
constexpr int kFeedMs = 3000;       // how long feeding the whole stream takes

// What VLC may say of a left file: unknown boxes and handlers, and the
// notices it gives of ffmpeg's own fragmented files too.
const std::regex kVlcNotice(
    R"(mp4 (demux|stream) warning: (unknown (box|handler) type .*|no chunk defined|)"
    R"(STTS table of \d+ entries|CTTS table of \d+ entries|elst box found))");

std::string vlc_complaints(const interop::VlcRemux& r) {
  std::string out;
  for (const std::string& line : r.complaints) {
    if (!std::regex_match(line, kVlcNotice)) out += line + "\n";
  }
  return out;
}

// Ten seconds of pictures with a key picture every second, so that a
// fragment closes every second, and ten seconds of sound.
std::string make_stream(const std::string& name, const std::string& recipe) {
  const std::string path = test_temp_path(name);
  auto made = run_command("ffmpeg -v error -y " + recipe + " " + shell_quote(path));
  EXPECT_EQ(made.status, 0) << made.err;
  return path;
}

struct LeftFile {
  std::string path;
  size_t pictures = 0;  // in the fragments the file shows
};

// Runs mxmux --resilient on pipes fed piece by piece and kills it after
// `delay`; the file it left.
LeftFile killed_run(const std::string& name, const std::vector<uint8_t>& video,
                    const std::vector<uint8_t>& audio, int pause_us,
                    std::chrono::milliseconds delay) {
  LeftFile left{test_temp_path(name + ".mp4")};
  const std::string video_pipe = test_temp_path(name + "-in.h264");
  const std::string audio_pipe = test_temp_path(name + "-in.aac");
  std::remove(left.path.c_str());
  for (const std::string& p : {video_pipe, audio_pipe}) {
    std::remove(p.c_str());
    EXPECT_EQ(::mkfifo(p.c_str(), 0600), 0);
  }
  {
    const pid_t pid = start_mxmux(
        {"-o", left.path, "--resilient", "--quiet", "--video", video_pipe, "--audio", audio_pipe});
    EXPECT_GT(pid, 0);
    PipeFeeder v(video_pipe, video, video.size(), kPiece, pause_us);
    // The sound is small beside the pictures: it goes at once.
    PipeFeeder a(audio_pipe, audio, audio.size());
    std::this_thread::sleep_for(delay);
    EXPECT_EQ(::kill(pid, SIGKILL), 0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "mxmux ended before the kill";
  }
  for (const std::string& p : {video_pipe, audio_pipe}) std::remove(p.c_str());
  const iso::Tree tree = iso::read_file(left.path);
  if (tree.find("moov") != nullptr) {
    const FragmentedFile fragments = read_fragments(tree);
    auto video_track = fragments.tracks.find(1);
    if (video_track != fragments.tracks.end()) left.pictures = video_track->second.samples.size();
  }
  return left;
}

const char* name_of(Browser b) {
  return b == Browser::kChromium ? "chromium" : "firefox";
}

}  // namespace

TEST(ResilientKillBrowser, LeftFilesPlayInChromiumFirefoxAndVlc) {
  MX_REQUIRE_TOOLS("ffmpeg", "ffprobe", "node");
  for (Browser browser : {Browser::kChromium, Browser::kFirefox}) {
    const std::string missing = browser_missing(browser);
    MX_REQUIRE(missing.empty(), missing);
  }
  const std::string vlc_missing = interop::vlc_missing();
  MX_REQUIRE(vlc_missing.empty(), vlc_missing);
  ASSERT_TRUE(plugin_ready());
  std::signal(SIGPIPE, SIG_IGN);
  const std::string pictures = make_stream(
      "killed-source.h264",
      "-f lavfi -i testsrc2=size=320x240:rate=25 -t 10 -pix_fmt yuv420p -c:v libx264 -bf 2 "
      "-g 25 -f h264");
  const std::string sound =
      make_stream("killed-source.aac",
                  "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 10 -c:a aac -f adts");
  const std::vector<uint8_t> video = read_whole_file(pictures);
  const std::vector<uint8_t> audio = read_whole_file(sound);
  ASSERT_FALSE(video.empty());
  ASSERT_FALSE(audio.empty());

  // The stream is fed over kFeedMs; the kills fall between two seconds'
  // worth of pictures and nine tenths of the feed.
  const int pause_us = static_cast<int>(int64_t{kFeedMs} * 1000 * kPiece / video.size());
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("kill moments from seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> moment(kFeedMs / 5, kFeedMs * 9 / 10);
  std::vector<LeftFile> left;
  for (int k = 0; k < kKills; ++k) {
    LeftFile f = killed_run("killed-" + std::to_string(k), video, audio, pause_us,
                            std::chrono::milliseconds(moment(random)));
    SCOPED_TRACE(f.path);
    ASSERT_GT(f.pictures, 0u) << "killed before a fragment was shown";
    left.push_back(f);
  }

  // ffmpeg's own file of the same codecs, for what VLC does with a file
  // ending in an open media-data box.
  const std::string control =
      "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
      "-t 2 -c:v libx264 -pix_fmt yuv420p -bf 2 -g 25 -c:a aac";
  for (const LeftFile& f : left) {
    SCOPED_TRACE(f.path);
    const interop::LeftFileRemux left_remux = interop::vlc_remux_left_file(f.path, control, ".mp4");
    if (left_remux.stopped) {
      EXPECT_EQ(interop::vlc_stop_unexplained(left_remux), "");
      continue;
    }
    const interop::VlcRemux& r = left_remux.remux;
    ASSERT_EQ(r.failure, "");
    EXPECT_EQ(vlc_complaints(r), "") << "VLC";
    EXPECT_EQ(r.video_frames, static_cast<int>(f.pictures)) << "VLC's remux: pictures";
    EXPECT_GT(r.audio_packets, 0) << "VLC's remux: sound";
  }
  std::vector<std::string> paths;
  std::vector<std::optional<int>> picture_counts;
  for (const LeftFile& f : left) {
    paths.push_back(f.path);
    picture_counts.push_back(static_cast<int>(f.pictures));
  }
  for (Browser browser : {Browser::kChromium, Browser::kFirefox}) {
    SCOPED_TRACE(name_of(browser));
    std::string failure;
    std::vector<Playback> played =
        play_counting_pictures(paths, picture_counts, 8.0, &failure, browser);
    EXPECT_EQ(failure, "");
    ASSERT_EQ(played.size(), left.size());
    for (size_t i = 0; i < left.size(); ++i) {
      SCOPED_TRACE(left[i].path + " events " + played[i].events);
      EXPECT_EQ(played[i].error, "");
      EXPECT_TRUE(played[i].ended);
      EXPECT_EQ(played[i].decoded_frames, static_cast<int>(left[i].pictures));
    }
  }
  if (!HasFailure()) {
    for (const std::string& p : paths) std::remove(p.c_str());
    std::remove(pictures.c_str());
    std::remove(sound.c_str());
  }
}
