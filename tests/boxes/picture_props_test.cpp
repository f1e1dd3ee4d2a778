#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "boxes/boxes.h"
#include "support/box_output.h"
#include "support/box_reader.h"
#include "support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

MuxTrack* picture_track(BoxOutput& out, uint32_t width, uint32_t height, float rate) {
  MuxTrack* t = out.track(0, kKindVideo);
  t->codec_id = kCodecHevc;
  t->width = width;
  t->height = height;
  t->frame_rate = rate;
  return t;
}

TEST(DolbyVision, LevelFromWidthAndPixelRate) {
  struct Case {
    uint32_t width, height;
    float rate;
    uint8_t level;
  };
  const Case cases[] = {
      {1920, 1080, 29.97f, 4},   // 62145790
      {1920, 1080, 25.0f, 4},    // 51840000
      {1920, 1080, 23.976f, 3},  // 49716633
      {1280, 720, 24.0f, 1},     // 22118400: the row's maximum still fits
      {1280, 720, 30.0f, 2},
      {3840, 2160, 60.0f, 9},   // 497664000
      {3840, 2160, 24.0f, 6},   // 199065600: exactly the row maximum   {4096, 2160, 24.0f, 11},  //
                                // wider than 3840
      {7680, 4320, 240.0f, 5},  // above every row: the default stays
      {8192, 4320, 24.0f, 5},   // wider than every row
      {1920, 1080, NAN, 5},
  };
  for (const Case& c : cases) {
    BoxOutput out;
    MuxTrack* t = picture_track(out, c.width, c.height, c.rate);
    DoviConfig config{};
    dovi_fill_defaults(&config, t);
    EXPECT_EQ(config.dv_level, c.level) << c.width << "x" << c.height << "@" << c.rate;
    EXPECT_EQ(config.dv_profile, 8);
  }
  DoviConfig defaults{};
  dovi_fill_defaults(&defaults, nullptr);
  EXPECT_EQ(defaults.dv_version_major, 1);
  EXPECT_EQ(defaults.dv_version_minor, 0);
  EXPECT_EQ(defaults.dv_level, 5);
  EXPECT_EQ(defaults.rpu_present_flag, 1);
  EXPECT_EQ(defaults.el_present_flag, 0);
  EXPECT_EQ(defaults.bl_present_flag, 1);
  EXPECT_EQ(defaults.dv_bl_signal_compatibility_id, 4);
}

TEST(DolbyVision, RecordAndBox) {
  DoviConfig config{};
  dovi_fill_defaults(&config, nullptr);
  uint8_t buffer[28];
  BitWriter bits;
  put_dovi_record(&bits, buffer, &config);
  EXPECT_EQ(bits_count(&bits), 24 * 8);
  EXPECT_EQ(Bytes(buffer, buffer + 24), hex_bytes(R"(
    01 00          # version 1.0
    10 2D 40       # profile 8 (7 bits), level 5 (6), rpu 1, el 0, bl 1, compatibility 4
    00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
  )"));

  BoxOutput out;
  MuxTrack* t = picture_track(out, 3840, 2160, 60.0f);
  t->dovi_enabled = 1;
  write_dovi_box(out.ctx(), t, &t->dovi_config);
  EXPECT_EQ(t->dovi_config.dv_level, 9);
  EXPECT_EQ(out.bytes(), hex_bytes(R"(
    00 00 00 20 64 76 76 43        # size 32, "dvvC"
    01 00 10 4D 40                 # 1.0, profile 8, level 9, rpu, bl, compatibility 4
    00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
  )"));

  BoxOutput off;
  MuxTrack* t2 = picture_track(off, 3840, 2160, 60.0f);
  write_dovi_box(off.ctx(), t2, &t2->dovi_config);
  EXPECT_TRUE(off.bytes().empty());
}

TEST(Stereo3d, ModeTable) {
  const std::pair<uint32_t, const char*> cases[] = {
      {1, "00"}, {2, "01"}, {3, "02"}, {0, nullptr}, {4, nullptr}};
  for (const auto& [mode, value] : cases) {
    BoxOutput out;
    MuxTrack* t = picture_track(out, 1920, 1080, 30.0f);
    t->stereo_mode = mode;
    int64_t size = write_st3d(out.ctx(), t);
    if (value == nullptr) {
      EXPECT_EQ(size, 0);
      EXPECT_TRUE(out.bytes().empty());
    } else {
      EXPECT_EQ(size, 13);
      EXPECT_EQ(out.bytes(),
                hex_bytes(std::string("00 00 00 0D 73 74 33 64 00 00 00 00 ") + value));
    }
  }
}

void set_pose(MuxTrack* t) {
  t->spherical_yaw = 0x00010000;
  t->spherical_pitch = 0xFFFF0000;
  t->spherical_roll = 3;
  t->spherical_bound_left = 11;
  t->spherical_bound_top = 12;
  t->spherical_bound_right = 13;
  t->spherical_bound_bottom = 14;
  t->spherical_cubemap_layout = 21;
  t->spherical_cubemap_padding = 22;
}

const char* kSv3dHead = R"(
    73 76 33 64                                      # "sv3d"
    00 00 00 11 73 76 68 64 00 00 00 00 4C 61 76 66 00   # svhd, source "Lavf"
)";
const char* kPrhd = R"(
    00 00 00 18 70 72 68 64 00 00 00 00
    00 01 00 00 FF FF 00 00 00 00 00 03              # yaw, pitch, roll
)";

TEST(Spherical3d, EquirectangularAndTiles) {
  for (uint32_t projection : {1u, 3u}) {
    BoxOutput out;
    MuxTrack* t = picture_track(out, 3840, 1920, 30.0f);
    t->spherical_projection = projection;
    set_pose(t);
    EXPECT_EQ(write_sv3d(out.ctx(), t), 85);
    EXPECT_EQ(out.bytes(), hex_bytes(std::string("00 00 00 55") + kSv3dHead +
                                     "00 00 00 3C 70 72 6F 6A" + kPrhd + R"(
      00 00 00 1C 65 71 75 69 00 00 00 00
      00 00 00 0C 00 00 00 0E 00 00 00 0B 00 00 00 0D   # top, bottom, left, right
    )"));
  }
}

TEST(Spherical3d, CubeMap) {
  BoxOutput out;
  MuxTrack* t = picture_track(out, 3840, 1920, 30.0f);
  t->spherical_projection = 2;
  set_pose(t);
  EXPECT_EQ(write_sv3d(out.ctx(), t), 77);
  iso::Tree tree = iso::parse(out.bytes());
  EXPECT_EQ(tree.at("sv3d").child_types(), (std::vector<std::string>{"svhd", "proj"}));
  EXPECT_EQ(tree.at("sv3d/svhd").size, 17u);
  EXPECT_EQ(tree.at("sv3d/proj").child_types(), (std::vector<std::string>{"prhd", "cbmp"}));
  EXPECT_EQ(tree.at("sv3d/proj/cbmp").payload(), hex_bytes("00 00 00 00 00 00 00 15 00 00 00 16"));

  for (uint32_t projection : {0u, 4u}) {
    BoxOutput none;
    MuxTrack* n = picture_track(none, 3840, 1920, 30.0f);
    n->spherical_projection = projection;
    EXPECT_EQ(write_sv3d(none.ctx(), n), 0);
    EXPECT_TRUE(none.bytes().empty());
  }
}

TEST(ColourBoxes, Colr) {
  {
    BoxOutput out;
    MuxTrack* t = picture_track(out, 1920, 1080, 30.0f);
    EXPECT_EQ(write_colr(out.ctx(), t), 0);  // no primaries: nothing
    EXPECT_TRUE(out.bytes().empty());
  }
  for (uint32_t range : {1u, 0u}) {
    BoxOutput out(kModeMp4);
    MuxTrack* t = picture_track(out, 1920, 1080, 30.0f);
    t->color_primaries = 9;
    t->color_trc = 16;
    t->color_space = 9;
    t->color_range = range;
    EXPECT_EQ(write_colr(out.ctx(), t), 19);
    EXPECT_EQ(out.bytes(), hex_bytes(std::string("00 00 00 13 63 6F 6C 72 6E 63 6C 78 "
                                                 "00 09 00 10 00 09 ") +
                                     (range == 1 ? "80" : "00")));
  }
  {
    BoxOutput out(kModeMov);
    MuxTrack* t = picture_track(out, 1920, 1080, 30.0f);
    t->color_primaries = 1;
    t->color_trc = 1;
    t->color_space = 1;
    t->color_range = 1;
    EXPECT_EQ(write_colr(out.ctx(), t), 18);
    EXPECT_EQ(out.bytes(), hex_bytes("00 00 00 12 63 6F 6C 72 6E 63 6C 63 00 01 00 01 00 01"));
  }
  {
    BoxOutput out;
    MuxTrack* t = picture_track(out, 1920, 1080, 30.0f);
    Bytes icc = hex_bytes("AA BB CC DD EE");
    t->color_primaries = 9;  // the profile wins over the code points
    t->icc_present = 1;
    t->icc_profile = icc.data();
    t->icc_profile_size = static_cast<uint32_t>(icc.size());
    EXPECT_EQ(write_colr(out.ctx(), t), 17);
    EXPECT_EQ(out.bytes(), hex_bytes("00 00 00 11 63 6F 6C 72 70 72 6F 66 AA BB CC DD EE"));
  }
}

TEST(ColourBoxes, GamaFromValueOrTransfer) {
  struct Case {
    double gamma;
    uint32_t trc;
    const char* value;  // null: no box
  };
  const Case cases[] = {
      {0, 1, "00 01 F6 04"},   {0, 6, "00 01 F6 04"},    {0, 7, "00 01 F6 04"},
      {0, 12, "00 01 F6 04"},  {0, 14, "00 01 F6 04"},   {0, 15, "00 01 F6 04"},
      {0, 4, "00 02 33 33"},   {0, 13, "00 02 33 33"},   {0, 5, "00 02 CC CD"},
      {0, 8, "00 01 00 00"},   {0, 2, nullptr},          {0, 16, nullptr},
      {2.4, 1, "00 02 66 66"}, {-1.0, 8, "00 01 00 00"}, {0.0000005, 0, nullptr},
      {NAN, 8, "00 01 00 00"}, {1e12, 1, nullptr},
  };
  for (const Case& c : cases) {
    BoxOutput out(kModeMov);
    MuxTrack* t = picture_track(out, 1920, 1080, 30.0f);
    t->gamma = c.gamma;
    t->color_trc = c.trc;
    int64_t size = write_gama(out.ctx(), t);
    if (c.value == nullptr) {
      EXPECT_EQ(size, 0) << c.gamma << " " << c.trc;
      EXPECT_TRUE(out.bytes().empty());
    } else {
      EXPECT_EQ(size, 12);
      EXPECT_EQ(out.bytes(), hex_bytes(std::string("00 00 00 0C 67 61 6D 61 ") + c.value))
          << c.gamma << " " << c.trc;
    }
  }
}

TEST(ColourBoxes, LightLevelsMasteringDisplayAndAspect) {
  BoxOutput out;
  MuxTrack* t = picture_track(out, 1920, 1080, 30.0f);
  EXPECT_EQ(write_clli(out.ctx(), t), 0);
  EXPECT_EQ(write_mdcv(out.ctx(), t), 0);
  EXPECT_EQ(write_pasp(out.ctx(), t), 0);
  t->pixel_aspect = -3;
  EXPECT_EQ(write_pasp(out.ctx(), t), 0);
  EXPECT_TRUE(out.bytes().empty());

  t->max_cll = 1000;
  t->max_fall = 400;
  const uint16_t primaries[6] = {35400, 8500, 6550, 14600, 39850, 2300};  // x0 x1 x2 y0 y1 y2
  std::copy(primaries, primaries + 6, t->mastering_primaries);
  t->mastering_white_point[0] = 15635;
  t->mastering_white_point[1] = 16450;
  t->mastering_max_luminance = 10000000;
  t->mastering_min_luminance = 50;
  t->pixel_aspect = 4;
  EXPECT_EQ(write_clli(out.ctx(), t), 12);
  EXPECT_EQ(write_mdcv(out.ctx(), t), 32);
  EXPECT_EQ(write_pasp(out.ctx(), t), 16);
  EXPECT_EQ(out.bytes(), hex_bytes(R"(
    00 00 00 0C 63 6C 6C 69 03 E8 01 90      # clli 1000, 400
    00 00 00 20 6D 64 63 76                  # mdcv
    8A 48 39 08 21 34 9B AA 19 96 08 FC      # (x, y) of the three primaries
    3D 13 40 42                              # white point
    00 98 96 80 00 00 00 32                  # luminances
    00 00 00 10 70 61 73 70 00 00 00 04 00 00 00 04
  )"));
}

}  // namespace
