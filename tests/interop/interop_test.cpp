// Files written through the plug-in's slots, as a host writes them, checked with
// the Debian ffmpeg tools as black-box readers: no complaint from ffprobe, the
// expected streams, every frame decodes, decoded pictures hash like the source's,
// and every sample holds the bytes the host handed over.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "interop_media.h"
#include "slot_writer.h"
#include "support/box_reader.h"
#include "support/plugin_host.h"
#include "support/test_files.h"
#include "support/tools.h"
#include "support/track_samples.h"

namespace {

using interop::Media;
using interop::SourceTrack;
using Bytes = std::vector<uint8_t>;

struct Case {
  const char* file_code;
  std::optional<Media> video;
  std::optional<Media> audio;
  const char* video_code = nullptr;  // the host's video code when not the codec's usual one
  const char* audio_code = nullptr;
};

void PrintTo(const Case& c, std::ostream* os);

std::string case_name(const Case& c) {
  std::string name = c.file_code;
  while (!name.empty() && name.back() == ' ') name.pop_back();
  if (c.video) name += std::string("_") + interop::media_name(*c.video);
  if (c.audio) name += std::string("_") + interop::media_name(*c.audio);
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
}

void PrintTo(const Case& c, std::ostream* os) {
  *os << case_name(c);
}

uint32_t code_of(const char* s) {
  return MX_FOURCC(s[0], s[1], s[2], s[3]);
}

bool is_pcm(Media m) {
  return m == Media::kPcm16 || m == Media::kPcm32Float;
}

// The Debian ffmpeg 5.1 does not know fpcm (32-bit float ISO PCM): it reports
// the stream with an unknown codec and cannot decode it. Those files' samples are
// read back through the sample tables instead.
bool unknown_to_ffmpeg(const Case& c) {
  return c.audio && *c.audio == Media::kPcm32Float && std::string(c.file_code) != "MOV ";
}

// Writes the file through the slots: configuration first, then the packets of
// both streams in decoding order; plainly, or as the writer flags say.
void write_through_slots(const Case& c, const SourceTrack* video, const SourceTrack* audio,
                         const std::string& path, uint32_t writer_flags = 0) {
  interop::SlotFile file;
  file.writer_flags = writer_flags;
  file.file_code = code_of(c.file_code);
  file.video = video;
  file.audio = audio;
  if (c.video_code) file.video_code = code_of(c.video_code);
  if (c.audio_code) file.audio_code = code_of(c.audio_code);
  interop::write_through_slots(file, path);
}

const interop::ProbedStream* stream_of_type(const interop::Probe& p, const std::string& type) {
  for (const auto& s : p.streams) {
    if (s.get("codec_type") == type) return &s;
  }
  return nullptr;
}

Bytes concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& b : parts) out.insert(out.end(), b.begin(), b.end());
  return out;
}

// The samples of the file's track with this handler, read through the sample tables.
std::vector<Bytes> samples_from_tables(const std::string& path, const std::string& handler) {
  Bytes file = read_whole_file(path);
  iso::Tree tree = iso::parse(file);
  std::vector<Bytes> out;
  const iso::Box& moov = tree.at("moov");
  for (size_t i = 0; i < moov.count("trak"); ++i) {
    TrackSamples t = read_track_samples(*moov.child("trak", i));
    if (t.handler != handler) continue;
    for (const TrackSample& s : t.samples) out.push_back(sample_bytes(file, s));
  }
  return out;
}

class Interop : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    const Case& c = GetParam();
    MX_REQUIRE_TOOLS("ffmpeg", "ffprobe");
    video = c.video ? &interop::source(*c.video) : nullptr;
    audio = c.audio ? &interop::source(*c.audio) : nullptr;
    for (const SourceTrack* s : {video, audio}) {
      if (s) MX_REQUIRE(s->missing.empty(), s->missing);
    }
  }
  // The reader checks every file of the group passes.
  void check_readers(const Case& c, const std::string& path);

  const SourceTrack* video = nullptr;
  const SourceTrack* audio = nullptr;
};

TEST_P(Interop, ReadersAcceptTheFile) {
  const Case& c = GetParam();
  const std::string path = test_temp_path(case_name(c) + ".out");
  write_through_slots(c, video, audio, path);
  if (HasFatalFailure()) return;
  SCOPED_TRACE(path);
  check_readers(c, path);
  // Kept for a look when something failed, or when MX_INTEROP_KEEP is set.
  if (!HasFailure() && std::getenv("MX_INTEROP_KEEP") == nullptr) std::remove(path.c_str());
}

// ffprobe's packets (times, durations, flags, sizes) and the file's tags but
// the creation time (a file's own), to compare two files of the same media.
std::string packets_and_tags(const std::string& path) {
  std::string text = interop::run_command(
                         "ffprobe -v error -show_entries "
                         "packet=stream_index,pts,dts,duration,flags,size:stream_tags:format_tags "
                         "-of compact " +
                         interop::shell_quote(path))
                         .out;
  const std::string field = "|tag:creation_time=";
  for (size_t at = text.find(field); at != std::string::npos; at = text.find(field, at)) {
    const size_t end = text.find_first_of("|\n", at + 1);
    text.erase(at, end == std::string::npos ? std::string::npos : end - at);
  }
  return text;
}

// Written resilient, the finished file passes the same checks, and readers
// find the plain file's packets, times and tags in it.
TEST_P(Interop, ReadersAcceptTheResilientFile) {
  const Case& c = GetParam();
  const std::string plain = test_temp_path(case_name(c) + ".plain");
  const std::string path = test_temp_path(case_name(c) + ".resilient");
  write_through_slots(c, video, audio, plain);
  write_through_slots(c, video, audio, path, MX_WRITE_RESILIENT);
  if (HasFatalFailure()) return;
  SCOPED_TRACE(path);
  check_readers(c, path);
  EXPECT_EQ(packets_and_tags(path), packets_and_tags(plain));
  const iso::Tree tree = iso::read_file(path);
  EXPECT_EQ(tree.find("moof"), nullptr) << tree.dump();
  EXPECT_EQ(tree.types().back(), "moov");
  if (!HasFailure() && std::getenv("MX_INTEROP_KEEP") == nullptr) {
    std::remove(path.c_str());
    std::remove(plain.c_str());
  }
}

void Interop::check_readers(const Case& c, const std::string& path) {
  // ffprobe: nothing to complain about, the expected streams.
  interop::Probe p = interop::probe(path, false);
  EXPECT_EQ(p.errors, "");
  EXPECT_EQ(p.streams.size(), (video ? 1u : 0u) + (audio ? 1u : 0u));
  if (video) {
    const interop::ProbedStream* v = stream_of_type(p, "video");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->get("codec_name"), video->codec_name);
    EXPECT_EQ(v->get_int("width"), video->width);
    EXPECT_EQ(v->get_int("height"), video->height);
    EXPECT_EQ(v->get_int("nb_frames"), static_cast<int64_t>(video->packets.size()));
    EXPECT_NEAR(std::stod(v->get("duration")), video->packets.size() / video->frame_rate, 0.041);
  }
  if (audio) {
    const interop::ProbedStream* a = stream_of_type(p, "audio");
    ASSERT_NE(a, nullptr);
    if (!unknown_to_ffmpeg(c)) {
      EXPECT_EQ(a->get("codec_name"), audio->codec_name);
      // The readers apply the edit list: an AAC track starts 1600 samples in.
      // A short last frame (ALAC, FLAC) counts with its own length.
      EXPECT_NEAR(std::stod(a->get("duration")), audio->seconds, 0.05);
    }
    EXPECT_EQ(a->get_int("sample_rate"), audio->sample_rate);
    EXPECT_EQ(a->get_int("channels"), audio->channels);
  }

  // ffmpeg decodes every frame without a word; decoded pictures hash like the source's.
  if (!unknown_to_ffmpeg(c) || video) {
    std::string cmd = "ffmpeg -nostdin -v error -i " + interop::shell_quote(path);
    if (video) cmd += " -map 0:v:0 -f framemd5 -";
    cmd += unknown_to_ffmpeg(c) ? " -map 0:v -f null -" : " -map 0 -f null -";
    interop::CommandResult decode = interop::run_command(cmd);
    EXPECT_EQ(decode.err, "");
    EXPECT_EQ(decode.status, 0);
    if (video) {
      std::vector<std::string> ours = interop::parse_framemd5(decode.out);
      EXPECT_EQ(ours.size(), video->packets.size());
      EXPECT_EQ(ours, interop::reference_hashes(*video));
    }
  }

  // Every sample holds the bytes the host handed over (converted where the
  // plug-in converts them).
  interop::Probe packets = interop::probe(path, true, "-ignore_editlist 1");
  for (const SourceTrack* s : {video, audio}) {
    if (!s) continue;
    const std::string type = s->video ? "video" : "audio";
    const interop::ProbedStream* st = stream_of_type(packets, type);
    ASSERT_NE(st, nullptr);
    const int index = static_cast<int>(st->get_int("index"));
    std::vector<Bytes> demuxed;
    for (const auto& pk : packets.packets) {
      if (pk.stream_index == index) demuxed.push_back(pk.data);
    }
    if (is_pcm(s->media)) {
      // PCM samples are single frames; readers regroup them. Compare the stream.
      std::vector<Bytes> from_tables = samples_from_tables(path, "soun");
      EXPECT_EQ(concat(from_tables), concat(s->stored)) << "PCM bytes in the sample tables";
      if (!unknown_to_ffmpeg(c)) {
        EXPECT_EQ(concat(demuxed), concat(s->stored)) << "PCM bytes demuxed";
      }
    } else {
      EXPECT_EQ(demuxed.size(), s->stored.size()) << type;
      EXPECT_TRUE(demuxed == s->stored) << type << " packets differ";
    }
  }
}

const Case kCases[] = {
    // MP4
    {"MP4 ", Media::kH264, Media::kAac},
    {"MP4 ", Media::kMpeg4Visual, Media::kAc3Stereo},
    {"MP4 ", Media::kH264, Media::kAc3Surround},
    {"MP4 ", Media::kCineform, Media::kAlac},
    {"MP4 ", Media::kH264, Media::kFlac16},
    {"MP4 ", Media::kH264, Media::kFlac24},
    {"MP4 ", Media::kH264, Media::kPcm16},
    {"MP4 ", Media::kH264, Media::kPcm32Float},
    {"MP4 ", Media::kFfv1, Media::kAac},
    {"MP4 ", Media::kHevc, Media::kAac},
    {"MP4 ", Media::kAv1, Media::kAac},
    // QuickTime
    {"MOV ", Media::kH264, Media::kAac},
    {"MOV ", Media::kMpeg4Visual, Media::kPcm16},
    {"MOV ", Media::kDnxhd, Media::kPcm32Float},
    {"MOV ", Media::kDnxhr, Media::kAc3Stereo},
    {"MOV ", Media::kH264, Media::kAc3Surround},
    {"MOV ", Media::kCineform, Media::kAlac},
    {"MOV ", Media::kFfv1, Media::kAac},
    {"MOV ", Media::kH263, Media::kAac},
    {"MOV ", Media::kHevc, Media::kPcm16},
    // Audio only
    {"M4A ", std::nullopt, Media::kAac},
    {"M4A ", std::nullopt, Media::kAc3Surround},
    {"M4A ", std::nullopt, Media::kAlac},
    {"M4A ", std::nullopt, Media::kFlac16},
    {"M4A ", std::nullopt, Media::kFlac24},
    {"M4A ", std::nullopt, Media::kPcm16},
    {"M4A ", std::nullopt, Media::kPcm32Float},
    // 3GPP and 3GPP2
    {"3GP ", Media::kH263, Media::kAmrNb},
    {"3GP ", Media::kMpeg4Visual, Media::kAac},
    {"3GP2", Media::kH264, Media::kAmrNb},
    {"3GP2", Media::kMpeg4Visual, Media::kAac},
    {"KDDI", Media::kMpeg4Visual, Media::kAac},
    // F4V ("F4V " is written as MP4, "NF4V" in the F4V flavour)
    {"F4V ", Media::kH264, Media::kAac, "FAVC", "MAAC"},
    {"F4V ", Media::kH264, Media::kAc3Stereo, "FAVC"},
    {"F4V ", Media::kH264, Media::kFlac16, "FAVC"},
    {"F4V ", Media::kH264, Media::kPcm16, "FAVC"},
    {"NF4V", Media::kH264, Media::kAac, "A264"},
    {"NF4V", Media::kH264, Media::kPcm32Float, "A264"},
    // M4V
    {"M4V ", Media::kH264, Media::kAac},
    {"M4V ", Media::kMpeg4Visual, Media::kAlac},
    {"M4V ", Media::kH264, Media::kPcm16},
};

INSTANTIATE_TEST_SUITE_P(Files, Interop, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return case_name(info.param);
                         });

}  // namespace
