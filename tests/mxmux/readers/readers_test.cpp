// The elementary-stream readers against ffprobe's reading of the same files:
// frame counts, stream parameters, and the presentation order of streams
// with B-frames; then the error results for bad input, and a corpus of
// truncated and bit-flipped inputs that must end in a result, never a crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <sstream>

#include "mxmux/readers/reader.h"
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
  const std::string src = "-f lavfi -i testsrc2=size=96x64:rate=";
  auto x265 = [&](const std::string& name, const std::string& rate, const std::string& params) {
    return make_stream(name, src + rate + " -t 1 -pix_fmt yuv420p -c:v libx265 -x265-params " +
                                 "log-level=error:bframes=3:keyint=12" + params + " -f hevc");
  };
  // ffmpeg's MPEG-4 Visual encoder fixes no VOP rate: the rate comes from the
  // time stamps of the first two VOPs.
  auto mpeg4 = [&](const std::string& name, const std::string& rate) {
    return make_stream(name, src + rate + " -t 1 -pix_fmt yuv420p -c:v mpeg4 -q:v 5 -f m4v");
  };
  ReaderOptions none, ntsc;
  ntsc.fps_num = 30000;
  ntsc.fps_den = 1001;
  struct Case {
    const char* name;
    std::string file;
    ReaderOptions options;
    uint32_t num, den;                // the rate the frames are timed at
    uint32_t stream_num, stream_den;  // the rate the stream states
  };
  const Case cases[] = {
      {"H.264 sample", sample_path("testsrc.h264"), none, 25, 1, 25, 1},
      {"H.264 sample, --fps 30000/1001", sample_path("testsrc.h264"), ntsc, 30000, 1001, 25, 1},
      {"H.263 sample", sample_path("testsrc.263"), none, 30000, 1001, 30000, 1001},
      {"HEVC sample", sample_path("testsrc.hevc"), none, 25, 1, 25, 1},
      // x265 states the rate in the SPS VUI only, not in the VPS.
      {"HEVC 24000/1001 by x265", x265("r23976.hevc", "24000/1001", ""), none, 24000, 1001, 24000,
       1001},
      {"HEVC 30000/1001 by x265", x265("r2997.hevc", "30000/1001", ""), none, 30000, 1001, 30000,
       1001},
      {"HEVC without timing", x265("untimed.hevc", "24000/1001", ":vui-timing-info=0"), none, 25, 1,
       0, 0},
      {"MPEG-4 Visual 30000/1001 by ffmpeg", mpeg4("r2997.m4v", "30000/1001"), none, 30000, 1001,
       30000, 1001},
      {"MPEG-4 Visual 24000/1001 by ffmpeg", mpeg4("r23976.m4v", "24000/1001"), none, 24000, 1001,
       24000, 1001},
      {"MPEG-4 Visual 15 by ffmpeg", mpeg4("r15.m4v", "15"), none, 15, 1, 15, 1},
  };
  for (const auto& c : cases) {
    ReadResult r = read_stream_file(c.file, c.options);
    ASSERT_TRUE(r.opened && r.ended) << c.name << ": " << r.error.text();
    EXPECT_EQ(r.params.fps_num, c.num) << c.name;
    EXPECT_EQ(r.params.fps_den, c.den) << c.name;
    EXPECT_EQ(r.params.stream_fps_num, c.stream_num) << c.name;
    EXPECT_EQ(r.params.stream_fps_den, c.stream_den) << c.name;
    ASSERT_GE(r.frames.size(), 3u) << c.name;
    FrameClock clock{c.num, c.den};
    EXPECT_EQ(r.frames[1].dts - r.frames[0].dts, clock.ticks(1)) << c.name;
    EXPECT_EQ(r.frames.back().dts, clock.ticks(static_cast<int64_t>(r.frames.size()) - 1))
        << c.name;
    // Composition offsets convert back to whole frames at the rate's time scale.
    for (const auto& f : r.frames) {
      int64_t units = (f.pts - f.dts) * c.num / kTicksPerSecond;
      EXPECT_EQ(units % c.den, 0) << c.name << ": offset " << (f.pts - f.dts);
    }
  }
}

namespace {

// Builds a NAL unit bit by bit, for parameter sets no encoder here writes.
class NalBits {
 public:
  void put(int n, uint32_t value) {
    for (int i = n - 1; i >= 0; --i) bits_.push_back((value >> i) & 1);
  }
  void flag(bool value) { put(1, value ? 1 : 0); }
  void ue(uint32_t value) {
    uint64_t v = uint64_t{value} + 1;
    int length = 0;
    while ((v >> length) > 1) ++length;
    put(length, 0);
    for (int i = length; i >= 0; --i) bits_.push_back((v >> i) & 1);
  }
  void se(int32_t value) { ue(value > 0 ? 2 * value - 1 : -2 * value); }
  // The unit with its 4-byte start code: trailing bits, emulation prevention.
  std::vector<uint8_t> unit(std::vector<uint8_t> header) {
    put(1, 1);
    while (bits_.size() % 8) bits_.push_back(0);
    std::vector<uint8_t> rbsp;
    for (size_t i = 0; i < bits_.size(); i += 8) {
      uint8_t byte = 0;
      for (size_t k = 0; k < 8; ++k) byte = static_cast<uint8_t>((byte << 1) | bits_[i + k]);
      rbsp.push_back(byte);
    }
    // One byte at a time: GCC 12 at -O3 warns (-Warray-bounds) about
    // inserting into a vector made from an initializer list.
    std::vector<uint8_t> out;
    for (uint8_t b : {0, 0, 0, 1}) out.push_back(b);
    for (uint8_t b : header) out.push_back(b);
    int zeros = 0;
    for (uint8_t b : rbsp) {
      if (zeros >= 2 && b <= 3) {
        out.push_back(3);
        zeros = 0;
      }
      out.push_back(b);
      zeros = b == 0 ? zeros + 1 : 0;
    }
    return out;
  }

 private:
  std::vector<int> bits_;
};

// An HEVC SPS that carries everything that can stand between the picture
// size and the VUI timing: scaling lists, PCM, short-term reference picture
// sets (explicit and predicted from the set before), long-term pictures, and
// every optional VUI part before the timing.
std::vector<uint8_t> hevc_sps_with_everything(bool timing) {
  NalBits b;
  b.put(4, 0);  // sps_video_parameter_set_id
  b.put(3, 0);  // sps_max_sub_layers_minus1
  b.flag(true);
  b.put(8, 1);  // profile space, tier, general_profile_idc 1
  b.put(32, 0x60000000);
  b.put(24, 0x900000);  // source flags and constraint bits
  b.put(24, 0);
  b.put(8, 93);  // general_level_idc
  b.ue(0);       // sps_seq_parameter_set_id
  b.ue(1);       // chroma_format_idc
  b.ue(96);
  b.ue(64);
  b.flag(false);  // conformance_window_flag
  b.ue(0);
  b.ue(0);
  b.ue(4);  // log2_max_pic_order_cnt_lsb_minus4: 8-bit POC LSBs
  b.flag(true);
  b.ue(4);
  b.ue(2);
  b.ue(0);
  for (uint32_t v : {0u, 3u, 0u, 3u, 1u, 1u}) b.ue(v);  // block sizes and depths
  b.flag(true);                                         // scaling_list_enabled_flag
  b.flag(true);                                         // sps_scaling_list_data_present_flag
  for (int size_id = 0; size_id < 4; ++size_id) {
    for (int matrix_id = 0; matrix_id < 6; matrix_id += size_id == 3 ? 3 : 1) {
      bool explicit_list = (size_id + matrix_id) % 2 == 0;
      b.flag(explicit_list);
      if (!explicit_list) {
        b.ue(0);
        continue;
      }
      if (size_id > 1) b.se(-3);
      for (int i = 0; i < std::min(64, 1 << (4 + (size_id << 1))); ++i) b.se(i % 5 - 2);
    }
  }
  b.flag(true);  // amp_enabled_flag
  b.flag(true);  // sample_adaptive_offset_enabled_flag
  b.flag(true);  // pcm_enabled_flag
  b.put(4, 7);
  b.put(4, 7);
  b.ue(0);
  b.ue(1);
  b.flag(false);
  b.ue(4);  // num_short_term_ref_pic_sets
  // Set 0: POCs -1 and -3 before, +1 after.
  b.ue(2);
  b.ue(1);
  b.ue(0);
  b.flag(true);
  b.ue(1);
  b.flag(true);
  b.ue(0);
  b.flag(false);
  // Set 1 from set 0 moved by -1: four flag groups (set 0's three pictures,
  // then its own), keeping only -1 - 1 = -2. (+1 - 1 would be the picture itself.)
  b.flag(true);  // inter_ref_pic_set_prediction_flag
  b.flag(true);  // delta_rps_sign
  b.ue(0);       // abs_delta_rps_minus1
  b.flag(true);  // used_by_curr_pic_flag
  for (int dropped = 0; dropped < 3; ++dropped) {
    b.flag(false);
    b.flag(false);  // use_delta_flag
  }
  // Set 2 from set 1 moved by +3: two flag groups, both dropped: an empty set.
  b.flag(true);
  b.flag(false);
  b.ue(2);
  for (int dropped = 0; dropped < 2; ++dropped) {
    b.flag(false);
    b.flag(false);
  }
  // Set 3 from set 2 moved by -2: one flag group only if set 2 was counted
  // right; gives -2.
  b.flag(true);
  b.flag(true);
  b.ue(1);
  b.flag(true);
  b.flag(true);  // long_term_ref_pics_present_flag
  b.ue(2);
  b.put(8, 17);
  b.flag(true);
  b.put(8, 200);
  b.flag(false);
  b.flag(true);  // sps_temporal_mvp_enabled_flag
  b.flag(true);  // strong_intra_smoothing_enabled_flag
  b.flag(true);  // vui_parameters_present_flag
  b.flag(true);  // aspect_ratio_info_present_flag
  b.put(8, 255);
  b.put(16, 4);
  b.put(16, 3);
  b.flag(true);  // overscan_info_present_flag
  b.flag(false);
  b.flag(true);  // video_signal_type_present_flag
  b.put(3, 5);
  b.flag(false);
  b.flag(true);
  b.put(24, 0x010101);
  b.flag(true);  // chroma_loc_info_present_flag
  b.ue(0);
  b.ue(0);
  b.put(3, 0);   // neutral chroma, field_seq, frame_field_info
  b.flag(true);  // default_display_window_flag
  for (int i = 0; i < 4; ++i) b.ue(0);
  b.flag(timing);  // vui_timing_info_present_flag
  if (timing) {
    b.put(32, 1001);
    b.put(32, 24000);
    b.flag(false);
    b.flag(false);
  }
  b.flag(false);  // bitstream_restriction_flag
  b.flag(false);  // sps_extension_present_flag
  return b.unit({0x42, 0x01});
}

// The units of an Annex-B stream, each with its start code.
std::vector<std::vector<uint8_t>> annexb_units(const std::vector<uint8_t>& stream) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= stream.size(); ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) starts.push_back(i + 3);
  }
  std::vector<std::vector<uint8_t>> units;
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : stream.size();
    while (end > starts[k] && stream[end - 1] == 0) --end;
    std::vector<uint8_t> unit = {0, 0, 0, 1};
    unit.insert(unit.end(), stream.begin() + static_cast<long>(starts[k]),
                stream.begin() + static_cast<long>(end));
    units.push_back(unit);
  }
  return units;
}

}  // namespace

// The VUI sits behind every optional part of the SPS; the rate is found
// only when each part is stepped over exactly.
TEST(Readers, HevcRateBehindEveryOptionalSpsPart) {
  // x265's VPS (no timing in it), PPS and first picture around our own SPS.
  std::string base = make_stream("base.hevc",
                                 "-f lavfi -i testsrc2=size=96x64:rate=25 -frames:v 1 -pix_fmt "
                                 "yuv420p -c:v libx265 -x265-params log-level=error:"
                                 "vui-timing-info=0 -f hevc");
  auto units = annexb_units(read_whole_file(base));
  for (bool timing : {true, false}) {
    std::vector<uint8_t> stream;
    for (const auto& unit : units) {
      int type = (unit[4] >> 1) & 0x3F;
      if (type == 33) {
        auto sps = hevc_sps_with_everything(timing);
        stream.insert(stream.end(), sps.begin(), sps.end());
      } else if (type == 32 || type == 34 || type < 32) {
        stream.insert(stream.end(), unit.begin(), unit.end());
      }
    }
    ReadResult r = read_stream_memory(Codec::kHevc, stream);
    ASSERT_TRUE(r.opened) << r.error.text();
    if (timing) {
      // ffprobe's reading of the same SPS: the fixture is a valid one.
      std::string path = test_temp_path("everything.hevc");
      write_whole_file(path, stream);
      EXPECT_EQ(ffprobe_stream_field(path, "width,r_frame_rate"), "96,24000/1001");
    }
    EXPECT_EQ(r.params.width, 96u);
    EXPECT_EQ(r.params.stream_fps_num, timing ? 24000u : 0u);
    EXPECT_EQ(r.params.stream_fps_den, timing ? 1001u : 0u);
    EXPECT_EQ(r.params.fps_num, timing ? 24000u : 25u);
    EXPECT_EQ(r.frames.size(), 1u);
  }
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
