// Resilient writing (MX_WRITE_RESILIENT), read back with the test-side box
// reader: what a file shows while it is written (a movie head and complete
// fragments, the open one hidden), that every shown fragment states its
// samples exactly as the finished file does, that the finished file has the
// plain file's sample tables, and what each step of the finalising leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
#include "xqlog/xq_log.h"

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

// Lines of the log that tell of fragments, or a movie header, that outgrew
// the room kept for them.
size_t outgrown(const host::LogCapture& log) {
  size_t n = 0;
  for (const std::string& line : log.lines()) n += line.find("outgrew") != std::string::npos;
  return n;
}

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

// Every box of a type below a box, in file order.
std::vector<const iso::Box*> boxes_of_type(const iso::Box& box, const std::string& type) {
  std::vector<const iso::Box*> out;
  for (const iso::Box& child : box.children) {
    if (child.type == type) out.push_back(&child);
    for (const iso::Box* below : boxes_of_type(child, type)) out.push_back(below);
  }
  return out;
}

// An esds payload with its two bit rates (known only at close) set to zero.
Bytes without_bit_rates(Bytes esds) {
  // version and flags, ES_Descriptor tag and length, ES_ID, flags, then the
  // DecoderConfigDescriptor's tag and length, object and stream type, buffer
  // size, and the maximum and average bit rates.
  size_t pos = 4 + 1;
  auto skip_length = [&] {
    while (pos < esds.size() && (esds[pos] & 0x80)) ++pos;
    ++pos;
  };
  skip_length();
  pos += 3 + 1;
  skip_length();
  pos += 1 + 1 + 3;
  if (pos + 8 <= esds.size())
    std::fill(esds.begin() + static_cast<std::ptrdiff_t>(pos),
              esds.begin() + static_cast<std::ptrdiff_t>(pos + 8), 0);
  return esds;
}

// The movie head is the finished movie box without what only close knows:
// the tracks' sample entries, edits (but their lengths), references and
// names, the movie's metadata; durations are 0, the tables empty, and mvex
// follows the tracks.
void expect_head_of(const iso::Box& head, const iso::Box& moov, const std::string& what) {
  EXPECT_EQ(head.at("mvhd").u32(head.at("mvhd").version() == 1 ? 100 : 96),
            moov.at("mvhd").u32(moov.at("mvhd").version() == 1 ? 100 : 96))
      << what << ": next track ID";
  ASSERT_EQ(head.count("trak"), moov.count("trak")) << what;
  for (size_t i = 0; i < moov.count("trak"); ++i) {
    const iso::Box& a = *head.child("trak", i);
    const iso::Box& b = *moov.child("trak", i);
    const std::string trak = what + " trak " + std::to_string(i);
    EXPECT_EQ(a.at("tkhd").u32(20), 0u) << trak << ": no duration yet";
    for (const char* path : {"tref", "udta", "uuid", "mdia/hdlr", "mdia/minf/vmhd",
                             "mdia/minf/smhd", "mdia/minf/gmhd", "mdia/minf/dinf"}) {
      const iso::Box* x = a.find(path);
      const iso::Box* y = b.find(path);
      ASSERT_EQ(x != nullptr, y != nullptr) << trak << " " << path;
      if (x) {
        EXPECT_EQ(x->payload(), y->payload()) << trak << " " << path;
      }
    }
    ASSERT_EQ(a.find("edts") != nullptr, b.find("edts") != nullptr) << trak;
    if (a.find("edts")) {
      const iso::Box& ea = a.at("edts/elst");
      const iso::Box& eb = b.at("edts/elst");
      const size_t time = ea.version() == 1 ? 16 : 12;
      EXPECT_EQ(ea.u32(8), 0u) << trak << ": the edit's length is not known yet";
      EXPECT_EQ(ea.u32(time), eb.u32(eb.version() == 1 ? 16 : 12)) << trak << ": media time";
    }
    const iso::Box& stsd_a = a.at("mdia/minf/stbl/stsd");
    const iso::Box& stsd_b = b.at("mdia/minf/stbl/stsd");
    Bytes entry_a = stsd_a.payload(), entry_b = stsd_b.payload();
    for (const auto& [tree, bytes] : {std::pair{&stsd_a, &entry_a}, std::pair{&stsd_b, &entry_b}}) {
      for (const iso::Box* esds : boxes_of_type(*tree, "esds")) {
        const Bytes zeroed = without_bit_rates(esds->payload());
        std::copy(zeroed.begin(), zeroed.end(),
                  bytes->begin() + static_cast<std::ptrdiff_t>(esds->offset + esds->header_size -
                                                               tree->offset - tree->header_size));
      }
    }
    EXPECT_EQ(entry_a, entry_b) << trak << ": the sample description";
    EXPECT_EQ(a.at("mdia/minf/stbl/stsz").u32(8), 0u) << trak << ": no samples";
  }
  for (const char* path : {"meta", "udta"}) {
    const iso::Box* x = head.find(path);
    const iso::Box* y = moov.find(path);
    ASSERT_EQ(x != nullptr, y != nullptr) << what << " " << path;
    if (x) {
      EXPECT_EQ(x->payload(), y->payload()) << what << " " << path;
    }
  }
}

class ResilientFiles : public ::testing::TestWithParam<Case> {
 protected:
  void TearDown() override { host::slots_for(host::fourcc("MP4 ")).SetWriterOptions(nullptr); }
};

// While a file is written, it shows ftyp, the room of its head (a free box
// with a 16-byte header), the movie head, then complete fragments (a moof and
// its mdat; after the first, the rest of its room, a free box, in front of
// the moof, which its mdat follows right behind); of the open
// fragment, once its first bytes leave the output buffer, a free box and an
// mdat up to the end of the file. Every sample
// a shown fragment describes is the finished file's sample: same place,
// size, duration, composition offset and sync flag; every traf's decode time
// is the sum of the durations before it.
TEST_P(ResilientFiles, ShownFragmentsStateTheirSamplesAsTheFinishedFileDoes) {
  const Case& c = GetParam();
  const std::string path = test_temp_path(std::string(c.name) + ".res");
  auto params = resilient::params_of(c);
  host::LogCapture log;
  auto sink = resilient::slot_sink(*params, path, MX_WRITE_RESILIENT);
  resilient::write_frames(c, *sink);
  if (HasFatalFailure()) return;
  const Bytes written = read_whole_file(path);  // before close
  sink->close();
  const Bytes finished = read_whole_file(path);
  // Every fragment was shown: none outgrew the room kept for its moof.
  EXPECT_EQ(outgrown(log), 0u);

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
    const size_t k = i - 3;
    const std::string expected = k == 0             ? "moof"
                                 : k == 1           ? "mdat"
                                 : (k - 2) % 3 == 0 ? "free"
                                 : (k - 2) % 3 == 1 ? "moof"
                                                    : "mdat";
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

  const iso::Tree finished_tree = iso::parse(finished);
  expect_head_of(head, finished_tree.at("moov"), c.name);
  const FragmentedFile fragments = read_fragments(open);
  const std::map<uint32_t, TrackSamples> tables = tracks_of(finished_tree);
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

// The samples a reader takes from a file: those of its first movie box and
// the fragments behind it when that box has mvex, else those of its tables.
std::map<uint32_t, std::vector<TrackSample>> readable_samples(const iso::Tree& tree) {
  std::map<uint32_t, std::vector<TrackSample>> out;
  const iso::Box* moov = tree.find("moov");
  if (moov == nullptr) throw std::runtime_error("no movie box to read\n" + tree.dump());
  if (moov->find("mvex") != nullptr) {
    for (const auto& [id, track] : read_fragments(tree).tracks) out[id] = track.samples;
    return out;
  }
  for (const auto& [id, track] : tracks_of(tree)) out[id] = track.samples;
  return out;
}

// Every sample of the plain file, with its bytes, is what a reader takes
// from the other file.
void expect_plain_samples(const Bytes& plain_bytes, const Bytes& bytes, const std::string& what) {
  const auto plain = tracks_of(iso::parse(plain_bytes));
  const auto readable = readable_samples(iso::parse(bytes));
  ASSERT_EQ(plain.size(), readable.size()) << what;
  for (const auto& [id, track] : plain) {
    const std::vector<TrackSample>& other = readable.at(id);
    ASSERT_EQ(track.samples.size(), other.size()) << what << " track " << id;
    for (size_t i = 0; i < other.size(); ++i) {
      EXPECT_EQ(track.samples[i].delta, other[i].delta) << what << " track " << id << " " << i;
      EXPECT_EQ(track.samples[i].composition, other[i].composition) << what << " " << i;
      EXPECT_EQ(track.samples[i].sync, other[i].sync) << what << " " << i;
      ASSERT_EQ(sample_bytes(plain_bytes, track.samples[i]), sample_bytes(bytes, other[i]))
          << what << " track " << id << " sample " << i;
    }
  }
}

const Case kStepsCase = {"Steps", "MP4 ", "H264", "AAC ", 16, true};

// Close stopped after each step of the finalising: the file plays in full at
// every point, from the first movie box and the fragments, then from the
// appended movie box once the head's free box covers everything before it.
TEST(ResilientFinalising, EveryStepLeavesOneWholeMovieToRead) {
  const std::string plain_path = test_temp_path("steps.plain");
  resilient::write_case(kStepsCase, plain_path, 0);
  const Bytes plain = read_whole_file(plain_path);
  std::vector<uint64_t> moofs;
  for (int steps = 0; steps <= kFinalisingSteps; ++steps) {
    SCOPED_TRACE("steps " + std::to_string(steps));
    const std::string path = test_temp_path("steps-" + std::to_string(steps) + ".mp4");
    SessionSettings settings;
    settings.finalising_steps = steps;
    auto params = resilient::params_of(kStepsCase);
    auto sink = resilient::session_sink(*params, path, settings);
    resilient::write_frames(kStepsCase, *sink);
    sink->close();
    if (HasFatalFailure()) return;
    const Bytes bytes = read_whole_file(path);
    const iso::Tree tree = iso::parse(bytes);
    ASSERT_TRUE(tree.error.empty()) << tree.dump();
    const std::vector<std::string> types = tree.types();
    const iso::Box& head = tree.boxes.at(1);
    ASSERT_EQ(head.type, "free");
    ASSERT_TRUE(head.large_size);
    const size_t moov_count = std::count(types.begin(), types.end(), "moov");
    switch (steps) {
      case 0:  // the last fragment shown, nothing appended
        EXPECT_EQ(types.back(), "mdat");
        EXPECT_EQ(moov_count, 1u);
        for (const iso::Box& b : tree.boxes)
          if (b.type == "moof") moofs.push_back(b.offset);
        break;
      case 1:  // the complete movie box behind them; readers take the first
        EXPECT_EQ(types.back(), "moov");
        EXPECT_EQ(moov_count, 2u);
        EXPECT_NE(tree.find("moov/mvex"), nullptr);
        break;
      case 2:
      case 3:  // the head's free box up to the appended movie box
        EXPECT_EQ(types, (std::vector<std::string>{"ftyp", "free", "moov"})) << tree.dump();
        EXPECT_EQ(head.offset + head.size, tree.boxes.back().offset);
        for (uint64_t moof : moofs) {
          ASSERT_LT(moof + 8, bytes.size());
          EXPECT_EQ(std::string(bytes.begin() + static_cast<std::ptrdiff_t>(moof + 4),
                                bytes.begin() + static_cast<std::ptrdiff_t>(moof + 8)),
                    steps == 2 ? "moof" : "free");
        }
        break;
      default:  // the plain layout
        EXPECT_EQ(types.back(), "moov");
        EXPECT_EQ(moov_count, 1u);
        EXPECT_EQ(std::count(types.begin(), types.end(), "moof"), 0);
        EXPECT_EQ(std::count(types.begin(), types.end(), "mdat"),
                  static_cast<std::ptrdiff_t>(moofs.size()));
        break;
    }
    expect_plain_samples(plain, bytes, "steps " + std::to_string(steps));
    if (!HasFailure()) std::remove(path.c_str());
  }
  std::remove(plain_path.c_str());
}

// The times of every mvhd, tkhd and mdhd set to zero, so that two runs
// compare; found by their types in the bytes, so that the movie head a
// finished file keeps as a free box is pinned as well (its mvhd is a free
// box there: the first bytes of every free box go too).
Bytes with_pinned_times(Bytes bytes) {
  for (const char* type : {"mvhd", "tkhd", "mdhd", "free"}) {
    for (size_t at = 4; at + 8 < bytes.size(); ++at) {
      if (std::memcmp(bytes.data() + at, type, 4) != 0) continue;
      const size_t width = bytes[at + 4] == 1 ? 16 : 8;
      if (at + 8 + width > bytes.size()) continue;
      std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(at + 8),
                bytes.begin() + static_cast<std::ptrdiff_t>(at + 8 + width), 0);
    }
  }
  return bytes;
}

// Flags above the resilient bit are not read: with or without them a file is
// written the same way, plainly or as fragments; and a session that writes
// no sample is a plain file either way.
TEST(ResilientFlags, BitsAboveTheResilientBitChangeNothing) {
  struct Row {
    uint32_t flags, same_as;
  };
  const Row rows[] = {{~3u, 0}, {~1u, MX_WRITE_RESILIENT}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.flags);
    const std::string a = test_temp_path("flags-a.mp4");
    const std::string b = test_temp_path("flags-b.mp4");
    resilient::write_case(kStepsCase, a, row.flags);
    resilient::write_case(kStepsCase, b, row.same_as);
    EXPECT_EQ(with_pinned_times(read_whole_file(a)), with_pinned_times(read_whole_file(b)));
    std::remove(a.c_str());
    std::remove(b.c_str());
  }
  Case empty = kStepsCase;
  empty.seconds = 0;
  const std::string a = test_temp_path("empty-plain.mp4");
  const std::string b = test_temp_path("empty-resilient.mp4");
  resilient::write_case(empty, a, 0);
  resilient::write_case(empty, b, MX_WRITE_RESILIENT);
  const Bytes resilient_bytes = read_whole_file(b);
  EXPECT_EQ(iso::parse(resilient_bytes).types(), (std::vector<std::string>{"ftyp", "moov"}));
  EXPECT_EQ(with_pinned_times(read_whole_file(a)), with_pinned_times(resilient_bytes));
  std::remove(a.c_str());
  std::remove(b.c_str());
}

// A fragment also closes once its media data reaches 32 MiB, key frame or
// not, and the next one starts with the sample that would have passed it.
TEST(ResilientLimits, FragmentsCloseAt32MiBOfMediaData) {
  constexpr size_t kFrame = 3u << 20;
  const std::string path = test_temp_path("large-fragments.mp4");
  auto params = host::blank_params(host::fourcc("MP4 "));
  host::set_video(*params, host::fourcc("AVHD"), 1920, 1080, 25.0);
  auto sink = resilient::slot_sink(*params, path, MX_WRITE_RESILIENT);
  Bytes frame(kFrame, 0x5A);
  for (int i = 0; i < 24; ++i) {  // 72 MiB in under a second, one key frame
    MxVideoFrame f = host::video_frame(frame.data(), static_cast<uint32_t>(frame.size()),
                                       i * 400000, i * 400000, i == 0 ? 1 : 0);
    ASSERT_EQ(sink->video(f), kFrame);
  }
  const iso::Tree open = iso::read_file(path);
  sink->close();
  std::vector<uint64_t> mdats;
  for (const iso::Box& b : open.boxes)
    if (b.type == "mdat" && !b.to_end) mdats.push_back(b.payload_size());
  ASSERT_EQ(mdats.size(), 2u) << open.dump();
  for (uint64_t payload : mdats) {
    // 8 bytes of room for a 64-bit size and at most 3 of padding count too.
    EXPECT_GE(payload, (32u << 20) + 8);
    EXPECT_LT(payload, (32u << 20) + kFrame + 16);
  }
  const FragmentedFile fragments = read_fragments(open);
  EXPECT_EQ(fragments.tracks.at(1).samples.size(), 22u);
  std::remove(path.c_str());
}

// A fragment whose moof would outgrow its room closes early; the next room
// doubles, so that fragments soon span their second again, and no fragment
// goes unshown.
TEST(ResilientLimits, TheMoofsRoomGrowsWithItsSamples) {
  Case c = kStepsCase;
  c.seconds = 8;
  const std::string path = test_temp_path("rooms.mp4");
  SessionSettings settings;
  settings.fragment_limits.min_room = 256;
  host::LogCapture log;
  auto params = resilient::params_of(c);
  auto sink = resilient::session_sink(*params, path, settings);
  resilient::write_frames(c, *sink);
  const iso::Tree open = iso::read_file(path);
  sink->close();
  EXPECT_EQ(outgrown(log), 0u) << "every fragment was shown";
  const FragmentedFile fragments = read_fragments(open);
  const FragmentedTrack& video = fragments.tracks.at(1);
  ASSERT_GE(video.decode_times.size(), 4u);
  // Early fragments close for room; the last ones span a second (25000 units).
  EXPECT_LT(video.decode_times[1] - video.decode_times[0], 25000u);
  const size_t n = video.decode_times.size();
  EXPECT_GE(video.decode_times[n - 1] - video.decode_times[n - 2], 25000u);
  std::remove(path.c_str());
}

#ifndef _WIN32
const Case kFullDiskCase = {"FullDisk", "MP4 ", "H264", "AAC ", 16, true, false, false, 6};

// Writes kFullDiskCase as fragments into MX_FULL_DISK_FILE, with the process
// allowed files of no more than MX_FULL_DISK_LIMIT bytes: a disk that fills up.
const ChildAction kWriteUntilFull("write-until-the-disk-is-full", [] {
  const char* path = std::getenv("MX_FULL_DISK_FILE");
  const char* limit = std::getenv("MX_FULL_DISK_LIMIT");
  const char* log_path = std::getenv("MX_FULL_DISK_LOG");
  if (!path || !limit || !log_path) return 2;
  std::signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG instead
  const rlimit files = {std::strtoull(limit, nullptr, 10), std::strtoull(limit, nullptr, 10)};
  if (setrlimit(RLIMIT_FSIZE, &files) != 0) return 3;
  XQ_SetLogSink(XQ_LOG_FILE, log_path);
  auto params = resilient::params_of(kFullDiskCase);
  auto sink = resilient::session_sink(*params, path, SessionSettings{});
  resilient::write_frames(kFullDiskCase, *sink, true);  // frames past the limit are refused
  sink->close();
  XQ_SetLogSink(XQ_LOG_NONE, nullptr);
  return 0;
});

// A disk that fills up: the failure is reported as for any file, and the file
// keeps every fragment shown before it, complete and readable.
TEST(ResilientFailures, AFullDiskLeavesTheShownFragments) {
  const std::string plain_path = test_temp_path("full-disk.plain");
  resilient::write_case(kFullDiskCase, plain_path, 0);
  const Bytes plain = read_whole_file(plain_path);
  const std::string path = test_temp_path("full-disk.mp4");
  const std::string log_path = test_temp_path("full-disk.log");
  const uint64_t limit = plain.size() * 6 / 10;
  ASSERT_EQ(
      run_child("write-until-the-disk-is-full", {{"MX_FULL_DISK_FILE", path},
                                                 {"MX_FULL_DISK_LIMIT", std::to_string(limit)},
                                                 {"MX_FULL_DISK_LOG", log_path}}),
      0);
  const Bytes log = read_whole_file(log_path);
  const std::string text(log.begin(), log.end());
  EXPECT_NE(text.find("mx_mp4.dll: writing failed [" + std::to_string(EFBIG) +
                      "], the file is incomplete."),
            std::string::npos)
      << text;
  const Bytes bytes = read_whole_file(path);
  EXPECT_LE(bytes.size(), limit);
  const iso::Tree tree = iso::parse(bytes);
  ASSERT_TRUE(tree.error.empty()) << tree.dump();
  for (const iso::Box& box : tree.boxes) EXPECT_TRUE(box.error.empty()) << tree.dump();
  // Every shown sample is the plain file's, bytes and all; about half of them are there.
  const auto plain_tracks = tracks_of(iso::parse(plain));
  const auto shown = readable_samples(tree);
  size_t shown_video = 0;
  for (const auto& [id, samples] : shown) {
    const std::vector<TrackSample>& all = plain_tracks.at(id).samples;
    ASSERT_LE(samples.size(), all.size());
    for (size_t i = 0; i < samples.size(); ++i)
      ASSERT_EQ(sample_bytes(bytes, samples[i]), sample_bytes(plain, all[i])) << id << " " << i;
    if (id == 1) shown_video = samples.size();
  }
  EXPECT_GE(shown_video, plain_tracks.at(1).samples.size() * 3 / 10);
  std::remove(plain_path.c_str());
  std::remove(path.c_str());
  std::remove(log_path.c_str());
}
#endif
}  // namespace
