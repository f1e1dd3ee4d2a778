// Resilient writing under the readers: a host killed at random moments, a
// file cut short at random bytes (a power cut), and a close interrupted after
// each finalising step. The media are the group's one-second sources played
// eight times over, each time from its key frame, so that a file holds eight
// fragments of a second.
//
// What a left file must show: every fragment closed before the kill or cut,
// read by ffprobe, decoded by ffmpeg without a word, counted by mediainfo and
// played by chromium, with the source's pictures; and nothing of the open
// fragment. A reader that cannot do something shows it on a file ffmpeg made
// itself (a fragmented control, cut or not), never by a skipped check.
//
// The readers run on each left file through kLeftFileReaders, and the
// browsers of kBrowsers (chromium, Firefox) on all of them at once; VLC remuxes
// each left file of the kill test.
// Like the other browser tests these run in the plain build only; the
// sanitizers see the same sessions in the unit and interop groups.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "interop_media.h"
#include "slot_writer.h"
#include "support/box_reader.h"
#include "support/browser_play.h"
#include "support/child_process.h"
#include "support/fragment_samples.h"
#include "support/test_files.h"
#include "support/tools.h"
#include "vlc_remux.h"

namespace {

using interop::Media;
using interop::SourceTrack;
using Bytes = std::vector<uint8_t>;

constexpr int kRepeats = 8;

struct Combo {
  const char* name;
  const char* file_code;
  const char* extension;
  std::optional<Media> video;
  Media audio;
  // ffmpeg's own file of the same codecs, for what chromium does with them.
  const char* control;
};

#define MX_CONTROL_VIDEO "-f lavfi -i testsrc2=size=320x240:rate=25 "
#define MX_CONTROL_AUDIO "-f lavfi -i sine=frequency=440:sample_rate=44100 "
const Combo kCombos[] = {
    {"h264_aac", "MP4 ", ".mp4", Media::kH264, Media::kAac,
     MX_CONTROL_VIDEO MX_CONTROL_AUDIO "-t 2 -c:v libx264 -pix_fmt yuv420p -c:a aac"},
    {"hevc_pcm", "MOV ", ".mov", Media::kHevc, Media::kPcm16,
     MX_CONTROL_VIDEO MX_CONTROL_AUDIO
     "-t 2 -c:v libx265 -x265-params log-level=error -pix_fmt yuv420p -c:a pcm_s16le"},
    {"av1_flac", "MP4 ", ".mp4", Media::kAv1, Media::kFlac16,
     MX_CONTROL_VIDEO MX_CONTROL_AUDIO
     "-t 2 -c:v libaom-av1 -cpu-used 8 -usage realtime -c:a flac -strict -2"},
    {"alac", "M4A ", ".m4a", std::nullopt, Media::kAlac, MX_CONTROL_AUDIO "-t 2 -c:a alac"},
};
#undef MX_CONTROL_VIDEO
#undef MX_CONTROL_AUDIO

void PrintTo(const Combo& c, std::ostream* os) {
  *os << c.name;
}

size_t index_of(const Combo& c) {
  for (size_t i = 0; i < std::size(kCombos); ++i) {
    if (std::strcmp(kCombos[i].name, c.name) == 0) return i;
  }
  return 0;
}

constexpr int kAlacFrameSamples = 4096;

uint32_t code_of(const char* s) {
  return MX_FOURCC(s[0], s[1], s[2], s[3]);
}

bool lossless(Media m) {
  return m == Media::kAlac || m == Media::kFlac16 || m == Media::kFlac24;
}

// The source played `times` over, each repetition `span` (100 ns) after the
// last. A lossless source's short last frame is left out, so that every frame
// of the long stream is a whole one.
SourceTrack repeated(const SourceTrack& s, int times, int64_t span) {
  SourceTrack out = s;
  out.packets.clear();
  out.stored.clear();
  size_t count = s.packets.size();
  if (!s.video && lossless(s.media) && count > 1) --count;
  for (int k = 0; k < times; ++k) {
    for (size_t i = 0; i < count; ++i) {
      interop::HostPacket p = s.packets[i];
      p.pts += k * span;
      p.dts += k * span;
      out.packets.push_back(p);
      out.stored.push_back(s.stored[i]);
    }
  }
  return out;
}

// The long streams of a combo, made once per process.
struct LongMedia {
  SourceTrack video, audio;
  bool has_video = false;
  std::vector<std::string> video_hashes;  // decoded pictures, in order
  std::vector<std::string> audio_hashes;  // decoded audio frames (lossless sources)
  size_t per_fragment = 0;                // packets of the driving stream per fragment
  std::string missing;
};

const LongMedia& long_media(const Combo& c) {
  static std::map<std::string, LongMedia> made;
  auto found = made.find(c.name);
  if (found != made.end()) return found->second;
  LongMedia& m = made[c.name];
  const SourceTrack& audio = interop::source(c.audio);
  m.missing = audio.missing;
  const SourceTrack* video = c.video ? &interop::source(*c.video) : nullptr;
  if (video && !video->missing.empty()) m.missing = video->missing;
  if (!m.missing.empty()) return m;
  const int64_t span =
      video ? interop::host_time(static_cast<int64_t>(video->packets.size()), video->rate)
            : static_cast<int64_t>(audio.nominal_seconds * 1e7 + 0.5);
  m.audio = repeated(audio, kRepeats, span);
  if (video) {
    m.has_video = true;
    m.video = repeated(*video, kRepeats, span);
    const std::vector<std::string> one = interop::reference_hashes(*video);
    for (int k = 0; k < kRepeats; ++k)
      m.video_hashes.insert(m.video_hashes.end(), one.begin(), one.end());
    m.per_fragment = video->packets.size();
  } else {
    const std::vector<std::string> one = interop::parse_framemd5(
        interop::run_command("ffmpeg -nostdin -v error -i " +
                             interop::shell_quote(audio.source_path) + " -map 0:a:0 -f framemd5 -")
            .out);
    const size_t whole = m.audio.packets.size() / kRepeats;
    for (int k = 0; k < kRepeats; ++k)
      m.audio_hashes.insert(m.audio_hashes.end(), one.begin(),
                            one.begin() + static_cast<std::ptrdiff_t>(whole));
    // Audio alone closes a fragment once it holds a second.
    m.per_fragment = (audio.sample_rate + kAlacFrameSamples - 1) / kAlacFrameSamples;
  }
  return m;
}

interop::SlotFile slot_file(const Combo& c, const LongMedia& m) {
  interop::SlotFile file;
  file.file_code = code_of(c.file_code);
  file.video = m.has_video ? &m.video : nullptr;
  file.audio = &m.audio;
  file.writer_flags = MX_WRITE_RESILIENT;
  return file;
}

// ------------------------------------------------------------ the host

#ifndef _WIN32
// The host the tests kill: writes combo MX_RESILIENT_COMBO to MX_RESILIENT_OUT
// through the plug-in's slots, resilient, sleeping MX_RESILIENT_PACE_US after
// each packet and keeping the count of packets written in MX_RESILIENT_PROGRESS;
// closes the file only when MX_RESILIENT_CLOSE is 1, and otherwise stops
// without a word to the plug-in, as a host that dies.
const ChildAction kResilientHost("resilient-host", [] {
  const char* combo = std::getenv("MX_RESILIENT_COMBO");
  const char* out = std::getenv("MX_RESILIENT_OUT");
  const char* progress = std::getenv("MX_RESILIENT_PROGRESS");
  const char* pace = std::getenv("MX_RESILIENT_PACE_US");
  const char* close = std::getenv("MX_RESILIENT_CLOSE");
  if (!combo || !out || !progress || !pace || !close) return 2;
  const Combo& c = kCombos[std::atoi(combo)];
  const LongMedia& m = long_media(c);
  if (!m.missing.empty()) return 3;
  const int fd = open(progress, O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return 4;
  interop::SlotFile file = slot_file(c, m);
  const auto pause = std::chrono::microseconds(std::atoi(pace));
  file.after_packet = [&](size_t video, size_t audio) {
    char count[32];
    const int n = std::snprintf(count, sizeof count, "%zu %zu\n", video, audio);
    if (pwrite(fd, count, static_cast<size_t>(n), 0) != n) std::abort();
    std::this_thread::sleep_for(pause);
  };
  file.close = std::atoi(close) == 1;
  interop::write_through_slots(file, out);
  return 0;
});
#endif

struct Progress {
  size_t video = 0, audio = 0;
};

Progress read_progress(const std::string& path) {
  Progress p;
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return p;
  if (std::fscanf(f, "%zu %zu", &p.video, &p.audio) != 2) p = {};
  std::fclose(f);
  return p;
}

// ------------------------------------------------------------ left files

// A file a kill or a cut left, and what it must show.
struct LeftFile {
  std::string path;
  const LongMedia* media = nullptr;
  size_t video_frames = 0;  // shown: in the fragments closed before
  size_t audio_frames = 0;
  bool damaged_tail = false;  // bytes of a shown fragment are missing or zero
};

// What the readers show of a left file; each check is one reader.
using ReaderCheck = void (*)(const LeftFile&);

void ffprobe_reads(const LeftFile& f) {
  interop::CommandResult r = interop::run_command(
      "ffprobe -v error -count_frames -show_entries stream=codec_type,nb_read_frames -of csv=p=0 " +
      interop::shell_quote(f.path));
  if (!f.damaged_tail) {
    EXPECT_EQ(r.err, "") << "ffprobe";
  }
  EXPECT_EQ(r.status, 0) << "ffprobe: " << r.err;
  size_t video = 0, audio = 0;
  for (size_t start = 0; start < r.out.size();) {
    size_t end = r.out.find('\n', start);
    const std::string line = r.out.substr(start, end - start);
    start = end == std::string::npos ? r.out.size() : end + 1;
    if (line.rfind("video,", 0) == 0) video = std::strtoull(line.c_str() + 6, nullptr, 10);
    if (line.rfind("audio,", 0) == 0) audio = std::strtoull(line.c_str() + 6, nullptr, 10);
  }
  // Audio is counted where it is the only stream: readers regroup PCM, and
  // apply the edit that skips AAC's priming to a plain file only.
  if (f.damaged_tail) {
    EXPECT_GE(f.media->has_video ? video : audio,
              f.media->has_video ? f.video_frames : f.audio_frames)
        << "ffprobe frames";
  } else if (f.media->has_video) {
    EXPECT_EQ(video, f.video_frames) << "ffprobe video frames";
  } else {
    EXPECT_EQ(audio, f.audio_frames) << "ffprobe audio frames";
  }
}

// ffmpeg decodes every stream (and hashes the pictures, or the audio alone).
void ffmpeg_decodes(const LeftFile& f) {
  const LongMedia& m = *f.media;
  const bool video = m.has_video;
  interop::CommandResult r = interop::run_command(
      "ffmpeg -nostdin -v error -i " + interop::shell_quote(f.path) +
      (video ? " -map 0:v:0" : " -map 0:a:0") + " -f framemd5 - -map 0 -f null -");
  if (!f.damaged_tail) {
    EXPECT_EQ(r.status, 0) << "ffmpeg";
  }
  const std::vector<std::string> hashes = interop::parse_framemd5(r.out);
  const std::vector<std::string>& reference = video ? m.video_hashes : m.audio_hashes;
  const size_t shown = video ? f.video_frames : f.audio_frames;
  ASSERT_LE(shown, reference.size());
  // A damaged tail may decode into more (broken) frames; those before it are whole.
  if (f.damaged_tail) {
    ASSERT_GE(hashes.size(), shown) << "ffmpeg frames";
  } else {
    EXPECT_EQ(r.err, "") << "ffmpeg";
    ASSERT_EQ(hashes.size(), shown) << "ffmpeg frames";
  }
  EXPECT_TRUE(std::equal(reference.begin(), reference.begin() + static_cast<std::ptrdiff_t>(shown),
                         hashes.begin()))
      << "decoded frames differ from the source's";
}

void mediainfo_counts(const LeftFile& f) {
  const bool video = f.media->has_video;
  auto info = interop::mediainfo(f.path, video ? "Video" : "Audio", {"FrameCount"});
  ASSERT_EQ(info.size(), 1u) << "mediainfo";
  const size_t shown = video ? f.video_frames : f.audio_frames;
  if (f.damaged_tail) {
    EXPECT_GE(std::strtoull(info[0][0].c_str(), nullptr, 10), shown) << "mediainfo frames";
  } else {
    EXPECT_EQ(info[0][0], std::to_string(shown)) << "mediainfo frames";
  }
}

const ReaderCheck kLeftFileReaders[] = {ffprobe_reads, ffmpeg_decodes, mediainfo_counts};

void expect_readers_show(const LeftFile& f) {
  SCOPED_TRACE(f.path);
  for (ReaderCheck check : kLeftFileReaders) check(f);
}

// The samples of the fragments the file shows, by track, checked against the
// source's: the shown fragments hold the source's packets in order (for PCM,
// whose samples are single frames, the same bytes), and nothing else.
void count_shown(LeftFile* f) {
  const Bytes bytes = read_whole_file(f->path);
  const iso::Tree tree = iso::parse(bytes);
  ASSERT_TRUE(tree.error.empty()) << tree.dump();
  for (const iso::Box& b : tree.boxes) {
    ASSERT_TRUE(b.error.empty() || f->damaged_tail) << tree.dump();
  }
  const FragmentedFile fragments = read_fragments(tree);
  const LongMedia& m = *f->media;
  for (const auto& [id, track] : fragments.tracks) {
    const bool video = m.has_video && id == 1;
    const SourceTrack& source = video ? m.video : m.audio;
    (video ? f->video_frames : f->audio_frames) = track.samples.size();
    if (f->damaged_tail) continue;
    Bytes shown, expected;
    for (const TrackSample& s : track.samples) {
      const Bytes sample = sample_bytes(bytes, s);
      shown.insert(shown.end(), sample.begin(), sample.end());
    }
    for (const Bytes& packet : source.stored) {
      if (expected.size() >= shown.size()) break;
      expected.insert(expected.end(), packet.begin(), packet.end());
    }
    EXPECT_TRUE(shown == expected) << "track " << id << ": the source's packets, in order";
  }
}

// ------------------------------------------------------------ chromium

// What chromium does with a file of the combo's codecs, shown on a file that
// ffmpeg made of the same sources (plain, not fragmented).
struct BrowserExpectation {
  bool plays = false;          // plays to its end without an error
  bool decodes_video = false;  // and decodes its pictures
  std::string error;           // else: the error it gives
};

BrowserExpectation browser_control(const Combo& c, Browser browser) {
  const std::string path = test_temp_path(std::string("control-") + c.name + c.extension);
  interop::CommandResult made = interop::run_command(std::string("ffmpeg -nostdin -v error -y ") +
                                                     c.control + " " + interop::shell_quote(path));
  EXPECT_EQ(made.status, 0) << made.err;
  BrowserExpectation e;
  std::string failure;
  std::vector<Playback> played = play_in_browser({path}, 4.0, &failure, browser);
  EXPECT_EQ(failure, "");
  if (played.size() != 1) return e;
  e.plays = played[0].ended && played[0].error.empty();
  e.decodes_video = played[0].decoded_frames > 0;
  e.error = played[0].error;
  std::remove(path.c_str());
  return e;
}

// The browsers that play the left files: chromium (ffmpeg's demuxer inside)
// and Firefox (a parser of its own).
constexpr Browser kBrowsers[] = {Browser::kChromium, Browser::kFirefox};

const char* browser_name(Browser b) {
  return b == Browser::kChromium ? "chromium" : "firefox";
}

void expect_browser_plays(const std::vector<LeftFile>& files, const BrowserExpectation& control,
                          Browser browser) {
  SCOPED_TRACE(browser_name(browser));
  const bool counts_pictures = control.plays && control.decodes_video;
  std::vector<std::string> paths;
  std::vector<std::optional<int>> pictures;
  for (const LeftFile& f : files) {
    paths.push_back(f.path);
    pictures.push_back(counts_pictures ? std::optional<int>(static_cast<int>(f.video_frames))
                                       : std::nullopt);
  }
  std::string failure;
  std::vector<Playback> played = play_counting_pictures(paths, pictures, 16.0, &failure, browser);
  EXPECT_EQ(failure, "");
  ASSERT_EQ(played.size(), files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].path + " events " + played[i].events);
    if (!control.plays) {
      EXPECT_EQ(played[i].error, control.error) << "as on ffmpeg's own file";
      continue;
    }
    EXPECT_EQ(played[i].error, "");
    EXPECT_TRUE(played[i].ended);
    if (counts_pictures) {
      EXPECT_EQ(static_cast<size_t>(played[i].decoded_frames), files[i].video_frames);
    }
  }
}

// ------------------------------------------------------------ VLC

// What VLC (its own MP4 demuxer, remuxing to Matroska) may say of a left
// file: unknown boxes and handlers, and the notices it gives of ffmpeg's own
// fragmented file too (VlcOnFragments.FfmpegsCutFileKeepsEveryFrame): tracks
// whose movie box holds no chunks and no decoding times, an edit list.
const std::regex kVlcNotice(
    R"(mp4 (demux|stream) warning: (unknown (box|handler) type .*|no chunk defined|)"
    R"(STTS table of \d+ entries|CTTS table of \d+ entries|elst box found))");

// VLC's complaints but those notices, each once, in order.
std::string vlc_complaints(const interop::VlcRemux& r) {
  std::string out;
  std::vector<std::string> seen;
  for (const std::string& line : r.complaints) {
    if (std::regex_match(line, kVlcNotice)) continue;
    if (std::find(seen.begin(), seen.end(), line) != seen.end()) continue;
    seen.push_back(line);
    out += line + "\n";
  }
  return out;
}

// What VLC says of a file whose bytes are zeros from `at` on, as a power cut
// leaves a file whose length reached the disk before its data: the empty box
// it finds there.
std::string vlc_zero_tail_complaint(uint64_t at) {
  return "mp4 stream warning: found an invalid sized 0 box      @" + std::to_string(at) + "\n";
}

// What VLC's remux leaves out of a file of the combo's codecs, shown on
// ffmpeg's own file of them: the last packet of ALAC, for one.
int vlc_shortfall(const Combo& c) {
  const std::string path = test_temp_path(std::string("vlc-control-") + c.name + c.extension);
  interop::CommandResult made = interop::run_command(std::string("ffmpeg -nostdin -v error -y ") +
                                                     c.control + " " + interop::shell_quote(path));
  EXPECT_EQ(made.status, 0) << made.err;
  const bool video = c.video.has_value();
  interop::CommandResult counted = interop::run_command(
      std::string("ffprobe -v error -count_packets -select_streams ") + (video ? "v:0" : "a:0") +
      " -show_entries stream=nb_read_packets -of csv=p=0 " + interop::shell_quote(path));
  const int packets = std::atoi(counted.out.c_str());
  const interop::VlcRemux r = interop::vlc_remux(path);
  EXPECT_EQ(r.failure, "");
  EXPECT_EQ(vlc_complaints(r), "") << "VLC on ffmpeg's own file";
  std::remove(path.c_str());
  return packets - (video ? r.video_frames : r.audio_packets);
}

// VLC remuxes every picture of the shown fragments without a complaint (and,
// for a file of sound alone, every packet), but for what it leaves out of
// ffmpeg's own file too.
void vlc_remux_holds(const LeftFile& f, const interop::VlcRemux& r, int shortfall,
                     const std::string& complaints = "") {
  ASSERT_EQ(r.failure, "");
  EXPECT_EQ(vlc_complaints(r), complaints) << "VLC";
  if (f.media->has_video) {
    EXPECT_EQ(r.video_frames, static_cast<int>(f.video_frames) - shortfall)
        << "VLC's remux: pictures";
    EXPECT_GT(r.audio_packets, 0) << "VLC's remux: sound";
  } else {
    EXPECT_EQ(r.audio_packets, static_cast<int>(f.audio_frames) - shortfall)
        << "VLC's remux: packets";
  }
}

void vlc_remuxes(const LeftFile& f, int shortfall, const std::string& complaints = "") {
  SCOPED_TRACE(f.path);
  vlc_remux_holds(f, interop::vlc_remux(f.path), shortfall, complaints);
}

// A file a killed host left: VLC remuxes it as above, unless the file ends in
// an open media-data box and VLC never finishes it, which it then must not
// finish on ffmpeg's own fragmented file ending so either.
void vlc_remuxes_left_file(const LeftFile& f, int shortfall, const Combo& c) {
  SCOPED_TRACE(f.path);
  const interop::LeftFileRemux r = interop::vlc_remux_left_file(f.path, c.control, c.extension);
  if (!r.stopped) return vlc_remux_holds(f, r.remux, shortfall);
  EXPECT_EQ(interop::vlc_stop_unexplained(r), "");
}

// What is missing of the readers the left files go through (empty when
// nothing is): ffmpeg, ffprobe, mediainfo, the browsers and VLC.
std::string readers_missing() {
  std::string missing = missing_tools({"ffmpeg", "ffprobe", "mediainfo"});
  for (Browser browser : kBrowsers) {
    const std::string browser_lacks = browser_missing(browser);
    if (!browser_lacks.empty()) missing += (missing.empty() ? "" : " ") + browser_lacks;
  }
  const std::string vlc_lacks = interop::vlc_missing();
  if (!vlc_lacks.empty()) missing += (missing.empty() ? "" : " ") + vlc_lacks;
  return missing;
}

// ------------------------------------------------------------ the tests

#ifndef _WIN32
class ResilientReaders : public ::testing::TestWithParam<Combo> {
 protected:
  void SetUp() override {
    const std::string missing = readers_missing();
    MX_REQUIRE(missing.empty(), missing);
    media_ = &long_media(GetParam());
    MX_REQUIRE(media_->missing.empty(), media_->missing);
  }
  const LongMedia* media_ = nullptr;
};

constexpr int kPaceMicroseconds = 1500;
constexpr int kKills = 10;

// The host writes the whole file; once closed, the file is a plain file with
// every frame. Then the host is killed at ten random moments after the first
// fragment is shown: each left file shows exactly the fragments closed before
// the kill, at most one fragment behind what the host had handed over.
TEST_P(ResilientReaders, KilledHostsLeaveTheClosedFragments) {
  const Combo& c = GetParam();
  const size_t index = index_of(c);
  const size_t packets = media_->video.packets.size() + media_->audio.packets.size();
  const std::string progress = test_temp_path(std::string(c.name) + ".progress");
  auto environment = [&](const std::string& out, bool close) -> Environment {
    return {{"MX_RESILIENT_COMBO", std::to_string(index)},
            {"MX_RESILIENT_OUT", out},
            {"MX_RESILIENT_PROGRESS", progress},
            {"MX_RESILIENT_PACE_US", std::to_string(kPaceMicroseconds)},
            {"MX_RESILIENT_CLOSE", close ? "1" : "0"}};
  };

  std::vector<LeftFile> left;
  {
    LeftFile whole{test_temp_path(std::string(c.name) + "-closed" + c.extension), media_};
    RunningChild host("resilient-host", environment(whole.path, true));
    ASSERT_TRUE(host.started());
    ASSERT_EQ(host.wait(), 0);
    const iso::Tree tree = iso::read_file(whole.path);
    EXPECT_EQ(tree.find("moof"), nullptr) << "closed: a plain file";
    whole.video_frames = media_->has_video ? media_->video.packets.size() : 0;
    whole.audio_frames = media_->audio.packets.size();
    expect_readers_show(whole);
    left.push_back(whole);
  }

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("kill moments from seed " + std::to_string(seed));
  std::mt19937 random(seed);
  for (int k = 0; k < kKills; ++k) {
    LeftFile f{test_temp_path(std::string(c.name) + "-killed-" + std::to_string(k) + c.extension),
               media_};
    std::remove(progress.c_str());
    RunningChild host("resilient-host", environment(f.path, true));
    ASSERT_TRUE(host.started());
    // After the first fragment, at a random moment before the end.
    const size_t first = media_->per_fragment * 3 / 2;
    Progress p;
    for (int wait = 0; wait < 20000; ++wait) {
      p = read_progress(progress);
      if ((media_->has_video ? p.video : p.audio) >= first) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const size_t left_packets = packets - std::min(packets, p.video + p.audio);
    std::uniform_int_distribution<int64_t> moment(
        0, static_cast<int64_t>(left_packets) * kPaceMicroseconds * 9 / 10);
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    ASSERT_TRUE(host.kill_now()) << "the host ended before the kill";
    p = read_progress(progress);
    count_shown(&f);
    if (HasFatalFailure()) return;
    const size_t handed = media_->has_video ? p.video : p.audio;
    const size_t shown = media_->has_video ? f.video_frames : f.audio_frames;
    SCOPED_TRACE(f.path + ": " + std::to_string(shown) + " of " + std::to_string(handed));
    EXPECT_LE(shown, handed);
    EXPECT_LT(handed - shown, 2 * media_->per_fragment) << "more than the open fragment lost";
    expect_readers_show(f);
    left.push_back(f);
  }
  const int shortfall = vlc_shortfall(c);
  EXPECT_EQ(shortfall, c.video ? 0 : 1) << "what VLC leaves out of ffmpeg's own file";
  for (const LeftFile& f : left) vlc_remuxes_left_file(f, shortfall, c);
  for (Browser browser : kBrowsers)
    expect_browser_plays(left, browser_control(c, browser), browser);
  if (!HasFailure()) {
    for (const LeftFile& f : left) std::remove(f.path.c_str());
    std::remove(progress.c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(Combos, ResilientReaders, ::testing::ValuesIn(kCombos),
                         [](const ::testing::TestParamInfo<Combo>& info) {
                           return std::string(info.param.name);
                         });

// ------------------------------------------------------------ power cuts

// Where the fragments of a file written without a close lie: each moof with
// the room in front of it (the rest of the room, a free box, or nothing), and
// the end of the mdat behind it.
struct FragmentPlace {
  uint64_t room_start, moof_start, moof_end, mdat_end;
};

std::vector<FragmentPlace> fragment_places(const iso::Tree& tree) {
  std::vector<FragmentPlace> out;
  for (size_t i = 0; i < tree.boxes.size(); ++i) {
    const iso::Box& b = tree.boxes[i];
    if (b.type != "moof") continue;
    size_t m = i + 1;
    while (m < tree.boxes.size() && tree.boxes[m].type != "mdat") ++m;
    if (m == tree.boxes.size()) break;
    const bool room_in_front = i > 0 && tree.boxes[i - 1].type == "free";
    out.push_back({room_in_front ? tree.boxes[i - 1].offset : b.offset, b.offset, b.offset + b.size,
                   tree.boxes[m].offset + tree.boxes[m].size});
  }
  return out;
}

void write_cut(const Bytes& bytes, uint64_t cut, bool zero_tail, const std::string& path) {
  Bytes left(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
  if (zero_tail) left.resize(bytes.size(), 0);
  write_whole_file(path, left);
}

// Whether ffmpeg opens a file (the demuxer of ffprobe and chromium too).
bool ffmpeg_opens(const std::string& path) {
  return interop::run_command("ffprobe -v error " + interop::shell_quote(path)).status == 0;
}

// A file written through the slots and never closed (all its fragments but the
// open one are on disk), cut at 200 random bytes, and again with zeros in
// place of what followed the cut, as a power cut leaves a file whose length
// reached the disk before its data: each cut file opens and plays up to its
// last complete fragment, whose pictures are the source's. A cut inside a
// moof may leave a moof that ffmpeg (and so chromium) cannot read, as it
// cannot read ffmpeg's own fragmented file cut inside a moof; mediainfo still
// reads the fragments before it.
TEST(ResilientPowerCut, CutFilesPlayUpToTheirLastCompleteFragment) {
  const std::string missing = readers_missing();
  MX_REQUIRE(missing.empty(), missing);
  const Combo& c = kCombos[0];
  const LongMedia& m = long_media(c);
  MX_REQUIRE(m.missing.empty(), m.missing);
  const std::string written = test_temp_path("power-cut.mp4");
  const std::string progress = test_temp_path("power-cut.progress");
  RunningChild host("resilient-host", {{"MX_RESILIENT_COMBO", "0"},
                                       {"MX_RESILIENT_OUT", written},
                                       {"MX_RESILIENT_PROGRESS", progress},
                                       {"MX_RESILIENT_PACE_US", "0"},
                                       {"MX_RESILIENT_CLOSE", "0"}});
  ASSERT_EQ(host.wait(), 0);
  const Bytes bytes = read_whole_file(written);
  const iso::Tree tree = iso::parse(bytes);
  const std::vector<FragmentPlace> places = fragment_places(tree);
  ASSERT_GE(places.size(), 6u) << tree.dump();
  const uint64_t head_end = tree.at("moov").offset + tree.at("moov").size;

  // ffmpeg's own fragmented file of the same media, cut inside its second moof.
  const std::string control = test_temp_path("power-cut-control.mp4");
  const std::string closed = test_temp_path("power-cut-closed.mp4");
  {
    interop::SlotFile file = slot_file(c, m);
    interop::write_through_slots(file, closed);
  }
  ASSERT_EQ(interop::run_command("ffmpeg -nostdin -v error -y -i " + interop::shell_quote(closed) +
                                 " -c copy -movflags +frag_keyframe+empty_moov+default_base_moof " +
                                 interop::shell_quote(control))
                .status,
            0);
  const Bytes control_bytes = read_whole_file(control);
  const std::vector<FragmentPlace> control_places = fragment_places(iso::parse(control_bytes));
  ASSERT_GE(control_places.size(), 2u);
  const FragmentPlace& second = control_places[1];
  const std::string control_cut = test_temp_path("power-cut-control-cut.mp4");
  write_cut(control_bytes, (second.moof_start + second.moof_end) / 2, false, control_cut);
  EXPECT_FALSE(ffmpeg_opens(control_cut)) << "ffmpeg reads its own file cut inside a moof";

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("cuts from seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  std::uniform_int_distribution<uint64_t> anywhere(head_end, bytes.size() - 1);
  std::vector<uint64_t> cuts;
  for (int i = 0; i < 200; ++i) cuts.push_back(anywhere(random));
  cuts.push_back((places[1].moof_start + places[1].moof_end) / 2);  // always one in a moof
  int in_moof = 0;
  for (size_t i = 0; i < cuts.size(); ++i) {
    const uint64_t cut = cuts[i];
    size_t complete = 0;
    bool cut_in_moof = false, cut_in_data = false;
    for (const FragmentPlace& p : places) {
      if (p.mdat_end <= cut) ++complete;
      cut_in_moof |= p.moof_start < cut && cut < p.moof_end;
      cut_in_data |= p.moof_end <= cut && cut < p.mdat_end;
    }
    for (bool zero_tail : {false, true}) {
      LeftFile f{test_temp_path("power-cut-" + std::to_string(i) + (zero_tail ? "z" : "") + ".mp4"),
                 &m};
      write_cut(bytes, cut, zero_tail, f.path);
      SCOPED_TRACE(f.path + " cut at " + std::to_string(cut) + " of " +
                   std::to_string(bytes.size()));
      f.video_frames = complete * m.per_fragment;
      f.damaged_tail = cut_in_data || cut_in_moof;
      if (cut_in_moof) {
        // Where ffmpeg reads a moof cut short at all, it plays the fragments before.
        ++in_moof;
        if (ffmpeg_opens(f.path)) ffmpeg_decodes(f);
      } else {
        ffmpeg_decodes(f);
      }
      mediainfo_counts(f);
      if (!HasFailure()) std::remove(f.path.c_str());
    }
  }
  EXPECT_GE(in_moof, 2) << "cuts inside a moof";

  // chromium: a cut between two fragments (where the next one's room begins) plays the
  // fragments before it to their end. A damaged fragment (a cut in its media
  // data, zeros or not) stops chromium with a decode error, sometimes before
  // the last complete fragment has played, as it does ffmpeg's own file
  // damaged alike: the cut files then give an error as the control does.
  std::vector<LeftFile> clean;
  for (size_t k = 1; k < places.size(); ++k) {
    for (bool zero_tail : {false, true}) {
      LeftFile f{
          test_temp_path("power-cut-room-" + std::to_string(k) + (zero_tail ? "z" : "") + ".mp4"),
          &m};
      write_cut(bytes, places[k].room_start, zero_tail, f.path);
      f.video_frames = k * m.per_fragment;
      clean.push_back(f);
    }
  }
  std::vector<std::string> paths;
  for (const LeftFile& f : clean) paths.push_back(f.path);
  const uint64_t control_data = (control_places[2].moof_end + control_places[2].mdat_end) / 2;
  const uint64_t our_data = (places[2].moof_end + places[2].mdat_end) / 2;
  const std::string damaged[] = {test_temp_path("damaged-control.mp4"),
                                 test_temp_path("damaged-control-z.mp4"),
                                 test_temp_path("damaged.mp4"), test_temp_path("damaged-z.mp4")};
  write_cut(control_bytes, control_data, false, damaged[0]);
  write_cut(control_bytes, control_data, true, damaged[1]);
  write_cut(bytes, our_data, false, damaged[2]);
  write_cut(bytes, our_data, true, damaged[3]);
  for (const std::string& d : damaged) paths.push_back(d);
  // Firefox plays the clean cuts as well, and VLC remuxes them.
  BrowserExpectation plays;
  plays.plays = plays.decodes_video = true;
  expect_browser_plays(clean, plays, Browser::kFirefox);
  // VLC says of a zero tail what it says of ffmpeg's own file with one.
  const std::string control_zero_tail = test_temp_path("power-cut-control-zero-tail.mp4");
  write_cut(control_bytes, control_places[2].moof_start, true, control_zero_tail);
  {
    const interop::VlcRemux theirs = interop::vlc_remux(control_zero_tail);
    ASSERT_EQ(theirs.failure, "");
    EXPECT_EQ(vlc_complaints(theirs), vlc_zero_tail_complaint(control_places[2].moof_start))
        << "VLC on ffmpeg's own file with a zero tail";
    std::remove(control_zero_tail.c_str());
  }
  for (size_t i = 0; i < clean.size(); ++i) {
    const bool zero_tail = i % 2 == 1;
    const uint64_t cut = places[i / 2 + 1].room_start;
    vlc_remuxes(clean[i], 0, zero_tail ? vlc_zero_tail_complaint(cut) : "");
  }
  std::string failure;
  std::vector<Playback> played = play_in_browser(paths, 16.0, &failure);
  EXPECT_EQ(failure, "");
  ASSERT_EQ(played.size(), paths.size());
  for (size_t i = 0; i < clean.size(); ++i) {
    SCOPED_TRACE(clean[i].path + " events " + played[i].events);
    EXPECT_EQ(played[i].error, "");
    EXPECT_TRUE(played[i].ended);
    EXPECT_EQ(static_cast<size_t>(played[i].decoded_frames), clean[i].video_frames);
  }
  const Playback* controls = &played[clean.size()];
  const Playback* ours = &played[clean.size() + 2];
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(damaged[i] + " events " + controls[i].events);
    EXPECT_NE(controls[i].error, "") << "chromium plays ffmpeg's own damaged file to its end";
    if (!ours[i].error.empty()) continue;  // what the control does
    EXPECT_TRUE(ours[i].ended) << damaged[2 + i];
  }
  if (!HasFailure()) {
    for (const std::string& p : paths) std::remove(p.c_str());
    for (const std::string& p : {written, progress, control, closed, control_cut})
      std::remove(p.c_str());
  }
}

// ------------------------------------------------------------ finalising

// Close interrupted after each finalising step (an in-process session that
// stops there): at every step the file plays in full in every reader.
TEST(ResilientFinalisingReaders, EveryStepPlaysInFull) {
  const std::string missing = readers_missing();
  MX_REQUIRE(missing.empty(), missing);
  const Combo& c = kCombos[0];
  const LongMedia& m = long_media(c);
  MX_REQUIRE(m.missing.empty(), m.missing);
  std::vector<LeftFile> files;
  for (int steps = 0; steps <= kFinalisingSteps; ++steps) {
    LeftFile f{test_temp_path("finalising-" + std::to_string(steps) + ".mp4"), &m};
    SessionSettings settings;
    settings.options.flags = MX_WRITE_RESILIENT;
    settings.finalising_steps = steps;
    interop::write_in_process(slot_file(c, m), f.path, settings);
    if (HasFatalFailure()) return;
    f.video_frames = m.video.packets.size();
    f.audio_frames = m.audio.packets.size();
    expect_readers_show(f);
    vlc_remuxes(f, 0);
    files.push_back(f);
  }
  BrowserExpectation plays;
  plays.plays = plays.decodes_video = true;
  for (Browser browser : kBrowsers) expect_browser_plays(files, plays, browser);
  if (!HasFailure()) {
    for (const LeftFile& f : files) std::remove(f.path.c_str());
  }
}
#endif

}  // namespace
