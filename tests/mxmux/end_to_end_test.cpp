// mxmux as a user runs it, with the built plug-in: every output extension,
// every input kind; ffmpeg must decode each result without an error, and the
// frames must match the source (decoded-picture hashes in presentation order,
// audio packet hashes or decoded-audio hashes for lossless codecs). Then the
// error paths: each gives its message and a non-zero status and leaves no file.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>

#include "mxmux_test_util.h"
#include "support/test_files.h"
#include "support/tools.h"

using namespace mxmux_test;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] != '#') out.push_back(line);
  }
  return out;
}

// The hash column of ffmpeg's framemd5 output; sources are hashed once.
std::vector<std::string> frame_hashes(const std::string& input_args, const std::string& map,
                                      bool copy) {
  static std::map<std::string, std::vector<std::string>> cache;
  std::string key = input_args + "|" + map + (copy ? "|copy" : "");
  bool is_source = input_args.find("-ignore_editlist") == std::string::npos;
  if (is_source && cache.count(key)) return cache[key];
  auto r = run_command("ffmpeg -v error " + input_args + " -map " + map + (copy ? " -c copy" : "") +
                       " -fps_mode passthrough -f framemd5 -");
  EXPECT_EQ(r.status, 0) << r.err;
  // Fields: stream, dts, pts, duration, size, hash[, side data...].
  std::vector<std::string> hashes;
  for (const auto& l : lines_of(r.out)) {
    std::istringstream fields(l);
    std::string field;
    for (int i = 0; i < 6 && std::getline(fields, field, ','); ++i) {
    }
    hashes.push_back(field);
  }
  if (is_source) cache[key] = hashes;
  return hashes;
}

std::string audio_md5(const std::string& input_args) {
  auto r = run_command("ffmpeg -v error " + input_args + " -map 0:a:0 -f md5 -");
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

std::string make_stream(const std::string& name, const std::string& ffmpeg_args) {
  std::string path = test_temp_path(name);
  auto r = run_command("ffmpeg -hide_banner -loglevel error -y " + ffmpeg_args + " " +
                       shell_quote(path));
  EXPECT_EQ(r.status, 0) << r.err;
  return path;
}

// AMR-NB cannot be encoded here; a stream of 12.2 kbit/s frames with arbitrary
// speech bits is still a valid stream to decode.
std::string make_amr(const std::string& name, int frames) {
  std::vector<uint8_t> bytes = {'#', '!', 'A', 'M', 'R', '\n'};
  std::mt19937 rng(7);
  for (int i = 0; i < frames; ++i) {
    bytes.push_back(0x3C);  // frame type 7, quality bit set
    for (int k = 0; k < 31; ++k) bytes.push_back(static_cast<uint8_t>(rng()));
  }
  std::string path = test_temp_path(name);
  write_whole_file(path, bytes);
  return path;
}

CommandResult run_mxmux(const std::string& args) {
  return run_command(shell_quote(mxmux_binary()) + " " + args);
}

enum class Check { kDecodedVideo, kPackets, kDecodedAudio };

struct Input {
  std::string path;
  bool video;
  Check check;
};

}  // namespace

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    // A plug-in that cannot create a session is the fault these tests exist to
    // catch: it fails them, it never skips them.
    ASSERT_TRUE(plugin_ready()) << "the built plug-in cannot create an MP4 session";
    MX_REQUIRE_TOOLS("ffmpeg", "ffprobe");
  }

  // Muxes, then compares every input with its stream in the output.
  void mux_and_compare(const std::string& name, const std::string& output_ext,
                       const std::vector<Input>& inputs, const std::string& extra = "") {
    SCOPED_TRACE(name);
    std::string out = test_temp_path(name + output_ext);
    std::string args = "-q -o " + shell_quote(out) + " " + extra;
    for (const auto& in : inputs)
      args += (in.video ? " --video " : " --audio ") + shell_quote(in.path);
    auto r = run_mxmux(args);
    ASSERT_EQ(r.status, 0) << r.err;
    auto decode = run_command("ffmpeg -v error -i " + shell_quote(out) + " -f null -");
    EXPECT_EQ(decode.status, 0);
    EXPECT_EQ(decode.err, "") << "ffmpeg reported errors decoding " << out;
    int video_index = 0, audio_index = 0;
    for (const auto& in : inputs) {
      std::string src = "-i " + shell_quote(in.path);
      std::string dst = "-ignore_editlist 1 -i " + shell_quote(out);
      std::string map = in.video ? "0:v:" + std::to_string(video_index++)
                                 : "0:a:" + std::to_string(audio_index++);
      if (in.check == Check::kDecodedAudio) {
        EXPECT_EQ(audio_md5(src), audio_md5("-i " + shell_quote(out) + " -map_metadata -1"))
            << in.path;
        continue;
      }
      std::string src_map = in.video ? "0:v:0" : "0:a:0";
      // ADTS packets keep their headers until they go into a container.
      if (in.path.size() > 4 && in.path.substr(in.path.size() - 4) == ".aac")
        src_map += " -bsf:a aac_adtstoasc";
      auto want = frame_hashes(src, src_map, in.check == Check::kPackets);
      auto got = frame_hashes(dst, map, in.check == Check::kPackets);
      EXPECT_FALSE(want.empty()) << in.path;
      EXPECT_EQ(got.size(), want.size()) << in.path;
      size_t same = 0;
      while (same < got.size() && same < want.size() && got[same] == want[same]) ++same;
      EXPECT_EQ(same, want.size()) << in.path << ": frame " << same << " differs";
    }
  }
};

TEST_F(EndToEnd, SamplesIntoEveryExtension) {
  Input h264{sample_path("testsrc.h264"), true, Check::kDecodedVideo};
  Input hevc{sample_path("testsrc.hevc"), true, Check::kDecodedVideo};
  Input h263{sample_path("testsrc.263"), true, Check::kDecodedVideo};
  Input aac{sample_path("tone.aac"), false, Check::kPackets};
  Input ac3{sample_path("tone.ac3"), false, Check::kPackets};
  Input flac{sample_path("tone.flac"), false, Check::kDecodedAudio};
  Input amr{make_amr("voice.amr", 150), false, Check::kPackets};
  mux_and_compare("h264_aac", ".mp4", {h264, aac});
  mux_and_compare("hevc_ac3", ".mov", {hevc, ac3});
  mux_and_compare("aac", ".m4a", {aac});
  mux_and_compare("aac", ".m4b", {aac});
  mux_and_compare("h263_aac", ".3gp", {h263, aac});
  mux_and_compare("h263_amr", ".3gp", {h263, amr});
  mux_and_compare("h264_amr", ".3g2", {h264, amr});
  mux_and_compare("h264", ".m4v", {h264});
  mux_and_compare("h264_aac", ".f4v", {h264, aac});
  mux_and_compare("hevc_flac", ".mp4", {hevc, flac});
  mux_and_compare("dual", ".mp4", {h264, aac, ac3});
}

TEST_F(EndToEnd, GeneratedStreamsOfEveryReader) {
  const std::string pic = "-f lavfi -i testsrc2=size=128x96:rate=25 -t 1.2 -pix_fmt yuv420p ";
  const std::string snd = "-f lavfi -i sine=frequency=500:sample_rate=44100:duration=1.2 -ac 2 ";
  Input mpeg4{make_stream("v.m4v", pic + "-c:v mpeg4 -q:v 5 -f m4v"), true, Check::kDecodedVideo};
  Input av1{make_stream("v.ivf", pic + "-c:v libaom-av1 -cpu-used 8 -crf 50 -g 10 -f ivf"), true,
            Check::kDecodedVideo};
  Input slices{
      make_stream("slices.h264",
                  pic + "-c:v libx264 -bf 3 -x264-params slices=3:b-pyramid=strict -f h264"),
      true, Check::kDecodedVideo};
  Input open_gop{
      make_stream("open.hevc",
                  pic + "-c:v libx265 -x265-params log-level=error:keyint=10:bframes=3 -f hevc"),
      true, Check::kDecodedVideo};
  Input pcm16{make_stream("s16.wav", snd + "-c:a pcm_s16le"), false, Check::kDecodedAudio};
  Input pcm32{make_stream("f32.wav", snd + "-c:a pcm_f32le"), false, Check::kDecodedAudio};
  Input aac44{make_stream("a44.aac", snd + "-c:a aac -f adts"), false, Check::kPackets};
  mux_and_compare("mpeg4_aac", ".mp4", {mpeg4, aac44});
  mux_and_compare("mpeg4", ".3gp", {mpeg4});
  // PCM goes into MOV: this ffmpeg cannot read the MP4 PCM entries (ipcm, fpcm).
  mux_and_compare("av1", ".mp4", {av1});
  mux_and_compare("mpeg4_pcm32", ".mov", {mpeg4, pcm32});
  mux_and_compare("slices_pcm16", ".mov", {slices, pcm16});
  mux_and_compare("hevc_open_gop", ".mp4", {open_gop});
}

TEST_F(EndToEnd, MetadataTimecodeAndSummary) {
  std::string out = test_temp_path("tagged.m4a");
  auto r = run_mxmux("-o " + shell_quote(out) + " --audio " + shell_quote(sample_path("tone.aac")) +
                     " --title 'A Title' --artist 'Ärtist' --album Album --genre Test --cover " +
                     shell_quote(sample_path("cover.jpg")) + " --language deu");
  ASSERT_EQ(r.status, 0) << r.err;
  // The one-line summary: tracks, frames, duration, size.
  EXPECT_NE(r.out.find("1 track: AAC LC 48000 Hz 2 ch, 189 frames; 4.03 s;"), std::string::npos)
      << r.out;
  auto probe = run_command(
      "ffprobe -v error -show_entries format_tags=title,artist,album,genre:stream=codec_name:"
      "stream_tags=language -of default=nw=1 " +
      shell_quote(out));
  EXPECT_NE(probe.out.find("TAG:title=A Title"), std::string::npos) << probe.out;
  EXPECT_NE(probe.out.find("TAG:artist=Ärtist"), std::string::npos) << probe.out;
  EXPECT_NE(probe.out.find("TAG:album=Album"), std::string::npos) << probe.out;
  EXPECT_NE(probe.out.find("codec_name=mjpeg"), std::string::npos)
      << "cover art stream missing: " << probe.out;
  EXPECT_NE(probe.out.find("TAG:language=deu"), std::string::npos) << probe.out;

  std::string tc = test_temp_path("timecode.mov");
  r = run_mxmux("-q -o " + shell_quote(tc) + " --video " +
                shell_quote(sample_path("testsrc.h264")) + " --timecode 01:02:03:04");
  ASSERT_EQ(r.status, 0) << r.err;
  probe = run_command(
      "ffprobe -v error -show_entries stream=codec_tag_string:stream_tags=timecode -of "
      "default=nw=1 " +
      shell_quote(tc));
  EXPECT_NE(probe.out.find("codec_tag_string=tmcd"), std::string::npos) << probe.out;
  EXPECT_NE(probe.out.find("01:02:03:04"), std::string::npos) << probe.out;

  std::string sph = test_temp_path("spherical.mp4");
  r = run_mxmux("-q -o " + shell_quote(sph) + " --video " +
                shell_quote(sample_path("testsrc.h264")) + " --spherical top-bottom");
  ASSERT_EQ(r.status, 0) << r.err;
  probe = run_command("ffprobe -v error -show_entries stream_side_data -of default=nw=1 " +
                      shell_quote(sph));
  EXPECT_NE(probe.out.find("projection=equirectangular"), std::string::npos) << probe.out;
  EXPECT_NE(probe.out.find("type=top and bottom"), std::string::npos) << probe.out;

  std::string live = test_temp_path("live.mov");
  std::string still = live.substr(0, live.size() - 4) + ".jpg";
  r = run_mxmux("-q -o " + shell_quote(live) + " --video " +
                shell_quote(sample_path("testsrc.h264")) + " --live-photo " +
                shell_quote(sample_path("cover.jpg")));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(file_exists(still)) << "no still beside the movie";
  probe = run_command("ffprobe -v error -show_entries format_tags -of default=nw=1 " +
                      shell_quote(live));
  EXPECT_NE(probe.out.find("content.identifier="), std::string::npos) << probe.out;
}

TEST_F(EndToEnd, BadInputAndOutputGiveClearErrorsAndNoFile) {
  std::string text = test_temp_path("notes.h264");
  write_whole_file(text, {'h', 'e', 'l', 'l', 'o', '\n'});
  std::vector<uint8_t> aac = read_whole_file(sample_path("tone.aac"));
  std::string cut_aac = test_temp_path("cut.aac");
  write_whole_file(cut_aac, std::vector<uint8_t>(aac.begin(), aac.begin() + 30000));
  std::string wav24 = make_stream("s24.wav", "-f lavfi -i sine=duration=0.2 -c:a pcm_s24le");
  struct Case {
    const char* name;
    std::string output;
    std::string args;
    std::vector<std::string> messages;
  };
  std::string dir = test_temp_path("errors");
  const Case cases[] = {
      {"not a stream of that type",
       dir + "a.mp4",
       "--video " + shell_quote(text),
       {text, "at byte 0", "not an H.264 Annex-B stream"}},
      {"truncated frame, found while muxing",
       dir + "b.mp4",
       "--video " + shell_quote(sample_path("testsrc.h264")) + " --audio " + shell_quote(cut_aac),
       {cut_aac, "at byte 29", "truncated AAC frame"}},
      {"unsupported sample format",
       dir + "c.mov",
       "--audio " + shell_quote(wav24),
       {wav24, "unsupported WAV sample format", "24-bit"}},
      {"codec the format does not take",
       dir + "d.3gp",
       "--video " + shell_quote(sample_path("testsrc.hevc")),
       {"does not accept HEVC video", "it accepts audio:", "\"H263\" (H.263)"}},
      {"unwritable output",
       "/nonexistent-dir/e.mp4",
       "--audio " + shell_quote(sample_path("tone.aac")),
       {"/nonexistent-dir/e.mp4", "No such file or directory"}},
      {"unknown output extension",
       dir + "f.avi",
       "--audio " + shell_quote(sample_path("tone.aac")),
       {"cannot tell the format from the extension"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = run_mxmux("-o " + shell_quote(c.output) + " " + c.args);
    EXPECT_EQ(r.status, 1) << r.err;
    for (const auto& m : c.messages)
      EXPECT_NE(r.err.find(m), std::string::npos) << "missing '" << m << "' in: " << r.err;
    EXPECT_FALSE(file_exists(c.output)) << c.output << " was left behind";
  }
  auto usage = run_mxmux("--bogus");
  EXPECT_EQ(usage.status, 2);
  EXPECT_NE(usage.err.find("unknown option --bogus"), std::string::npos) << usage.err;
}
