// HEVC decoder configuration record: Annex-B splitting, parameter-set parsing as far as
// the record needs, and the record writer.
//
// Parsing is bounded: every read goes through HevcBitReader, which never touches a byte
// outside the unescaped copy of the unit. Bits past the end read as zero; each parser
// checks the reader afterwards, so a truncated parameter set fails the build instead of
// filling the record from made-up bits. Every count read from the stream is checked
// against its limit before it drives a loop.
#include "codecs/hevc_config.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

constexpr uint8_t kNalVps = 32;
constexpr uint8_t kNalSps = 33;
constexpr uint8_t kNalPps = 34;
constexpr uint8_t kNalSeiPrefix = 39;
constexpr uint8_t kNalSeiSuffix = 40;

constexpr uint8_t kAcceptedTypes[] = {kNalVps, kNalSps, kNalPps, kNalSeiPrefix, kNalSeiSuffix};

// The record stores each unit behind a 16-bit length.
constexpr uint32_t kMaxUnitSize = 0xFFFF;
constexpr uint32_t kMaxUnitsPerArray = 0xFFFF;
// Largest copy whose bit count still fits the reader's index with room to spare.
constexpr uint32_t kMaxReaderBytes = 0x0FFFFFFF;

// Limits of the stream's own counts (the largest values the standard allows, or the
// record's field width where that is smaller).
constexpr uint32_t kMaxSubLayersMinus1 = 6;
constexpr uint32_t kMaxChromaFormatIdc = 3;
// H.265 allows 8 to 16 bits; the record's 3-bit fields take the value masked.
constexpr uint32_t kMaxBitDepthMinus8 = 8;
constexpr uint32_t kMaxShortTermRefPicSets = 64;
constexpr uint32_t kMaxPicsPerDirection = 16;
constexpr uint32_t kMaxDeltaPocs = 2 * kMaxPicsPerDirection;
constexpr uint32_t kMaxLongTermRefPicsSps = 32;
constexpr uint32_t kMaxCpbCntMinus1 = 31;
constexpr uint16_t kNoSpatialSegmentation = 4097;  // nothing seen yet
// Values above this are written as 0; the field keeps the low 12 bits.
constexpr uint16_t kMaxSpatialSegmentation = 4096;

// Accepted units per parameter-set type in a record the writer will write.
struct UnitCountRange {
  uint8_t nal_unit_type;
  uint32_t min_units;
  uint32_t max_units;
};
constexpr UnitCountRange kWritableCounts[] = {
    {kNalVps, 1, 16},
    {kNalSps, 1, 32},
    {kNalPps, 1, 256},
};

// Parallelism type by (tiles_enabled_flag, entropy_coding_sync_enabled_flag).
constexpr uint8_t kParallelismType[2][2] = {
    {1, 3},  // no tiles: slices only, or wavefront
    {2, 0},  // tiles only, or both (mixed)
};

void skip_bits(HevcBitReader* r, uint32_t n) {
  r->bit_index = n > UINT32_MAX - r->bit_index ? UINT32_MAX : r->bit_index + n;
}

void skip_ue(HevcBitReader* r, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) read_ue(r);
}

HevcConfig* new_config() {
  auto* config = static_cast<HevcConfig*>(std::calloc(1, sizeof(HevcConfig)));
  if (!config) return nullptr;
  config->configuration_version = 1;
  config->general_profile_compatibility_flags = 0xFFFFFFFF;
  config->general_constraint_indicator_flags = 0xFFFFFFFFFFFF;
  config->min_spatial_segmentation_idc = kNoSpatialSegmentation;
  config->length_size_minus_one = 3;
  return config;
}

int32_t parse_ptl(HevcBitReader* r, HevcConfig* config, uint32_t max_sub_layers_minus1) {
  uint8_t profile_space = static_cast<uint8_t>(read_bits(r, 2));
  uint8_t tier_flag = static_cast<uint8_t>(read_bits(r, 1));
  uint8_t profile_idc = static_cast<uint8_t>(read_bits(r, 5));
  uint32_t compatibility_flags = read_bits(r, 32);
  uint64_t constraint_flags = read_bits_long(r, 48);
  uint8_t level_idc = static_cast<uint8_t>(read_bits(r, 8));

  // A higher tier takes its level as it is; within a tier the higher level wins.
  config->general_profile_space = profile_space;
  if (config->general_tier_flag < tier_flag)
    config->general_level_idc = level_idc;
  else
    config->general_level_idc = std::max(config->general_level_idc, level_idc);
  config->general_tier_flag = std::max(config->general_tier_flag, tier_flag);
  config->general_profile_idc = std::max(config->general_profile_idc, profile_idc);
  config->general_profile_compatibility_flags &= compatibility_flags;
  config->general_constraint_indicator_flags &= constraint_flags;

  bool profile_present[8] = {};
  bool level_present[8] = {};
  for (uint32_t i = 0; i < max_sub_layers_minus1; ++i) {
    profile_present[i] = read_bits(r, 1);
    level_present[i] = read_bits(r, 1);
  }
  if (max_sub_layers_minus1 > 0) skip_bits(r, 2 * (8 - max_sub_layers_minus1));
  for (uint32_t i = 0; i < max_sub_layers_minus1; ++i) {
    if (profile_present[i]) skip_bits(r, 88);
    if (level_present[i]) skip_bits(r, 8);
  }
  return hevc_reader_ok(r) ? 0 : kHevcErrorMalformed;
}

int32_t parse_vps(HevcBitReader* r, HevcConfig* config) {
  // vps_video_parameter_set_id, vps_base_layer_internal_flag,
  // vps_base_layer_available_flag, vps_max_layers_minus1
  skip_bits(r, 12);
  uint32_t max_sub_layers_minus1 = read_bits(r, 3);
  if (max_sub_layers_minus1 > kMaxSubLayersMinus1) return kHevcErrorMalformed;
  config->num_temporal_layers =
      std::max(config->num_temporal_layers, static_cast<uint8_t>(max_sub_layers_minus1 + 1));
  skip_bits(r, 17);  // vps_temporal_id_nesting_flag, vps_reserved_0xffff_16bits
  return parse_ptl(r, config, max_sub_layers_minus1);
}

void skip_scaling_list_data(HevcBitReader* r) {
  for (uint32_t size_id = 0; size_id < 4; ++size_id) {
    uint32_t matrices = size_id == 3 ? 2 : 6;
    uint32_t coefficients = std::min(64u, 1u << (4 + 2 * size_id));
    for (uint32_t matrix = 0; matrix < matrices; ++matrix) {
      if (!read_bits(r, 1)) {  // scaling_list_pred_mode_flag
        read_ue(r);            // scaling_list_pred_matrix_id_delta
        continue;
      }
      if (size_id > 1) read_ue(r);  // scaling_list_dc_coef_minus8 (se)
      skip_ue(r, coefficients);     // scaling_list_delta_coef (se)
    }
  }
}

// One short-term reference picture set of the SPS; num_delta_pocs keeps every set's
// picture count because a predicted set is sized by the set before it.
bool parse_short_term_ref_pic_set(HevcBitReader* r, uint32_t index, uint32_t set_count,
                                  uint32_t* num_delta_pocs) {
  bool predicted = index > 0 && read_bits(r, 1);  // inter_ref_pic_set_prediction_flag
  if (predicted) {
    // In the SPS the reference set is always the previous one.
    if (index >= set_count) return false;
    skip_bits(r, 1);  // delta_rps_sign
    read_ue(r);       // abs_delta_rps_minus1
    uint32_t count = 0;
    for (uint32_t j = 0; j <= num_delta_pocs[index - 1]; ++j) {
      bool used_by_curr_pic = read_bits(r, 1);
      bool use_delta = used_by_curr_pic || read_bits(r, 1);
      if (use_delta) ++count;
    }
    if (count > kMaxDeltaPocs) return false;
    num_delta_pocs[index] = count;
  } else {
    uint32_t num_negative_pics = read_ue(r);
    uint32_t num_positive_pics = read_ue(r);
    if (num_negative_pics > kMaxPicsPerDirection || num_positive_pics > kMaxPicsPerDirection)
      return false;
    num_delta_pocs[index] = num_negative_pics + num_positive_pics;
    for (uint32_t j = 0; j < num_delta_pocs[index]; ++j) {
      read_ue(r);       // delta_poc_s0/s1_minus1
      skip_bits(r, 1);  // used_by_curr_pic_s0/s1_flag
    }
  }
  return hevc_reader_ok(r);
}

bool skip_sub_layer_hrd(HevcBitReader* r, uint32_t cpb_cnt_minus1, bool sub_pic_params) {
  for (uint32_t i = 0; i <= cpb_cnt_minus1; ++i) {
    skip_ue(r, sub_pic_params ? 4 : 2);  // bit rate and CPB size values (and their DU forms)
    skip_bits(r, 1);                     // cbr_flag
  }
  return hevc_reader_ok(r);
}

int32_t parse_hrd(HevcBitReader* r, uint32_t max_sub_layers_minus1) {
  bool nal_params = read_bits(r, 1);
  bool vcl_params = read_bits(r, 1);
  bool sub_pic_params = false;
  if (nal_params || vcl_params) {
    sub_pic_params = read_bits(r, 1);
    if (sub_pic_params) skip_bits(r, 19);  // tick divisor, DU delay lengths, SEI flag
    skip_bits(r, 8);                       // bit_rate_scale, cpb_size_scale
    if (sub_pic_params) skip_bits(r, 4);   // cpb_size_du_scale
    skip_bits(r, 15);                      // three delay lengths
  }
  for (uint32_t i = 0; i <= max_sub_layers_minus1; ++i) {
    bool fixed_rate_general = read_bits(r, 1);
    bool fixed_rate_within_cvs = fixed_rate_general || read_bits(r, 1);
    bool low_delay = false;
    if (fixed_rate_within_cvs)
      read_ue(r);  // elemental_duration_in_tc_minus1
    else
      low_delay = read_bits(r, 1);
    uint32_t cpb_cnt_minus1 = low_delay ? 0 : read_ue(r);
    if (cpb_cnt_minus1 > kMaxCpbCntMinus1) return kHevcErrorMalformed;
    if (nal_params && !skip_sub_layer_hrd(r, cpb_cnt_minus1, sub_pic_params))
      return kHevcErrorMalformed;
    if (vcl_params && !skip_sub_layer_hrd(r, cpb_cnt_minus1, sub_pic_params))
      return kHevcErrorMalformed;
  }
  return hevc_reader_ok(r) ? 0 : kHevcErrorMalformed;
}

int32_t parse_vui(HevcBitReader* r, HevcConfig* config, uint32_t max_sub_layers_minus1) {
  if (read_bits(r, 1)) {                           // aspect_ratio_info_present_flag
    if (read_bits(r, 8) == 255) skip_bits(r, 32);  // extended SAR: sar_width, sar_height
  }
  if (read_bits(r, 1)) skip_bits(r, 1);     // overscan_info_present_flag, overscan_appropriate
  if (read_bits(r, 1)) {                    // video_signal_type_present_flag
    skip_bits(r, 4);                        // video_format, video_full_range_flag
    if (read_bits(r, 1)) skip_bits(r, 24);  // colour description
  }
  if (read_bits(r, 1)) skip_ue(r, 2);  // chroma_loc_info_present_flag
  skip_bits(r, 3);  // neutral_chroma_indication, field_seq, frame_field_info_present
  if (read_bits(r, 1)) skip_ue(r, 4);  // default_display_window_flag
  if (read_bits(r, 1)) {               // vui_timing_info_present_flag
    skip_bits(r, 64);                  // num_units_in_tick, time_scale
    if (read_bits(r, 1)) read_ue(r);   // num_ticks_poc_diff_one_minus1
    if (read_bits(r, 1)) {             // vui_hrd_parameters_present_flag
      int32_t result = parse_hrd(r, max_sub_layers_minus1);
      if (result) return result;
    }
  }
  if (read_bits(r, 1)) {  // bitstream_restriction_flag
    skip_bits(r, 3);      // tiles_fixed_structure, mv_over_pic_boundaries, restricted_ref_lists
    uint32_t min_spatial_segmentation = read_ue(r);
    if (min_spatial_segmentation < config->min_spatial_segmentation_idc)
      config->min_spatial_segmentation_idc = static_cast<uint16_t>(min_spatial_segmentation);
    skip_ue(r, 4);  // max_bytes_per_pic_denom, max_bits_per_min_cu_denom, log2 max mv lengths
  }
  return hevc_reader_ok(r) ? 0 : kHevcErrorMalformed;
}

int32_t parse_sps(HevcBitReader* r, HevcConfig* config) {
  skip_bits(r, 4);  // sps_video_parameter_set_id
  uint32_t max_sub_layers_minus1 = read_bits(r, 3);
  if (max_sub_layers_minus1 > kMaxSubLayersMinus1) return kHevcErrorMalformed;
  config->num_temporal_layers =
      std::max(config->num_temporal_layers, static_cast<uint8_t>(max_sub_layers_minus1 + 1));
  config->temporal_id_nested = static_cast<uint8_t>(read_bits(r, 1));
  int32_t result = parse_ptl(r, config, max_sub_layers_minus1);
  if (result) return result;

  read_ue(r);  // sps_seq_parameter_set_id
  uint32_t chroma_format_idc = read_ue(r);
  if (chroma_format_idc > kMaxChromaFormatIdc) return kHevcErrorMalformed;
  config->chroma_format = static_cast<uint8_t>(chroma_format_idc);
  if (chroma_format_idc == 3) skip_bits(r, 1);  // separate_colour_plane_flag
  skip_ue(r, 2);                                // pic_width/height_in_luma_samples
  if (read_bits(r, 1)) skip_ue(r, 4);           // conformance window offsets

  uint32_t bit_depth_luma_minus8 = read_ue(r);
  uint32_t bit_depth_chroma_minus8 = read_ue(r);
  if (bit_depth_luma_minus8 > kMaxBitDepthMinus8 || bit_depth_chroma_minus8 > kMaxBitDepthMinus8)
    return kHevcErrorMalformed;
  config->bit_depth_luma_minus8 = static_cast<uint8_t>(bit_depth_luma_minus8);
  config->bit_depth_chroma_minus8 = static_cast<uint8_t>(bit_depth_chroma_minus8);
  uint32_t log2_max_poc_lsb_minus4 = read_ue(r);

  bool ordering_info_for_all = read_bits(r, 1);  // sps_sub_layer_ordering_info_present_flag
  for (uint32_t i = ordering_info_for_all ? 0 : max_sub_layers_minus1; i <= max_sub_layers_minus1;
       ++i)
    skip_ue(r, 3);  // max_dec_pic_buffering, max_num_reorder_pics, max_latency_increase
  skip_ue(r, 6);    // coding-block and transform sizes, transform hierarchy depths

  if (read_bits(r, 1) && read_bits(r, 1))  // scaling_list_enabled, sps_scaling_list_data_present
    skip_scaling_list_data(r);
  skip_bits(r, 2);        // amp_enabled_flag, sample_adaptive_offset_enabled_flag
  if (read_bits(r, 1)) {  // pcm_enabled_flag
    skip_bits(r, 8);      // PCM sample bit depths
    skip_ue(r, 2);        // PCM coding-block sizes
    skip_bits(r, 1);      // pcm_loop_filter_disabled_flag
  }
  if (!hevc_reader_ok(r)) return kHevcErrorMalformed;

  uint32_t set_count = read_ue(r);  // num_short_term_ref_pic_sets
  if (set_count > kMaxShortTermRefPicSets) return kHevcErrorTooManyRefPicSets;
  uint32_t num_delta_pocs[kMaxShortTermRefPicSets] = {};
  for (uint32_t i = 0; i < set_count; ++i) {
    if (!parse_short_term_ref_pic_set(r, i, set_count, num_delta_pocs)) return kHevcErrorRefPicSet;
  }

  if (read_bits(r, 1)) {  // long_term_ref_pics_present_flag
    uint32_t long_term_count = read_ue(r);
    if (long_term_count > kMaxLongTermRefPicsSps) return kHevcErrorMalformed;
    uint32_t poc_lsb_bits = log2_max_poc_lsb_minus4 > 12 ? 16 : log2_max_poc_lsb_minus4 + 4;
    for (uint32_t i = 0; i < long_term_count; ++i) skip_bits(r, poc_lsb_bits + 1);
  }
  skip_bits(r, 2);        // sps_temporal_mvp_enabled_flag, strong_intra_smoothing_enabled_flag
  if (read_bits(r, 1)) {  // vui_parameters_present_flag
    result = parse_vui(r, config, max_sub_layers_minus1);
    if (result) return result;
  }
  return hevc_reader_ok(r) ? 0 : kHevcErrorMalformed;
}

int32_t parse_pps(HevcBitReader* r, HevcConfig* config) {
  skip_ue(r, 2);    // pps_pic_parameter_set_id, pps_seq_parameter_set_id
  skip_bits(r, 7);  // dependent slices, output flag, extra header bits, sign hiding, cabac init
  skip_ue(r, 3);    // default active reference counts, init_qp_minus26
  skip_bits(r, 2);  // constrained_intra_pred_flag, transform_skip_enabled_flag
  if (read_bits(r, 1)) read_ue(r);  // cu_qp_delta_enabled_flag, diff_cu_qp_delta_depth
  skip_ue(r, 2);                    // pps_cb_qp_offset, pps_cr_qp_offset
  skip_bits(r, 4);  // chroma QP offsets present, weighted pred/bipred, transquant bypass
  uint32_t tiles_enabled = read_bits(r, 1);
  uint32_t entropy_coding_sync_enabled = read_bits(r, 1);
  if (!hevc_reader_ok(r)) return kHevcErrorMalformed;
  config->parallelism_type = kParallelismType[tiles_enabled][entropy_coding_sync_enabled];
  return 0;
}

// The array for a NAL type, appended at the end when the type is new, so arrays keep the
// order in which their types first appear.
HevcNalArray* array_for_type(HevcConfig* config, uint8_t nal_unit_type) {
  for (uint32_t i = 0; i < config->num_of_arrays; ++i) {
    if (config->arrays[i].nal_unit_type == nal_unit_type) return &config->arrays[i];
  }
  if (config->num_of_arrays >= std::size(kAcceptedTypes)) return nullptr;
  auto* grown = static_cast<HevcNalArray*>(
      std::realloc(config->arrays, (config->num_of_arrays + 1u) * sizeof(HevcNalArray)));
  if (!grown) return nullptr;
  config->arrays = grown;
  HevcNalArray* array = &grown[config->num_of_arrays++];
  std::memset(array, 0, sizeof *array);
  array->nal_unit_type = nal_unit_type;
  return array;
}

bool append_unit(HevcNalArray* array, const uint8_t* nal, uint32_t size) {
  if (array->num_nalus >= kMaxUnitsPerArray) return false;
  uint32_t count = array->num_nalus + 1u;
  auto* lengths =
      static_cast<uint16_t*>(std::realloc(array->nal_unit_length, count * sizeof(uint16_t)));
  if (!lengths) return false;
  array->nal_unit_length = lengths;
  auto* units =
      static_cast<const uint8_t**>(std::realloc(array->nal_unit, count * sizeof(uint8_t*)));
  if (!units) return false;
  array->nal_unit = units;
  lengths[array->num_nalus] = static_cast<uint16_t>(size);
  units[array->num_nalus] = nal;
  array->num_nalus = static_cast<uint16_t>(count);
  return true;
}

bool is_accepted_type(uint8_t nal_unit_type) {
  return std::find(std::begin(kAcceptedTypes), std::end(kAcceptedTypes), nal_unit_type) !=
         std::end(kAcceptedTypes);
}

// An SEI unit the record cannot hold: no full NAL header, or longer than the
// 16-bit length field. SEI units are only carried along, so such a unit is
// left out rather than failing the record; a parameter set like it still fails.
bool is_unstorable_sei(uint8_t nal_unit_type, size_t size) {
  const bool sei = nal_unit_type == kNalSeiPrefix || nal_unit_type == kNalSeiSuffix;
  return sei && (size < 2 || size > kMaxUnitSize);
}

// Steps back over the zero that makes a three-byte start code a four-byte one.
const uint8_t* start_of_start_code(const uint8_t* p, const uint8_t* begin, const uint8_t* end) {
  return p > begin && p < end && p[-1] == 0 ? p - 1 : p;
}

}  // namespace

const uint8_t* find_start_code(const uint8_t* begin, const uint8_t* end) {
  if (!begin || end - begin < 3) return end;
  for (const uint8_t* p = begin; p + 2 < end; ++p) {
    if (p[2] > 1) {
      p += 2;  // no start code can begin at p, p + 1 or p + 2
      continue;
    }
    if (p[0] == 0 && p[1] == 0 && p[2] == 1) return p;
  }
  return end;
}

uint8_t* nal_to_rbsp(const uint8_t* nal, uint32_t size, uint32_t* out_size) {
  auto* rbsp = static_cast<uint8_t*>(std::malloc(size ? size : 1));
  if (!rbsp) return nullptr;
  uint32_t out = 0;
  uint32_t i = 0;
  // The two header bytes are copied as they are; escapes start after them.
  for (; i < size && i < 2; ++i) rbsp[out++] = nal[i];
  while (i < size) {
    if (i + 2 < size && nal[i] == 0 && nal[i + 1] == 0 && nal[i + 2] == 3) {
      rbsp[out++] = 0;
      rbsp[out++] = 0;
      i += 3;
    } else {
      rbsp[out++] = nal[i++];
    }
  }
  if (out_size) *out_size = out;
  return rbsp;
}

void hevc_reader_init(HevcBitReader* r, const uint8_t* data, uint32_t size) {
  r->data = data;
  r->end = data + size;
  r->bit_index = 0;
  r->invalid = 0;
}

bool hevc_reader_ok(const HevcBitReader* r) {
  uint64_t available_bits = static_cast<uint64_t>(r->end - r->data) * 8;
  return !r->invalid && r->bit_index <= available_bits;
}

uint32_t read_bits(HevcBitReader* r, uint32_t n) {
  if (n > 32) {
    r->invalid = 1;
    return 0;
  }
  const size_t size = static_cast<size_t>(r->end - r->data);
  uint32_t value = 0;
  for (uint32_t i = 0; i < n; ++i) {
    size_t byte = r->bit_index >> 3;
    uint32_t bit = byte < size ? (r->data[byte] >> (7 - (r->bit_index & 7))) & 1 : 0;
    value = value << 1 | bit;
    if (r->bit_index != UINT32_MAX) ++r->bit_index;
  }
  return value;
}

uint64_t read_bits_long(HevcBitReader* r, uint32_t n) {
  if (n > 64) {
    r->invalid = 1;
    return 0;
  }
  if (n <= 32) return read_bits(r, n);
  uint64_t high = read_bits(r, n - 32);
  return high << 32 | read_bits(r, 32);
}

uint32_t read_ue(HevcBitReader* r) {
  uint32_t leading_zeros = 0;
  while (read_bits(r, 1) == 0) {
    // 32 zeros would need a 33-bit value; past the end of the unit zeros never stop.
    if (++leading_zeros == 32) {
      r->invalid = 1;
      return UINT32_MAX;
    }
  }
  if (leading_zeros == 0) return 0;
  return ((1u << leading_zeros) - 1) + read_bits(r, leading_zeros);
}

int32_t hevc_config_add_nal(const uint8_t* nal, uint32_t size, uint32_t completeness,
                            HevcConfig* config) {
  if (!config || !nal || size < 2) return kHevcErrorMalformed;  // no room for the NAL header
  uint8_t nal_unit_type = (nal[0] >> 1) & 0x3F;
  if (!is_accepted_type(nal_unit_type)) return kHevcErrorTypeNotAccepted;
  if (size > kMaxUnitSize || size > kMaxReaderBytes) return kHevcErrorUnitTooLarge;

  uint32_t rbsp_size = 0;
  uint8_t* rbsp = nal_to_rbsp(nal, size, &rbsp_size);
  if (!rbsp) return kHevcErrorNoMemoryForCopy;
  HevcBitReader reader;
  hevc_reader_init(&reader, rbsp, rbsp_size);
  read_bits(&reader, 16);  // NAL unit header

  int32_t result = 0;
  HevcNalArray* array = array_for_type(config, nal_unit_type);
  if (!array || !append_unit(array, nal, size)) {
    result = kHevcErrorAppendFailed;
  } else {
    if (nal_unit_type == kNalVps || nal_unit_type == kNalSps || nal_unit_type == kNalPps)
      array->array_completeness = completeness ? 1 : 0;
    if (nal_unit_type == kNalVps)
      result = parse_vps(&reader, config);
    else if (nal_unit_type == kNalSps)
      result = parse_sps(&reader, config);
    else if (nal_unit_type == kNalPps)
      result = parse_pps(&reader, config);
  }
  std::free(rbsp);
  return result;
}

HevcConfig* hevc_config_from_annexb(const uint8_t* data, int32_t size, uint32_t completeness,
                                    int32_t* error) {
  int32_t ignored = 0;
  if (!error) error = &ignored;
  *error = 0;
  HevcConfig* config = new_config();
  if (!config) {
    *error = kHevcErrorAppendFailed;
    return nullptr;
  }
  if (!data || size < 6) {
    *error = kHevcErrorShortInput;
    hevc_config_release(config);
    return nullptr;
  }
  const uint8_t* begin = data;
  const uint8_t* end = data + size;
  const uint8_t* p = start_of_start_code(find_start_code(begin, end), begin, end);
  for (;;) {
    // Past the start code's zeros and its 01.
    const uint8_t* after = p;
    while (after < end && *after == 0) ++after;
    if (after < end) ++after;
    if (after >= end) return config;

    const uint8_t* q = start_of_start_code(find_start_code(after, end), begin, end);
    const uint8_t* nal = p + (p[2] == 1 ? 3 : 4);
    if (q > nal) {  // an empty unit has no header and is passed over
      uint8_t nal_unit_type = (nal[0] >> 1) & 0x3F;
      if (is_accepted_type(nal_unit_type) &&
          !is_unstorable_sei(nal_unit_type, static_cast<size_t>(q - nal))) {
        int32_t result =
            hevc_config_add_nal(nal, static_cast<uint32_t>(q - nal), completeness, config);
        if (result < 0) {
          *error = result;
          hevc_config_release(config);
          return nullptr;
        }
      }
    }
    p = q;
  }
}

int32_t hevc_config_write(ByteWriter* w, HevcConfig* config) {
  if (!w || !config) return kHevcErrorWriteRefused;
  config->configuration_version = 1;
  // 4097 means no VUI said anything.
  if (config->min_spatial_segmentation_idc > kMaxSpatialSegmentation)
    config->min_spatial_segmentation_idc = 0;
  if (config->min_spatial_segmentation_idc == 0) config->parallelism_type = 0;
  config->avg_frame_rate = 0;
  config->constant_frame_rate = 0;

  // Everything is checked before the first byte goes out, so a refusal writes nothing.
  if (config->num_of_arrays == 0 || !config->arrays) return kHevcErrorWriteRefused;
  for (const UnitCountRange& range : kWritableCounts) {
    uint32_t units = 0;
    for (uint32_t i = 0; i < config->num_of_arrays; ++i) {
      if (config->arrays[i].nal_unit_type == range.nal_unit_type)
        units += config->arrays[i].num_nalus;
    }
    if (units < range.min_units || units > range.max_units) return kHevcErrorWriteRefused;
  }

  put_u8(w, config->configuration_version);
  put_u8(w, (config->general_profile_space & 3u) << 6 | (config->general_tier_flag & 1u) << 5 |
                (config->general_profile_idc & 0x1Fu));
  put_be32(w, config->general_profile_compatibility_flags);
  put_be32(w, static_cast<uint32_t>(config->general_constraint_indicator_flags >> 16));
  put_be16(w, static_cast<uint32_t>(config->general_constraint_indicator_flags & 0xFFFF));
  put_u8(w, config->general_level_idc);
  put_be16(w, config->min_spatial_segmentation_idc | 0xF000u);
  put_u8(w, config->parallelism_type | 0xFCu);
  put_u8(w, config->chroma_format | 0xFCu);
  put_u8(w, config->bit_depth_luma_minus8 | 0xF8u);
  put_u8(w, config->bit_depth_chroma_minus8 | 0xF8u);
  put_be16(w, config->avg_frame_rate);
  put_u8(w, (config->constant_frame_rate & 3u) << 6 | (config->num_temporal_layers & 7u) << 3 |
                (config->temporal_id_nested & 1u) << 2 | (config->length_size_minus_one & 3u));
  put_u8(w, config->num_of_arrays);
  for (uint32_t i = 0; i < config->num_of_arrays; ++i) {
    const HevcNalArray& array = config->arrays[i];
    put_u8(w, (array.array_completeness & 1u) << 7 | (array.nal_unit_type & 0x3Fu));
    put_be16(w, array.num_nalus);
    for (uint32_t j = 0; j < array.num_nalus; ++j) {
      put_be16(w, array.nal_unit_length[j]);
      put_bytes(w, array.nal_unit[j], array.nal_unit_length[j]);
    }
  }
  return 0;
}

int32_t write_hvcc_record(ByteWriter* w, HevcConfig* config) {
  if (!w || !config) return 0;
  return hevc_config_write(w, config);
}

int32_t hevc_config_release(HevcConfig* config) {
  if (!config) return 1;
  for (uint32_t i = 0; i < config->num_of_arrays; ++i) {
    std::free(config->arrays[i].nal_unit_length);
    std::free(config->arrays[i].nal_unit);
  }
  std::free(config->arrays);
  std::free(config);
  return 1;
}
