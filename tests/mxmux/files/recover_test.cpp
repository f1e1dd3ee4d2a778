// mxmux --recover on files a crash leaves: the fragments of a complete run
// (the plug-in's session stopped before its close), a close stopped after
// each of its steps, files cut inside their last fragment, and files that
// are no such file. The recovered file is compared with the plug-in's own
// close of the same frames (every byte, the times aside) and its sample
// tables with those of a plain file of the same frames, with the box reader.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "mxmux_test_util.h"
#include "resilient_session.h"
#include "support/box_reader.h"
#include "support/fragment_samples.h"
#include "support/test_files.h"
#include "support/track_samples.h"

using namespace mxmux_test;

namespace {

using resilient::Bytes;
using resilient::Case;

// The combinations the recovery must handle as close does: every file kind
// with its usual codecs, reordered video, timecode, dual audio, Live Photo.
struct RecoverCase {
  Case c;
  // A track whose duration close takes from the host's records, not from its
  // samples (docs/resilient-files.md lists it): dual audio, whose AC-3 packets
  // carry a frame count of their own.
  bool host_durations = false;
};

const RecoverCase kCases[] = {
    {{"Mp4H264Aac", "MP4 ", "H264", "AAC ", 16, true}},
    {{"MovHevcPcm", "MOV ", "HEVC", "PCM ", 16, true}},
    {{"Mp4Av1Flac", "MP4 ", "AV1 ", "flac"}},
    {{"M4aAlac", "M4A ", nullptr, "ALAC"}},
    {{"MovH264Timecode", "MOV ", "H264", "AAC ", 16, false, true}},
    {{"KddiMpeg4Aac", "KDDI", "MP4V", "AAC ", 16, true}},
    {{"Mp4H264DualAudio", "MP4 ", "H264", "EAAC"}, true},
    {{"LivePhoto", "MOV ", "H264", "AAC ", 16, false, false, true}},
    {{"ThreeGpH263Amr", "3GP ", "H263", "AMRN"}},
    {{"F4vH264FloatPcm", "NF4V", "H264", "PCM ", 32}},
};

CommandResult recover(const std::string& path, int stop_after = 0) {
  std::string env =
      stop_after ? "MXMUX_RECOVER_STOP_AFTER=" + std::to_string(stop_after) + " " : "";
  return run_command(env + shell_quote(mxmux_binary()) + " --recover " + shell_quote(path));
}

// The case written through an in-process resilient session whose close runs
// `steps` of its finalising steps: 0 leaves the fragments of the complete
// run, as a crash just before close would.
void write_stopped(const Case& c, const std::string& path, int steps) {
  SessionSettings settings;
  settings.finalising_steps = steps;
  auto params = resilient::params_of(c);
  auto sink = resilient::session_sink(*params, path, settings);
  resilient::write_frames(c, *sink);
  sink->close();
}

// Every place in the bytes where a box of this type starts (its type's
// offset less four), wherever it lies (a hidden head included).
std::vector<size_t> boxes_of_type(const Bytes& bytes, const char* type) {
  std::vector<size_t> out;
  for (size_t at = 4; at + 8 < bytes.size(); ++at)
    if (std::memcmp(bytes.data() + at, type, 4) == 0) out.push_back(at - 4);
  return out;
}

void zero(Bytes& bytes, size_t at, size_t n) {
  if (at + n <= bytes.size()) std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), n, 0);
}

// Where the maximum bit rate of the esds box at `box` lies: behind the
// ES_Descriptor's ID and flags, the DecoderConfigDescriptor's object type,
// stream type and buffer size. 0 when the layout is not that.
size_t esds_maximum_at(const Bytes& b, size_t box) {
  size_t at = box + 12;
  auto skip_length = [&] {
    for (int i = 0; i < 4 && at < b.size(); ++i)
      if (!(b[at++] & 0x80)) return;
  };
  if (at >= b.size() || b[at++] != 3) return 0;
  skip_length();
  at += 3;  // ES_ID, flags (none set by the plug-in)
  if (at >= b.size() || b[at++] != 4) return 0;
  skip_length();
  return at + 5 + 4 <= b.size() ? at + 5 : 0;
}

uint32_t be32_at(const Bytes& b, size_t at) {
  return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

// The bytes with what differs between two writes of the same frames zeroed:
// the creation and modification times of every movie, track and media
// header (the hidden movie head's mvhd is a free box: the first bytes of
// every free box go too), and every Live Photo content identifier (a random
// UUID per file).
Bytes comparable(Bytes bytes) {
  for (const char* type : {"mvhd", "tkhd", "mdhd", "free"}) {
    for (size_t box : boxes_of_type(bytes, type))
      zero(bytes, box + 12, bytes[box + 8] == 1 ? 16 : 8);
  }
  auto id_char = [](uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
  for (size_t at = 0; at + 36 <= bytes.size(); ++at) {
    bool id = true;
    for (size_t k = 0; k < 36 && id; ++k)
      id =
          (k == 8 || k == 13 || k == 18 || k == 23) ? bytes[at + k] == '-' : id_char(bytes[at + k]);
    if (id) std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), 36, '0');
  }
  return bytes;
}

// The maximum bit rates of the esds boxes zeroed: close counts the bytes per
// frame of each packet, recovery the largest sample (a listed difference).
Bytes without_maximum_bit_rates(Bytes bytes) {
  for (size_t box : boxes_of_type(bytes, "esds")) {
    if (size_t at = esds_maximum_at(bytes, box)) zero(bytes, at, 4);
  }
  return bytes;
}

// The durations of every movie, track and media header and edit zeroed.
Bytes without_durations(Bytes bytes) {
  for (const char* type : {"mvhd", "mdhd"}) {
    for (size_t box : boxes_of_type(bytes, type))
      zero(bytes, box + (bytes[box + 8] == 1 ? 32 : 24), bytes[box + 8] == 1 ? 8 : 4);
  }
  for (size_t box : boxes_of_type(bytes, "tkhd"))
    zero(bytes, box + (bytes[box + 8] == 1 ? 36 : 28), bytes[box + 8] == 1 ? 8 : 4);
  for (size_t box : boxes_of_type(bytes, "elst"))
    zero(bytes, box + 16, bytes[box + 8] == 1 ? 8 : 4);
  return bytes;
}

// Where two byte strings first differ, for a failure message; npos when equal.
size_t first_difference(const Bytes& a, const Bytes& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return i;
  return a.size() == b.size() ? std::string::npos : n;
}

const iso::Box& last_moov(const iso::Tree& tree) {
  const iso::Box* moov = nullptr;
  for (const iso::Box& b : tree.boxes)
    if (b.type == "moov") moov = &b;
  if (!moov) throw std::runtime_error("no movie box\n" + tree.dump());
  return *moov;
}

uint64_t header_duration(const iso::Box& box, uint64_t v0_at, uint64_t v1_at) {
  return box.version() == 1 ? box.u64(v1_at) : box.u32(v0_at);
}

// Every table a normal close states from the samples, and every duration and
// edit, equal in the two files; the chunk layout (stsc, stco) aside, which
// follows the fragments. The samples hold the same bytes.
void expect_same_tables(const Bytes& plain_bytes, const Bytes& bytes, const std::string& what) {
  const iso::Tree plain = iso::parse(plain_bytes);
  const iso::Tree tree = iso::parse(bytes);
  const iso::Box& a = last_moov(plain);
  const iso::Box& b = last_moov(tree);
  EXPECT_EQ(header_duration(a.at("mvhd"), 16, 24), header_duration(b.at("mvhd"), 16, 24)) << what;
  ASSERT_EQ(a.count("trak"), b.count("trak")) << what << "\n" << tree.dump();
  for (size_t i = 0; i < a.count("trak"); ++i) {
    const iso::Box& ta = *a.child("trak", i);
    const iso::Box& tb = *b.child("trak", i);
    const std::string track = what + " trak " + std::to_string(i);
    for (const char* table : {"mdia/minf/stbl/stts", "mdia/minf/stbl/ctts", "mdia/minf/stbl/stss",
                              "mdia/minf/stbl/stsz", "mdia/minf/stbl/stsd", "edts/elst", "tref"}) {
      const iso::Box* x = ta.find(table);
      const iso::Box* y = tb.find(table);
      ASSERT_EQ(x != nullptr, y != nullptr) << track << " " << table;
      // The maximum bit rate differs as listed (expect_maximum_bit_rates).
      if (x) {
        EXPECT_EQ(iso::hex(without_maximum_bit_rates(x->bytes())),
                  iso::hex(without_maximum_bit_rates(y->bytes())))
            << track << " " << table;
      }
    }
    EXPECT_EQ(header_duration(ta.at("tkhd"), 20, 28), header_duration(tb.at("tkhd"), 20, 28))
        << track;
    EXPECT_EQ(header_duration(ta.at("mdia/mdhd"), 16, 24),
              header_duration(tb.at("mdia/mdhd"), 16, 24))
        << track;
    const TrackSamples sa = read_track_samples(ta);
    const TrackSamples sb = read_track_samples(tb);
    ASSERT_EQ(sa.samples.size(), sb.samples.size()) << track;
    for (size_t k = 0; k < sa.samples.size(); ++k) {
      ASSERT_EQ(sample_bytes(plain_bytes, sa.samples[k]), sample_bytes(bytes, sb.samples[k]))
          << track << " sample " << k;
    }
  }
}

class Recover : public ::testing::TestWithParam<RecoverCase> {
 protected:
  void SetUp() override { ASSERT_TRUE(plugin_ready()) << "the built plug-in cannot write"; }
};

// The listed difference in esds: recovery states the largest sample over the
// nominal duration (the first stts delta), close the largest bytes per frame
// of one packet, which is never more.
void expect_maximum_bit_rates(const Bytes& recovered, const Bytes& closed) {
  const iso::Tree tree = iso::parse(recovered);
  const iso::Box& moov = last_moov(tree);
  for (size_t i = 0; i < moov.count("trak"); ++i) {
    const iso::Box& trak = *moov.child("trak", i);
    const iso::Box* esds = trak.find("mdia/minf/stbl/stsd/*/esds");
    if (!esds) esds = trak.find("mdia/minf/stbl/stsd/*/wave/esds");
    if (!esds || trak.at("mdia/hdlr").fourcc(8) != "soun") continue;
    const TrackSamples samples = read_track_samples(trak);
    uint64_t largest = 0;
    for (const TrackSample& s : samples.samples) largest = std::max<uint64_t>(largest, s.size);
    const uint64_t nominal = trak.at("mdia/minf/stbl/stts").u32(12);
    const size_t at = esds_maximum_at(recovered, static_cast<size_t>(esds->offset));
    ASSERT_NE(at, 0u);
    EXPECT_EQ(be32_at(recovered, at), samples.timescale * 8 * largest / nominal) << "trak " << i;
    EXPECT_LE(be32_at(closed, at), be32_at(recovered, at)) << "trak " << i;
  }
}

// The listed difference in durations: recovery states the sum of the
// samples' durations where close keeps the host's.
void expect_sample_durations(const Bytes& recovered) {
  const iso::Tree tree = iso::parse(recovered);
  const iso::Box& moov = last_moov(tree);
  for (size_t i = 0; i < moov.count("trak"); ++i) {
    const TrackSamples samples = read_track_samples(*moov.child("trak", i));
    uint64_t sum = 0;
    for (const TrackSample& s : samples.samples) sum += s.delta;
    EXPECT_EQ(samples.duration, sum) << "trak " << i;
  }
}

// The fragments of a complete run become, byte for byte, the file the
// plug-in's close writes from the same session, but for the times and the
// differences docs/resilient-files.md lists, each shown on its own; their
// tables are a plain file's.
TEST_P(Recover, FragmentsOfACompleteRunBecomeTheFileCloseWrites) {
  const Case& c = GetParam().c;
  const std::string base = test_temp_path(std::string("recover-") + c.name);
  const std::string plain = base + ".plain", closed = base + ".closed", left = base + ".left";
  resilient::write_case(c, plain, 0);
  resilient::write_case(c, closed, MX_WRITE_RESILIENT);
  write_stopped(c, left, 0);
  if (HasFatalFailure()) return;
  const Bytes before = read_whole_file(left);
  ASSERT_NE(iso::parse(before).find("moof"), nullptr) << "no fragment to recover";

  const CommandResult r = recover(left);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "") << "nothing was cut, so nothing is said on standard error";
  EXPECT_NE(r.out.find(left + ": recovered: "), std::string::npos) << r.out;
  const Bytes recovered = read_whole_file(left);
  const Bytes close_wrote = read_whole_file(closed);
  Bytes a = without_maximum_bit_rates(comparable(recovered));
  Bytes b = without_maximum_bit_rates(comparable(close_wrote));
  if (GetParam().host_durations) {
    a = without_durations(a);
    b = without_durations(b);
    expect_sample_durations(recovered);
  }
  EXPECT_EQ(first_difference(a, b), std::string::npos)
      << iso::parse(recovered).dump() << "\n---- close wrote\n"
      << iso::parse(close_wrote).dump();
  expect_maximum_bit_rates(recovered, close_wrote);
  if (!GetParam().host_durations) expect_same_tables(read_whole_file(plain), recovered, c.name);

  // A second run finds a plain file and leaves it.
  const CommandResult again = recover(left);
  EXPECT_NE(again.status, 0);
  EXPECT_NE(again.err.find("finished already"), std::string::npos) << again.err;
  EXPECT_EQ(read_whole_file(left), recovered);
  if (!HasFailure()) {
    for (const std::string& p : {plain, closed, left}) std::remove(p.c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Recover, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RecoverCase>& info) {
                           return std::string(info.param.c.name);
                         });

// The samples a reader takes from a file: those of its first movie box and
// the fragments behind it when that box has mvex, else those of the tables
// of its last movie box. By track ID, with their bytes.
std::map<uint32_t, std::vector<Bytes>> readable_samples(const Bytes& bytes) {
  const iso::Tree tree = iso::parse(bytes);
  std::map<uint32_t, std::vector<Bytes>> out;
  const iso::Box* first = tree.find("moov");
  if (!first) throw std::runtime_error("no movie box to read\n" + tree.dump());
  if (first->find("mvex")) {
    for (const auto& [id, track] : read_fragments(tree).tracks)
      for (const TrackSample& s : track.samples) out[id].push_back(sample_bytes(bytes, s));
    return out;
  }
  const iso::Box& moov = last_moov(tree);
  for (size_t i = 0; i < moov.count("trak"); ++i) {
    const iso::Box& trak = *moov.child("trak", i);
    const iso::Box& tkhd = trak.at("tkhd");
    const uint32_t id = tkhd.u32(tkhd.version() == 1 ? 20 : 12);
    for (const TrackSample& s : read_track_samples(trak).samples)
      out[id].push_back(sample_bytes(bytes, s));
  }
  return out;
}

const Case kStepsCase = {"Steps", "MP4 ", "H264", "AAC ", 16, true};

// A recovery stopped after each of its steps leaves a file that plays in
// full; a second recovery finishes it into the same bytes as one that ran
// through.
TEST(RecoverInterrupted, EveryStepLeavesAFileThatPlaysAndASecondRunFinishesIt) {
  ASSERT_TRUE(plugin_ready());
  const std::string base = test_temp_path("recover-steps");
  const std::string whole = base + ".whole";
  write_stopped(kStepsCase, whole, 0);
  const Bytes left = read_whole_file(whole);
  const auto samples = readable_samples(left);
  ASSERT_EQ(recover(whole).status, 0);
  const Bytes recovered = read_whole_file(whole);
  for (int step = 1; step <= 3; ++step) {
    SCOPED_TRACE("stopped after step " + std::to_string(step));
    const std::string path = base + "." + std::to_string(step);
    write_whole_file(path, left);
    const CommandResult stopped = recover(path, step);
    EXPECT_NE(stopped.status, 0);
    EXPECT_NE(stopped.err.find("stopped after step " + std::to_string(step)), std::string::npos)
        << stopped.err;
    const Bytes bytes = read_whole_file(path);
    EXPECT_TRUE(iso::parse(bytes).error.empty());
    EXPECT_EQ(readable_samples(bytes), samples);
    const CommandResult rest = recover(path);
    EXPECT_EQ(rest.status, 0) << rest.err;
    EXPECT_NE(rest.out.find("finalising had stopped"), std::string::npos) << rest.out;
    EXPECT_EQ(read_whole_file(path), recovered);
    if (!HasFailure()) std::remove(path.c_str());
  }
  std::remove(whole.c_str());
}

// The plug-in's own close stopped after each of its steps (a crash during
// close): recovery finishes it into the file the whole close writes; a file
// whose close ran through is refused as finished.
TEST(RecoverInterrupted, AStoppedCloseIsFinished) {
  ASSERT_TRUE(plugin_ready());
  const std::string base = test_temp_path("recover-close-steps");
  const std::string closed = base + ".closed";
  write_stopped(kStepsCase, closed, kFinalisingSteps);
  const Bytes whole = comparable(read_whole_file(closed));
  for (int steps = 1; steps < kFinalisingSteps; ++steps) {
    SCOPED_TRACE("close stopped after step " + std::to_string(steps));
    const std::string path = base + "." + std::to_string(steps);
    write_stopped(kStepsCase, path, steps);
    const CommandResult r = recover(path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(comparable(read_whole_file(path)), whole);
    if (!HasFailure()) std::remove(path.c_str());
  }
  const CommandResult done = recover(closed);
  EXPECT_NE(done.status, 0);
  EXPECT_NE(done.err.find("finished already"), std::string::npos) << done.err;
  std::remove(closed.c_str());
}

// Files that are no fragmented file: each is refused with a message, a
// non-zero status, and not a byte changed.
TEST(RecoverRefusals, FilesThatAreNoFragmentedFileAreLeftAsTheyAre) {
  ASSERT_TRUE(plugin_ready());
  const std::string base = test_temp_path("recover-refused");
  const std::string plain = base + "-plain.mp4", finished = base + "-finished.mp4";
  const std::string left = base + "-left.mp4";
  resilient::write_case(kStepsCase, plain, 0);
  resilient::write_case(kStepsCase, finished, MX_WRITE_RESILIENT);
  write_stopped(kStepsCase, left, 0);
  const Bytes fragments = read_whole_file(left);
  const iso::Tree tree = iso::parse(fragments);
  const uint64_t head = tree.at("moov").offset;
  const uint64_t first_moof = tree.at("moof").offset;

  std::mt19937 rng(19);
  Bytes noise(5000);
  for (uint8_t& b : noise) b = static_cast<uint8_t>(rng());
  auto prefix = [&](uint64_t n) { return Bytes(fragments.begin(), fragments.begin() + n); };
  // The head's mvhd claiming more bytes than the head holds.
  Bytes broken_head = fragments;
  broken_head[head + 8 + 2] = 0x7F;
  struct Refused {
    std::string name;
    Bytes bytes;
    std::string says;
  };
  const std::vector<Refused> files = {
      {"plain", read_whole_file(plain), "was not written as fragments"},
      {"finished", read_whole_file(finished), "has been finished already"},
      {"cut-in-head", prefix(head + 40), "holds no complete fragment"},
      {"head-only", prefix(first_moof), "holds no complete fragment"},
      {"broken-head", broken_head, "has a movie head that does not parse"},
      {"cut-in-first-moof", prefix(first_moof + 30), "holds no complete fragment"},
      {"empty", {}, "is not an MP4 or QuickTime file"},
      {"noise", noise, "is not an MP4 or QuickTime file"},
      {"ftyp-only", prefix(24), "was not written as fragments"},
  };
  for (const Refused& f : files) {
    SCOPED_TRACE(f.name);
    const std::string path = base + "-" + f.name;
    write_whole_file(path, f.bytes);
    const CommandResult r = recover(path);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("mxmux: " + path + ": " + f.says), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("the file is unchanged"), std::string::npos) << r.err;
    EXPECT_EQ(read_whole_file(path), f.bytes);
    if (!HasFailure()) std::remove(path.c_str());
  }
  const std::string folder = base + "-folder";
  ::mkdir(folder.c_str(), 0755);
  CommandResult r = recover(folder);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(folder + ": is not a file"), std::string::npos) << r.err;
  ::rmdir(folder.c_str());
  r = recover(base + "-missing");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(base + "-missing: no such file"), std::string::npos) << r.err;
  for (const std::string& p : {plain, finished, left}) std::remove(p.c_str());
}

// A file cut inside its last fragment (its moof, its media data), or
// followed by zeros after a power cut: recovered to the fragments before,
// saying how much was cut; the rest of the file is the recovery of those.
TEST(RecoverCutBack, APartialLastFragmentIsCutOff) {
  ASSERT_TRUE(plugin_ready());
  const std::string base = test_temp_path("recover-cut");
  const std::string left = base + ".left";
  write_stopped(kStepsCase, left, 0);
  const Bytes fragments = read_whole_file(left);
  const iso::Tree tree = iso::parse(fragments);
  std::vector<const iso::Box*> moofs;
  uint64_t kept_end = 0;  // the end of the mdat in front of the last moof (and its room)
  uint64_t mdat_end = 0;
  for (const iso::Box& b : tree.boxes) {
    if (b.type == "moof") {
      moofs.push_back(&b);
      kept_end = mdat_end;
    }
    if (b.type == "mdat") mdat_end = b.offset + b.size;
  }
  ASSERT_GE(moofs.size(), 3u);
  const iso::Box& last = *moofs.back();
  ASSERT_LT(kept_end, last.offset);

  // The earlier fragments alone, recovered: what every cut file must become.
  const std::string earlier = base + ".earlier";
  write_whole_file(earlier, Bytes(fragments.begin(), fragments.begin() + kept_end));
  ASSERT_EQ(recover(earlier).status, 0);
  const Bytes expected = read_whole_file(earlier);

  struct Cut {
    std::string name;
    Bytes bytes;
  };
  Bytes zeros_after = Bytes(fragments.begin(), fragments.begin() + kept_end + 100);
  zeros_after.resize(zeros_after.size() + 4096, 0);
  const std::vector<Cut> cuts = {
      {"in-moof", Bytes(fragments.begin(), fragments.begin() + last.offset + 40)},
      {"in-mdat", Bytes(fragments.begin(), fragments.end() - 50)},
      {"zeros-after-cut", zeros_after},
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.name);
    const std::string path = base + "-" + cut.name;
    write_whole_file(path, cut.bytes);
    const CommandResult r = recover(path);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string says = "kept " + std::to_string(moofs.size() - 1) +
                             " complete fragments, cut " +
                             std::to_string(cut.bytes.size() - kept_end) + " bytes";
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err << "\nexpected: " << says;
    EXPECT_EQ(read_whole_file(path), expected);
    if (!HasFailure()) std::remove(path.c_str());
  }
  std::remove(left.c_str());
  std::remove(earlier.c_str());
}

}  // namespace
