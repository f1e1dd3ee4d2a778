// mxmux as a user runs it, with the built plug-in: every output extension,
// every input kind; ffmpeg must decode each result without an error, and the
// frames must match the source (decoded-picture hashes in presentation order,
// audio packet hashes or decoded-audio hashes for lossless codecs). Then the
// error paths: each gives its message and a non-zero status and leaves no file.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <sstream>

#include "mxmux_test_util.h"
#include "support/test_files.h"
#include "support/tools.h"

using namespace mxmux_test;

namespace {

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
  std::vector<std::string> hashes = framemd5_hashes(r.out);
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

// An empty folder of its own in the scratch folder.
std::string fresh_folder(const std::string& name) {
  std::string dir = test_temp_path(name);
  run_command("rm -rf " + shell_quote(dir) + " && mkdir -p " + shell_quote(dir));
  return dir;
}

// What a folder holds, sorted.
std::vector<std::string> folder_entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<uint8_t> text_bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
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
    expect_dump_lists(out, kMovieBoxes);
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
  expect_dump_lists(out, {"ftyp", "moov", "udta", "meta", "ilst", "covr", "data"});

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
  expect_dump_lists(tc, {"ftyp", "moov", "tref", "tmcd", "gmhd"});

  std::string sph = test_temp_path("spherical.mp4");
  r = run_mxmux("-q -o " + shell_quote(sph) + " --video " +
                shell_quote(sample_path("testsrc.h264")) + " --spherical top-bottom");
  ASSERT_EQ(r.status, 0) << r.err;
  probe = run_command("ffprobe -v error -show_entries stream_side_data -of default=nw=1 " +
                      shell_quote(sph));
  EXPECT_NE(probe.out.find("projection=equirectangular"), std::string::npos) << probe.out;
  EXPECT_NE(probe.out.find("type=top and bottom"), std::string::npos) << probe.out;
  expect_dump_lists(sph, {"ftyp", "moov", "uuid"});

  // A Live Photo is a QuickTime movie whatever the extension; the summary
  // says so, counts its metadata track and names the still.
  std::string live = test_temp_path("live.mp4");
  std::string still = live.substr(0, live.size() - 4) + ".jpg";
  r = run_mxmux("-o " + shell_quote(live) + " --video " + shell_quote(sample_path("testsrc.h264")) +
                " --audio " + shell_quote(sample_path("tone.aac")) + " --live-photo " +
                shell_quote(sample_path("cover.jpg")));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(live + ": QuickTime movie (format \"MP4 \", brand \"qt  \"), 3 tracks: "),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("; Live Photo still-image time; still " + still + ";"), std::string::npos)
      << r.out;
  EXPECT_TRUE(file_exists(still)) << "no still beside the movie";
  probe = run_command("ffprobe -v error -show_entries format_tags -of default=nw=1 " +
                      shell_quote(live));
  EXPECT_NE(probe.out.find("content.identifier="), std::string::npos) << probe.out;
  // Three tracks to ffprobe too (the cover it shows as a picture is no track).
  probe = run_command(
      "ffprobe -v error -show_entries stream=codec_type:stream_disposition=attached_pic -of "
      "csv=p=0 " +
      shell_quote(live));
  EXPECT_EQ(probe.out, "video,0\naudio,0\ndata,0\nvideo,1\n");
  expect_dump_lists(live, {"ftyp", "moov", "mebx", "keys", "keyd", "meta", "ilst"});
}

// Exit status 2: the command line asks for something mxmux cannot do;
// 1: reading or writing failed. Each says what and leaves no file.
TEST_F(EndToEnd, BadInputAndOutputGiveClearErrorsAndNoFile) {
  std::string text = test_temp_path("notes.h264");
  write_whole_file(text, {'h', 'e', 'l', 'l', 'o', '\n'});
  std::string empty = test_temp_path("empty.h264");
  write_whole_file(empty, {});
  std::vector<uint8_t> aac = read_whole_file(sample_path("tone.aac"));
  std::string cut_aac = test_temp_path("cut.aac");
  write_whole_file(cut_aac, std::vector<uint8_t>(aac.begin(), aac.begin() + 30000));
  std::string wav24 = make_stream("s24.wav", "-f lavfi -i sine=duration=0.2 -c:a pcm_s24le");
  std::string h264 = shell_quote(sample_path("testsrc.h264"));
  std::string tone = shell_quote(sample_path("tone.aac"));
  struct Case {
    const char* name;
    std::string output;
    std::string args;
    int status;
    std::vector<std::string> messages;
  };
  std::string dir = test_temp_path("errors");
  const Case cases[] = {
      {"not a stream of that type",
       dir + "a.mp4",
       "--video " + shell_quote(text),
       1,
       {text, "at byte 0", "not an H.264 Annex-B stream"}},
      {"truncated frame, found while muxing",
       dir + "b.mp4",
       "--video " + h264 + " --audio " + shell_quote(cut_aac),
       1,
       {cut_aac, "at byte 29", "truncated AAC frame", dir + "b.mp4 was not written"}},
      {"unsupported sample format",
       dir + "c.mov",
       "--audio " + shell_quote(wav24),
       1,
       {wav24, "unsupported WAV sample format", "24-bit"}},
      {"empty input",
       dir + "d.mp4",
       "--video " + shell_quote(empty),
       1,
       {empty + ": the file is empty"}},
      {"unwritable output",
       "/nonexistent-dir/e.mp4",
       "--audio " + tone,
       1,
       {"/nonexistent-dir/e.mp4: cannot write: no such file or directory"}},
      {"codec the format does not take",
       dir + "f.3gp",
       "--video " + shell_quote(sample_path("testsrc.hevc")),
       2,
       {"does not accept HEVC video", "it takes video: H.263, MPEG-4 Visual; audio: AMR-NB, AAC"}},
      // The MP4 entry lists a dozen H.264 codes; each codec is named once.
      {"codec list of a format with many codes",
       dir + "g.mp4",
       "--video " + shell_quote(sample_path("testsrc.263")),
       2,
       {"does not accept H.263 video",
        "it takes video: H.264, MPEG-4 Visual, HEVC, AV1; audio: AAC, "
        "AAC + AC-3 (two --audio inputs), AC-3, PCM, FLAC"}},
      {"unknown output extension",
       dir + "h.avi",
       "--audio " + tone,
       2,
       {"cannot tell the format from the extension"}},
      {"unknown input extension",
       dir + "i.mp4",
       "--video " + shell_quote(dir + "x.mkv"),
       2,
       {"unknown input type '.mkv'"}},
      {"audio given as video",
       dir + "j.mp4",
       "--video " + tone,
       2,
       {"AAC is audio; give it with --audio"}},
      {"two audio streams that are not AAC + AC-3",
       dir + "k.mp4",
       "--audio " + tone + " --audio " + tone,
       2,
       {"two audio inputs must be one AAC and one AC-3 stream (got AAC and AAC)"}},
      {"timecode frames past the rate",
       dir + "l.mov",
       "--video " + h264 + " --timecode 01:00:00:99",
       2,
       {"--timecode 01:00:00:99", "25 frames a second", "from 00 to 24"}},
      {"timecode frames equal to the rate",
       dir + "m.mov",
       "--video " + h264 + " --timecode 01:00:00:25",
       2,
       {"from 00 to 24"}},
      {"drop-frame timecode",
       dir + "n.mov",
       "--video " + h264 + " --timecode '01:00:00;00'",
       2,
       {"drop-frame timecode", "cannot be written"}},
      {"timecode that is no timecode",
       dir + "o.mov",
       "--video " + h264 + " --timecode 1:00",
       2,
       {"bad --timecode '1:00'"}},
      {"timecode without video",
       dir + "p.m4a",
       "--audio " + tone + " --timecode 01:00:00:00",
       2,
       {"--timecode needs a video stream"}},
      {"cover with Live Photo",
       dir + "q.mov",
       "--video " + h264 + " --cover " + shell_quote(sample_path("cover.jpg")) + " --live-photo " +
           shell_quote(sample_path("cover.jpg")),
       2,
       {"--cover and --live-photo cannot be combined"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = run_mxmux("-o " + shell_quote(c.output) + " " + c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    for (const auto& m : c.messages)
      EXPECT_NE(r.err.find(m), std::string::npos) << "missing '" << m << "' in: " << r.err;
    if (r.err.find("it takes video:") != std::string::npos) {
      EXPECT_LE(count_of(r.err, "H.264"), 1u) << r.err;
    }
    EXPECT_FALSE(file_exists(c.output)) << c.output << " was left behind";
  }
  // The command line alone.
  struct Usage {
    std::string args;
    std::string message;
  };
  std::string folder = fresh_folder("a-folder");
  const Usage usages[] = {
      {"--bogus", "unknown option --bogus"},
      {"--video " + h264, "no output file given"},
      {"-o " + shell_quote(folder) + " --video " + h264, folder + ": is a directory"},
      {"-o " + shell_quote(folder + "/x.mp4"), "no input given"},
      {"--fps 0 -o x.mp4 --video " + h264, "bad frame rate '0'"},
  };
  for (const auto& u : usages) {
    auto r = run_mxmux(u.args);
    EXPECT_EQ(r.status, 2) << u.args << ": " << r.err;
    EXPECT_NE(r.err.find(u.message), std::string::npos) << u.args << ": " << r.err;
  }
  EXPECT_TRUE(folder_entries(folder).empty());
}

// An output (or the still named after it, or the log) that is one of the
// files the run reads is refused before anything is written: the same file
// through a symbolic or a hard link, or the same new name twice.
TEST_F(EndToEnd, OutputThatIsAnInputIsRefused) {
  std::string dir = fresh_folder("self");
  auto at = [&](const std::string& name) { return dir + "/" + name; };
  run_command("cp " + shell_quote(sample_path("testsrc.h264")) + " " +
              shell_quote(at("clip.h264")) + " && cp " + shell_quote(sample_path("cover.jpg")) +
              " " + shell_quote(at("still.jpg")) + " && cp " +
              shell_quote(sample_path("tone.aac")) + " " + shell_quote(at("tone.aac")) +
              " && ln -s clip.h264 " + shell_quote(at("link.mp4")) + " && ln " +
              shell_quote(at("clip.h264")) + " " + shell_quote(at("hard.mp4")));
  std::vector<std::string> before = folder_entries(dir);
  std::vector<uint8_t> clip = read_whole_file(at("clip.h264")),
                       still = read_whole_file(at("still.jpg"));
  std::string video = " --video " + shell_quote(at("clip.h264"));
  struct Case {
    const char* name;
    std::string args;
    std::string message;
  };
  const Case cases[] = {
      {"output is the input", "--format 'MP4 ' -o " + shell_quote(at("clip.h264")) + video,
       "the output (" + at("clip.h264") + ") is the same file as the --video input"},
      {"output is a symbolic link to the input", "-o " + shell_quote(at("link.mp4")) + video,
       "the output (" + at("link.mp4") + ") is the same file as the --video input (" +
           at("clip.h264") + ")"},
      {"output is a hard link to the input", "-o " + shell_quote(at("hard.mp4")) + video,
       "is the same file as the --video input"},
      {"Live Photo still named after the movie is the input still",
       "-o " + shell_quote(at("still.mov")) + video + " --live-photo " +
           shell_quote(at("still.jpg")),
       "the Live Photo still written beside it (" + at("still.jpg") +
           ") is the same file as the --live-photo still"},
      {"output is the cover",
       "--format 'M4A ' -o " + shell_quote(at("still.jpg")) + " --audio " +
           shell_quote(at("tone.aac")) + " --cover " + shell_quote(at("still.jpg")),
       "is the same file as the --cover image"},
      {"a new movie and its still under one name",
       "--format 'MOV ' -o " + shell_quote(at("new.jpg")) + video + " --live-photo " +
           shell_quote(sample_path("cover.jpg")),
       "the Live Photo still written beside it (" + at("new.jpg") +
           ") is the same file as the output"},
      {"log is the input",
       "--log " + shell_quote(at("tone.aac")) + " -o " + shell_quote(at("a.m4a")) + " --audio " +
           shell_quote(at("tone.aac")),
       "the --log file (" + at("tone.aac") + ") is the same file as the --audio input"},
      {"log is the new output",
       "--log " + shell_quote(at("b.m4a")) + " -o " + shell_quote(at("b.m4a")) + " --audio " +
           shell_quote(at("tone.aac")),
       "the --log file (" + at("b.m4a") + ") is the same file as the output"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = run_mxmux(c.args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing was written"), std::string::npos) << r.err;
    EXPECT_EQ(folder_entries(dir), before);
    EXPECT_EQ(read_whole_file(at("clip.h264")), clip);
    EXPECT_EQ(read_whole_file(at("still.jpg")), still);
  }
  struct stat st {};
  ASSERT_EQ(::lstat(at("link.mp4").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// The output is made under a temporary name beside it and renamed over the
// old file only when complete: a failed or interrupted run leaves the old
// file (and the old still) as they were and nothing else behind.
TEST_F(EndToEnd, FailedOrInterruptedRunKeepsThePreviousFile) {
  std::string dir = fresh_folder("keep");
  auto at = [&](const std::string& name) { return dir + "/" + name; };
  std::vector<uint8_t> aac = read_whole_file(sample_path("tone.aac"));
  std::string cut_aac = test_temp_path("keep-cut.aac");
  write_whole_file(cut_aac, std::vector<uint8_t>(aac.begin(), aac.begin() + 30000));
  std::string h264 = shell_quote(sample_path("testsrc.h264"));
  std::string cover = shell_quote(sample_path("cover.jpg"));
  write_whole_file(at("keep.mp4"), text_bytes("the previous movie"));
  write_whole_file(at("keep.mov"), text_bytes("the previous live movie"));
  write_whole_file(at("keep.jpg"), text_bytes("the previous still"));
  ::chmod(at("keep.mp4").c_str(), 0640);
  const std::vector<std::string> files = {"keep.jpg", "keep.mov", "keep.mp4"};

  auto r = run_mxmux("-o " + shell_quote(at("keep.mp4")) + " --video " + h264 + " --audio " +
                     shell_quote(cut_aac));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("truncated AAC frame; the previous " + at("keep.mp4") + " is kept"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(read_whole_file(at("keep.mp4")), text_bytes("the previous movie"));
  EXPECT_EQ(folder_entries(dir), files);

  r = run_mxmux("-o " + shell_quote(at("keep.mov")) + " --video " + h264 + " --audio " +
                shell_quote(cut_aac) + " --live-photo " + cover);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_whole_file(at("keep.mov")), text_bytes("the previous live movie"));
  EXPECT_EQ(read_whole_file(at("keep.jpg")), text_bytes("the previous still"));
  EXPECT_EQ(folder_entries(dir), files);

  // Interrupted: the video comes through a pipe that stays open, so the run
  // waits for more input once it has started writing; then it gets SIGINT.
  std::string fifo = test_temp_path("keep-fifo.h264");
  std::string script = "rm -f " + shell_quote(fifo) + " && mkfifo " + shell_quote(fifo) +
                       " || exit 9\n" + shell_quote(mxmux_binary()) + " -q -o " +
                       shell_quote(at("keep.mp4")) + " --video " + shell_quote(fifo) + " &\n" +
                       "pid=$!\n"
                       "exec 3>" +
                       shell_quote(fifo) + "\ncat " + h264 + " >&3\n" +
                       "for i in $(seq 1 300); do ls -a " + shell_quote(dir) +
                       " | grep -q mxmux- && break; sleep 0.02; done\n"
                       "kill -INT $pid\nsleep 0.2\nexec 3>&-\nwait $pid\necho \"status=$?\"\n";
  r = run_command("sh -c " + shell_quote(script));
  EXPECT_NE(r.out.find("status=1"), std::string::npos) << r.out << r.err;
  EXPECT_NE(
      r.err.find(at("keep.mp4") + ": interrupted; the previous " + at("keep.mp4") + " is kept"),
      std::string::npos)
      << r.err;
  EXPECT_EQ(read_whole_file(at("keep.mp4")), text_bytes("the previous movie"));
  EXPECT_EQ(folder_entries(dir), files);

  // A complete run replaces the file, keeping its permissions; through a
  // symbolic link it replaces the file the link points to.
  ::symlink("keep.mp4", at("link.mp4").c_str());
  r = run_mxmux("-q -o " + shell_quote(at("link.mp4")) + " --video " + h264);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> movie = read_whole_file(at("keep.mp4"));
  ASSERT_GT(movie.size(), 8u);
  EXPECT_EQ(std::string(movie.begin() + 4, movie.begin() + 8), "ftyp");
  struct stat st {};
  ASSERT_EQ(::stat(at("keep.mp4").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  ASSERT_EQ(::lstat(at("link.mp4").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  // A complete Live Photo replaces both; the still is named after the final movie.
  r = run_mxmux("-q -o " + shell_quote(at("keep.mov")) + " --video " + h264 + " --live-photo " +
                cover);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> still = read_whole_file(at("keep.jpg"));
  ASSERT_GT(still.size(), 3u);
  EXPECT_EQ(still[0], 0xFF);
  EXPECT_EQ(still[1], 0xD8);
  auto id = run_command("exiftool -s3 -Keys:ContentIdentifier " + shell_quote(at("keep.mov")));
  auto still_id = run_command("exiftool -s3 -Apple:ContentIdentifier -Apple:MediaGroupUUID " +
                              shell_quote(at("keep.jpg")));
  EXPECT_FALSE(id.out.empty());
  EXPECT_EQ(id.out, still_id.out) << "the still is not the movie's pair";
  EXPECT_EQ(folder_entries(dir),
            (std::vector<std::string>{"keep.jpg", "keep.mov", "keep.mp4", "link.mp4"}));
}

// A failed write says why in the system's words: a full device, a full disk.
TEST_F(EndToEnd, WriteFailuresSayWhy) {
  std::string h264 = shell_quote(sample_path("testsrc.h264"));
  auto r = run_mxmux("-o /dev/full --format 'MP4 ' --video " + h264);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("/dev/full: cannot write: no space left on device"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("removed"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("kept"), std::string::npos) << r.err;

  // A 64 KiB file system in a mount namespace of its own (gone with the
  // command), holding the previous file; the new one needs 77 KiB.
  std::string dir = fresh_folder("full-disk");
  std::string script = "mount -t tmpfs -o size=64k mxmux-test " + shell_quote(dir) +
                       " || exit 9\n"
                       "printf 'the previous movie' >" +
                       shell_quote(dir + "/keep.mp4") + "\n" + shell_quote(mxmux_binary()) +
                       " -q -o " + shell_quote(dir + "/keep.mp4") + " --video " + h264 +
                       "\necho \"status=$?\"\ncat " + shell_quote(dir + "/keep.mp4") +
                       "; echo; ls -a " + shell_quote(dir) + "\n";
  std::string unshare = geteuid() == 0 ? "unshare -m " : "unshare -r -m ";
  r = run_command(unshare + "sh -c " + shell_quote(script));
  if (r.out.find("status=") == std::string::npos) {
    GTEST_SKIP() << "no mount namespace for a small file system here: " << r.err;
  }
  EXPECT_NE(r.out.find("status=1"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find(dir + "/keep.mp4: cannot write: no space left on device; the previous " +
                       dir + "/keep.mp4 is kept"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("the previous movie\n.\n..\nkeep.mp4\n"), std::string::npos)
      << "old file changed or files left behind: " << r.out;
}

// The frame rate the file gets, and the words when it is not the stream's own.
TEST_F(EndToEnd, FrameRatesAndTheirWords) {
  const std::string pic = "-f lavfi -i testsrc2=size=96x64:rate=";
  const std::string x265 = " -t 2 -pix_fmt yuv420p -c:v libx265 -x265-params log-level=error";
  std::string h264 = shell_quote(sample_path("testsrc.h264"));
  struct Case {
    const char* name;
    std::string args;
    std::string rate;     // of the muxed video, as ffprobe gives it
    std::string warning;  // empty: no word at all
  };
  const Case cases[] = {
      {"HEVC 24000/1001 from the SPS VUI",
       "--video " + make_stream("w23976.hevc", pic + "24000/1001" + x265 + " -f hevc"),
       "24000/1001", ""},
      {"HEVC 30000/1001 from the SPS VUI",
       "--video " + make_stream("w2997.hevc", pic + "30000/1001" + x265 + " -f hevc"), "30000/1001",
       ""},
      {"HEVC stating no rate",
       "--video " + make_stream("w-untimed.hevc", pic + "30" + x265 + ":vui-timing-info=0 -f hevc"),
       "25/1", "the stream states no frame rate; timing it at 25 fps (set the rate with --fps)"},
      {"--fps over the stream's own rate", "--fps 30000/1001 --video " + h264, "30000/1001",
       "--fps 30000/1001 (29.97) replaces the rate the stream states (25 fps)"},
      {"--fps equal to the stream's own rate", "--fps 25 --video " + h264, "25/1", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = test_temp_path("rate.mp4");
    auto r = run_mxmux("-q -o " + shell_quote(out) + " " + c.args);
    ASSERT_EQ(r.status, 0) << r.err;
    if (c.warning.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_NE(r.err.find(c.warning), std::string::npos) << r.err;
    }
    auto probe = run_command("ffprobe -v error -show_entries stream=r_frame_rate -of csv=p=0 " +
                             shell_quote(out));
    EXPECT_EQ(probe.out, c.rate + "\n");
  }
}

// 32-bit float PCM in MP4 ("fpcm") is new to readers; mxmux says so, and
// only there.
TEST_F(EndToEnd, FloatPcmInMp4GetsANote) {
  std::string f32 =
      make_stream("note-f32.wav", "-f lavfi -i sine=sample_rate=48000:duration=0.3 -c:a pcm_f32le");
  auto r = run_mxmux("-q -o " + shell_quote(test_temp_path("note.mp4")) + " --audio " +
                     shell_quote(f32));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("32-bit float PCM in an MP4 file (\"fpcm\") needs a recent reader"),
            std::string::npos)
      << r.err;
  r = run_mxmux("-q -o " + shell_quote(test_temp_path("note.mov")) + " --audio " +
                shell_quote(f32));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

// A pipe cannot be renamed over or seeked in: it gets the finished file,
// and the summary goes to standard error instead of into the file.
TEST_F(EndToEnd, OutputToAPipe) {
  std::string out = test_temp_path("piped.mp4");
  auto r =
      run_command("{ " + shell_quote(mxmux_binary()) + " -o /dev/stdout --format 'MP4 ' --video " +
                  shell_quote(sample_path("testsrc.h264")) + " | cat >" + shell_quote(out) + "; }");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("/dev/stdout: MP4 (format \"MP4 \", brand \"mp42\"), 1 track: H.264"),
            std::string::npos)
      << r.err;
  auto probe = run_command(
      "ffprobe -v error -count_packets -show_entries stream=nb_read_packets "
      "-of csv=p=0 " +
      shell_quote(out));
  EXPECT_EQ(probe.out, "100\n") << probe.err;
}
