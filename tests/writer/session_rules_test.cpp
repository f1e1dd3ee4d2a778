// The session's decisions that are plain functions of the host's values:
// output mode, codec numbers, audio frame sizes, video timing, still path.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "writer/mp4_writer.h"

namespace {
constexpr uint32_t fourcc(const char (&s)[5]) {
  return MX_FOURCC(s[0], s[1], s[2], s[3]);
}
}  // namespace

TEST(SessionRules, OutputModeByFileCode) {
  struct {
    const char* code;
    uint32_t mode;
  } cases[] = {{"MOV ", 1}, {"3GP ", 2}, {"KDDI", 5}, {"NF4V", 6}, {"M4A ", 8},
               {"M4B ", 8}, {"KMP4", 0}, {"MP4 ", 0}, {"3GP2", 0}, {"3GPH", 0},
               {"AVC ", 0}, {"F4V ", 0}, {"IPON", 0}, {"zzzz", 0}};
  for (const auto& c : cases) {
    uint32_t code = MX_FOURCC(c.code[0], c.code[1], c.code[2], c.code[3]);
    EXPECT_EQ(output_mode_for(code), c.mode) << c.code;
  }
}

TEST(SessionRules, VideoCodesMapToCodecNumbers) {
  struct {
    const char* code;
    uint32_t codec;
  } cases[] = {{"H264", 36}, {"h264", 36}, {"VT64", 36}, {"IXBX", 36}, {"PS3H", 36}, {"IAPD", 36},
               {"HEVC", 37}, {"V265", 37}, {"K265", 37}, {"AV1 ", 38}, {"EAV1", 38}, {"AVHD", 39},
               {"CFHD", 40}, {"FFV1", 49}, {"H263", 5},  {"Xvid", 16}, {"VM4V", 16}, {"MP4V", 16},
               {"xvid", 0},  {"H265", 0},  {"EAAC", 0},  {"IPOD", 0}};
  for (const auto& c : cases) {
    uint32_t code = MX_FOURCC(c.code[0], c.code[1], c.code[2], c.code[3]);
    EXPECT_EQ(video_codec_for(code), c.codec) << c.code;
  }
}

TEST(SessionRules, AudioSamplesPerFrame) {
  struct {
    uint32_t codec, rate;
    int32_t samples;
  } cases[] = {{94, 8000, 160},    {11, 48000, 1536},    {46, 44100, 4096},  {73, 48000, 1},
               {74, 48000, 1},     {45, 44100, 1024},    {101, 8000, 576},   {101, 11025, 1152},
               {101, 16000, 1152}, {101, 22050, 2304},   {101, 24000, 2304}, {101, 32000, 2304},
               {101, 96000, 8192}, {101, 192000, 16384}, {101, 44100, 4608}, {101, 48000, 4608}};
  for (const auto& c : cases)
    EXPECT_EQ(audio_samples_per_frame(c.codec, c.rate), c.samples) << c.codec << " " << c.rate;
}

TEST(SessionRules, VideoTimingByFrameRate) {
  struct {
    double rate;
    uint32_t timescale;
    int32_t duration;
    bool trace;
  } cases[] = {
      {25.0, 25000, 1000, false},  {30.0, 30000, 1000, false},
      {60.0, 60000, 1000, false},  {1.0, 1000, 1000, false},
      {29.97, 30000, 1001, false}, {30000.0 / 1001.0, 30000, 1001, false},
      {23.976, 24000, 1001, true}, {24000.0 / 1001.0, 24000, 1001, true},
      {7.992, 8000, 1001, false},  {14.985, 15000, 1001, false},
      {59.94, 60000, 1001, false}, {12.5, 90000, 7200, false},
      {29.5, 90000, 3051, false},  // 3050.85 rounds up
      {23.9, 90000, 3766, false},  {0.5, 90000, 180000, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    VideoTiming t = choose_video_timing(c.rate);
    EXPECT_EQ(t.timescale, c.timescale);
    EXPECT_EQ(t.sample_duration, c.duration);
    EXPECT_EQ(t.trace, c.trace);
    EXPECT_FALSE(t.fallback);
    EXPECT_FLOAT_EQ(t.frame_rate, static_cast<float>(c.rate));
  }
}

TEST(SessionRules, UnusableFrameRatesFallBackTo30Fps) {
  const double cases[] = {0.0,
                          -0.0,
                          -25.0,
                          std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(),
                          1e-9,      // 90000 / f overflows a 32-bit duration
                          5e6,       // an integer rate whose time scale overflows 32 bits
                          200000.5,  // rounds to a duration of 0
                          std::numeric_limits<double>::denorm_min()};
  for (double rate : cases) {
    SCOPED_TRACE(rate);
    VideoTiming t = choose_video_timing(rate);
    EXPECT_TRUE(t.fallback);
    EXPECT_EQ(t.timescale, 90000u);
    EXPECT_EQ(t.sample_duration, 3000);
    EXPECT_FLOAT_EQ(t.frame_rate, 30.0f);
  }
}

TEST(SessionRules, LivePhotoStillPathBesideTheMovie) {
  struct {
    const char* movie;
    const char* still;
  } cases[] = {
      {"clip.mov", "clip.jpg"},
      {"/tmp/clip.mov", "/tmp/clip.jpg"},
      {"/tmp/clip.final.mov", "/tmp/clip.final.jpg"},
      {"clip", "clip.jpg"},
      {"", ".jpg"},
      {".mov", ".mov.jpg"},                        // a dot in the first position cuts nothing
      {"/tmp/dir.d/clip", "/tmp/dir.d/clip.jpg"},  // a dot in a folder name is no extension
      {"/tmp/.hidden", "/tmp/.hidden.jpg"},
      {"C:\\v\\clip.mov", "C:\\v\\clip.jpg"},
  };
  for (const auto& c : cases) EXPECT_EQ(live_photo_still_path(c.movie), c.still) << c.movie;
}
