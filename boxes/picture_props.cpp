// Picture and spatial property boxes that follow a visual entry's configuration.
// Each writer looks at the track's own fields and writes nothing when they are unset.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "boxes/boxes.h"
#include "codecs/bit_writer.h"

namespace {

// Dolby Vision levels: the first row that holds the picture's width and pixel rate.
struct DoviLevelRow {
  uint8_t level;
  uint32_t max_width;
  int64_t max_pixel_rate;  // pixels per second
};
constexpr DoviLevelRow kDoviLevels[] = {
    {1, 1280, 22118400},    {2, 1280, 27648000},   {3, 1920, 49766400},   {4, 2560, 62208000},
    {5, 3840, 124416000},   {6, 3840, 199065600},  {7, 3840, 248832000},  {8, 3840, 398131200},
    {9, 3840, 497664000},   {10, 3840, 995328000}, {11, 7680, 995328000}, {12, 7680, 1990656000},
    {13, 7680, 3981312000},
};

constexpr DoviConfig kDoviDefaults = {
    1,  // dv_version_major
    0,  // dv_version_minor
    8,  // dv_profile
    5,  // dv_level
    1,  // rpu_present_flag
    0,  // el_present_flag
    1,  // bl_present_flag
    4,  // dv_bl_signal_compatibility_id
};

constexpr int kDoviRecordSize = 24;
constexpr int kDoviBufferSize = 28;

// stereo_mode of the track -> stereo_mode of st3d.
struct StereoRow {
  uint32_t track_mode;
  uint8_t box_mode;
};
constexpr StereoRow kStereoModes[] = {
    {1, 0},  // monoscopic
    {2, 1},  // top-bottom
    {3, 2},  // left-right
};

enum Projection : uint32_t {
  kProjectionEquirectangular = 1,
  kProjectionCubeMap = 2,
  kProjectionEquirectangularTile = 3,
};

// Gamma by transfer characteristics (ISO/IEC 23091-2 code points).
struct GammaRow {
  uint32_t transfer;
  double gamma;
};
constexpr GammaRow kGammaByTransfer[] = {
    {1, 1.961},  {6, 1.961}, {7, 1.961}, {12, 1.961}, {14, 1.961},
    {15, 1.961}, {4, 2.2},   {13, 2.2},  {5, 2.8},    {8, 1.0},
};

}  // namespace

void dovi_fill_defaults(DoviConfig* config, const MuxTrack* t) {
  *config = kDoviDefaults;
  if (t == nullptr) return;
  const uint32_t area = t->width * t->height;  // 32-bit, as the table is meant for
  const double rate = static_cast<double>(area) * static_cast<double>(t->frame_rate);
  if (std::isnan(rate)) return;
  const int64_t pixel_rate = rate >= 9.0e18 ? INT64_MAX : static_cast<int64_t>(rate);
  for (const DoviLevelRow& row : kDoviLevels) {
    if (row.max_width >= t->width && row.max_pixel_rate >= pixel_rate) {
      config->dv_level = row.level;
      return;
    }
  }
}

void put_dovi_record(BitWriter* b, uint8_t* buffer28, const DoviConfig* config) {
  std::memset(buffer28, 0, kDoviBufferSize);
  bits_init(b, buffer28, kDoviBufferSize);
  put_bits(b, 8, config->dv_version_major);
  put_bits(b, 8, config->dv_version_minor);
  put_bits(b, 7, config->dv_profile & 0x7F);
  put_bits(b, 6, config->dv_level & 0x3F);
  put_bits(b, 1, config->rpu_present_flag != 0);
  put_bits(b, 1, config->el_present_flag != 0);
  put_bits(b, 1, config->bl_present_flag != 0);
  put_bits(b, 4, config->dv_bl_signal_compatibility_id & 0xF);
  put_bits(b, 28, 0);  // reserved
  for (int i = 0; i < 4; ++i) put_bits(b, 32, 0);
  bits_align(b);
}

void write_dovi_box(MuxContext* c, MuxTrack* t, DoviConfig* config) {
  if (!t->dovi_enabled) return;
  if (config == nullptr) config = &t->dovi_config;
  dovi_fill_defaults(config, t);
  ByteWriter* w = c->writer;
  int64_t start = writer_tell(w);
  put_be32(w, 32);
  put_tag(w, "dvvC");  // the record always carries profile 8
  BitWriter bits;
  uint8_t record[kDoviBufferSize];
  put_dovi_record(&bits, record, config);
  put_bytes(w, record, kDoviRecordSize);
  patch_box_size(w, start);
}

int64_t write_st3d(MuxContext* c, MuxTrack* t) {
  for (const StereoRow& row : kStereoModes) {
    if (row.track_mode != t->stereo_mode) continue;
    ByteWriter* w = c->writer;
    int64_t start = open_full_box(w, "st3d", 0, 0);
    put_u8(w, row.box_mode);
    return patch_box_size(w, start);
  }
  return 0;
}

int64_t write_sv3d(MuxContext* c, MuxTrack* t) {
  const uint32_t projection = t->spherical_projection;
  if (projection != kProjectionEquirectangular && projection != kProjectionCubeMap &&
      projection != kProjectionEquirectangularTile) {
    return 0;
  }
  ByteWriter* w = c->writer;
  int64_t sv3d = open_box(w, "sv3d");

  int64_t svhd = open_full_box(w, "svhd", 0, 0);
  put_cstring(w, "Lavf");  // metadata source
  patch_box_size(w, svhd);

  int64_t proj = open_box(w, "proj");
  put_be32(w, 24);
  put_tag(w, "prhd");
  put_be32(w, 0);  // version and flags
  put_be32(w, t->spherical_yaw);
  put_be32(w, t->spherical_pitch);
  put_be32(w, t->spherical_roll);
  if (projection == kProjectionCubeMap) {
    put_be32(w, 20);
    put_tag(w, "cbmp");
    put_be32(w, 0);
    put_be32(w, t->spherical_cubemap_layout);
    put_be32(w, t->spherical_cubemap_padding);
  } else {
    put_be32(w, 28);
    put_tag(w, "equi");
    put_be32(w, 0);
    put_be32(w, t->spherical_bound_top);
    put_be32(w, t->spherical_bound_bottom);
    put_be32(w, t->spherical_bound_left);
    put_be32(w, t->spherical_bound_right);
  }
  patch_box_size(w, proj);
  return patch_box_size(w, sv3d);
}

int64_t write_colr(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  if (t->icc_present && t->icc_profile != nullptr && t->icc_profile_size <= INT32_MAX - 12) {
    int64_t start = writer_tell(w);
    put_be32(w, t->icc_profile_size + 12);
    put_tag(w, "colr");
    put_tag(w, "prof");
    put_bytes(w, t->icc_profile, static_cast<int32_t>(t->icc_profile_size));
    return writer_tell(w) - start;
  }
  if (t->color_primaries == 0) return 0;
  const bool iso = c->mode == kModeMp4;
  int64_t start = open_box(w, "colr");
  put_tag(w, iso ? "nclx" : "nclc");
  put_be16(w, t->color_primaries);
  put_be16(w, t->color_trc);
  put_be16(w, t->color_space);
  if (iso) put_u8(w, t->color_range == 1 ? 0x80 : 0);  // full-range flag
  return patch_box_size(w, start);
}

int64_t write_gama(MuxContext* c, MuxTrack* t) {
  double g = t->gamma;
  if (!(g > 0)) {
    g = 0;
    for (const GammaRow& row : kGammaByTransfer) {
      if (row.transfer == t->color_trc) g = row.gamma;
    }
  }
  // 16.16 fixed point: values past its range are not representable.
  if (!(g > 0.000001) || g >= 65536.0) return 0;
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "gama");
  put_be32(w, static_cast<uint32_t>(std::lrint(g * 65536.0)));
  return patch_box_size(w, start);
}

int64_t write_clli(MuxContext* c, MuxTrack* t) {
  if (t->max_cll == 0) return 0;
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "clli");
  put_be16(w, t->max_cll);
  put_be16(w, t->max_fall);
  return patch_box_size(w, start);
}

// The fields hold the box's own units (chromaticity in 0.00002, luminance in
// 0.0001 cd/m2) and are written as they are.
int64_t write_mdcv(MuxContext* c, MuxTrack* t) {
  if (t->mastering_white_point[0] == 0) return 0;
  ByteWriter* w = c->writer;
  int64_t start = writer_tell(w);
  put_be32(w, 32);
  put_tag(w, "mdcv");
  for (int i = 0; i < 3; ++i) {
    put_be16(w, t->mastering_primaries[i]);      // x
    put_be16(w, t->mastering_primaries[3 + i]);  // y
  }
  put_be16(w, t->mastering_white_point[0]);
  put_be16(w, t->mastering_white_point[1]);
  put_be32(w, t->mastering_max_luminance);
  put_be32(w, t->mastering_min_luminance);
  return patch_box_size(w, start);
}

int64_t write_pasp(MuxContext* c, MuxTrack* t) {
  if (t->pixel_aspect <= 0) return 0;
  ByteWriter* w = c->writer;
  int64_t start = writer_tell(w);
  put_be32(w, 16);
  put_tag(w, "pasp");
  put_be32(w, static_cast<uint32_t>(t->pixel_aspect));  // horizontal spacing
  put_be32(w, static_cast<uint32_t>(t->pixel_aspect));  // vertical spacing
  return writer_tell(w) - start;
}
