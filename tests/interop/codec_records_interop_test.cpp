// Cross-check of the configuration records against ffmpeg's own MP4 writer: ffmpeg
// encodes a short clip to a raw stream and copies the same stream into an MP4; the record
// we build from the raw stream must carry the same fixed fields as ffmpeg's hvcC / av1C.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "../codecs/codec_test_util.h"
#include "codecs/av1_config.h"
#include "codecs/hevc_config.h"
#include "support/box_reader.h"
#include "support/test_files.h"
#include "support/tools.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool have_encoder(const std::string& name) {
  return run("ffmpeg -hide_banner -h encoder=" + name + " | grep -q '^Encoder " + name + "'");
}

// Encodes `frames` frames of the test pattern into `raw` (format by extension) and
// copies that stream into an MP4. False when ffmpeg failed.
bool make_streams(int frames, const std::string& args, const std::string& raw,
                  const std::string& mp4, const std::string& format) {
  return run("ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -frames:v " +
             std::to_string(frames) + " " + args + " -f " + format + " '" + raw + "'") &&
         run("ffmpeg -v error -y -i '" + raw + "' -c copy '" + mp4 + "'");
}

Bytes ffmpeg_record(const std::string& mp4, const std::string& tag) {
  iso::Tree tree = iso::read_file(mp4);
  std::vector<const iso::Box*> boxes = tree.all(tag);
  if (boxes.size() != 1) return {};
  return boxes[0]->payload();
}

TEST(CodecRecordsInterop, HevcFixedFieldsMatchFfmpeg) {
  MX_REQUIRE(have_encoder("libx265"), "ffmpeg with the libx265 encoder");
  struct Case {
    const char* name;
    const char* args;
  };
  const Case cases[] = {
      {"main_420", "-pix_fmt yuv420p"},
      {"main10_422", "-pix_fmt yuv422p10le"},
      {"rext_444_12bit", "-pix_fmt yuv444p12le"},
      {"two_temporal_layers", "-pix_fmt yuv420p -x265-params temporal-layers=1"},
      {"high_tier",
       "-pix_fmt yuv420p -x265-params "
       "level-idc=4:high-tier=1:vbv-maxrate=25000:vbv-bufsize=25000"},
      {"no_wavefront", "-pix_fmt yuv420p -x265-params wpp=0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string raw = test_temp_path(std::string(c.name) + ".hevc");
    std::string mp4 = test_temp_path(std::string(c.name) + ".mp4");
    std::string args = std::string("-c:v libx265 ") + c.args;
    // x265 prints its banner unless told otherwise; keep the parameter list together.
    if (args.find("-x265-params ") != std::string::npos)
      args.insert(args.find("-x265-params ") + 13, "log-level=error:");
    else
      args += " -x265-params log-level=error";
    ASSERT_TRUE(make_streams(2, args, raw, mp4, "hevc"));

    Bytes stream = read_whole_file(raw);
    int32_t error = 0;
    HevcConfig* config =
        hevc_config_from_annexb(stream.data(), static_cast<int32_t>(stream.size()), 0, &error);
    ASSERT_NE(config, nullptr) << std::hex << error;
    int32_t result = -1;
    Bytes ours = captured_bytes([&](ByteWriter* w) { result = write_hvcc_record(w, config); });
    hevc_config_release(config);
    ASSERT_EQ(result, 0);

    Bytes theirs = ffmpeg_record(mp4, "hvcC");
    ASSERT_GE(theirs.size(), 23u);
    ASSERT_GE(ours.size(), 23u);
    // Everything up to numOfArrays: ffmpeg keeps only the parameter sets of the stream's
    // header, while the record built from the whole stream also keeps its SEI units.
    EXPECT_EQ(iso::hex(Bytes(ours.begin(), ours.begin() + 22)),
              iso::hex(Bytes(theirs.begin(), theirs.begin() + 22)));
  }
}

TEST(CodecRecordsInterop, Av1RecordMatchesFfmpeg) {
  struct Case {
    const char* name;
    const char* encoder;
    const char* args;
  };
  const Case cases[] = {
      {"aom_420_8bit", "libaom-av1", "-pix_fmt yuv420p -cpu-used 8"},
      {"aom_420_10bit", "libaom-av1", "-pix_fmt yuv420p10le -cpu-used 8"},
      {"aom_444", "libaom-av1", "-pix_fmt yuv444p -cpu-used 8"},
      {"aom_422_12bit", "libaom-av1", "-pix_fmt yuv422p12le -cpu-used 8"},
      {"aom_gray", "libaom-av1", "-pix_fmt gray -cpu-used 8"},
      {"aom_still", "libaom-av1", "-pix_fmt yuv420p -cpu-used 8 -still-picture 1"},
      {"svt_420_10bit", "libsvtav1", "-pix_fmt yuv420p10le -preset 12"},
      {"rav1e_420", "librav1e", "-pix_fmt yuv420p -speed 10"},
  };
  int checked = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!have_encoder(c.encoder)) continue;
    std::string raw = test_temp_path(std::string(c.name) + ".obu");
    std::string mp4 = test_temp_path(std::string(c.name) + ".mp4");
    // One frame: one temporal unit, whose OBUs ahead of the frame are the configuration;
    // the frame OBU behind them is passed over.
    ASSERT_TRUE(make_streams(1, std::string("-c:v ") + c.encoder + " " + c.args, raw, mp4, "obu"));

    Bytes stream = read_whole_file(raw);
    int32_t result = -1;
    Bytes ours = captured_bytes([&](ByteWriter* w) {
      result = write_av1c(w, stream.data(), static_cast<int32_t>(stream.size()));
    });
    ASSERT_EQ(result, 0);
    Bytes theirs = ffmpeg_record(mp4, "av1C");
    ASSERT_GE(theirs.size(), 5u);
    EXPECT_EQ(iso::hex(ours), iso::hex(theirs));
    ++checked;
  }
  MX_REQUIRE(checked > 0, "ffmpeg with an AV1 encoder");
}

}  // namespace
