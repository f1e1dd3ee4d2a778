// mxmux --creation-time: the times of mvhd and of every track's tkhd and mdhd,
// in both box versions, are replaced in place and nothing else changes.
#include "mxmux/files/movie_times.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mxmux_test_util.h"
#include "support/box_reader.h"
#include "support/test_files.h"
#include "support/tools.h"

using namespace mxmux_test;

namespace {

// A movie box with a version-1 mvhd, one track with a version-0 tkhd and a
// version-1 mdhd, a second track with version 0 throughout, and a udta whose
// bytes look like times but must stay; behind a small mdat.
const char kMovie[] = R"(
  00000010 6d646174 0102030405060708          # mdat, 8 bytes
  000000d8 6d6f6f76                           # moov
    00000028 6d766864 01000000                # mvhd, version 1
      0000000000000001 0000000000000002       #   creation, modification (64-bit)
      000003e8 00000000 00000004              #   time scale, duration...
    00000058 7472616b                         # trak
      0000001c 746b6864 00000003              #   tkhd, version 0
        00000011 00000012 00000001 00000000   #     creation, modification, id, -
      00000034 6d646961                       #   mdia
        0000002c 6d646864 01000000            #     mdhd, version 1
          0000000000000021 0000000000000022   #       creation, modification
          00007530 0000000000000000 55c40000  #       time scale, duration, lang
    00000040 7472616b                         # trak
      0000001c 746b6864 00000003              #   tkhd, version 0
        00000031 00000032 00000002 00000000
      0000001c 6d646961                       #   mdia
        00000014 6d646864 00000000            #     mdhd, version 0
          00000041 00000042                   #       creation, modification
    00000010 75647461 00000051 00000052       # udta: not a time
)";

TEST(MovieTimes, HeadersOfEveryVersionAreSetInPlace) {
  const std::vector<uint8_t> before = hex_bytes(kMovie);
  const std::string file = test_temp_path("movie-times.mp4");
  write_whole_file(file, before);
  std::string problem;
  ASSERT_TRUE(mxmux::set_movie_times(file, 1700000000, problem)) << problem;
  const uint64_t t = 1700000000 + mxmux::kSeconds1904To1970;
  const std::vector<uint8_t> after = read_whole_file(file);
  ASSERT_EQ(after.size(), before.size());
  iso::Tree tree = iso::parse(after);
  EXPECT_EQ(tree.at("moov/mvhd").u64(4), t);
  EXPECT_EQ(tree.at("moov/mvhd").u64(12), t);
  for (const char* track : {"moov/trak[0]", "moov/trak[1]"}) {
    SCOPED_TRACE(track);
    const iso::Box& tkhd = tree.at(std::string(track) + "/tkhd");
    EXPECT_EQ(tkhd.u32(4), t);
    EXPECT_EQ(tkhd.u32(8), t);
  }
  EXPECT_EQ(tree.at("moov/trak[0]/mdia/mdhd").u64(4), t);
  EXPECT_EQ(tree.at("moov/trak[0]/mdia/mdhd").u64(12), t);
  EXPECT_EQ(tree.at("moov/trak[1]/mdia/mdhd").u32(4), t);
  EXPECT_EQ(tree.at("moov/trak[1]/mdia/mdhd").u32(8), t);
  // Every other byte is as it was: at most the ten time fields changed.
  size_t changed = 0;
  for (size_t i = 0; i < before.size(); ++i) changed += before[i] != after[i];
  EXPECT_LE(changed, size_t{8 + 8 + 4 + 4 + 8 + 8 + 4 + 4 + 4 + 4});
  EXPECT_EQ(tree.at("moov/udta").u32(0), 0x51u);
  EXPECT_EQ(tree.at("mdat").u64(0), 0x0102030405060708u);
}

TEST(MovieTimes, FilesWithoutAMovieBoxAreRefusedUntouched) {
  struct Case {
    const char* name;
    const char* hex;
  };
  const Case cases[] = {
      {"no moov", "00000010 6d646174 0102030405060708"},
      {"moov larger than the file", "00000100 6d6f6f76 00000000"},
      {"header cut short", "0000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = test_temp_path("movie-times-bad.mp4");
    write_whole_file(file, hex_bytes(c.hex));
    std::string problem;
    EXPECT_FALSE(mxmux::set_movie_times(file, 1700000000, problem));
    EXPECT_FALSE(problem.empty());
    EXPECT_EQ(read_whole_file(file), hex_bytes(c.hex));
  }
  std::string problem;
  EXPECT_FALSE(mxmux::set_movie_times(test_temp_path("no-such-file.mp4"), 0, problem));
}

// Two runs a few seconds apart give the same bytes with the option, and the
// summary's readers see the pinned time.
TEST(MovieTimes, RunsWithTheOptionGiveIdenticalFiles) {
  ASSERT_TRUE(plugin_ready());
  MX_REQUIRE_TOOLS("ffprobe");
  const std::string a = test_temp_path("pinned-a.mov"), b = test_temp_path("pinned-b.mov");
  const std::string inputs = " --video " + shell_quote(sample_path("testsrc.h264")) + " --audio " +
                             shell_quote(sample_path("tone.aac"));
  ASSERT_EQ(run_command(shell_quote(mxmux_binary()) + " -q --creation-time 1700000000 -o " +
                        shell_quote(a) + inputs)
                .status,
            0);
  ASSERT_EQ(run_command("sleep 1.1").status, 0);
  ASSERT_EQ(run_command(shell_quote(mxmux_binary()) + " -q --creation-time=1700000000 -o " +
                        shell_quote(b) + inputs)
                .status,
            0);
  EXPECT_EQ(read_whole_file(a), read_whole_file(b));
  auto probe = run_command("ffprobe -v error -show_entries format_tags=creation_time -of csv=p=0 " +
                           shell_quote(a));
  EXPECT_EQ(probe.out, "2023-11-14T22:13:20.000000Z\n");
  for (const char* bad : {"-1", "x", "4294967296", ""}) {
    auto r = run_command(shell_quote(mxmux_binary()) + " --creation-time '" + bad + "' -o " +
                         shell_quote(test_temp_path("never.mov")) + inputs);
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_NE(r.err.find("bad --creation-time"), std::string::npos) << r.err;
  }
}

}  // namespace
