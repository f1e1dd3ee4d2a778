// Resilient writing (MX_WRITE_RESILIENT), read back with the test-side box
// reader: what a file shows while it is written (a movie head and complete
// fragments, the open one hidden), that every shown fragment states its
// samples exactly as the finished file does, that the finished file has the
// plain file's sample tables, and what each step of the finalising leaves.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#endif

#include "resilient_session.h"
#include "support/box_reader.h"
#include "support/child_process.h"
#include "support/fragment_samples.h"
#include "support/plugin_host.h"
#include "support/test_files.h"
#include "support/track_samples.h"

namespace {

using resilient::Bytes;
using resilient::Case;

// Every file kind, both slot paths, every codec of the tables; timecode, the
// Live Photo still-time track and dual audio.
const Case kCases[] = {
    {"Mp4H264Aac", "MP4 ", "H264", "AAC ", 16, true},
    {"MovHevcPcm", "MOV ", "HEVC", "PCM ", 16, true},
    {"Mp4Av1Flac", "MP4 ", "AV1 ", "flac"},
    {"M4aAlac", "M4A ", nullptr, "ALAC"},
    {"M4bAac", "M4B ", nullptr, "AAC "},
    {"ThreeGpH263Amr", "3GP ", "H263", "AMRN"},
    {"ThreeG2H264Amr", "3GP2", "H264", "AMRN"},
    {"KddiMpeg4Aac", "KDDI", "MP4V", "AAC ", 16, true},
    {"M4vVt64Ac3", "M4V ", "VT64", "AC3 "},
    {"F4vH264FloatPcm", "NF4V", "H264", "PCM ", 32},
    {"MovDnxhdAlac", "MOV ", "AVHD", "ALAC"},
    {"MovCineformPcm", "MOV ", "CFHD", "PCM "},
    {"Mp4Ffv1Flac24", "MP4 ", "FFV1", "flac", 24},
    {"Mp4H264DualAudio", "MP4 ", "H264", "EAAC"},
    {"MovH264Timecode", "MOV ", "H264", "AAC ", 16, false, true},
    {"LivePhoto", "MOV ", "H264", "AAC ", 16, false, false, true},
};

std::vector<std::string> top_level(const iso::Tree& tree) {
  return tree.types();
}

// The tracks of a file's last movie box, by track ID.
std::map<uint32_t, TrackSamples> tracks_of(const iso::Tree& tree) {
  std::map<uint32_t, TrackSamples> out;
  const iso::Box* moov = nullptr;
  for (const iso::Box& b : tree.boxes)
    if (b.type == "moov") moov = &b;
  if (moov == nullptr) throw std::runtime_error("no movie box\n" + tree.dump());
  for (size_t i = 0; i < moov->count("trak"); ++i) {
    const iso::Box& trak = *moov->child("trak", i);
    out[trak.at("tkhd").u32(trak.at("tkhd").version() == 1 ? 20 : 12)] = read_track_samples(trak);
  }
  return out;
}

void expect_same_sample(const TrackSample& a, const TrackSample& b, const std::string& what) {
  EXPECT_EQ(a.offset, b.offset) << what;
  EXPECT_EQ(a.size, b.size) << what;
  EXPECT_EQ(a.delta, b.delta) << what;
  EXPECT_EQ(a.composition, b.composition) << what;
  EXPECT_EQ(a.sync, b.sync) << what;
}

// Bytes with every text shaped like a content identifier (a random UUID per
// Live Photo) replaced by zeros.
Bytes without_content_ids(Bytes bytes) {
  auto hex_digit = [](uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
  for (size_t i = 0; i + 36 <= bytes.size(); ++i) {
    bool id = true;
    for (size_t k = 0; k < 36 && id; ++k) {
      const bool dash = k == 8 || k == 13 || k == 18 || k == 23;
      id = dash ? bytes[i + k] == '-' : hex_digit(bytes[i + k]);
    }
    if (id)
      std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(i),
                bytes.begin() + static_cast<std::ptrdiff_t>(i + 36), '0');
  }
  return bytes;
}

// The payload of a box with the creation and modification times cleared.
Bytes without_times(const iso::Box& box) {
  Bytes p = box.payload();
  const size_t width = box.version() == 1 ? 16 : 8;
  std::fill(p.begin() + 4, p.begin() + 4 + static_cast<std::ptrdiff_t>(width), 0);
  return p;
}

// Every box the two traks share must hold the same bytes, but for the times
// and the chunk tables.
void expect_same_trak(const iso::Box& plain, const iso::Box& resilient, const std::string& what) {
  EXPECT_EQ(without_times(plain.at("tkhd")), without_times(resilient.at("tkhd"))) << what;
  EXPECT_EQ(without_times(plain.at("mdia/mdhd")), without_times(resilient.at("mdia/mdhd"))) << what;
  for (const char* path :
       {"tref", "edts", "udta", "uuid", "mdia/hdlr", "mdia/minf/stbl/stsd", "mdia/minf/stbl/stts",
        "mdia/minf/stbl/ctts", "mdia/minf/stbl/stss", "mdia/minf/stbl/stsz"}) {
    const iso::Box* a = plain.find(path);
    const iso::Box* b = resilient.find(path);
    ASSERT_EQ(a != nullptr, b != nullptr) << what << " " << path;
    if (a) {
      EXPECT_EQ(a->payload(), b->payload()) << what << " " << path;
    }
  }
}

}  // namespace

namespace resilient {
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}
}  // namespace resilient

namespace {

class ResilientFiles : public ::testing::TestWithParam<Case> {
 protected:
  void TearDown() override { host::slots_for(host::fourcc("MP4 ")).SetWriterOptions(nullptr); }
};

// While a file is written, it shows ftyp, the room of its head (a free box
// with a 16-byte header), the movie head, then complete fragments; of the open
// fragment, once its first bytes leave the output buffer, a free box and an
// mdat up to the end of the file. Every sample
// a shown fragment describes is the finished file's sample: same place,
// size, duration, composition offset and sync flag; every traf's decode time
// is the sum of the durations before it.
TEST_P(ResilientFiles, ShownFragmentsStateTheirSamplesAsTheFinishedFileDoes) {
  const Case& c = GetParam();
  const std::string path = test_temp_path(std::string(c.name) + ".res");
  auto params = resilient::params_of(c);
  auto sink = resilient::slot_sink(*params, path, MX_WRITE_RESILIENT);
  resilient::write_frames(c, *sink);
  if (HasFatalFailure()) return;
  const Bytes written = read_whole_file(path);  // before close
  sink->close();
  const Bytes finished = read_whole_file(path);

  const iso::Tree open = iso::parse(written);
  ASSERT_TRUE(open.error.empty()) << open.dump();
  const std::vector<std::string> types = top_level(open);
  ASSERT_GE(types.size(), 7u) << open.dump();
  EXPECT_EQ(types[0], "ftyp");
  EXPECT_EQ(types[1], "free");
  EXPECT_TRUE(open.boxes[1].large_size) << open.dump();
  EXPECT_EQ(types[2], "moov");
  EXPECT_EQ(types[3], "moof");
  EXPECT_EQ(types.back(), "mdat");
  // moof mdat, then free moof mdat, ..., and maybe a free box and an open mdat.
  const bool open_fragment = open.boxes.back().to_end;
  const size_t shown_end = types.size() - (open_fragment ? 2 : 0);
  for (size_t i = 3; i < shown_end; ++i) {
    const std::string expected = (i - 3) % 3 == 0 ? "moof" : (i - 3) % 3 == 1 ? "mdat" : "free";
    EXPECT_EQ(types[i], expected) << i << "\n" << open.dump();
    if (types[i] == "mdat") {
      EXPECT_FALSE(open.boxes[i].to_end) << i;
    }
  }
  if (open_fragment) {
    EXPECT_EQ(types[types.size() - 2], "free");
  }
  const iso::Box& head = open.at("moov");
  ASSERT_NE(head.find("mvex"), nullptr);
  EXPECT_EQ(head.at("mvex").count("trex"), head.count("trak"));
  EXPECT_EQ(head.at("mvhd").u32(16), 0u) << "a movie head's duration is not known";

  const FragmentedFile fragments = read_fragments(open);
  const std::map<uint32_t, TrackSamples> tables = tracks_of(iso::parse(finished));
  ASSERT_FALSE(fragments.tracks.empty());
  size_t shown = 0, total = 0;
  for (const auto& [id, track] : tables) total += track.samples.size();
  EXPECT_GE(fragments.moof_offsets.size(), 2u) << "fragments of about a second";
  for (size_t i = 0; i < fragments.sequence_numbers.size(); ++i)
    EXPECT_EQ(fragments.sequence_numbers[i], i + 1);
  for (const auto& [id, track] : fragments.tracks) {
    const std::string what = std::string(c.name) + " track " + std::to_string(id);
    ASSERT_EQ(tables.count(id), 1u) << what;
    const std::vector<TrackSample>& all = tables.at(id).samples;
    ASSERT_LE(track.samples.size(), all.size()) << what;
    shown += track.samples.size();
    uint64_t time = 0;
    size_t traf = 0;
    for (size_t i = 0; i < track.samples.size(); ++i) {
      if (traf < track.traf_first.size() && track.traf_first[traf] == i) {
        EXPECT_EQ(track.decode_times.at(traf), time) << what << " traf " << traf;
        ++traf;
      }
      expect_same_sample(track.samples[i], all[i], what + " sample " + std::to_string(i));
      EXPECT_EQ(sample_bytes(written, track.samples[i]), sample_bytes(finished, all[i])) << what;
      time += track.samples[i].delta;
    }
  }
  EXPECT_LT(shown, total) << "the open fragment holds the last samples";
  if (!HasFailure()) std::remove(path.c_str());
}

// The finished file is a plain file: ftyp, free boxes and media data, and one
// movie box at the end, whose sample tables are the plain file's but for
// chunks and offsets; the samples hold the same bytes.
TEST_P(ResilientFiles, FinishedFileHasThePlainFilesTables) {
  const Case& c = GetParam();
  const std::string plain_path = test_temp_path(std::string(c.name) + ".plain");
  const std::string path = test_temp_path(std::string(c.name) + ".finished");
  resilient::write_case(c, plain_path, 0);
  resilient::write_case(c, path, MX_WRITE_RESILIENT);
  if (HasFatalFailure()) return;
  const Bytes plain_bytes = read_whole_file(plain_path);
  const Bytes bytes = read_whole_file(path);
  const iso::Tree plain = iso::parse(plain_bytes);
  const iso::Tree tree = iso::parse(bytes);
  ASSERT_TRUE(tree.error.empty()) << tree.dump();

  const std::vector<std::string> types = top_level(tree);
  EXPECT_EQ(types.front(), "ftyp");
  EXPECT_EQ(types.back(), "moov");
  for (size_t i = 1; i + 1 < types.size(); ++i)
    EXPECT_TRUE(types[i] == "free" || types[i] == "mdat") << i << "\n" << tree.dump();
  EXPECT_EQ(tree.at("ftyp").bytes(), plain.at("ftyp").bytes());

  const iso::Box& plain_moov = plain.at("moov");
  const iso::Box& moov = tree.at("moov");
  EXPECT_EQ(moov.find("mvex"), nullptr);
  EXPECT_EQ(without_times(moov.at("mvhd")), without_times(plain_moov.at("mvhd")));
  ASSERT_EQ(moov.count("trak"), plain_moov.count("trak"));
  for (size_t i = 0; i < moov.count("trak"); ++i) {
    const std::string what = std::string(c.name) + " trak " + std::to_string(i);
    expect_same_trak(*plain_moov.child("trak", i), *moov.child("trak", i), what);
    const TrackSamples a = read_track_samples(*plain_moov.child("trak", i));
    const TrackSamples b = read_track_samples(*moov.child("trak", i));
    ASSERT_EQ(a.samples.size(), b.samples.size()) << what;
    for (size_t k = 0; k < a.samples.size(); ++k)
      ASSERT_EQ(sample_bytes(plain_bytes, a.samples[k]), sample_bytes(bytes, b.samples[k]))
          << what << " sample " << k;
  }
  for (const char* path_in_moov : {"meta", "udta"}) {
    const iso::Box* a = plain_moov.find(path_in_moov);
    const iso::Box* b = moov.find(path_in_moov);
    ASSERT_EQ(a != nullptr, b != nullptr) << path_in_moov;
    if (a) {
      EXPECT_EQ(without_content_ids(a->payload()), without_content_ids(b->payload()))
          << path_in_moov;
    }
  }
  if (!HasFailure()) {
    std::remove(plain_path.c_str());
    std::remove(path.c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ResilientFiles, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });

// The multi-stream slots write the same fragments: the flag comes from the
// module's writer options.
TEST(ResilientMultiStream, WritesTheSameFileAsTheSingleStreamSlots) {
  const Case cases[] = {
      {"MultiMp4H264Aac", "MP4 ", "H264", "AAC ", 16, true},
      {"MultiMovHevcPcm", "MOV ", "HEVC", "PCM "},
      {"MultiM4aAlac", "M4A ", nullptr, "ALAC"},
      {"Multi3gpH263Amr", "3GP ", "H263", "AMRN"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string single_path = test_temp_path(std::string(c.name) + ".single");
    const std::string path = test_temp_path(std::string(c.name) + ".multi");
    resilient::write_case(c, single_path, MX_WRITE_RESILIENT);
    auto params = resilient::params_of(c);
    auto sink = resilient::multi_stream_sink(*params, path, MX_WRITE_RESILIENT);
    resilient::write_frames(c, *sink);
    if (HasFatalFailure()) return;
    const Bytes written = read_whole_file(path);
    sink->close();
    const iso::Tree open = iso::parse(written);
    EXPECT_NE(open.find("moof"), nullptr) << open.dump();
    EXPECT_NE(open.find("moov/mvex"), nullptr) << open.dump();
    // Times aside, the two finished files are the same bytes.
    const iso::Tree single = iso::parse(read_whole_file(single_path));
    const iso::Tree multi = iso::parse(read_whole_file(path));
    EXPECT_EQ(single.types(), multi.types());
    ASSERT_EQ(single.at("moov").count("trak"), multi.at("moov").count("trak"));
    for (size_t i = 0; i < multi.at("moov").count("trak"); ++i)
      expect_same_trak(*single.at("moov").child("trak", i), *multi.at("moov").child("trak", i),
                       c.name);
    if (!HasFailure()) {
      std::remove(single_path.c_str());
      std::remove(path.c_str());
    }
  }
}

}  // namespace
