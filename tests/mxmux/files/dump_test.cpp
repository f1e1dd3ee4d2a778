// mxmux --dump: the fields it shows for built boxes, and what it does with
// files that are cut short, damaged or hostile (always a listing and a clear
// status, never a read outside the input: the sanitizer build runs these).
#include "mxmux/files/dump.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>

#include "mxmux_test_util.h"
#include "support/box_reader.h"
#include "support/test_files.h"

using namespace mxmux_test;

namespace {

std::string dump_of(const std::string& hex) {
  return mxmux::dump_text(iso::parse(hex_bytes(hex)));
}

CommandResult dump_command(const std::string& path) {
  return run_command(shell_quote(mxmux_binary()) + " --dump " + shell_quote(path));
}

}  // namespace

TEST(Dump, FieldsOfBuiltBoxes) {
  struct Case {
    const char* name;
    const char* hex;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"ftyp: brands",
       "00000018 66747970  69736f6d 00000200  69736f6d 61766331",
       {"ftyp @0 size 24 major=isom minor=512 compatible=isom,avc1"}},
      {"mvhd version 1: 64-bit times and duration",
       R"(00000078 6d766864 01000000
          00000000 e1f2a300  00000000 e1f2a3ff   # created, modified
          00000258 00000000 000004b0             # timescale 600, duration 1200
          00010000 0100 0000 00000000 00000000   # rate, volume, reserved
          00010000 00000000 00000000 00000000 00010000 00000000 00000000 00000000 40000000
          00000000 00000000 00000000 00000000 00000000 00000000
          00000007)",
       {"version=1", "created=2024-02-14T17:04:00Z", "timescale=600", "duration=1200 (2.000 s)",
        "rate=1", "volume=1", "next_track=7"}},
      {"mdhd: packed language",
       R"(00000020 6d646864 00000000  00000000 00000000
          0000bb80 0002ee00  15c7 0000)",
       {"timescale=48000", "duration=192000 (4.000 s)", "language=eng"}},
      {"mdhd: Macintosh language code",
       "00000020 6d646864 00000000 00000000 00000000 00000258 00000258 0000 0000",
       {"language=mac:0"}},
      {"hdlr: QuickTime counted name",
       R"(0000002d 68646c72 00000000  6d686c72 76696465   # component mhlr, vide
          00000000 00000000 00000000  0c 566964656f48616e646c6572)",
       {"component=mhlr", "type=vide", "name=\"VideoHandler\""}},
      {"hdlr: ISO name with a control character",
       "00000024 68646c72 00000000 00000000 736f756e 00000000 00000000 00000000 41014200",
       {"type=soun", "name=\"A\\x01B\""}},
      {"elst version 1: an empty edit",
       R"(00000038 656c7374 01000000 00000002
          00000000 00001388 ffffffff ffffffff 00010000
          00000000 00000fa0 00000000 00000400 00010000)",
       {"entries=2", "first=[5000:-1:1, 4000:1024:1]"}},
      {"ctts version 1: negative offsets",
       "00000020 63747473 01000000 00000002 00000001 fffffe00 00000003 00000200",
       {"version=1", "entries=2", "first=[1x-512, 3x512]"}},
      {"stts: sample total",
       "00000020 73747473 00000000 00000002 00000064 000003e8 00000001 000001f4",
       {"entries=2", "samples=101", "first=[100x1000, 1x500]"}},
      {"stsz: count larger than the box",
       "00000018 7374737a 00000000 00000000 00000005 00000010",
       {"sample_size=0", "entries=5", "ERROR: only 1 entries fit the box", "first=[16]"}},
      {"stsc runs",
       "0000001c 73747363 00000000 00000001 00000001 00000018 00000001",
       {"entries=1", "first=[1:24:1]"}},
      {"co64: first entries and the last",
       R"(00000038 636f3634 00000000 00000005
          00000001 00000000 00000001 00000010 00000001 00000020
          00000001 00000030 00000001 00000040)",
       {"entries=5", "first=[4294967296, 4294967312, 4294967328, ...]", "last=4294967360"}},
      {"tkhd cut short",
       "00000014 746b6864 00000001 00000000 00000000",
       {"version=0", "flags=0x1", "ERROR: fields cut off"}},
      {"iTunes text item",
       R"(00000023 696c7374 0000001b a96e616d
          00000013 64617461 00000001 00000000 48690a)",
       {"ilst @0 size 35", "  \xC2\xA9nam @8 size 27",
        "    data @16 size 19 type=1 text=\"Hi\\x0a\""}},
      {"uuid identifier",
       "00000018 75756964 ffcc8263 f8554a93 8814587a 02521fdd",
       {"id=ffcc8263-f855-4a93-8814-587a02521fdd"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dump = dump_of(c.hex);
    for (const std::string& text : c.expected)
      EXPECT_NE(dump.find(text), std::string::npos) << "missing '" << text << "' in:\n" << dump;
  }
}

TEST(Dump, ListsEveryBoxOfAMuxedFileWithItsFields) {
  ASSERT_TRUE(plugin_ready());
  std::string out = test_temp_path("dumped.mp4");
  auto r = run_command(shell_quote(mxmux_binary()) + " -q -o " + shell_quote(out) + " --video " +
                       shell_quote(sample_path("testsrc.h264")) + " --audio " +
                       shell_quote(sample_path("tone.aac")));
  ASSERT_EQ(r.status, 0) << r.err;
  expect_dump_lists(out, kMovieBoxes);

  // The fields agree with what the box reader finds.
  iso::Tree tree = iso::read_file(out);
  std::string dump = dump_command(out).out;
  const iso::Box& video = tree.at("moov/trak[0]/mdia");
  const iso::Box& audio = tree.at("moov/trak[1]/mdia");
  std::vector<std::string> expected = {
      "major=" + tree.at("ftyp").fourcc(0),
      "timescale=" + std::to_string(tree.at("moov/mvhd").u32(12)),
      "timescale=" + std::to_string(video.at("mdhd").u32(12)),
      "timescale=" + std::to_string(audio.at("mdhd").u32(12)),
      "type=vide name=\"VideoHandler\"",
      "type=soun name=\"SoundHandler\"",
      "width=320 height=240",
      "channels=2 sample_size=16 sample_rate=48000",
      "stsz @" + std::to_string(video.at("minf/stbl/stsz").offset) + " size " +
          std::to_string(video.at("minf/stbl/stsz").size) +
          " sample_size=0 entries=" + std::to_string(video.at("minf/stbl/stsz").u32(8)),
      "entries=" + std::to_string(audio.at("minf/stbl/stco").u32(4)) + " first=[" +
          std::to_string(audio.at("minf/stbl/stco").u32(8)),
  };
  for (const std::string& text : expected)
    EXPECT_NE(dump.find(text), std::string::npos) << "missing '" << text << "' in:\n" << dump;
}

TEST(Dump, DamagedAndHostileFilesGetAListingAndAStatus) {
  ASSERT_TRUE(plugin_ready());
  std::string movie = test_temp_path("to-damage.mov");
  auto r = run_command(shell_quote(mxmux_binary()) + " -q -o " + shell_quote(movie) + " --video " +
                       shell_quote(sample_path("testsrc.h264")) + " --audio " +
                       shell_quote(sample_path("tone.aac")) + " --timecode 01:00:00:00");
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> bytes = read_whole_file(movie);
  iso::Tree tree = iso::parse(bytes);
  const iso::Box& moov = tree.at("moov");
  auto cut = [&](uint64_t size) {
    return std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(size));
  };
  std::vector<uint8_t> nested;  // 60 user-data boxes, each inside the previous one
  for (int i = 0; i < 60; ++i) {
    std::vector<uint8_t> outer = hex_bytes("00000000 75647461");
    uint32_t size = static_cast<uint32_t>(nested.size() + 8);
    for (int k = 0; k < 4; ++k)
      outer[static_cast<size_t>(k)] = static_cast<uint8_t>(size >> (24 - 8 * k));
    outer.insert(outer.end(), nested.begin(), nested.end());
    nested = outer;
  }
  struct Case {
    const char* name;
    std::vector<uint8_t> file;
    int status;
    std::vector<std::string> out;  // in the listing
    std::string err;               // on standard error
  };
  const Case cases[] = {
      {"cut inside the movie box",
       cut(moov.offset + moov.size / 2),
       1,
       {"moov @" + std::to_string(moov.offset), "ERROR: declared size"},
       "malformed"},
      {"cut inside a box header", cut(moov.offset + 4), 1, {"mdat @"}, "too short for a box"},
      {"size 0: to the end",
       hex_bytes("00000010 66747970 69736f6d 00000000  00000000 66726565 0102"),
       0,
       {"free @16 size 10 (to end)"},
       ""},
      {"64-bit size",
       hex_bytes("00000001 66726565 00000000 00000014 01020304"),
       0,
       {"free @0 size 20 (64-bit size)"},
       ""},
      {"size past the end",
       hex_bytes("00000100 6d6f6f76 00000008 75647461"),
       1,
       {"moov @0 size 16 ERROR: declared size 256"},
       "malformed"},
      {"size below its header",
       hex_bytes("00000004 6d6f6f76 00000000"),
       1,
       {"moov @0", "below its header"},
       "malformed"},
      {"nested too deep", nested, 1, {"nested too deep"}, "malformed"},
      {"empty file", {}, 1, {}, "no box in it"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = test_temp_path("damaged-" + std::to_string(n++) + ".mp4");
    write_whole_file(path, c.file);
    auto d = dump_command(path);
    EXPECT_EQ(d.status, c.status) << d.err;
    for (const std::string& text : c.out)
      EXPECT_NE(d.out.find(text), std::string::npos) << "missing '" << text << "' in:\n" << d.out;
    EXPECT_NE(d.err.find(c.err), std::string::npos) << d.err;
  }

  // Not a file at all.
  auto dir = dump_command(MX_TEST_TMP_DIR);
  EXPECT_EQ(dir.status, 1);
  EXPECT_NE(dir.err.find("is a directory"), std::string::npos) << dir.err;
  auto missing = dump_command(test_temp_path("no-such-file.mp4"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("No such file"), std::string::npos) << missing.err;
}

// Random bit flips and cuts of a real file, listed in memory: every listing
// must come back (the sanitizer build checks that no byte outside the input
// is read and nothing leaks), and damage in a box header must show.
TEST(Dump, BitFlippedFilesAreListedSafely) {
  ASSERT_TRUE(plugin_ready());
  std::string movie = test_temp_path("to-flip.mov");
  auto r = run_command(shell_quote(mxmux_binary()) + " -q -o " + shell_quote(movie) + " --video " +
                       shell_quote(sample_path("testsrc.h264")) + " --live-photo " +
                       shell_quote(sample_path("cover.jpg")));
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> bytes = read_whole_file(movie);
  iso::Tree tree = iso::parse(bytes);
  const iso::Box& moov = tree.at("moov");
  // The listing, not the media data, is what is under test: keep the file small.
  std::vector<uint8_t> base(bytes.begin(), bytes.begin() + 64);
  base.insert(base.end(), bytes.begin() + static_cast<long>(moov.offset), bytes.end());
  uint64_t moov_at = 64;
  base[0] = 0, base[1] = 0, base[2] = 0, base[3] = 64;  // the first box now spans the head
  std::mt19937 rng(12);
  int with_errors = 0;
  for (int round = 0; round < 600; ++round) {
    std::vector<uint8_t> damaged = base;
    int flips = 1 + static_cast<int>(rng() % 8);
    for (int k = 0; k < flips; ++k) {
      size_t at = moov_at + rng() % (damaged.size() - moov_at);
      damaged[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
    }
    if (round % 5 == 0) damaged.resize(moov_at + rng() % (damaged.size() - moov_at));
    std::string dump = mxmux::dump_text(iso::parse(damaged));
    ASSERT_FALSE(dump.empty()) << "round " << round;
    with_errors += dump.find("ERROR") != std::string::npos;
  }
  // Cuts alone damage every fifth file; flips in sizes and counts add more.
  EXPECT_GT(with_errors, 120);

  // A few through the program itself, which reads the file from disk.
  for (int round = 0; round < 6; ++round) {
    std::vector<uint8_t> damaged = bytes;
    for (int k = 0; k < 16; ++k) {
      size_t at = moov.offset + rng() % moov.size;
      damaged[at] ^= static_cast<uint8_t>(rng());
    }
    std::string path = test_temp_path("flipped-" + std::to_string(round) + ".mov");
    write_whole_file(path, damaged);
    auto d = dump_command(path);
    EXPECT_TRUE(d.status == 0 || d.status == 1) << d.status << d.err;
    EXPECT_NE(d.out.find("moov @"), std::string::npos) << d.out;
  }
}
