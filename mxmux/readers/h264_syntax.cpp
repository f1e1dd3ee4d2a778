// The H.264 side of the Annex-B reader: sequence and picture parameter sets,
// the slice header fields up to the picture order count, and the picture
// order count itself (all three types).
#include <algorithm>
#include <array>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "mxmux/readers/annexb_syntax.h"

namespace mxmux {
namespace {

// ---------------------------------------------------------- parameter sets

struct AvcSps {
  bool valid = false;
  int profile_idc = 0, constraint_flags = 0, level_idc = 0;
  uint32_t chroma_format_idc = 1;
  bool separate_colour_plane = false;
  uint32_t log2_max_frame_num = 4;
  uint32_t poc_type = 0;
  uint32_t log2_max_poc_lsb = 4;
  bool delta_pic_order_always_zero = false;
  int32_t offset_for_non_ref_pic = 0, offset_for_top_to_bottom_field = 0;
  std::vector<int32_t> offset_for_ref_frame;
  bool frame_mbs_only = true;
  uint32_t width = 0, height = 0;
  uint32_t time_scale = 0, num_units_in_tick = 0;
  int max_num_reorder_frames = -1;  // -1: not stated
  int max_dec_frame_buffering = -1;
};

struct AvcPps {
  bool valid = false;
  uint32_t sps_id = 0;
  bool bottom_field_pic_order_in_frame_present = false;
};

void skip_scaling_list(BitReader& br, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size && !br.overrun(); ++j) {
    if (next != 0) {
      int32_t delta = br.se();
      next = (last + delta + 256) % 256;
    }
    last = next == 0 ? last : next;
  }
}

void skip_hrd(BitReader& br) {
  uint32_t cpb_cnt = br.ue() + 1;
  if (cpb_cnt > 32) {
    br.skip(1u << 20);  // marks the overrun
    return;
  }
  br.bits(8);
  for (uint32_t i = 0; i < cpb_cnt && !br.overrun(); ++i) {
    br.ue();
    br.ue();
    br.bits(1);
  }
  br.bits(20);
}

// The chroma format, bit depths and scaling matrices of the high profiles.
bool read_high_profile_fields(BitReader& br, AvcSps& sps) {
  static constexpr int kHighProfiles[] = {100, 110, 122, 244, 44,  83, 86,
                                          118, 128, 138, 139, 134, 135};
  if (std::find(std::begin(kHighProfiles), std::end(kHighProfiles), sps.profile_idc) ==
      std::end(kHighProfiles))
    return true;
  sps.chroma_format_idc = br.ue();
  if (sps.chroma_format_idc > 3) return false;
  if (sps.chroma_format_idc == 3) sps.separate_colour_plane = br.flag();
  br.ue();  // bit_depth_luma_minus8
  br.ue();  // bit_depth_chroma_minus8
  br.bits(1);
  if (br.flag()) {  // seq_scaling_matrix_present_flag
    int lists = sps.chroma_format_idc != 3 ? 8 : 12;
    for (int i = 0; i < lists && !br.overrun(); ++i) {
      if (br.flag()) skip_scaling_list(br, i < 6 ? 16 : 64);
    }
  }
  return true;
}

// frame_num's size and the picture order count type with its fields.
bool read_order_fields(BitReader& br, AvcSps& sps) {
  sps.log2_max_frame_num = br.ue() + 4;
  if (sps.log2_max_frame_num > 16) return false;
  sps.poc_type = br.ue();
  if (sps.poc_type == 0) {
    sps.log2_max_poc_lsb = br.ue() + 4;
    if (sps.log2_max_poc_lsb > 16) return false;
  } else if (sps.poc_type == 1) {
    sps.delta_pic_order_always_zero = br.flag();
    sps.offset_for_non_ref_pic = br.se();
    sps.offset_for_top_to_bottom_field = br.se();
    uint32_t cycle = br.ue();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle && !br.overrun(); ++i)
      sps.offset_for_ref_frame.push_back(br.se());
  } else if (sps.poc_type != 2) {
    return false;
  }
  return true;
}

// The coded size in macroblocks less the cropping window.
bool read_picture_size(BitReader& br, AvcSps& sps) {
  uint32_t width_mbs = br.ue() + 1;
  uint32_t height_map_units = br.ue() + 1;
  sps.frame_mbs_only = br.flag();
  if (!sps.frame_mbs_only) br.bits(1);
  br.bits(1);  // direct_8x8_inference_flag
  uint32_t crop_left = 0, crop_right = 0, crop_top = 0, crop_bottom = 0;
  if (br.flag()) {
    crop_left = br.ue();
    crop_right = br.ue();
    crop_top = br.ue();
    crop_bottom = br.ue();
  }
  if (width_mbs > 2048 || height_map_units > 2048) return false;
  uint32_t chroma_array_type = sps.separate_colour_plane ? 0 : sps.chroma_format_idc;
  uint32_t sub_w = chroma_array_type == 1 || chroma_array_type == 2 ? 2 : 1;
  uint32_t sub_h = chroma_array_type == 1 ? 2 : 1;
  uint32_t crop_x = chroma_array_type == 0 ? 1 : sub_w;
  uint32_t crop_y = (chroma_array_type == 0 ? 1 : sub_h) * (sps.frame_mbs_only ? 1 : 2);
  uint64_t w = uint64_t{width_mbs} * 16,
           h = uint64_t{height_map_units} * 16 * (sps.frame_mbs_only ? 1 : 2);
  uint64_t cw = uint64_t{crop_left + crop_right} * crop_x,
           ch = uint64_t{crop_top + crop_bottom} * crop_y;
  if (cw >= w || ch >= h) return false;
  sps.width = static_cast<uint32_t>(w - cw);
  sps.height = static_cast<uint32_t>(h - ch);
  return true;
}

// The timing and reordering fields of the video usability information.
void read_vui(BitReader& br, AvcSps& sps) {
  skip_vui_front(br);
  if (br.flag()) {  // timing_info_present_flag
    sps.num_units_in_tick = br.bits(32);
    sps.time_scale = br.bits(32);
    br.bits(1);
  }
  bool nal_hrd = br.flag();
  if (nal_hrd) skip_hrd(br);
  bool vcl_hrd = br.flag();
  if (vcl_hrd) skip_hrd(br);
  if (nal_hrd || vcl_hrd) br.bits(1);
  br.bits(1);       // pic_struct_present_flag
  if (br.flag()) {  // bitstream_restriction_flag
    br.bits(1);
    br.ue();
    br.ue();
    br.ue();
    br.ue();
    uint32_t reorder = br.ue();
    uint32_t buffering = br.ue();
    if (!br.overrun()) {
      sps.max_num_reorder_frames = static_cast<int>(std::min<uint32_t>(reorder, 16));
      sps.max_dec_frame_buffering = static_cast<int>(std::min<uint32_t>(buffering, 16));
    }
  }
  if (br.overrun()) {  // a damaged VUI: keep what came before it
    sps.num_units_in_tick = sps.time_scale = 0;
  }
}

bool parse_sps(const std::vector<uint8_t>& rbsp, AvcSps& sps, uint32_t& id) {
  BitReader br(rbsp.data() + 1, rbsp.data() + rbsp.size());
  sps = AvcSps{};
  sps.profile_idc = static_cast<int>(br.bits(8));
  sps.constraint_flags = static_cast<int>(br.bits(8));
  sps.level_idc = static_cast<int>(br.bits(8));
  id = br.ue();
  if (id > 31) return false;
  if (!read_high_profile_fields(br, sps) || !read_order_fields(br, sps)) return false;
  br.ue();  // max_num_ref_frames
  br.bits(1);
  if (!read_picture_size(br, sps)) return false;
  if (br.flag()) read_vui(br, sps);  // vui_parameters_present_flag
  sps.valid = true;
  return true;
}

// Null, or what is wrong with the set.
const char* parse_pps(const std::vector<uint8_t>& rbsp, AvcPps& pps, uint32_t& id) {
  BitReader br(rbsp.data() + 1, rbsp.data() + rbsp.size());
  id = br.ue();
  pps.sps_id = br.ue();
  br.bits(1);
  pps.bottom_field_pic_order_in_frame_present = br.flag();
  uint32_t slice_groups = br.ue();
  if (br.overrun() || id > 255 || pps.sps_id > 31) return "damaged H.264 picture parameter set";
  if (slice_groups != 0) return "unsupported H.264 feature: slice groups";
  pps.valid = true;
  return nullptr;
}

// What the first slice of a picture says about its place in order.
struct SliceInfo {
  int nal_type = 0;
  bool ref = false;
  uint32_t frame_num = 0;
  int64_t poc_lsb = 0;
  int32_t delta_bottom = 0, delta0 = 0, delta1 = 0;
  const AvcSps* sps = nullptr;
};

// ------------------------------------------------------------------ syntax

class H264Syntax : public FirstSliceSyntax<SliceInfo> {
 public:
  Codec codec() const override { return Codec::kH264; }
  const char* kind() const override { return "an H.264"; }
  const char* read_unit(const uint8_t* p, const uint8_t* end, bool picture_has_slices,
                        UnitRole& role) override;
  PictureOrder order_picture() override;
  const char* describe(StreamParams& params, ReorderHint& hint) override;

 private:
  const char* read_sps(const uint8_t* p, const uint8_t* end);
  const char* read_pps(const uint8_t* p, const uint8_t* end);
  const char* read_slice(const uint8_t* p, const uint8_t* end, int type, bool ref,
                         bool picture_has_slices, UnitRole& role);
  int64_t order_count(const AvcSps& sps, const SliceInfo& s);

  std::array<AvcSps, 32> sps_{};
  std::array<AvcPps, 256> pps_{};
  // The first sequence and picture parameter sets, sent before the first slice.
  std::vector<uint8_t> first_sps_, first_pps_;
  bool have_sps_ = false, have_pps_ = false;

  int64_t prev_poc_msb_ = 0, prev_poc_lsb_ = 0;
  int64_t prev_frame_num_offset_ = 0;
  uint32_t prev_frame_num_ = 0;
};

const char* H264Syntax::read_unit(const uint8_t* p, const uint8_t* end, bool picture_has_slices,
                                  UnitRole& role) {
  role = UnitRole{};
  if (p == end) return nullptr;
  if (p[0] & 0x80) return "forbidden bit set in a NAL unit header (not an H.264 stream?)";
  int type = p[0] & 31;
  bool ref = (p[0] & 0x60) != 0;
  if (type >= 2 && type <= 4) return "unsupported H.264 feature: data partitioning";
  const char* problem = type == 7 ? read_sps(p, end) : type == 8 ? read_pps(p, end) : nullptr;
  if (problem) return problem;
  if (type == 1 || type == 5) return read_slice(p, end, type, ref, picture_has_slices, role);
  bool boundary = type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18);
  role.starts_picture = boundary && picture_has_slices;
  return nullptr;
}

const char* H264Syntax::read_sps(const uint8_t* p, const uint8_t* end) {
  unescape_rbsp(p, end, 4096, rbsp_);
  AvcSps sps;
  uint32_t id = 0;
  if (!parse_sps(rbsp_, sps, id)) return "damaged or unsupported H.264 sequence parameter set";
  sps_[id] = sps;
  if (!configuration_closed_ && !have_sps_) {
    first_sps_.assign(p, end);
    have_sps_ = true;
  }
  return nullptr;
}

const char* H264Syntax::read_pps(const uint8_t* p, const uint8_t* end) {
  unescape_rbsp(p, end, 64, rbsp_);
  AvcPps pps;
  uint32_t id = 0;
  if (const char* problem = parse_pps(rbsp_, pps, id)) return problem;
  pps_[id] = pps;
  if (!configuration_closed_ && !have_pps_) {
    first_pps_.assign(p, end);
    have_pps_ = true;
  }
  return nullptr;
}

const char* H264Syntax::read_slice(const uint8_t* p, const uint8_t* end, int type, bool ref,
                                   bool picture_has_slices, UnitRole& role) {
  role.slice = true;
  BitReader br = slice_header_bits(p + 1, end, header_);
  uint32_t first_mb = br.ue();
  br.ue();  // slice_type
  uint32_t pps_id = br.ue();
  if (br.overrun()) return "truncated H.264 slice header";
  if (pps_id > 255 || !pps_[pps_id].valid || !sps_[pps_[pps_id].sps_id].valid)
    return "H.264 slice refers to a parameter set the stream has not sent";
  role.starts_picture = picture_has_slices && first_mb == 0;
  if (picture_has_slices && !role.starts_picture)
    return nullptr;  // a further slice of the same picture
  const AvcPps& pps = pps_[pps_id];
  const AvcSps& sps = sps_[pps.sps_id];
  if (sps.separate_colour_plane) br.bits(2);
  SliceInfo& slice = read_slice_;
  slice = SliceInfo{};
  slice.frame_num = br.bits(static_cast<int>(sps.log2_max_frame_num));
  if (!sps.frame_mbs_only && br.flag()) return "unsupported H.264 feature: field-coded pictures";
  if (type == 5) br.ue();  // idr_pic_id
  if (sps.poc_type == 0) {
    slice.poc_lsb = br.bits(static_cast<int>(sps.log2_max_poc_lsb));
    if (pps.bottom_field_pic_order_in_frame_present) slice.delta_bottom = br.se();
  } else if (sps.poc_type == 1 && !sps.delta_pic_order_always_zero) {
    slice.delta0 = br.se();
    if (pps.bottom_field_pic_order_in_frame_present) slice.delta1 = br.se();
  }
  if (br.overrun()) return "truncated H.264 slice header";
  slice.nal_type = type;
  slice.ref = ref;
  slice.sps = &sps;
  return nullptr;
}

PictureOrder H264Syntax::order_picture() {
  const SliceInfo& s = picture_slice_;
  bool idr = s.nal_type == 5;
  PictureOrder order;
  order.poc = order_count(*s.sps, s);
  order.key = idr;
  order.poc_reset = idr;
  return order;
}

// The picture order count of a picture, by the sequence's count type; keeps
// what the next picture's count builds on.
int64_t H264Syntax::order_count(const AvcSps& sps, const SliceInfo& s) {
  bool idr = s.nal_type == 5;
  if (sps.poc_type == 0) {
    if (idr) prev_poc_msb_ = prev_poc_lsb_ = 0;
    int64_t msb =
        poc_msb(s.poc_lsb, prev_poc_lsb_, prev_poc_msb_, int64_t{1} << sps.log2_max_poc_lsb);
    int64_t top = msb + s.poc_lsb;
    if (s.ref) {
      prev_poc_msb_ = msb;
      prev_poc_lsb_ = s.poc_lsb;
    }
    return std::min(top, top + s.delta_bottom);
  }
  int64_t max_frame_num = int64_t{1} << sps.log2_max_frame_num;
  int64_t offset = idr                             ? 0
                   : prev_frame_num_ > s.frame_num ? prev_frame_num_offset_ + max_frame_num
                                                   : prev_frame_num_offset_;
  prev_frame_num_offset_ = offset;
  prev_frame_num_ = s.frame_num;
  if (sps.poc_type == 2) return idr ? 0 : 2 * (offset + s.frame_num) - (s.ref ? 0 : 1);
  int64_t cycle_len = static_cast<int64_t>(sps.offset_for_ref_frame.size());
  int64_t abs_frame_num = cycle_len ? offset + s.frame_num : 0;
  if (!s.ref && abs_frame_num > 0) --abs_frame_num;
  int64_t expected = 0;
  if (abs_frame_num > 0) {
    int64_t delta_cycle = 0;
    for (int32_t v : sps.offset_for_ref_frame) delta_cycle += v;
    int64_t cycles = (abs_frame_num - 1) / cycle_len;
    int64_t in_cycle = (abs_frame_num - 1) % cycle_len;
    expected = cycles * delta_cycle;
    for (int64_t i = 0; i <= in_cycle; ++i) expected += sps.offset_for_ref_frame[i];
  }
  if (!s.ref) expected += sps.offset_for_non_ref_pic;
  int64_t top = expected + s.delta0;
  return std::min(top, top + sps.offset_for_top_to_bottom_field + s.delta1);
}

const char* H264Syntax::describe(StreamParams& params, ReorderHint& hint) {
  const AvcSps& sps = *picture_slice_.sps;
  params.width = sps.width;
  params.height = sps.height;
  params.profile = sps.profile_idc;
  if (sps.time_scale && sps.num_units_in_tick) {
    params.stream_fps_num = sps.time_scale;
    params.stream_fps_den = 2 * sps.num_units_in_tick;
  }
  bool intra_only =
      (sps.constraint_flags & 0x10) && (sps.profile_idc == 44 || sps.profile_idc == 110 ||
                                        sps.profile_idc == 122 || sps.profile_idc == 244);
  if (sps.poc_type == 2 || sps.profile_idc == 66 || intra_only) {
    hint.depth_known = true;
    hint.depth = 0;
  } else if (sps.max_num_reorder_frames >= 0) {
    hint.depth_known = true;
    hint.depth = sps.max_num_reorder_frames;
  }
  hint.window = hint.depth_known                  ? hint.depth
                : sps.max_dec_frame_buffering > 0 ? sps.max_dec_frame_buffering
                                                  : kMaxReorderWindow;
  static constexpr std::pair<int, const char*> kProfiles[] = {
      {66, "Baseline"}, {77, "Main"},        {88, "Extended"},    {100, "High"},
      {110, "High 10"}, {122, "High 4:2:2"}, {244, "High 4:4:4"}, {44, "CAVLC 4:4:4"}};
  for (const auto& [idc, name] : kProfiles) {
    if (idc == sps.profile_idc) params.detail = name;
  }
  if (!have_pps_) return "H.264 stream has no picture parameter set before its first picture";
  params.config1 = first_pps_;
  params.config2 = first_sps_;
  return nullptr;
}

}  // namespace

std::unique_ptr<AnnexBSyntax> make_h264_syntax() {
  return std::make_unique<H264Syntax>();
}

}  // namespace mxmux
