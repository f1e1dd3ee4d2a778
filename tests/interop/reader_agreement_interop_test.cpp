// What readers make of the rest of a file, through the slots: the timecode
// track's reading at the 1000/1001 rates, the length of lossless audio whose last
// frame is short, audio-only M4A and M4B files, and stereo H.264. ffprobe,
// mediainfo and exiftool must all read back what the host wrote, from the
// plain file and from the file written resilient.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "interop_media.h"
#include "slot_writer.h"
#include "support/box_reader.h"
#include "support/test_files.h"
#include "support/tools.h"

namespace {

using interop::Media;
using interop::Rate;
using interop::SourceTrack;

uint32_t code_of(const char* s) {
  return MX_FOURCC(s[0], s[1], s[2], s[3]);
}

std::string trimmed(const std::string& s) {
  const size_t end = s.find_last_not_of("\r\n ");
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::string extension_of(const char* file_code) {
  const std::string code = file_code;
  if (code == "MOV ") return ".mov";
  if (code == "M4A ") return ".m4a";
  if (code == "M4B ") return ".m4b";
  return ".mp4";
}

// ffmpeg decodes every stream without printing anything.
void expect_silent_decode(const std::string& path) {
  interop::CommandResult r = interop::run_command("ffmpeg -nostdin -v error -i " +
                                                  interop::shell_quote(path) + " -map 0 -f null -");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "") << "ffmpeg decoding " << path;
}

// ------------------------------------------------------------------ timecode

struct TimecodeCase {
  const char* file_code;
  Rate rate;
  uint32_t nominal;  // whole frames per second the counter counts
};

void PrintTo(const TimecodeCase& c, std::ostream* os) {
  *os << trimmed(c.file_code) << " " << c.rate.num << "/" << c.rate.den;
}

class TimecodeReading : public ::testing::TestWithParam<TimecodeCase> {
 protected:
  // Writes the case's file with these writer flags and checks what readers make of it.
  void check(uint32_t writer_flags);
};

// A counter of 01:00:00:00 (non-drop) as the host writes it; every reader must
// show 01:00:00:00, which takes the nominal whole rate in the track's entry.
void TimecodeReading::check(uint32_t writer_flags) {
  const TimecodeCase& c = GetParam();
  MX_REQUIRE_TOOLS("ffmpeg", "ffprobe", "mediainfo");
  const SourceTrack& video = interop::source(Media::kH264Pyramid, c.rate);
  MX_REQUIRE(video.missing.empty(), video.missing);
  const uint32_t counter = 3600 * c.nominal;
  interop::SlotFile file;
  file.file_code = code_of(c.file_code);
  file.video = &video;
  file.timecode = {static_cast<uint8_t>(counter >> 24), static_cast<uint8_t>(counter >> 16),
                   static_cast<uint8_t>(counter >> 8), static_cast<uint8_t>(counter)};
  file.timecode_duration = std::llround(video.packets.size() * 1e7 * c.rate.den / c.rate.num);
  const std::string path =
      test_temp_path("timecode-" + std::to_string(c.rate.num) + "-" + std::to_string(c.rate.den) +
                     (writer_flags ? "-resilient" : "") + extension_of(c.file_code));
  file.writer_flags = writer_flags;
  interop::write_through_slots(file, path);
  if (HasFatalFailure()) return;
  SCOPED_TRACE(path);

  interop::CommandResult probe =
      interop::run_command("ffprobe -v error -show_entries stream_tags=timecode -of csv=p=0 " +
                           interop::shell_quote(path));
  EXPECT_EQ(probe.err, "");
  std::vector<std::string> read = lines_of(probe.out);
  ASSERT_FALSE(read.empty()) << "ffprobe reads no timecode";
  for (const std::string& tc : read) EXPECT_EQ(tc, "01:00:00:00") << "ffprobe";

  auto info = interop::mediainfo(path, "Other", {"Format", "TimeCode_FirstFrame"});
  ASSERT_EQ(info.size(), 1u) << "mediainfo's timecode track";
  EXPECT_EQ(info[0][1], "01:00:00:00") << "mediainfo";
}

TEST_P(TimecodeReading, ReadersShowTheHostsTimecode) {
  check(0);
}

// Written as fragments and finished, the file reads the same.
TEST_P(TimecodeReading, ReadersShowTheHostsTimecodeWhenWrittenResilient) {
  check(MX_WRITE_RESILIENT);
}

const TimecodeCase kTimecodeCases[] = {
    {"MOV ", {30000, 1001}, 30},
    {"MOV ", {60000, 1001}, 60},
    {"MP4 ", {30000, 1001}, 30},
    {"MOV ", {25, 1}, 25},
};

INSTANTIATE_TEST_SUITE_P(Rates, TimecodeReading, ::testing::ValuesIn(kTimecodeCases),
                         [](const ::testing::TestParamInfo<TimecodeCase>& info) {
                           const TimecodeCase& c = info.param;
                           return trimmed(c.file_code) + "_" + std::to_string(c.rate.num) + "_" +
                                  std::to_string(c.rate.den);
                         });

// --------------------------------------------------- lossless audio lengths

struct LosslessCase {
  const char* file_code;
  Media media;
};

void PrintTo(const LosslessCase& c, std::ostream* os) {
  *os << trimmed(c.file_code) << " " << interop::media_name(c.media);
}

class LosslessLength : public ::testing::TestWithParam<LosslessCase> {
 protected:
  // Writes the case's file with these writer flags and checks what readers make of it.
  void check(uint32_t writer_flags);
};

// The sources last one second, which is no whole number of ALAC (4096) or FLAC
// (4608) frames: the last frame is short. Every reader must count the source's
// samples exactly, and decode the same samples.
void LosslessLength::check(uint32_t writer_flags) {
  const LosslessCase& c = GetParam();
  MX_REQUIRE_TOOLS("ffmpeg", "ffprobe", "mediainfo");
  const SourceTrack& audio = interop::source(c.media);
  MX_REQUIRE(audio.missing.empty(), audio.missing);
  const int64_t samples = std::llround(audio.seconds * audio.sample_rate);
  interop::SlotFile file;
  file.file_code = code_of(c.file_code);
  file.audio = &audio;
  const std::string path =
      test_temp_path(std::string("lossless-") + interop::media_name(c.media) +
                     (writer_flags ? "-resilient" : "") + extension_of(c.file_code));
  file.writer_flags = writer_flags;
  interop::write_through_slots(file, path);
  if (HasFatalFailure()) return;
  SCOPED_TRACE(path);

  expect_silent_decode(path);
  interop::CommandResult probe = interop::run_command(
      "ffprobe -v error -select_streams a:0 -show_entries stream=time_base,duration_ts "
      "-of csv=p=0 " +
      interop::shell_quote(path));
  EXPECT_EQ(probe.err, "");
  long long num = 0, den = 0, duration = 0;
  ASSERT_EQ(std::sscanf(probe.out.c_str(), "%lld/%lld,%lld", &num, &den, &duration), 3)
      << probe.out;
  ASSERT_EQ(num, 1);
  ASSERT_EQ(den, audio.sample_rate) << "the track counts samples";
  EXPECT_EQ(duration, samples) << "ffprobe's duration in samples";

  // The decoded samples, as many and the same as the source's.
  const std::string md5 = " -map 0:a:0 -f md5 -";
  interop::CommandResult ours =
      interop::run_command("ffmpeg -nostdin -v error -i " + interop::shell_quote(path) + md5);
  interop::CommandResult theirs = interop::run_command(
      "ffmpeg -nostdin -v error -i " + interop::shell_quote(audio.source_path) + md5);
  EXPECT_EQ(ours.err, "");
  EXPECT_EQ(ours.out, theirs.out) << "decoded samples differ from the source's";

  auto info = interop::mediainfo(path, "Audio", {"SamplingCount", "Duration"});
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0][0], std::to_string(samples)) << "mediainfo's sample count";
  EXPECT_NEAR(std::atof(info[0][1].c_str()), 1000.0 * samples / audio.sample_rate, 1.0)
      << "mediainfo's duration (ms)";
  if (!HasFailure() && std::getenv("MX_INTEROP_KEEP") == nullptr) std::remove(path.c_str());
}

TEST_P(LosslessLength, ReadersCountTheSourcesSamples) {
  check(0);
}

// Written as fragments and finished, the file reads the same.
TEST_P(LosslessLength, ReadersCountTheSourcesSamplesWhenWrittenResilient) {
  check(MX_WRITE_RESILIENT);
}

const LosslessCase kLosslessCases[] = {
    {"MP4 ", Media::kAlac},   {"MOV ", Media::kAlac},   {"M4A ", Media::kAlac},
    {"MP4 ", Media::kFlac16}, {"M4A ", Media::kFlac16}, {"MP4 ", Media::kFlac24},
};

INSTANTIATE_TEST_SUITE_P(Clips, LosslessLength, ::testing::ValuesIn(kLosslessCases),
                         [](const ::testing::TestParamInfo<LosslessCase>& info) {
                           std::string name = trimmed(info.param.file_code) + "_" +
                                              interop::media_name(info.param.media);
                           for (char& ch : name) {
                             if (ch == '-') ch = '_';
                           }
                           return name;
                         });

// ------------------------------------------------------ audio-only M4A / M4B

struct AudioOnlyCase {
  const char* file_code;
  int32_t media_kind;  // the host's media kind: 1 music, 2 audiobook
};

void PrintTo(const AudioOnlyCase& c, std::ostream* os) {
  *os << trimmed(c.file_code) << " kind " << c.media_kind;
}

class AudioOnly : public ::testing::TestWithParam<AudioOnlyCase> {
 protected:
  // Writes the case's file with these writer flags and checks what readers make of it.
  void check(uint32_t writer_flags);
};

// The track header holds the unity matrix, and exiftool and ffprobe agree on
// the media kind the host gave.
void AudioOnly::check(uint32_t writer_flags) {
  const AudioOnlyCase& c = GetParam();
  MX_REQUIRE_TOOLS("ffmpeg", "ffprobe", "exiftool");
  const SourceTrack& audio = interop::source(Media::kAac);
  MX_REQUIRE(audio.missing.empty(), audio.missing);
  interop::SlotFile file;
  file.file_code = code_of(c.file_code);
  file.audio = &audio;
  file.adjust = [&c](EncParam& p) {
    p.metadata.media_kind = c.media_kind;
    const MxChar title[] = {'A', ' ', 't', 'o', 'n', 'e', 0};
    std::copy(std::begin(title), std::end(title), p.metadata.title);
  };
  const std::string path =
      test_temp_path("audio-only-" + std::to_string(c.media_kind) +
                     (writer_flags ? "-resilient" : "") + extension_of(c.file_code));
  file.writer_flags = writer_flags;
  interop::write_through_slots(file, path);
  if (HasFatalFailure()) return;
  SCOPED_TRACE(path);

  expect_silent_decode(path);
  iso::Tree tree = iso::read_file(path);
  const iso::Box& tkhd = tree.at("moov/trak/tkhd");
  ASSERT_EQ(tkhd.version(), 0);
  // Version 0: the matrix of nine 32-bit values starts 40 bytes into the payload.
  const std::vector<uint8_t> payload = tkhd.payload();
  ASSERT_GE(payload.size(), 76u);
  const std::vector<uint8_t> matrix(payload.begin() + 40, payload.begin() + 76);
  EXPECT_EQ(iso::hex(matrix), iso::hex(hex_bytes("00010000 00000000 00000000"
                                                 "00000000 00010000 00000000"
                                                 "00000000 00000000 40000000")))
      << "the track's matrix";

  // Media kind 1 (music) is what readers assume without an item, so it is
  // written as no item at all; any other kind is exactly one item.
  const std::vector<const iso::Box*> stik = tree.all("stik");
  const std::string expected_kind = c.media_kind == 1 ? "" : std::to_string(c.media_kind);
  if (c.media_kind == 1) {
    EXPECT_TRUE(stik.empty()) << "media kind items\n" << tree.dump();
  } else {
    ASSERT_EQ(stik.size(), 1u) << "media kind items\n" << tree.dump();
    const iso::Box* data = stik[0]->child("data");
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->u8(data->payload_size() - 1), c.media_kind);
  }

  interop::CommandResult exif =
      interop::run_command("exiftool -s3 -n -MediaType " + interop::shell_quote(path));
  EXPECT_EQ(trimmed(exif.out), expected_kind) << "exiftool's media type";
  interop::CommandResult probe =
      interop::run_command("ffprobe -v error -show_entries format_tags=media_type -of csv=p=0 " +
                           interop::shell_quote(path));
  EXPECT_EQ(trimmed(probe.out), expected_kind) << "ffprobe's media type";
}

TEST_P(AudioOnly, HeadersAndMediaKindReadAsWritten) {
  check(0);
}

// Written as fragments and finished, the file reads the same.
TEST_P(AudioOnly, HeadersAndMediaKindReadAsWrittenWhenWrittenResilient) {
  check(MX_WRITE_RESILIENT);
}

const AudioOnlyCase kAudioOnlyCases[] = {{"M4A ", 1}, {"M4A ", 2}, {"M4B ", 2}};

INSTANTIATE_TEST_SUITE_P(Files, AudioOnly, ::testing::ValuesIn(kAudioOnlyCases),
                         [](const ::testing::TestParamInfo<AudioOnlyCase>& info) {
                           return trimmed(info.param.file_code) + "_kind_" +
                                  std::to_string(info.param.media_kind);
                         });

// ------------------------------------------------------------ stereo H.264

struct StereoCase {
  const char* file_code;
  uint32_t stereo_mode;  // 1 left-right, 2 top-bottom
};

void PrintTo(const StereoCase& c, std::ostream* os) {
  *os << trimmed(c.file_code) << " stereo " << c.stereo_mode;
}

class StereoH264 : public ::testing::TestWithParam<StereoCase> {
 protected:
  // Writes the case's file with these writer flags and checks what readers make of it.
  void check(uint32_t writer_flags);
};

// The frame packing is told in front of every IDR picture; the readers must
// find an access unit with a picture in every sample.
void StereoH264::check(uint32_t writer_flags) {
  const StereoCase& c = GetParam();
  MX_REQUIRE_TOOLS("ffmpeg", "ffprobe");
  const SourceTrack& video = interop::source(Media::kH264Pyramid);
  const SourceTrack& audio = interop::source(Media::kAac);
  MX_REQUIRE(video.missing.empty(), video.missing);
  interop::SlotFile file;
  file.file_code = code_of(c.file_code);
  file.video = &video;
  file.audio = &audio;
  file.adjust = [&c](EncParam& p) { p.video.stereo_mode = c.stereo_mode; };
  const std::string path =
      test_temp_path("stereo-" + std::to_string(c.stereo_mode) +
                     (writer_flags ? "-resilient" : "") + extension_of(c.file_code));
  file.writer_flags = writer_flags;
  interop::write_through_slots(file, path);
  if (HasFatalFailure()) return;
  SCOPED_TRACE(path);

  expect_silent_decode(path);
  interop::CommandResult probe = interop::run_command(
      "ffprobe -v error -select_streams v:0 -count_frames -show_entries "
      "stream=nb_read_frames,nb_frames -of csv=p=0 " +
      interop::shell_quote(path));
  EXPECT_EQ(probe.err, "");
  EXPECT_EQ(trimmed(probe.out),
            std::to_string(video.packets.size()) + "," + std::to_string(video.packets.size()))
      << "samples stored, frames decoded";
}

TEST_P(StereoH264, ReadersDecodeEveryPictureWithoutComplaint) {
  check(0);
}

// Written as fragments and finished, the file reads the same.
TEST_P(StereoH264, ReadersDecodeEveryPictureWithoutComplaintWhenWrittenResilient) {
  check(MX_WRITE_RESILIENT);
}

const StereoCase kStereoCases[] = {{"MP4 ", 1}, {"MP4 ", 2}, {"MOV ", 1}};

INSTANTIATE_TEST_SUITE_P(Files, StereoH264, ::testing::ValuesIn(kStereoCases),
                         [](const ::testing::TestParamInfo<StereoCase>& info) {
                           return trimmed(info.param.file_code) + "_" +
                                  std::to_string(info.param.stereo_mode);
                         });

}  // namespace
