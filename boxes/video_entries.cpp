// Visual sample entries of the sample description box.
#include <cmath>
#include <cstdint>

#include "boxes/boxes.h"
#include "codecs/av1_config.h"
#include "codecs/avcc.h"
#include "codecs/esds.h"
#include "codecs/hevc_config.h"

namespace {

struct VideoCodecRow {
  uint32_t codec_id;
  const char* entry_type;
  const char* compressor_name;  // four characters
};

constexpr VideoCodecRow kVideoCodecs[] = {
    {kCodecH263, "s263", "h263"},     {kCodecMpeg4Visual, "mp4v", "mp4v"},
    {kCodecH264, "avc1", "h264"},     {kCodecHevc, "hvc1", "h265"},
    {kCodecAv1, "av01", "av01"},      {kCodecDnxhd, "AVdn", "AVdn"},
    {kCodecCineform, "CFHD", "CFHD"}, {kCodecFfv1, "FFV1", "FFV1"},
};

const VideoCodecRow* find_video_codec(uint32_t codec_id) {
  for (const VideoCodecRow& row : kVideoCodecs) {
    if (row.codec_id == codec_id) return &row;
  }
  return nullptr;
}

constexpr uint32_t kCompressorNameSize = 32;
constexpr uint32_t kQuickTimeQuality = 512;
constexpr uint32_t kDnxhdCompressionIdEnd = 44;  // the id is bytes 40..43 of the header

// The fixed 86-byte header of a visual sample entry, from the size field to the
// colour table id. Only vendor and the two qualities differ between QuickTime
// movies and the ISO flavours.
void put_visual_header(MuxContext* c, const MuxTrack* t, const VideoCodecRow* codec) {
  ByteWriter* w = c->writer;
  const bool quicktime = c->mode == kModeMov;
  put_be32(w, 0);  // size, patched by the caller
  if (codec != nullptr) {
    put_tag(w, codec->entry_type);
  } else {
    put_be32(w, 0);
  }
  put_be32(w, 0);  // reserved
  put_be16(w, 0);
  put_be16(w, 1);  // data reference index
  put_be32(w, 0);  // version, revision
  if (quicktime) {
    put_tag(w, "FFMP");
  } else {
    put_be32(w, 0);
  }
  put_be32(w, quicktime ? kQuickTimeQuality : 0);  // temporal quality
  put_be32(w, quicktime ? kQuickTimeQuality : 0);  // spatial quality
  put_be16(w, t->width);
  put_be16(w, t->height);
  put_be32(w, 0x00480000);  // horizontal resolution, 72 dpi
  put_be32(w, 0x00480000);  // vertical resolution
  put_be32(w, 0);           // data size
  put_be16(w, 1);           // frame count
  uint8_t name[kCompressorNameSize] = {};
  if (codec != nullptr) {
    name[0] = 4;
    for (int i = 0; i < 4; ++i) name[1 + i] = static_cast<uint8_t>(codec->compressor_name[i]);
  }
  put_bytes(w, name, kCompressorNameSize);
  put_be16(w, 24);      // depth
  put_be16(w, 0xFFFF);  // colour table id: none
}

// The next_start_code() stuffing: a 0 bit, then 1 bits up to the byte boundary.
void put_stuffing(BitWriter* b) {
  put_bits(b, 1, 0);
  uint32_t n = static_cast<uint32_t>(-bits_count(b)) & 7;
  if (n > 0) put_bits(b, n, (1u << n) - 1);
}

// vop_time_increment_resolution from the frame rate: the rate itself when it is
// whole, else the rate rounded and scaled by 1000 (29.97 -> 30000). Rates without
// a usable value take the default 30000; the result is held to the 16-bit field.
uint32_t time_increment_resolution(float f) {
  if (!(f > 0.0f && f < 65536.0f)) return 30000;
  float whole = std::trunc(f);
  uint32_t value = f - whole < 0.0001f ? static_cast<uint32_t>(whole)
                                       : static_cast<uint32_t>(std::trunc(f + 0.5f)) * 1000;
  if (value == 0) return 30000;
  return value > 0xFFFF ? 0xFFFF : value;
}

void write_mpeg4_visual_config(MuxContext* c, MuxTrack* t) {
  // The header is generated afresh into the track's scratch buffer each time, so
  // writing the entry twice gives the same bytes.
  if (t->audio_config != nullptr) {
    BitWriter* b = &c->bits;
    bits_init(b, t->audio_config, kVideoScratchSize);
    put_vos_header(b);
    put_vol_header(c, b, 0, 0, t);
    t->audio_config_size = b->overflow ? 0 : static_cast<uint32_t>(bits_count(b) + 7) / 8;
  } else {
    t->audio_config_size = 0;
  }
  write_esds(c, t);
}

void write_hvcc(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "hvcC");
  if (t->hevc_config != nullptr) write_hvcc_record(w, t->hevc_config);
  patch_box_size(w, start);
}

void write_av1c_box(MuxContext* c, MuxTrack* t) {
  if (t->extradata == nullptr || t->extradata_size == 0 || t->extradata_size > INT32_MAX) return;
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "av1C");
  write_av1c(w, t->extradata, static_cast<int32_t>(t->extradata_size));
  patch_box_size(w, start);
}

void write_d263(MuxContext* c) {
  ByteWriter* w = c->writer;
  put_be32(w, 15);
  put_tag(w, "d263");
  put_tag(w, "XQMM");  // vendor
  put_u8(w, 0);        // decoder version
  put_u8(w, 10);       // level
  put_u8(w, 0);        // profile
}

void write_glbl(MuxContext* c, MuxTrack* t) {
  if (t->extradata == nullptr || t->extradata_size == 0 || t->extradata_size > INT32_MAX - 8) {
    return;
  }
  ByteWriter* w = c->writer;
  put_be32(w, t->extradata_size + 8);
  put_tag(w, "glbl");
  put_bytes(w, t->extradata, static_cast<int32_t>(t->extradata_size));
}

// One fixed 24-byte Avid atom: size, type, type again, version "0001", 1, 0.
void put_avid_tag_atom(ByteWriter* w, const char* type) {
  put_be32(w, 24);
  put_tag(w, type);
  put_tag(w, type);
  put_tag(w, "0001");
  put_be32(w, 1);
  put_be32(w, 0);
}

}  // namespace

void write_video_sample_entry(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  const VideoCodecRow* codec = find_video_codec(t->codec_id);
  int64_t start = writer_tell(w);
  put_visual_header(c, t, codec);

  switch (t->codec_id) {
    case kCodecMpeg4Visual:
      write_mpeg4_visual_config(c, t);
      break;
    case kCodecH264:
      write_avcc(c, t);
      break;
    case kCodecHevc:
      write_hvcc(c, t);
      break;
    case kCodecAv1:
      write_av1c_box(c, t);
      break;
    case kCodecDnxhd:
      write_avid_atoms(c, t);
      break;
    case kCodecH263:
      write_d263(c);
      break;
    case kCodecFfv1:
      write_glbl(c, t);
      break;
    default:
      break;  // CineForm carries no configuration
  }

  write_dovi_box(c, t, &t->dovi_config);
  if (c->mode == kModeMp4) {
    write_st3d(c, t);
    write_sv3d(c, t);
  } else if (c->mode == kModeMov) {
    write_gama(c, t);
  }
  if (c->mode == kModeMp4 || c->mode == kModeMov) {
    write_colr(c, t);
    write_clli(c, t);
    write_mdcv(c, t);
  }
  if (t->display_width != t->width || t->display_height != t->height) write_pasp(c, t);
  if (t->codec_id == kCodecDnxhd) put_be32(w, 0);  // closes the QuickTime atom list
  patch_box_size(w, start);
}

void put_vos_header(BitWriter* b) {
  put_bits(b, 16, 0x0000);  // visual_object_sequence_start_code
  put_bits(b, 16, 0x01B0);
  put_bits(b, 8, 1);            // profile_and_level_indication
  put_bits(b, 32, 0x000001B5);  // visual_object_start_code
  put_bits(b, 1, 1);            // is_visual_object_identifier
  put_bits(b, 4, 1);            // visual_object_verid
  put_bits(b, 3, 1);            // visual_object_priority
  put_bits(b, 4, 1);            // visual_object_type: video
  put_bits(b, 1, 0);            // video_signal_type
  put_stuffing(b);
}

void put_vol_header(MuxContext*, BitWriter* b, uint32_t vo_id, uint32_t vol_id, MuxTrack* t) {
  put_bits(b, 32, 0x00000100 + vo_id);   // video_object_start_code
  put_bits(b, 32, 0x00000120 + vol_id);  // video_object_layer_start_code
  put_bits(b, 1, 0);                     // random_accessible_vol
  put_bits(b, 8, 1);                     // video_object_type_indication: simple
  put_bits(b, 1, 1);                     // is_object_layer_identifier
  put_bits(b, 4, 1);                     // video_object_layer_verid
  put_bits(b, 3, 1);                     // video_object_layer_priority
  put_bits(b, 4, 1);                     // aspect_ratio_info: square pixels
  put_bits(b, 1, 0);                     // vol_control_parameters
  put_bits(b, 2, 0);                     // video_object_layer_shape: rectangular
  put_bits(b, 1, 1);                     // marker
  put_bits(b, 16, time_increment_resolution(t->frame_rate));
  put_bits(b, 1, 1);                    // marker
  put_bits(b, 1, 0);                    // fixed_vop_rate
  put_bits(b, 1, 1);                    // marker
  put_bits(b, 13, t->width & 0x1FFF);   // video_object_layer_width
  put_bits(b, 1, 1);                    // marker
  put_bits(b, 13, t->height & 0x1FFF);  // video_object_layer_height
  put_bits(b, 1, 1);                    // marker
  put_bits(b, 1, 0);                    // interlaced
  put_bits(b, 1, 1);                    // obmc_disable
  put_bits(b, 1, 0);                    // sprite_enable
  put_bits(b, 1, 0);                    // not_8_bit
  put_bits(b, 1, 0);                    // quant_type
  put_bits(b, 1, 1);                    // complexity_estimation_disable
  put_bits(b, 1, 1);                    // resync_marker_disable
  put_bits(b, 1, 0);                    // data_partitioned
  put_bits(b, 1, 0);                    // scalability
  put_stuffing(b);
  put_bits(b, 32, 0x000001B2);  // user_data_start_code, no user data follows
}

int32_t write_avid_atoms(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  uint32_t compression_id = 0;
  bool interlaced = false;
  // The compression id is bytes 40..43: a header shorter than 44 bytes has none.
  if (t->extradata != nullptr && t->extradata_size >= kDnxhdCompressionIdEnd &&
      is_dnxhd_header_prefix(t->extradata) != 0) {
    const uint8_t* h = t->extradata;
    compression_id = static_cast<uint32_t>(h[40]) << 24 | static_cast<uint32_t>(h[41]) << 16 |
                     static_cast<uint32_t>(h[42]) << 8 | h[43];
    interlaced = (h[5] & 2) != 0;
  }
  put_avid_tag_atom(w, "ACLR");
  put_avid_tag_atom(w, "APRG");

  put_be32(w, 120);
  put_tag(w, "ARES");
  put_tag(w, "ARES");
  put_tag(w, "0001");
  put_be32(w, compression_id);
  put_be32(w, t->display_width);
  if (interlaced) {
    put_be32(w, static_cast<uint32_t>(static_cast<int32_t>(t->height) / 2));  // field height
    put_be32(w, 2);
    put_be32(w, 0);
    put_be32(w, 4);
  } else {
    put_be32(w, t->height);
    put_be32(w, 1);
    put_be32(w, 0);
    put_be32(w, t->height == 1080 ? 5 : 6);
  }
  static constexpr uint8_t kZeros[80] = {};
  put_bytes(w, kZeros, sizeof kZeros);
  return 0;
}

uint64_t is_dnxhd_header_prefix(const uint8_t* bytes) {
  uint64_t p = 0;
  for (int i = 0; i < 5; ++i) p = p << 8 | bytes[i];
  p <<= 8;
  if (p == 0x000002800100 || p == 0x000002800200) return p;
  // DNxHR: 00 00 ww ww 03 with the frame width in between.
  const uint64_t width = (p >> 16) & 0xFFFF;
  if ((p & 0xFFFF0000FFFF) == 0x000000000300 && width >= 640 && width <= 8560 && width % 4 == 0) {
    return p;
  }
  return 0;
}
