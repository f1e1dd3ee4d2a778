// AV1 codec configuration record: OBU scan of the configuration bytes, sequence header
// parsing for the fixed part, and the record writer.
//
// Every read is bounded by the payload (Av1BitReader) or by the scan's window, and the
// record is written only after the whole input has been checked, so a failure leaves the
// caller's box empty.
#include "codecs/av1_config.h"

#include <algorithm>
#include <bit>

namespace {

constexpr uint32_t kObuSequenceHeader = 1;
constexpr uint32_t kObuTileGroup = 4;
constexpr uint32_t kObuMetadata = 5;
constexpr uint32_t kObuFrame = 6;

// An OBU header, its extension byte and an 8-byte LEB128 size fit in 10 bytes.
constexpr int64_t kHeaderWindow = 10;
constexpr uint32_t kMaxLeb128Bytes = 8;
constexpr uint32_t kMaxPayloadBytes = 0x0FFFFFFF;
constexpr int32_t kMaxPayloadBits = 0x7FFFFFF8;

constexpr uint8_t kRecordMarkerAndVersion = 0x81;
constexpr uint8_t kColorUnspecified = 2;
// BT.709 primaries, sRGB transfer and identity matrix: 4:4:4 without a colour range flag.
constexpr uint8_t kColorPrimariesBt709 = 1;
constexpr uint8_t kTransferSrgb = 13;
constexpr uint8_t kMatrixIdentity = 0;

uint32_t peek_bit(const Av1BitReader* r) {
  uint64_t byte = r->bit_index >> 3;
  return byte < r->size ? (r->data[byte] >> (7 - (r->bit_index & 7))) & 1 : 0;
}

uint32_t read_bit(Av1BitReader* r) {
  uint32_t bit = peek_bit(r);
  ++r->bit_index;
  return bit;
}

uint32_t read_bits(Av1BitReader* r, uint32_t n) {  // n <= 32
  uint32_t value = 0;
  for (uint32_t i = 0; i < n; ++i) value = value << 1 | read_bit(r);
  return value;
}

void skip_bits(Av1BitReader* r, uint64_t n) {
  r->bit_index += n;
}

// uvlc(): leading zeros, the one bit, then as many value bits (none from 32 zeros on).
// Zeros are counted only up to the end of the payload.
void skip_uvlc(Av1BitReader* r) {
  const uint64_t total_bits = static_cast<uint64_t>(r->size) * 8;
  uint64_t leading_zeros = 0;
  while (r->bit_index < total_bits && peek_bit(r) == 0) {
    ++leading_zeros;
    ++r->bit_index;
  }
  ++r->bit_index;  // the one bit (or the place it is missing from)
  if (leading_zeros < 32) skip_bits(r, leading_zeros);
}

struct ObuSpan {
  const uint8_t* bytes = nullptr;
  uint32_t size = 0;
};

}  // namespace

int32_t av1_payload_bits(const uint8_t* payload, uint32_t size, uint32_t obu_type) {
  if (size > kMaxPayloadBytes || (!payload && size > 0)) return -1;
  if (obu_type == kObuTileGroup || obu_type == kObuFrame) return static_cast<int32_t>(size * 8);
  uint32_t length = size;
  while (length > 0 && payload[length - 1] == 0) --length;
  if (length == 0) return 0;
  // The trailing bits are a one bit followed by zeros up to the byte boundary.
  int trailing_zeros = std::countr_zero(payload[length - 1]);
  return static_cast<int32_t>(length * 8 - static_cast<uint32_t>(trailing_zeros) - 1);
}

void parse_av1_color_config(Av1SequenceInfo* info, Av1BitReader* r) {
  bool high_bitdepth = read_bits(r, 1);
  bool twelve_bit = info->seq_profile == 2 && high_bitdepth && read_bits(r, 1);
  info->bit_depth = twelve_bit ? 12 : high_bitdepth ? 10 : 8;
  info->mono_chrome = info->seq_profile == 1 ? 0 : static_cast<uint8_t>(read_bits(r, 1));

  info->color_description_present_flag = static_cast<uint8_t>(read_bits(r, 1));
  if (info->color_description_present_flag) {
    info->color_primaries = static_cast<uint8_t>(read_bits(r, 8));
    info->transfer_characteristics = static_cast<uint8_t>(read_bits(r, 8));
    info->matrix_coefficients = static_cast<uint8_t>(read_bits(r, 8));
  } else {
    info->color_primaries = kColorUnspecified;
    info->transfer_characteristics = kColorUnspecified;
    info->matrix_coefficients = kColorUnspecified;
  }

  if (info->mono_chrome) {
    info->color_range = static_cast<uint8_t>(read_bits(r, 1));
    info->subsampling_x = 1;
    info->subsampling_y = 1;
    info->chroma_sample_position = 0;
    return;
  }
  if (info->color_primaries == kColorPrimariesBt709 &&
      info->transfer_characteristics == kTransferSrgb &&
      info->matrix_coefficients == kMatrixIdentity) {
    info->subsampling_x = 0;
    info->subsampling_y = 0;
    skip_bits(r, 1);  // separate_uv_delta_q
    return;
  }

  info->color_range = static_cast<uint8_t>(read_bits(r, 1));
  if (info->seq_profile == 0) {
    info->subsampling_x = 1;
    info->subsampling_y = 1;
  } else if (info->seq_profile == 1) {
    info->subsampling_x = 0;
    info->subsampling_y = 0;
  } else if (info->bit_depth == 12) {
    info->subsampling_x = static_cast<uint8_t>(read_bits(r, 1));
    info->subsampling_y = info->subsampling_x ? static_cast<uint8_t>(read_bits(r, 1)) : 0;
  } else {
    info->subsampling_x = 1;
    info->subsampling_y = 0;
  }
  if (info->subsampling_x && info->subsampling_y)
    info->chroma_sample_position = static_cast<uint8_t>(read_bits(r, 2));
  skip_bits(r, 1);  // separate_uv_delta_q
}

int32_t parse_av1_sequence_header(Av1SequenceInfo* info, const uint8_t* payload, uint32_t size) {
  if (!info) return -1;
  *info = Av1SequenceInfo{};
  int32_t payload_bits = av1_payload_bits(payload, size, kObuSequenceHeader);
  if (payload_bits < 0 || payload_bits >= kMaxPayloadBits) return -1;
  Av1BitReader reader{payload, size, 0};
  Av1BitReader* r = &reader;

  info->seq_profile = static_cast<uint8_t>(read_bits(r, 3));
  skip_bits(r, 1);  // still_picture
  bool reduced_still_picture_header = read_bits(r, 1);
  if (reduced_still_picture_header) {
    info->seq_level_idx_0 = static_cast<uint8_t>(read_bits(r, 5));
    info->seq_tier_0 = 0;
  } else {
    bool decoder_model_info_present = false;
    uint32_t buffer_delay_length_minus_1 = 0;
    if (read_bits(r, 1)) {                // timing_info_present_flag
      skip_bits(r, 64);                   // num_units_in_display_tick, time_scale
      if (read_bits(r, 1)) skip_uvlc(r);  // equal_picture_interval, num_ticks_per_picture
      decoder_model_info_present = read_bits(r, 1);
      if (decoder_model_info_present) {
        buffer_delay_length_minus_1 = read_bits(r, 5);
        skip_bits(r, 42);  // decoding tick, removal time and presentation time lengths
      }
    }
    bool initial_display_delay_present = read_bits(r, 1);
    uint32_t operating_points = read_bits(r, 5) + 1;
    for (uint32_t i = 0; i < operating_points; ++i) {
      skip_bits(r, 12);  // operating_point_idc
      uint8_t seq_level_idx = static_cast<uint8_t>(read_bits(r, 5));
      uint8_t seq_tier = seq_level_idx > 7 ? static_cast<uint8_t>(read_bits(r, 1)) : 0;
      if (decoder_model_info_present && read_bits(r, 1))  // decoder_model_present_for_this_op
        skip_bits(r, 2 * (buffer_delay_length_minus_1 + 1) + 1);
      if (initial_display_delay_present && read_bits(r, 1)) skip_bits(r, 4);
      if (i == 0) {
        info->seq_level_idx_0 = seq_level_idx;
        info->seq_tier_0 = seq_tier;
      }
    }
  }

  uint32_t frame_width_bits = read_bits(r, 4) + 1;
  uint32_t frame_height_bits = read_bits(r, 4) + 1;
  skip_bits(r, frame_width_bits + frame_height_bits);    // max_frame_width/height_minus_1
  if (!reduced_still_picture_header && read_bits(r, 1))  // frame_id_numbers_present_flag
    skip_bits(r, 7);
  skip_bits(r, 3);  // use_128x128_superblock, enable_filter_intra, enable_intra_edge_filter
  if (!reduced_still_picture_header) {
    skip_bits(r, 4);  // interintra compound, masked compound, warped motion, dual filter
    bool enable_order_hint = read_bits(r, 1);
    if (enable_order_hint) skip_bits(r, 2);  // enable_jnt_comp, enable_ref_frame_mvs
    bool choose_screen_content_tools = read_bits(r, 1);
    bool screen_content_tools = choose_screen_content_tools || read_bits(r, 1);
    if (screen_content_tools && !read_bits(r, 1))  // seq_choose_integer_mv
      skip_bits(r, 1);                             // seq_force_integer_mv
    if (enable_order_hint) skip_bits(r, 3);        // order_hint_bits_minus_1
  }
  skip_bits(r, 3);  // enable_superres, enable_cdef, enable_restoration
  parse_av1_color_config(info, r);

  // Only film_grain_params_present may remain; a truncated header has overrun by now.
  return r->bit_index + 1 == static_cast<uint64_t>(payload_bits) ? 0 : -1;
}

int32_t write_av1c(ByteWriter* w, const uint8_t* extradata, int32_t size) {
  if (!w || !extradata || size < 1) return -1;
  const uint8_t* p = extradata;
  const uint8_t* const end = extradata + size;
  ObuSpan sequence_header;
  ObuSpan metadata;
  uint32_t sequence_headers = 0;
  Av1SequenceInfo info{};

  while (p < end) {
    const int64_t remaining = end - p;
    const int64_t window = std::min(kHeaderWindow, remaining);
    if (p[0] & 0x80) return -1;  // obu_forbidden_bit
    const uint32_t obu_type = (p[0] >> 3) & 0x0F;
    const int64_t header_size = (p[0] & 0x04) ? 2 : 1;  // obu_extension_flag
    if (header_size > window) return -1;
    int64_t size_field = 0;
    uint64_t obu_size = 0;
    if (p[0] & 0x02) {  // obu_has_size_field: LEB128, least significant group first
      for (uint32_t i = 0;; ++i) {
        if (header_size + size_field >= window) return -1;
        uint8_t byte = p[header_size + size_field++];
        obu_size |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
        if (!(byte & 0x80) || i + 1 == kMaxLeb128Bytes) break;
      }
    } else {
      obu_size = static_cast<uint64_t>(remaining - header_size);
    }
    const int64_t prefix = header_size + size_field;
    if (obu_size > static_cast<uint64_t>(remaining - prefix)) return -1;
    const ObuSpan whole{p, static_cast<uint32_t>(prefix + static_cast<int64_t>(obu_size))};

    if (obu_type == kObuSequenceHeader) {
      if (obu_size == 0 || ++sequence_headers > 1) return -1;
      int32_t result =
          parse_av1_sequence_header(&info, p + prefix, static_cast<uint32_t>(obu_size));
      if (result < 0) return result;
      sequence_header = whole;
    } else if (obu_type == kObuMetadata) {
      if (obu_size == 0) return -1;
      if (!metadata.bytes) metadata = whole;  // later metadata OBUs are left out
    }
    p += whole.size;
  }
  if (!sequence_header.bytes) return -1;

  put_u8(w, kRecordMarkerAndVersion);
  put_u8(w, static_cast<uint32_t>(info.seq_profile & 7) << 5 | (info.seq_level_idx_0 & 0x1F));
  put_u8(w, static_cast<uint32_t>(info.seq_tier_0 & 1) << 7 | (info.bit_depth > 8) << 6 |
                (info.bit_depth == 12) << 5 | (info.mono_chrome & 1) << 4 |
                (info.subsampling_x & 1) << 3 | (info.subsampling_y & 1) << 2 |
                (info.chroma_sample_position & 3));
  put_u8(w, 0);  // reserved, initial_presentation_delay_present = 0
  put_bytes(w, sequence_header.bytes, static_cast<int32_t>(sequence_header.size));
  if (metadata.bytes) put_bytes(w, metadata.bytes, static_cast<int32_t>(metadata.size));
  return 0;
}
