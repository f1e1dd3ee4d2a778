// Files of the interoperability group read by VLC, whose MP4 demuxer shares no
// code with ffmpeg's: forced onto it, VLC remuxes each file to Matroska through
// its stream output. It must say nothing about the file beyond the boxes and
// handlers it does not know, and the remux must hold every video frame. Where
// VLC falls short, it does the same to ffmpeg's own file of the same streams;
// the controls at the end show each such limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "interop_files.h"
#include "interop_media.h"
#include "reader_controls.h"
#include "support/box_reader.h"
#include "support/test_files.h"
#include "support/tools.h"
#include "vlc_remux.h"

namespace {

using interop::FileCase;
using interop::Media;
using interop::SourceTrack;
using interop::VlcRemux;

// Boxes and handlers VLC does not know: no complaint about the file.
const std::regex kUnknownBoxOrHandler(
    R"(mp4 (demux|stream) warning: unknown (box|handler) type .*)");
// Notices VLC's MP4 demuxer gives at warning level of every track, ffmpeg's
// own files' included: that it found an edit list, and how many entries its
// tables of decoding times and composition offsets hold.
const std::regex kRoutineNotice(
    R"(mp4 demux warning: (elst box found|STTS table of \d+ entries|CTTS table of \d+ entries))");

// VLC's limits, each shown on ffmpeg's files by a control below.
//
// Video whose last frame VLC's stream output leaves out of the remux.
constexpr Media kLastFrameLeftOut[] = {Media::kDnxhd, Media::kDnxhr, Media::kCineform, Media::kFfv1,
                                       Media::kH263};
// What VLC says of the version 1 QuickTime sound description of AAC: a codec
// frame of 1024 samples per packet, bytes per packet and per frame 0, as
// ffmpeg writes it too.
const char kAacVersionOneWarning[] =
    "mp4 demux warning: Invalid sample values for qtff v1. Broken muxer! sz 0 spp 1024 bpf 0";
// Files of the F4V brand, which VLC does not open.
const std::vector<std::string> kNotOpened = {
    "main input error: Your input can't be opened",
    "main input error: VLC is unable to open the MRL 'file://$WORK/input.f4v'. Check the log for "
    "details.",
};

bool last_frame_left_out(Media m) {
  return std::find(std::begin(kLastFrameLeftOut), std::end(kLastFrameLeftOut), m) !=
         std::end(kLastFrameLeftOut);
}

bool is(const char* file_code, const char* code) {
  return std::string(file_code) == code;
}

// VLC's complaints but the unknown boxes and handlers and the routine notices.
std::vector<std::string> complaints_about_the_file(const VlcRemux& r) {
  std::vector<std::string> out;
  for (const std::string& line : r.complaints) {
    if (std::regex_match(line, kUnknownBoxOrHandler) || std::regex_match(line, kRoutineNotice)) {
      continue;
    }
    out.push_back(line);
  }
  return out;
}

// What VLC may say of the case's file: nothing, but for VLC's own limits.
std::vector<std::string> expected_complaints(const FileCase& c) {
  if (is(c.file_code, "NF4V")) return kNotOpened;
  if (is(c.file_code, "MOV ") && c.audio == Media::kAac) return {kAacVersionOneWarning};
  return {};
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

class VlcReads : public ::testing::TestWithParam<FileCase> {
 protected:
  void SetUp() override {
    const std::string missing = interop::vlc_missing();
    MX_REQUIRE(missing.empty(), missing);
    MX_REQUIRE_TOOLS("ffmpeg", "ffprobe");
  }
  // VLC remuxes the case's file without a complaint but for its known limits.
  void expect_remux(uint32_t writer_flags);
};

void VlcReads::expect_remux(uint32_t writer_flags) {
  const FileCase& c = GetParam();
  const SourceTrack* video = interop::video_source(c);
  const SourceTrack* audio = interop::audio_source(c);
  for (const SourceTrack* s : {video, audio}) {
    if (s) MX_REQUIRE(s->missing.empty(), s->missing);
  }
  const std::string path =
      test_temp_path("vlc-" + interop::case_name(c) + (writer_flags ? "-resilient" : "") +
                     interop::extension_for(c.file_code));
  interop::write_case(c, path, writer_flags);
  if (HasFatalFailure()) return;
  SCOPED_TRACE(path);

  const VlcRemux ours = interop::vlc_remux(path);
  ASSERT_EQ(ours.failure, "");
  EXPECT_EQ(joined(complaints_about_the_file(ours)), joined(expected_complaints(c)))
      << "everything VLC said:\n"
      << joined(ours.complaints);
  if (is(c.file_code, "NF4V")) {
    // Not opened: VLC does the same to ffmpeg's F4V file (VlcLimits.F4vIsNotOpened).
    EXPECT_EQ(ours.video_frames, -1);
  } else {
    if (video) {
      const int frames = static_cast<int>(video->packets.size());
      EXPECT_EQ(ours.video_frames, last_frame_left_out(video->media) ? frames - 1 : frames)
          << "video frames in VLC's remux";
    }
    if (audio) {
      EXPECT_GT(ours.audio_packets, 0) << "sound in VLC's remux";
    }
  }
  if (!HasFailure() && std::getenv("MX_INTEROP_KEEP") == nullptr) {
    std::remove(path.c_str());
    if (c.feature == interop::Feature::kLivePhoto) {
      std::remove((path.substr(0, path.size() - 4) + ".jpg").c_str());
    }
  }
}

TEST_P(VlcReads, RemuxHoldsEveryFrameWithoutComplaint) {
  expect_remux(0);
}

// Written as fragments and finished, the file reads the same.
TEST_P(VlcReads, RemuxOfTheResilientFileHoldsEveryFrameWithoutComplaint) {
  expect_remux(MX_WRITE_RESILIENT);
}

INSTANTIATE_TEST_SUITE_P(Files, VlcReads, ::testing::ValuesIn(interop::every_file()),
                         [](const ::testing::TestParamInfo<FileCase>& info) {
                           return interop::case_name(info.param);
                         });

// ------------------------------------------------------------ VLC's limits

class VlcLimits : public VlcReads {};

FileCase file_of(const char* file_code, Media video, Media audio) {
  return {file_code, video, audio};
}

// The notices left out above come with ffmpeg's own files: an edit list, and
// tables of decoding times and composition offsets.
TEST_F(VlcLimits, RoutineNoticesComeWithFfmpegsFiles) {
  const FileCase c = file_of("MP4 ", Media::kH264, Media::kAac);
  const interop::Control control = interop::file_control(c);
  ASSERT_NE(control.path, "") << control.refusal;
  const VlcRemux theirs = interop::vlc_remux(control.path);
  ASSERT_EQ(theirs.failure, "");
  std::vector<std::string> notices;
  for (const std::string& line : theirs.complaints) {
    if (std::regex_match(line, kRoutineNotice)) notices.push_back(line);
  }
  EXPECT_EQ(notices.size(), theirs.complaints.size()) << joined(theirs.complaints);
  for (const char* notice : {"elst box found", "STTS table of", "CTTS table of"}) {
    EXPECT_NE(joined(notices).find(notice), std::string::npos) << notice;
  }
}

// VLC's stream output leaves the last frame of these codecs out of the remux of
// ffmpeg's own files too, and keeps every frame of the others.
TEST_F(VlcLimits, LastFrameOfSomeCodecsIsLeftOutOfFfmpegsFilesToo) {
  for (Media m : {Media::kDnxhd, Media::kDnxhr, Media::kCineform, Media::kFfv1, Media::kH263,
                  Media::kH264, Media::kHevc, Media::kAv1, Media::kMpeg4Visual}) {
    const SourceTrack& video = interop::source(m);
    MX_REQUIRE(video.missing.empty(), video.missing);
    const std::string control = interop::stream_control(video);
    SCOPED_TRACE(control);
    const VlcRemux theirs = interop::vlc_remux(control);
    ASSERT_EQ(theirs.failure, "");
    const int frames = static_cast<int>(video.packets.size());
    EXPECT_EQ(theirs.video_frames, last_frame_left_out(m) ? frames - 1 : frames)
        << interop::media_name(m);
  }
}

// The four version 1 fields of a sound description: samples per packet,
// bytes per packet, bytes per frame, bytes per sample.
std::vector<uint8_t> version_one_fields(const std::string& path) {
  const iso::Tree tree = iso::read_file(path);
  for (const iso::Box* stsd : tree.all("stsd")) {
    const std::vector<uint8_t> p = stsd->payload();
    // Full box header and entry count, then the entry: size, type, and the
    // version at 16 bytes into it, the version 1 fields at 36.
    if (p.size() >= 8 + 52 && std::string(p.begin() + 12, p.begin() + 16) == "mp4a" &&
        p[8 + 17] == 1) {
      return std::vector<uint8_t>(p.begin() + 8 + 36, p.begin() + 8 + 52);
    }
  }
  return {};
}

// ffmpeg writes AAC in QuickTime movies with the same version 1 fields as
// ours, and VLC says the same of them.
TEST_F(VlcLimits, AacInQuickTimeWarnsOfFfmpegsFileToo) {
  const FileCase c = file_of("MOV ", Media::kH264, Media::kAac);
  MX_REQUIRE(interop::source(Media::kAac).missing.empty(), interop::source(Media::kAac).missing);
  const interop::Control control = interop::file_control(c);
  ASSERT_NE(control.path, "") << control.refusal;
  const std::string ours = test_temp_path("vlc-aac-fields.mov");
  interop::write_case(c, ours);
  if (HasFatalFailure()) return;
  EXPECT_EQ(iso::hex(version_one_fields(ours)),
            iso::hex(hex_bytes("00000400 00000000 00000000 00000002")));
  EXPECT_EQ(iso::hex(version_one_fields(control.path)), iso::hex(version_one_fields(ours)));
  std::remove(ours.c_str());

  const VlcRemux theirs = interop::vlc_remux(control.path);
  ASSERT_EQ(theirs.failure, "");
  EXPECT_EQ(joined(complaints_about_the_file(theirs)), joined({kAacVersionOneWarning}));
}

// VLC does not open a file of the F4V brand, ffmpeg's included.
TEST_F(VlcLimits, F4vIsNotOpened) {
  const FileCase c = file_of("NF4V", Media::kH264, Media::kAac);
  const interop::Control control = interop::file_control(c);
  ASSERT_NE(control.path, "") << control.refusal;
  const VlcRemux theirs = interop::vlc_remux(control.path);
  ASSERT_EQ(theirs.failure, "");
  EXPECT_EQ(joined(complaints_about_the_file(theirs)), joined(kNotOpened));
  EXPECT_EQ(theirs.video_frames, -1);
}

}  // namespace
