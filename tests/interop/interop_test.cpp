// Files written through the plug-in's slots, as a host writes them, checked with
// the Debian ffmpeg tools as black-box readers: no complaint from ffprobe, the
// expected streams, every frame decodes, decoded pictures hash like the source's,
// and every sample holds the bytes the host handed over.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "interop_files.h"
#include "interop_media.h"
#include "support/box_reader.h"
#include "support/plugin_host.h"
#include "support/test_files.h"
#include "support/tools.h"
#include "support/track_samples.h"

namespace {

using interop::FileCase;
using interop::Media;
using interop::SourceTrack;
using Bytes = std::vector<uint8_t>;

bool is_pcm(Media m) {
  return m == Media::kPcm16 || m == Media::kPcm32Float;
}

// The Debian ffmpeg 5.1 does not know fpcm (32-bit float ISO PCM): it reports
// the stream with an unknown codec and cannot decode it. Those files' samples are
// read back through the sample tables instead.
bool unknown_to_ffmpeg(const FileCase& c) {
  return c.audio && *c.audio == Media::kPcm32Float && std::string(c.file_code) != "MOV ";
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

class Interop : public ::testing::TestWithParam<FileCase> {
 protected:
  void SetUp() override {
    const FileCase& c = GetParam();
    MX_REQUIRE_TOOLS("ffmpeg", "ffprobe");
    video = interop::video_source(c);
    audio = interop::audio_source(c);
    for (const SourceTrack* s : {video, audio}) {
      if (s) MX_REQUIRE(s->missing.empty(), s->missing);
    }
  }
  // The reader checks every file of the group passes.
  void check_readers(const FileCase& c, const std::string& path);

  const SourceTrack* video = nullptr;
  const SourceTrack* audio = nullptr;
};

TEST_P(Interop, ReadersAcceptTheFile) {
  const FileCase& c = GetParam();
  const std::string path = test_temp_path(interop::case_name(c) + ".out");
  interop::write_case(c, path);
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
  const FileCase& c = GetParam();
  const std::string plain = test_temp_path(interop::case_name(c) + ".plain");
  const std::string path = test_temp_path(interop::case_name(c) + ".resilient");
  interop::write_case(c, plain);
  interop::write_case(c, path, MX_WRITE_RESILIENT);
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

void Interop::check_readers(const FileCase& c, const std::string& path) {
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

INSTANTIATE_TEST_SUITE_P(Files, Interop, ::testing::ValuesIn(interop::interop_files()),
                         [](const ::testing::TestParamInfo<FileCase>& info) {
                           return interop::case_name(info.param);
                         });

}  // namespace
