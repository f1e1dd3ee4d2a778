// Files of the interoperability group played in Debian's Firefox, whose MP4
// parser shares no code with ffmpeg's or chromium's: headless, in a fresh
// profile, without a driver (tests/browser/firefox_play.mjs), all files in one
// browser run. A file whose streams Firefox decodes plays to its end, as long
// as its source, with every video frame decoded and its sound found. Of a file
// with a stream Firefox does not decode, it plays the rest and leaves that
// stream out, or refuses the file with the error it gives ffmpeg's own file of
// the same streams. What Firefox does not decode, and the brands it refuses,
// are shown on ffmpeg's own files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "interop_files.h"
#include "interop_media.h"
#include "reader_controls.h"
#include "support/browser_play.h"
#include "support/test_files.h"
#include "support/tools.h"

namespace {

using interop::FileCase;
using interop::Media;
using interop::SourceTrack;

// Four times normal speed: the clips last a second or two.
constexpr double kPlaybackRate = 4.0;
// How far the length Firefox reads may be from the source's.
constexpr double kLengthTolerance = 0.1;

// The codecs Firefox decodes (HEVC through the system's libavcodec, which
// comes with ffmpeg). Every answer is shown on ffmpeg's own file of the stream
// (FirefoxPlays.CodecsAsOnFfmpegsFiles).
bool firefox_decodes(Media m) {
  switch (m) {
    case Media::kH264:
    case Media::kH264Pyramid:
    case Media::kH264Large:
    case Media::kHevc:
    case Media::kHevcLarge:
    case Media::kAv1:
    case Media::kAac:
    case Media::kFlac16:
    case Media::kFlac24:
      return true;
    default:
      return false;
  }
}

bool is(const char* file_code, const char* code) {
  return std::string(file_code) == code;
}

// Firefox refuses a file whose brands are all 3GPP2 ones, as the KDDI
// flavour's are (kddi, compatible with 3g2a), whatever its streams
// (FirefoxPlays.FilesOfThreeGppTwoBrandsOnlyAreRefused).
bool refused_for_its_brands(const FileCase& c) {
  return is(c.file_code, "KDDI");
}
constexpr char kBrandRefusal[] = "code 4: Failed to init decoder";

// The kind of a media element's error: its code and name, without the
// details after " - ", which tell where in the reader it arose.
std::string error_kind(const std::string& error) {
  return error.substr(0, error.find(" - "));
}

// The streams of a case, video first.
std::vector<const SourceTrack*> streams_of(const FileCase& c) {
  std::vector<const SourceTrack*> streams;
  for (const SourceTrack* s : {interop::video_source(c), interop::audio_source(c)}) {
    if (s != nullptr) streams.push_back(s);
  }
  return streams;
}

bool decodes_every_stream(const FileCase& c) {
  for (const SourceTrack* s : streams_of(c)) {
    if (!firefox_decodes(s->media)) return false;
  }
  return true;
}

// The longest stream's length.
double seconds_of(const FileCase& c) {
  double seconds = 0;
  for (const SourceTrack* s : streams_of(c)) {
    seconds = std::max(seconds, s->video ? s->packets.size() / s->frame_rate : s->seconds);
  }
  return seconds;
}

// Whether Firefox played the stream: every video frame decoded, or sound found
// (an audio element, which plays nothing else, tells only by reaching its end).
bool rendered(const Playback& p, const SourceTrack& s) {
  if (!p.error.empty()) return false;
  if (s.video) return p.decoded_frames == static_cast<int>(s.packets.size());
  return p.has_audio.value_or(p.ended);
}

bool left_out(const Playback& p, const SourceTrack& s) {
  if (!p.error.empty()) return true;
  return s.video ? p.decoded_frames == 0 : p.has_audio == false;
}

std::string describe(const Playback& p) {
  return p.file + ": ended " + std::to_string(p.ended) + ", duration " +
         std::to_string(p.duration) + ", frames " + std::to_string(p.decoded_frames) + ", sound " +
         (p.has_audio ? std::to_string(*p.has_audio) : "unknown") + ", error '" + p.error +
         "', events " + p.events;
}

// The pictures Firefox must count in a file of the stream: all of them, when
// the stream is video that it decodes.
std::optional<int> pictures_shown(const SourceTrack* s) {
  if (s == nullptr || !s->video || !firefox_decodes(s->media)) return std::nullopt;
  return static_cast<int>(s->packets.size());
}

// Plays the files in one Firefox run; the playbacks by file. A file whose
// count of pictures is not `pictures[i]` is played again, slower (see
// play_counting_pictures).
std::map<std::string, Playback> play_in_firefox(const std::vector<std::string>& files,
                                                const std::vector<std::optional<int>>& pictures) {
  std::string failure;
  const std::vector<Playback> played =
      play_counting_pictures(files, pictures, kPlaybackRate, &failure, Browser::kFirefox);
  EXPECT_EQ(failure, "");
  EXPECT_EQ(played.size(), files.size());
  std::map<std::string, Playback> by_file;
  for (const Playback& p : played) by_file[p.file] = p;
  return by_file;
}

class FirefoxPlays : public ::testing::Test {
 protected:
  void SetUp() override {
    MX_REQUIRE_TOOLS("ffmpeg", "ffprobe");
    const std::string missing = browser_missing(Browser::kFirefox);
    MX_REQUIRE(missing.empty(), missing);
  }
};

TEST_F(FirefoxPlays, EveryFileOfTheGroup) {
  struct Played {
    FileCase c;
    std::string ours;
    interop::Control control;  // for a file with a stream Firefox does not decode
  };
  std::vector<Played> files;
  std::vector<std::string> paths;
  std::vector<std::optional<int>> pictures;
  // Every file twice: written plainly, and written as fragments and finished.
  for (uint32_t flags : {0u, MX_WRITE_RESILIENT}) {
    for (const FileCase& c : interop::every_file()) {
      for (const SourceTrack* s : streams_of(c)) MX_REQUIRE(s->missing.empty(), s->missing);
      Played f{c,
               test_temp_path("firefox-" + interop::case_name(c) + (flags ? "-resilient" : "") +
                              interop::extension_for(c.file_code)),
               {}};
      interop::write_case(c, f.ours, flags);
      if (HasFatalFailure()) return;
      paths.push_back(f.ours);
      pictures.push_back(refused_for_its_brands(c) ? std::nullopt
                                                   : pictures_shown(interop::video_source(c)));
      if (!decodes_every_stream(c) && !refused_for_its_brands(c)) {
        f.control = interop::file_control(c);
        if (!f.control.path.empty() && flags == 0) {
          paths.push_back(f.control.path);
          pictures.push_back(std::nullopt);
        }
      }
      files.push_back(f);
    }
  }
  std::map<std::string, Playback> played = play_in_firefox(paths, pictures);

  for (const Played& f : files) {
    const Playback& p = played[f.ours];
    SCOPED_TRACE(describe(p));
    if (refused_for_its_brands(f.c)) {
      EXPECT_EQ(p.error, kBrandRefusal);
      continue;
    }
    if (decodes_every_stream(f.c)) {
      EXPECT_EQ(p.error, "");
      EXPECT_TRUE(p.ended);
      EXPECT_NEAR(p.duration, seconds_of(f.c), kLengthTolerance) << "the source's length";
      for (const SourceTrack* s : streams_of(f.c)) {
        EXPECT_TRUE(rendered(p, *s)) << interop::media_name(s->media);
        if (s->video) {
          EXPECT_EQ(p.video_width, static_cast<int>(s->width));
        }
      }
      continue;
    }
    bool decodes_any = false;
    for (const SourceTrack* s : streams_of(f.c)) decodes_any |= firefox_decodes(s->media);
    if (!p.error.empty() && decodes_any) {
      // Refused though Firefox decodes one of its streams: only as it refuses
      // ffmpeg's file of the same streams.
      ASSERT_NE(f.control.path, "") << "no control: " << f.control.refusal;
      EXPECT_EQ(error_kind(p.error), error_kind(played[f.control.path].error))
          << describe(played[f.control.path]);
      continue;
    }
    if (!p.error.empty()) continue;  // none of its streams decodes
    EXPECT_TRUE(p.ended);
    for (const SourceTrack* s : streams_of(f.c)) {
      if (firefox_decodes(s->media)) {
        EXPECT_TRUE(rendered(p, *s)) << interop::media_name(s->media) << " played";
      } else {
        EXPECT_TRUE(left_out(p, *s)) << interop::media_name(s->media) << " left out";
      }
    }
  }
  if (!HasFailure() && std::getenv("MX_INTEROP_KEEP") == nullptr) {
    for (const Played& f : files) {
      std::remove(f.ours.c_str());
      if (f.c.feature == interop::Feature::kLivePhoto) {
        std::remove((f.ours.substr(0, f.ours.size() - 4) + ".jpg").c_str());
      }
    }
  }
}

// What Firefox makes of ffmpeg's own file of each stream of the group: it
// plays the codecs it decodes and leaves the others out.
TEST_F(FirefoxPlays, CodecsAsOnFfmpegsFiles) {
  std::map<Media, std::string> controls;
  for (const FileCase& c : interop::every_file()) {
    for (const SourceTrack* s : streams_of(c)) {
      MX_REQUIRE(s->missing.empty(), s->missing);
      controls[s->media] = interop::stream_control(*s);
    }
  }
  std::vector<std::string> paths;
  std::vector<std::optional<int>> pictures;
  for (const auto& [media, path] : controls) {
    paths.push_back(path);
    pictures.push_back(pictures_shown(&interop::source(media)));
  }
  std::map<std::string, Playback> played = play_in_firefox(paths, pictures);
  for (const auto& [media, path] : controls) {
    const Playback& p = played[path];
    const SourceTrack& s = interop::source(media);
    if (firefox_decodes(media)) {
      EXPECT_TRUE(rendered(p, s) && p.ended) << "decoded: " << describe(p);
    } else {
      EXPECT_TRUE(left_out(p, s)) << "not decoded: " << describe(p);
    }
  }
}

// The file's brands: the major brand, then the compatible ones.
std::vector<std::string> brands_of(const std::vector<uint8_t>& file) {
  std::vector<std::string> brands;
  if (file.size() < 16 || std::string(file.begin() + 4, file.begin() + 8) != "ftyp") return brands;
  const size_t size = std::min<size_t>(file.size(), static_cast<size_t>(file[2]) << 8 | file[3]);
  brands.emplace_back(file.begin() + 8, file.begin() + 12);
  for (size_t at = 16; at + 4 <= size; at += 4) {
    brands.emplace_back(file.begin() + at, file.begin() + at + 4);
  }
  return brands;
}

// ffmpeg's 3GPP2 files play, but not once their brands are the KDDI
// flavour's, 3GPP2 ones only: ffmpeg's file with the major brand kddi and 3g2a
// in every place of its compatible brands is refused, with H.264 as with
// MPEG-4 Visual, though Firefox plays both streams of the first.
TEST_F(FirefoxPlays, FilesOfThreeGppTwoBrandsOnlyAreRefused) {
  std::vector<std::string> paths;
  for (Media video : {Media::kH264, Media::kMpeg4Visual}) {
    const FileCase c{"KDDI", video, Media::kAac};
    for (const SourceTrack* s : streams_of(c)) MX_REQUIRE(s->missing.empty(), s->missing);
    const interop::Control control = interop::file_control(c);
    ASSERT_NE(control.path, "") << control.refusal;
    std::vector<uint8_t> bytes = read_whole_file(control.path);
    const std::vector<std::string> brands = brands_of(bytes);
    ASSERT_GE(brands.size(), 2u);
    EXPECT_EQ(brands[0].substr(0, 3), "3g2");
    EXPECT_NE(std::find(brands.begin(), brands.end(), "isom"), brands.end());
    const size_t compatible = brands.size() - 1;
    std::copy_n("kddi", 4, bytes.begin() + 8);
    for (size_t i = 0; i < compatible; ++i) std::copy_n("3g2a", 4, bytes.begin() + 16 + 4 * i);
    const std::string rebranded =
        test_temp_path(std::string("firefox-3g2a-only-") + interop::media_name(video) + ".3g2");
    write_whole_file(rebranded, bytes);
    paths.push_back(control.path);
    paths.push_back(rebranded);
  }
  // The first file's video is H.264, which Firefox plays.
  const int h264_pictures = static_cast<int>(interop::source(Media::kH264).packets.size());
  std::vector<std::optional<int>> pictures(paths.size());
  pictures[0] = h264_pictures;
  std::map<std::string, Playback> played = play_in_firefox(paths, pictures);
  for (size_t i = 0; i < paths.size(); i += 2) {
    const Playback& theirs = played[paths[i]];
    const Playback& rebranded = played[paths[i + 1]];
    EXPECT_EQ(theirs.error, "") << describe(theirs);
    EXPECT_TRUE(theirs.ended) << describe(theirs);
    EXPECT_EQ(theirs.has_audio, true) << describe(theirs);
    EXPECT_EQ(rebranded.error, kBrandRefusal) << describe(rebranded);
    if (!HasFailure()) std::remove(paths[i + 1].c_str());
  }
  EXPECT_EQ(played[paths[0]].decoded_frames, h264_pictures);
}

}  // namespace
