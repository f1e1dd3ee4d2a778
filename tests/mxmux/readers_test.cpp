// The elementary-stream readers against ffprobe's reading of the same files:
// frame counts, stream parameters, and the presentation order of streams
// with B-frames; then the error results for bad input, and a corpus of
// truncated and bit-flipped inputs that must end in a result, never a crash.
#include "mxmux/readers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <sstream>

#include "mxmux_test_util.h"
#include "support/test_files.h"

using namespace mxmux;
using namespace mxmux_test;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

std::string ffprobe_stream_field(const std::string& path, const std::string& field) {
  auto r = run_command("ffprobe -v error -select_streams 0 -count_packets -show_entries stream=" +
                       field + " -of csv=p=0 " + shell_quote(path));
  auto l = lines_of(r.out);
  return l.empty() ? "" : l[0];
}

// Decode index of every frame, listed in presentation order, as ffprobe's
// decoder outputs them: packet positions ranked give the decode index.
std::vector<int64_t> ffprobe_presentation_order(const std::string& path) {
  auto r =
      run_command("ffprobe -v error -select_streams 0 -show_entries frame=pkt_pos -of csv=p=0 " +
                  shell_quote(path));
  std::vector<int64_t> pos;
  for (const auto& l : lines_of(r.out)) pos.push_back(std::stoll(l));
  std::vector<int64_t> sorted = pos;
  std::sort(sorted.begin(), sorted.end());
  std::vector<int64_t> order;
  for (int64_t p : pos)
    order.push_back(std::lower_bound(sorted.begin(), sorted.end(), p) - sorted.begin());
  return order;
}

std::vector<int64_t> our_presentation_order(const std::vector<Frame>& frames) {
  std::vector<int64_t> idx(frames.size());
  for (size_t i = 0; i < idx.size(); ++i) idx[i] = static_cast<int64_t>(i);
  std::stable_sort(idx.begin(), idx.end(),
                   [&](int64_t a, int64_t b) { return frames[a].pts < frames[b].pts; });
  return idx;
}

void expect_sane_times(const ReadResult& r, const std::string& what) {
  for (size_t i = 0; i < r.frames.size(); ++i) {
    EXPECT_GE(r.frames[i].pts, r.frames[i].dts) << what << " frame " << i;
    if (i > 0) {
      EXPECT_GT(r.frames[i].dts, r.frames[i - 1].dts) << what << " frame " << i;
    }
  }
}

// Makes a small stream with ffmpeg into the test scratch folder.
std::string make_stream(const std::string& name, const std::string& ffmpeg_args) {
  std::string path = test_temp_path(name);
  auto r = run_command("ffmpeg -hide_banner -loglevel error -y " + ffmpeg_args + " " +
                       shell_quote(path));
  EXPECT_EQ(r.status, 0) << r.err;
  return path;
}

}  // namespace

TEST(Readers, SamplesMatchFfprobe) {
  struct Case {
    const char* file;
    Codec codec;
    uint32_t width, height, rate, channels;
  };
  const Case cases[] = {
      {"testsrc.h264", Codec::kH264, 320, 240, 0, 0},
      {"testsrc.hevc", Codec::kHevc, 320, 240, 0, 0},
      {"testsrc.263", Codec::kH263, 176, 144, 0, 0},
      {"tone.aac", Codec::kAac, 0, 0, 48000, 2},
      {"tone.ac3", Codec::kAc3, 0, 0, 48000, 2},
      {"tone.flac", Codec::kFlac, 0, 0, 44100, 1},
  };
  for (const auto& c : cases) {
    std::string path = sample_path(c.file);
    ReadResult r = read_stream_file(path);
    ASSERT_TRUE(r.opened && r.ended) << c.file << ": " << r.error.text();
    EXPECT_EQ(r.params.codec, c.codec) << c.file;
    EXPECT_EQ(std::to_string(r.frames.size()), ffprobe_stream_field(path, "nb_read_packets"))
        << c.file;
    if (codec_is_video(c.codec)) {
      EXPECT_EQ(r.params.width, c.width) << c.file;
      EXPECT_EQ(r.params.height, c.height) << c.file;
      EXPECT_TRUE(r.frames[0].key) << c.file;
    } else {
      EXPECT_EQ(r.params.sample_rate, c.rate) << c.file;
      EXPECT_EQ(r.params.channels, c.channels) << c.file;
      EXPECT_FALSE(r.params.config1.empty()) << c.file;
    }
    expect_sane_times(r, c.file);
  }
}

TEST(Readers, PresentationOrderFollowsPictureOrderCount) {
  struct Case {
    const char* name;
    std::string file;
    bool reorders;
  };
  const std::string src = "-f lavfi -i testsrc2=size=96x64:rate=25 -t 2 -pix_fmt yuv420p ";
  const Case cases[] = {
      {"H.264 sample (B-pyramid)", sample_path("testsrc.h264"), true},
      {"HEVC sample", sample_path("testsrc.hevc"), true},
      {"H.264 four slices, POC type 0",
       make_stream("slices.h264", src + "-c:v libx264 -bf 2 -x264-params slices=4 -f h264"), true},
      {"H.264 no B-frames, POC type 2",
       make_stream("poc2.h264", src + "-c:v libx264 -bf 0 -f h264"), false},
      {"H.264 open GOP, 5 B-frames",
       make_stream("open.h264",
                   src + "-c:v libx264 -bf 5 -x264-params open-gop=1:keyint=20 -f h264"),
       true},
      {"HEVC open GOP (CRA)",
       make_stream(
           "cra.hevc",
           src +
               "-c:v libx265 -x265-params log-level=error:open-gop=1:keyint=20:bframes=3 -f hevc"),
       true},
  };
  for (const auto& c : cases) {
    ReadResult r = read_stream_file(c.file);
    ASSERT_TRUE(r.opened && r.ended) << c.name << ": " << r.error.text();
    expect_sane_times(r, c.name);
    std::vector<int64_t> ours = our_presentation_order(r.frames);
    EXPECT_EQ(ours, ffprobe_presentation_order(c.file)) << c.name;
    bool reordered = false;
    for (size_t i = 0; i < ours.size(); ++i) reordered |= ours[i] != static_cast<int64_t>(i);
    EXPECT_EQ(reordered, c.reorders) << c.name;
  }
}

TEST(Readers, FrameRateFromStreamOrOverride) {
  ReadResult h264 = read_stream_file(sample_path("testsrc.h264"));
  EXPECT_EQ(h264.params.fps_num, 25u);
  EXPECT_EQ(h264.params.fps_den, 1u);
  ASSERT_GE(h264.frames.size(), 2u);
  EXPECT_EQ(h264.frames[1].dts - h264.frames[0].dts, 400000);
  ReaderOptions ntsc;
  ntsc.fps_num = 30000;
  ntsc.fps_den = 1001;
  ReadResult forced = read_stream_file(sample_path("testsrc.h264"), ntsc);
  EXPECT_EQ(forced.params.fps_num, 30000u);
  ASSERT_GE(forced.frames.size(), 3u);
  // Composition offsets convert back to whole 1001-tick frames at time scale 30000.
  for (const auto& f : forced.frames) {
    int64_t units = (f.pts - f.dts) * 30000 / 10000000;
    EXPECT_EQ(units % 1001, 0) << (f.pts - f.dts);
  }
  ReadResult h263 = read_stream_file(sample_path("testsrc.263"));
  EXPECT_EQ(h263.params.fps_num, 30000u);
  EXPECT_EQ(h263.params.fps_den, 1001u);
}

TEST(Readers, BadInputGivesFileAndOffset) {
  std::vector<uint8_t> aac = read_whole_file(sample_path("tone.aac"));
  ReadResult aac_full = read_stream_file(sample_path("tone.aac"));
  ASSERT_GT(aac_full.frames.size(), 10u);
  // The ADTS header sits 7 bytes before each frame's payload.
  uint64_t frame5 = aac_full.frames[5].offset;
  std::vector<uint8_t> lost_sync = aac;
  lost_sync[frame5] = 0x00;
  std::vector<uint8_t> truncated(aac.begin(), aac.begin() + static_cast<long>(frame5 + 20));
  std::vector<uint8_t> eac3 = hex_bytes("0B 77 00 00 00 80 00 00 00 00 00 00");  // bsid 16
  std::vector<uint8_t> wav24 = hex_bytes(
      "52494646 24000000 57415645 666d7420 10000000 0100 0200 44ac0000 10b10200 0600 1800"
      "64617461 00000000");
  std::vector<uint8_t> ivf_vp9 =
      hex_bytes("444b4946 0000 2000 56503930 4000 4000 19000000 01000000 00000000 00000000");
  std::vector<uint8_t> flac = read_whole_file(sample_path("tone.flac"));
  std::vector<uint8_t> flac_cut(flac.begin(), flac.end() - 100);
  std::vector<uint8_t> orphan_slice = hex_bytes("00000001 65 88 84 00 33 ff");
  std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'};
  struct Case {
    const char* name;
    Codec codec;
    const std::vector<uint8_t>* bytes;
    const char* message;
    int64_t offset;  // -1: any offset inside the input
  };
  const Case cases[] = {
      {"text as H.264", Codec::kH264, &text, "not an H.264 Annex-B stream", 0},
      {"text as AAC", Codec::kAac, &text, "not an AAC ADTS stream", 0},
      {"ADTS sync lost", Codec::kAac, &lost_sync, "lost ADTS sync", static_cast<int64_t>(frame5)},
      {"ADTS frame cut off", Codec::kAac, &truncated, "truncated AAC frame",
       static_cast<int64_t>(frame5)},
      {"E-AC-3", Codec::kAc3, &eac3, "unsupported: E-AC-3", 0},
      {"24-bit WAV", Codec::kPcm16, &wav24, "unsupported WAV sample format", -1},
      {"VP9 in IVF", Codec::kAv1, &ivf_vp9, "does not hold AV1", 8},
      {"FLAC cut short", Codec::kFlac, &flac_cut, "truncated or damaged FLAC frame", -1},
      {"slice without parameter sets", Codec::kH264, &orphan_slice,
       "parameter set the stream has not sent", 4},
  };
  for (const auto& c : cases) {
    ReadResult r = read_stream_memory(c.codec, *c.bytes);
    ASSERT_TRUE(r.error.set()) << c.name;
    EXPECT_NE(r.error.message.find(c.message), std::string::npos)
        << c.name << ": " << r.error.text();
    EXPECT_EQ(r.error.file, "memory") << c.name;
    if (c.offset >= 0) {
      EXPECT_EQ(static_cast<int64_t>(r.error.offset), c.offset) << c.name << ": " << r.error.text();
    }
    EXPECT_LE(r.error.offset, c.bytes->size()) << c.name;
  }
}

// Truncated and bit-flipped copies of every sample: each read ends with a
// clean end or an error inside the input, and never runs away.
TEST(Readers, DamagedInputsEndInAResult) {
  struct Source {
    const char* file;
    Codec codec;
  };
  const Source sources[] = {
      {"testsrc.h264", Codec::kH264}, {"testsrc.hevc", Codec::kHevc}, {"testsrc.263", Codec::kH263},
      {"tone.aac", Codec::kAac},      {"tone.ac3", Codec::kAc3},      {"tone.flac", Codec::kFlac},
  };
  std::mt19937 rng(12345);
  for (const auto& s : sources) {
    std::vector<uint8_t> original = read_whole_file(sample_path(s.file));
    ASSERT_FALSE(original.empty()) << s.file;
    ReadResult clean = read_stream_memory(s.codec, original);
    ASSERT_TRUE(clean.ended) << s.file << ": " << clean.error.text();
    size_t frame_cap = clean.frames.size() * 4 + 100;
    std::vector<std::vector<uint8_t>> variants;
    for (size_t cut : {size_t{0}, size_t{1}, size_t{3}, size_t{7}, size_t{33}, size_t{100}}) {
      variants.emplace_back(original.begin(),
                            original.begin() + static_cast<long>(std::min(cut, original.size())));
    }
    for (int i = 0; i < 24; ++i) {
      size_t cut = rng() % original.size();
      variants.emplace_back(original.begin(), original.begin() + static_cast<long>(cut));
    }
    for (int i = 0; i < 120; ++i) {
      std::vector<uint8_t> v = original;
      int flips = 1 + static_cast<int>(rng() % 8);
      // Most flips land in the first kilobytes, where the headers are.
      for (int k = 0; k < flips; ++k) {
        size_t at = (i % 2 ? rng() % std::min<size_t>(v.size(), 2048) : rng() % v.size());
        v[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
      }
      variants.push_back(std::move(v));
    }
    for (size_t i = 0; i < variants.size(); ++i) {
      ReadResult r = read_stream_memory(s.codec, variants[i], frame_cap);
      bool finished = r.ended || r.error.set();
      EXPECT_TRUE(finished) << s.file << " variant " << i << " ran past " << frame_cap << " frames";
      if (r.error.set()) {
        EXPECT_LE(r.error.offset, variants[i].size()) << s.file << " variant " << i;
        EXPECT_FALSE(r.error.message.empty());
      }
      for (size_t k = 1; k < r.frames.size(); ++k) {
        EXPECT_LE(r.frames[k].offset + 0, variants[i].size()) << s.file;
        if (r.frames[k].dts <= r.frames[k - 1].dts) {
          ADD_FAILURE() << s.file << " variant " << i << ": decode times not increasing at frame "
                        << k;
          break;
        }
      }
    }
  }
}
