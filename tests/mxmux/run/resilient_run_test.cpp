// mxmux --resilient as a user runs it: the output written in place as
// fragments and closed into a plain file that decodes as a normal run's; and
// the kill test: mxmux fed through pipes and killed with SIGKILL at several
// points of its inputs, each file it leaves read without a word by ffprobe,
// ffmpeg and mediainfo with every frame of its complete fragments, then
// turned by mxmux --recover into a plain file the same readers read with the
// same frames.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "mxmux_test_util.h"
#include "support/box_reader.h"
#include "support/fragment_samples.h"
#include "support/test_files.h"
#include "support/tools.h"
#include "support/track_samples.h"

using namespace mxmux_test;

namespace {

using Bytes = std::vector<uint8_t>;

CommandResult run_mxmux(const std::string& args) {
  return run_command(shell_quote(mxmux_binary()) + " " + args);
}

// A stream made once per test program.
std::string stream(const std::string& name, const std::string& ffmpeg_args) {
  static std::map<std::string, std::string> made;
  if (made.count(name)) return made[name];
  const std::string path = test_temp_path("resilient-" + name);
  auto r = run_command("ffmpeg -hide_banner -loglevel error -y " + ffmpeg_args + " " +
                       shell_quote(path));
  EXPECT_EQ(r.status, 0) << r.err;
  return made[name] = path;
}

const std::string kPicture = "-f lavfi -i testsrc=size=320x240:rate=25 -t 8 ";
const std::string kSound = "-f lavfi -i sine=f=440:r=48000 -t 8 ";

struct Combo {
  const char* name;
  const char* extension;
  const char* video;  // stream name, or null
  const char* audio;
  bool audio_packets_compare;  // the source's packets are the file's (not PCM)
};

std::string stream_of(const std::string& name) {
  if (name == "v.h264") return stream(name, kPicture + "-c:v libx264 -bf 2 -g 25 -f h264");
  if (name == "v.hevc")
    return stream(
        name, kPicture + "-c:v libx265 -x265-params log-level=error:keyint=25:bframes=2 -f hevc");
  if (name == "v.ivf")
    return stream(name, kPicture + "-c:v libaom-av1 -cpu-used 8 -crf 50 -g 25 -f ivf");
  if (name == "a.aac") return stream(name, kSound + "-c:a aac -f adts");
  if (name == "a.wav") return stream(name, kSound + "-c:a pcm_s16le");
  if (name == "a.flac") return stream(name, kSound + "-c:a flac");
  ADD_FAILURE() << "no stream " << name;
  return "";
}

// The four combinations of the kill test. mxmux reads no ALAC stream, so
// its audio-only file is AAC in M4A (ALAC in M4A is recovered in the
// recovery tests, written through the slots).
const Combo kCombos[] = {
    {"Mp4H264Aac", ".mp4", "v.h264", "a.aac", true},
    {"MovHevcPcm", ".mov", "v.hevc", "a.wav", false},
    {"Mp4Av1Flac", ".mp4", "v.ivf", "a.flac", true},
    {"M4aAac", ".m4a", nullptr, "a.aac", true},
};

// The hash column of ffmpeg's framemd5 output for one stream: decoded
// pictures, or with `copy` the packets as they are.
std::vector<std::string> hashes(const std::string& input, const std::string& map, bool copy) {
  auto r = run_command("ffmpeg -v error -i " + shell_quote(input) + " -map " + map +
                       (copy ? " -c copy" : "") + " -fps_mode passthrough -f framemd5 -");
  EXPECT_EQ(r.status, 0) << r.err;
  return framemd5_hashes(r.out);
}

// ffprobe, ffmpeg's decoding and mediainfo read the file without a word.
void expect_readers_read(const std::string& path, const Combo& c) {
  auto probe = run_command("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 " +
                           shell_quote(path));
  EXPECT_EQ(probe.status, 0) << probe.err;
  EXPECT_EQ(probe.err, "") << path;
  EXPECT_EQ(probe.out, std::string(c.video ? "video\n" : "") + "audio\n") << path;
  auto decode = run_command("ffmpeg -v error -i " + shell_quote(path) + " -f null -");
  EXPECT_EQ(decode.status, 0);
  EXPECT_EQ(decode.err, "") << "ffmpeg reported errors decoding " << path;
  auto info = run_command("mediainfo " + shell_quote(path));
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(info.err, "");
  if (c.video) {
    EXPECT_NE(info.out.find("\nVideo"), std::string::npos) << info.out;
  }
  EXPECT_NE(info.out.find("\nAudio"), std::string::npos) << info.out;
}

// The first `n` of the source's hashes are the file's.
void expect_prefix(const std::vector<std::string>& source, const std::vector<std::string>& file,
                   size_t n, const std::string& what) {
  ASSERT_EQ(file.size(), n) << what;
  ASSERT_LE(n, source.size()) << what;
  EXPECT_EQ(file, std::vector<std::string>(source.begin(), source.begin() + n)) << what;
}

std::string inputs_of(const Combo& c, const std::string& video, const std::string& audio) {
  return (c.video ? " --video " + shell_quote(video) : std::string()) + " --audio " +
         shell_quote(audio);
}

// The audio packets of a normal run over the whole inputs (whose packets
// the end-to-end tests compare with the source's frames), once per combo.
const std::vector<std::string>& normal_audio_packets(const Combo& c) {
  static std::map<std::string, std::vector<std::string>> made;
  if (made.count(c.name)) return made[c.name];
  const std::string out = test_temp_path(std::string("packets-") + c.name + c.extension);
  auto r = run_mxmux("-o " + shell_quote(out) +
                     inputs_of(c, c.video ? stream_of(c.video) : "", stream_of(c.audio)));
  EXPECT_EQ(r.status, 0) << r.err;
  made[c.name] = hashes(out, "0:a:0", true);
  std::remove(out.c_str());
  return made[c.name];
}

// Every frame the file states (video and audio sample counts) is one of the
// source's first frames: decoded pictures as the stream's, audio packets as
// a normal run's.
void expect_source_frames(const std::string& path, const Combo& c, size_t video, size_t audio) {
  if (c.video) {
    expect_prefix(hashes(stream_of(c.video), "0:v:0", false), hashes(path, "0:v:0", false), video,
                  path + " video");
  }
  if (c.audio_packets_compare) {
    expect_prefix(normal_audio_packets(c), hashes(path, "0:a:0", true), audio, path + " audio");
  } else {
    EXPECT_EQ(hashes(path, "0:a:0", true).size() > 0, audio > 0) << path;
  }
}

class Resilient : public ::testing::TestWithParam<Combo> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(plugin_ready()) << "the built plug-in cannot create an MP4 session";
    MX_REQUIRE_TOOLS("ffmpeg", "ffprobe", "mediainfo");
  }
};

// A complete run: the same summary and decoded frames as a normal run, a
// plain file (ftyp, free and media data boxes, the movie box last).
TEST_P(Resilient, ARunEndsWithThePlainFileOfANormalRun) {
  const Combo& c = GetParam();
  const std::string video = c.video ? stream_of(c.video) : "", audio = stream_of(c.audio);
  const std::string normal = test_temp_path(std::string("normal-") + c.name + c.extension);
  const std::string out = test_temp_path(std::string("resilient-") + c.name + c.extension);
  auto a = run_mxmux("-o " + shell_quote(normal) + inputs_of(c, video, audio));
  ASSERT_EQ(a.status, 0) << a.err;
  std::remove(out.c_str());
  auto b = run_mxmux("-o " + shell_quote(out) + inputs_of(c, video, audio) + " --resilient");
  ASSERT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(b.err, "");
  // The summary but for the name and the size.
  auto without_name_and_size = [](const std::string& line, const std::string& name) {
    std::string s = line.substr(name.size());
    return s.substr(0, s.rfind("; "));
  };
  EXPECT_EQ(without_name_and_size(b.out, out), without_name_and_size(a.out, normal));
  const iso::Tree tree = iso::read_file(out);
  const std::vector<std::string> types = tree.types();
  EXPECT_EQ(types.front(), "ftyp");
  EXPECT_EQ(types.back(), "moov");
  for (size_t i = 1; i + 1 < types.size(); ++i)
    EXPECT_TRUE(types[i] == "free" || types[i] == "mdat") << tree.dump();
  expect_readers_read(out, c);
  if (c.video) {
    EXPECT_EQ(hashes(out, "0:v:0", false), hashes(normal, "0:v:0", false));
  }
  EXPECT_EQ(hashes(out, "0:a:0", true), hashes(normal, "0:a:0", true));

  // Run again over it: the file is replaced when the run starts, and mxmux says so.
  auto again = run_mxmux("-o " + shell_quote(out) + inputs_of(c, video, audio) + " --resilient");
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.err,
            "mxmux: " + out + ": replacing the existing file (--resilient writes in place)\n");
  if (!HasFailure()) {
    std::remove(normal.c_str());
    std::remove(out.c_str());
  }
}

// Waits until the file has stopped growing: mxmux has used up what the
// pipes hold and waits for more.
void wait_until_still(const std::string& path) {
  uint64_t last = 0;
  for (int still = 0; still < 5;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    struct stat st {};
    uint64_t size = ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    still = size == last ? still + 1 : 0;
    last = size;
  }
}

// The sample counts of the file's fragments: video (or 0), audio; none
// before the head is shown.
std::pair<size_t, size_t> fragment_counts(const std::string& path, const Combo& c) {
  const iso::Tree tree = iso::read_file(path);
  if (tree.find("moov") == nullptr) return {0, 0};  // nothing shown yet: no head
  const FragmentedFile f = read_fragments(tree);
  size_t video = 0, audio = 0;
  for (const auto& [id, track] : f.tracks) {
    if (c.video && id == 1) {
      video = track.samples.size();
    } else {
      audio += track.samples.size();
    }
  }
  return {video, audio};
}

constexpr int kKills = 10;

// mxmux --resilient killed with SIGKILL at ten points spread over its inputs.
TEST_P(Resilient, AKilledRunLeavesAFileThatPlaysAndRecovers) {
  const Combo& c = GetParam();
  std::signal(SIGPIPE, SIG_IGN);
  const std::string video = c.video ? stream_of(c.video) : "", audio = stream_of(c.audio);
  const Bytes video_bytes = c.video ? read_whole_file(video) : Bytes();
  const Bytes audio_bytes = read_whole_file(audio);
  std::mt19937 rng(1900 + static_cast<unsigned>(std::string(c.name).size()));
  std::uniform_real_distribution<double> part(0.3, 0.95);
  int without_fragments = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    const double fed = part(rng);
    SCOPED_TRACE("killed with " + std::to_string(fed) + " of the inputs fed");
    const std::string base = test_temp_path(std::string("kill-") + c.name + std::to_string(kill));
    const std::string video_pipe = base + "-in" + (c.video ? c.video + 1 : ".none");
    const std::string audio_pipe = base + "-in" + (c.audio + 1);
    const std::string out = base + c.extension;
    std::remove(out.c_str());
    for (const std::string& p : {video_pipe, audio_pipe}) {
      std::remove(p.c_str());
      ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
    }
    std::vector<std::string> args = {"-o", out, "--resilient", "--quiet"};
    if (c.video) args.insert(args.end(), {"--video", video_pipe});
    args.insert(args.end(), {"--audio", audio_pipe});
    {
      pid_t pid = start_mxmux(args);
      ASSERT_GT(pid, 0);
      std::unique_ptr<PipeFeeder> v;
      if (c.video)
        v = std::make_unique<PipeFeeder>(video_pipe, video_bytes,
                                         static_cast<size_t>(fed * video_bytes.size()));
      PipeFeeder a(audio_pipe, audio_bytes, static_cast<size_t>(fed * audio_bytes.size()));
      wait_until_still(out);
      ASSERT_EQ(::kill(pid, SIGKILL), 0);
      int status = 0;
      ::waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFSIGNALED(status)) << "mxmux ended before the kill";
    }
    // What the kill left: the head and complete fragments, read as they are.
    const auto [video_frames, audio_frames] = fragment_counts(out, c);
    if (audio_frames == 0) {
      // Killed before the first fragment was complete (too little fed for
      // a second of media): nothing to play, and recovery refuses, touching
      // nothing.
      const Bytes left = read_whole_file(out);
      auto r = run_mxmux("--recover " + shell_quote(out));
      EXPECT_EQ(r.status, 1) << r.err;
      EXPECT_NE(r.err.find("the file is unchanged"), std::string::npos) << r.err;
      EXPECT_EQ(read_whole_file(out), left);
      ++without_fragments;
      for (const std::string& p : {video_pipe, audio_pipe, out}) std::remove(p.c_str());
      continue;
    }
    expect_readers_read(out, c);
    expect_source_frames(out, c, video_frames, audio_frames);
    // Recovered: a plain file with the same frames.
    auto r = run_mxmux("--recover " + shell_quote(out));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(iso::read_file(out).find("moof"), nullptr);
    expect_readers_read(out, c);
    expect_source_frames(out, c, video_frames, audio_frames);
    if (!HasFailure()) {
      for (const std::string& p : {video_pipe, audio_pipe, out}) std::remove(p.c_str());
    }
  }
  EXPECT_LT(without_fragments, kKills / 2) << "most kills come after the first fragment";
}

INSTANTIATE_TEST_SUITE_P(Combos, Resilient, ::testing::ValuesIn(kCombos),
                         [](const ::testing::TestParamInfo<Combo>& info) {
                           return std::string(info.param.name);
                         });

// What --resilient refuses, before anything is written.
TEST(ResilientRefusals, FaststartAndDevicesAreRefused) {
  ASSERT_TRUE(plugin_ready());
  const std::string audio = stream_of("a.aac");
  const std::string out = test_temp_path("refused.m4a");
  std::remove(out.c_str());
  auto r = run_mxmux("-o " + shell_quote(out) + " --audio " + shell_quote(audio) +
                     " --resilient --faststart");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--faststart and --resilient cannot be combined"), std::string::npos)
      << r.err;
  EXPECT_FALSE(file_exists(out));
  r = run_mxmux("-o /dev/null --format \"M4A \" --audio " + shell_quote(audio) + " --resilient");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("/dev/null: --resilient writes a file in place"), std::string::npos)
      << r.err;
}

// A run that fails on damaged input: the resilient file is closed where
// the damage begins and kept, a plain file with the frames handed over.
TEST(ResilientFailure, AFailedRunKeepsWhatWasWritten) {
  ASSERT_TRUE(plugin_ready());
  MX_REQUIRE_TOOLS("ffmpeg");
  const std::string source = stream_of("a.aac");
  const std::string damaged = test_temp_path("resilient-damaged.aac");
  Bytes bytes = read_whole_file(source);
  const size_t good = bytes.size();
  bytes.insert(bytes.end(), 4000, 0x11);  // no ADTS sync word anywhere
  write_whole_file(damaged, bytes);
  const std::string out = test_temp_path("resilient-damaged.m4a");
  std::remove(out.c_str());
  auto r =
      run_mxmux("-o " + shell_quote(out) + " --audio " + shell_quote(damaged) + " --resilient");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("at byte " + std::to_string(good)), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(out + " keeps what was written until then"), std::string::npos) << r.err;
  const iso::Tree tree = iso::read_file(out);
  EXPECT_EQ(tree.types().back(), "moov") << tree.dump();
  EXPECT_EQ(tree.find("moof"), nullptr);
  auto decode = run_command("ffmpeg -v error -i " + shell_quote(out) + " -f null -");
  EXPECT_EQ(decode.err, "");
  // The packets handed over before the damage (the last group read with
  // it is not) are the source's first.
  const Combo m4a{"M4aAac", ".m4a", nullptr, "a.aac", true};
  const std::vector<std::string> kept = hashes(out, "0:a:0", true);
  EXPECT_GT(kept.size(), normal_audio_packets(m4a).size() * 9 / 10);
  expect_prefix(normal_audio_packets(m4a), kept, kept.size(), out);
  if (!HasFailure()) {
    std::remove(out.c_str());
    std::remove(damaged.c_str());
  }
}

// A Live Photo movie written resiliently: its still lies beside it.
TEST(ResilientLivePhoto, TheStillIsWrittenBesideTheMovie) {
  ASSERT_TRUE(plugin_ready());
  const std::string dir = test_temp_path("resilient-live");
  run_command("rm -rf " + shell_quote(dir) + " && mkdir -p " + shell_quote(dir));
  auto r = run_mxmux("-o " + shell_quote(dir + "/live.mov") + " --video " +
                     shell_quote(sample_path("testsrc.h264")) + " --live-photo " +
                     shell_quote(sample_path("cover.jpg")) + " --resilient");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("still " + dir + "/live.jpg"), std::string::npos) << r.out;
  auto list = run_command("ls " + shell_quote(dir));
  EXPECT_EQ(list.out, "live.jpg\nlive.mov\n");
  EXPECT_GT(read_whole_file(dir + "/live.jpg").size(), 0u);
}

}  // namespace
