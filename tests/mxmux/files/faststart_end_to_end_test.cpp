// mxmux --faststart on every kind of track the plug-in writes: each file is
// muxed as written and with the movie box moved first. The rewrite of a file
// must hold the same samples byte for byte and differ in the movie box only
// in chunk offsets; the --faststart file must read and decode the same as the
// plain one in ffprobe, mediainfo and ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>

#include "mxmux/files/faststart.h"
#include "mxmux_test_util.h"
#include "support/box_reader.h"
#include "support/test_files.h"
#include "support/tools.h"
#include "support/track_samples.h"

using namespace mxmux_test;

namespace {

CommandResult run_mxmux(const std::string& args) {
  return run_command(shell_quote(mxmux_binary()) + " " + args);
}

std::string first_line(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

// Decoded frames of every audio and video stream, hashed.
std::string frame_hashes(const std::string& path) {
  auto r = run_command("ffmpeg -v error -i " + shell_quote(path) +
                       " -map 0:v? -map 0:a? -fps_mode passthrough -f framemd5 -");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "") << "ffmpeg reported errors decoding " << path;
  std::string out;
  for (size_t pos = 0; pos < r.out.size();) {
    size_t end = r.out.find('\n', pos);
    if (end == std::string::npos) end = r.out.size();
    if (r.out[pos] != '#') out += r.out.substr(pos, end - pos) + "\n";
    pos = end + 1;
  }
  return out;
}

// Where a file's bytes differ from another's: only inside chunk offset tables.
void expect_only_chunk_offsets_differ(const iso::Tree& plain, const iso::Tree& fast) {
  std::vector<uint8_t> a = plain.at("moov").bytes(), b = fast.at("moov").bytes();
  ASSERT_EQ(a.size(), b.size()) << "no table needed widening in a small file";
  uint64_t base = fast.at("moov").offset;
  std::vector<std::pair<uint64_t, uint64_t>> tables;  // entry bytes, relative to moov
  for (const char* type : {"stco", "co64"}) {
    for (const iso::Box* t : fast.all(type))
      tables.emplace_back(t->offset - base + 16, t->offset - base + t->size);
  }
  EXPECT_FALSE(tables.empty());
  size_t differing = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == b[i]) continue;
    ++differing;
    bool in_table = std::any_of(tables.begin(), tables.end(),
                                [&](const auto& t) { return i >= t.first && i < t.second; });
    EXPECT_TRUE(in_table) << "movie box byte " << i << " changed outside the chunk offsets";
    if (!in_table) break;
  }
  EXPECT_GT(differing, 0u);
}

void expect_same_samples(const std::string& plain_path, const std::string& fast_path,
                         const iso::Tree& plain, const iso::Tree& fast) {
  std::vector<uint8_t> plain_bytes = read_whole_file(plain_path);
  std::vector<uint8_t> fast_bytes = read_whole_file(fast_path);
  size_t tracks = plain.at("moov").count("trak");
  ASSERT_EQ(fast.at("moov").count("trak"), tracks);
  for (size_t t = 0; t < tracks; ++t) {
    SCOPED_TRACE("track " + std::to_string(t + 1));
    TrackSamples a = read_track_samples(plain.at("moov").at("trak[" + std::to_string(t) + "]"));
    TrackSamples b = read_track_samples(fast.at("moov").at("trak[" + std::to_string(t) + "]"));
    ASSERT_EQ(a.samples.size(), b.samples.size());
    ASSERT_FALSE(a.samples.empty());
    EXPECT_EQ(a.chunk_samples, b.chunk_samples);
    for (size_t i = 0; i < a.samples.size(); ++i) {
      ASSERT_EQ(sample_bytes(plain_bytes, a.samples[i]), sample_bytes(fast_bytes, b.samples[i]))
          << "sample " << i;
      // Every sample moved by the size of the movie box now in front of it.
      ASSERT_EQ(b.samples[i].offset, a.samples[i].offset + fast.at("moov").size);
    }
  }
}

}  // namespace

TEST(FaststartEndToEnd, EveryTrackKindReadsTheSameWithTheMovieBoxFirst) {
  ASSERT_TRUE(plugin_ready()) << "the built plug-in cannot create an MP4 session";
  MX_REQUIRE_TOOLS("ffmpeg", "ffprobe", "mediainfo");
  const std::string h264 = shell_quote(sample_path("testsrc.h264"));
  const std::string hevc = shell_quote(sample_path("testsrc.hevc"));
  const std::string aac = shell_quote(sample_path("tone.aac"));
  const std::string ac3 = shell_quote(sample_path("tone.ac3"));
  const std::string cover = shell_quote(sample_path("cover.jpg"));
  struct Case {
    const char* name;
    const char* extension;
    std::string inputs;
  };
  const Case cases[] = {
      {"h264_aac", ".mp4", "--video " + h264 + " --audio " + aac},
      {"hevc_ac3_timecode", ".mov",
       "--video " + hevc + " --audio " + ac3 + " --timecode 01:00:00:00"},
      {"dual_audio", ".mp4", "--video " + h264 + " --audio " + aac + " --audio " + ac3},
      {"live_photo", ".mov", "--video " + h264 + " --live-photo " + cover},
      {"audio_with_cover", ".m4a", "--audio " + aac + " --cover " + cover + " --title Tone"},
      {"h263_3gp", ".3gp",
       "--video " + shell_quote(sample_path("testsrc.263")) + " --audio " + aac},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string plain = test_temp_path(std::string(c.name) + "-plain" + c.extension);
    std::string fast = test_temp_path(std::string(c.name) + "-fast" + c.extension);
    auto r = run_mxmux("-o " + shell_quote(plain) + " " + c.inputs);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string plain_summary = r.out.substr(r.out.find(": "));
    r = run_mxmux("--faststart -o " + shell_quote(fast) + " " + c.inputs);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // The summary tells the same tracks, frames and size (a Live Photo's still
    // is named after its movie).
    std::string fast_summary = r.out.substr(r.out.find(": "));
    if (size_t at = fast_summary.find("-fast."); at != std::string::npos)
      fast_summary.replace(at, 6, "-plain.");
    EXPECT_EQ(fast_summary, plain_summary);

    // The program's own rewrite of the plain file (another run would differ in
    // creation times and identifiers): the same top-level boxes with the movie
    // box moved behind ftyp, the same samples, only chunk offsets changed.
    std::string rewritten = test_temp_path(std::string(c.name) + "-rewritten" + c.extension);
    write_whole_file(rewritten, read_whole_file(plain));
    std::string error;
    ASSERT_TRUE(mxmux::faststart::rewrite_file(rewritten, nullptr, error)) << error;
    iso::Tree a = iso::read_file(plain), b = iso::read_file(rewritten);
    std::vector<std::string> expected = a.types();
    ASSERT_EQ(expected.back(), "moov") << a.dump();
    expected.pop_back();
    expected.insert(expected.begin() + 1, "moov");
    EXPECT_EQ(b.types(), expected);
    EXPECT_EQ(b.input_size, a.input_size);
    expect_only_chunk_offsets_differ(a, b);
    expect_same_samples(plain, rewritten, a, b);
    EXPECT_EQ(iso::read_file(fast).types(), expected) << "mxmux --faststart wrote another layout";

    // The readers.
    auto probe = run_command(
        "ffprobe -v error -show_entries stream=codec_type,codec_name,"
        "nb_frames:format=duration -of csv " +
        shell_quote(fast));
    EXPECT_EQ(probe.status, 0) << probe.err;
    EXPECT_EQ(probe.err, "");
    auto plain_probe = run_command(
        "ffprobe -v error -show_entries stream=codec_type,codec_name,"
        "nb_frames:format=duration -of csv " +
        shell_quote(plain));
    EXPECT_EQ(probe.out, plain_probe.out);
    const std::string info =
        "mediainfo --Inform='General;%IsStreamable%|%VideoCount%|%AudioCount%|%OtherCount%|"
        "%Duration%' ";
    auto media = run_command(info + shell_quote(fast));
    auto plain_media = run_command(info + shell_quote(plain));
    EXPECT_EQ(media.status, 0) << media.err;
    EXPECT_EQ(first_line(media.out).substr(0, 4), "Yes|") << media.out;
    EXPECT_EQ(first_line(plain_media.out).substr(0, 3), "No|") << plain_media.out;
    EXPECT_EQ(first_line(media.out).substr(4), first_line(plain_media.out).substr(3));
    std::string hashes = frame_hashes(fast);
    EXPECT_FALSE(hashes.empty());
    EXPECT_EQ(hashes, frame_hashes(plain));
    expect_dump_lists(fast, kMovieBoxes);
  }
}
