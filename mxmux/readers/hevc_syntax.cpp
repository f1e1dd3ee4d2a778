// The HEVC side of the Annex-B reader: video, sequence and picture parameter
// sets (as far as timing, size and the slice header need them), the slice
// header fields up to the picture order count, and the picture order count of
// the base layer.
#include <algorithm>
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "mxmux/readers/annexb_syntax.h"

namespace mxmux {
namespace {

// ---------------------------------------------------------- parameter sets

struct HevcSps {
  bool valid = false;
  uint32_t vps_id = 0;
  int profile_idc = 0;
  uint32_t chroma_format_idc = 1;
  bool separate_colour_plane = false;
  uint32_t width = 0, height = 0;
  uint32_t log2_max_poc_lsb = 4;
  int max_num_reorder = 0;
  int max_dec_buffering = 1;
  uint32_t time_scale = 0, num_units_in_tick = 0;  // VUI timing, 0 when absent
};

struct HevcPps {
  bool valid = false;
  uint32_t sps_id = 0;
  bool output_flag_present = false;
  uint32_t num_extra_slice_header_bits = 0;
};

void skip_profile_tier_level(BitReader& br, uint32_t max_sub_layers_minus1, int* profile_idc) {
  br.bits(3);
  int profile = static_cast<int>(br.bits(5));
  if (profile_idc) *profile_idc = profile;
  br.skip(32 + 48);  // compatibility flags, constraint flags
  br.bits(8);        // general_level_idc
  std::array<bool, 8> profile_present{}, level_present{};
  for (uint32_t i = 0; i < max_sub_layers_minus1; ++i) {
    profile_present[i] = br.flag();
    level_present[i] = br.flag();
  }
  if (max_sub_layers_minus1 > 0) {
    for (uint32_t i = max_sub_layers_minus1; i < 8; ++i) br.bits(2);
  }
  for (uint32_t i = 0; i < max_sub_layers_minus1; ++i) {
    if (profile_present[i]) br.skip(88);
    if (level_present[i]) br.skip(8);
  }
}

void skip_hevc_scaling_list_data(BitReader& br) {
  for (int size_id = 0; size_id < 4; ++size_id) {
    for (int matrix_id = 0; matrix_id < 6; matrix_id += size_id == 3 ? 3 : 1) {
      if (br.overrun()) return;
      if (!br.flag()) {  // scaling_list_pred_mode_flag
        br.ue();         // scaling_list_pred_matrix_id_delta
        continue;
      }
      int coefficients = std::min(64, 1 << (4 + (size_id << 1)));
      if (size_id > 1) br.se();  // scaling_list_dc_coef_minus8
      for (int i = 0; i < coefficients && !br.overrun(); ++i) br.se();
    }
  }
}

// The delta POCs of one short-term reference picture set; a set may be
// predicted from the one before it, so the sizes of every set are kept.
struct HevcRefSet {
  std::vector<int32_t> negative, positive;  // DeltaPocS0, DeltaPocS1
};
constexpr size_t kMaxRefSetPictures = 16;

bool read_hevc_ref_set(BitReader& br, const std::vector<HevcRefSet>& sets, HevcRefSet& set) {
  if (!sets.empty() && br.flag()) {  // inter_ref_pic_set_prediction_flag
    const HevcRefSet& ref = sets.back();
    bool negative_sign = br.flag();
    uint32_t abs_delta = br.ue() + 1;
    if (abs_delta > 32768) return false;
    int32_t delta_rps = static_cast<int32_t>(abs_delta) * (negative_sign ? -1 : 1);
    // One flag pair per picture of the reference set, then one for the
    // reference picture itself; a picture is kept when it is used or marked.
    size_t count = ref.negative.size() + ref.positive.size() + 1;
    std::vector<bool> keep(count);
    for (size_t j = 0; j < count; ++j) {
      bool used = br.flag();
      keep[j] = used || br.flag();  // use_delta_flag, present when not used
    }
    auto add = [&](int32_t poc) { (poc < 0 ? set.negative : set.positive).push_back(poc); };
    size_t own = count - 1;
    for (size_t j = ref.positive.size(); j-- > 0;) {
      int32_t poc = ref.positive[j] + delta_rps;
      if (poc < 0 && keep[ref.negative.size() + j]) add(poc);
    }
    if (delta_rps < 0 && keep[own]) add(delta_rps);
    for (size_t j = 0; j < ref.negative.size(); ++j) {
      int32_t poc = ref.negative[j] + delta_rps;
      if (poc < 0 && keep[j]) add(poc);
    }
    for (size_t j = ref.negative.size(); j-- > 0;) {
      int32_t poc = ref.negative[j] + delta_rps;
      if (poc > 0 && keep[j]) add(poc);
    }
    if (delta_rps > 0 && keep[own]) add(delta_rps);
    for (size_t j = 0; j < ref.positive.size(); ++j) {
      int32_t poc = ref.positive[j] + delta_rps;
      if (poc > 0 && keep[ref.negative.size() + j]) add(poc);
    }
  } else {
    uint32_t negatives = br.ue(), positives = br.ue();
    if (negatives > kMaxRefSetPictures || positives > kMaxRefSetPictures) return false;
    int32_t poc = 0;
    for (uint32_t i = 0; i < negatives && !br.overrun(); ++i) {
      poc -= static_cast<int32_t>(std::min<uint32_t>(br.ue(), 32767)) + 1;
      set.negative.push_back(poc);
      br.bits(1);  // used_by_curr_pic_s0_flag
    }
    poc = 0;
    for (uint32_t i = 0; i < positives && !br.overrun(); ++i) {
      poc += static_cast<int32_t>(std::min<uint32_t>(br.ue(), 32767)) + 1;
      set.positive.push_back(poc);
      br.bits(1);  // used_by_curr_pic_s1_flag
    }
  }
  return !br.overrun() && set.negative.size() + set.positive.size() <= kMaxRefSetPictures;
}

// Reads on from sps_max_latency_increase to the VUI's timing fields.
void read_hevc_vui_timing(BitReader& br, HevcSps& sps) {
  br.ue();  // log2_min_luma_coding_block_size_minus3
  br.ue();  // log2_diff_max_min_luma_coding_block_size
  br.ue();  // log2_min_luma_transform_block_size_minus2
  br.ue();  // log2_diff_max_min_luma_transform_block_size
  br.ue();  // max_transform_hierarchy_depth_inter
  br.ue();  // max_transform_hierarchy_depth_intra
  if (br.flag() && br.flag()) skip_hevc_scaling_list_data(br);
  br.bits(2);       // amp_enabled_flag, sample_adaptive_offset_enabled_flag
  if (br.flag()) {  // pcm_enabled_flag
    br.bits(8);     // PCM sample bit depths
    br.ue();
    br.ue();
    br.bits(1);
  }
  uint32_t ref_sets = br.ue();
  if (ref_sets > 64) return;
  std::vector<HevcRefSet> sets;
  for (uint32_t i = 0; i < ref_sets; ++i) {
    HevcRefSet set;
    if (!read_hevc_ref_set(br, sets, set)) return;
    sets.push_back(std::move(set));
  }
  if (br.flag()) {  // long_term_ref_pics_present_flag
    uint32_t long_term = br.ue();
    if (long_term > 32) return;
    br.skip(uint64_t{long_term} * (sps.log2_max_poc_lsb + 1));
  }
  br.bits(2);              // sps_temporal_mvp_enabled_flag, strong_intra_smoothing_enabled_flag
  if (!br.flag()) return;  // vui_parameters_present_flag
  skip_vui_front(br);
  br.bits(3);       // neutral_chroma_indication, field_seq, frame_field_info_present
  if (br.flag()) {  // default_display_window_flag
    br.ue();
    br.ue();
    br.ue();
    br.ue();
  }
  if (!br.flag()) return;  // vui_timing_info_present_flag
  uint32_t num_units = br.bits(32), time_scale = br.bits(32);
  if (br.overrun() || num_units == 0 || time_scale == 0) return;
  sps.num_units_in_tick = num_units;
  sps.time_scale = time_scale;
}

bool parse_hevc_sps(const std::vector<uint8_t>& rbsp, HevcSps& sps, uint32_t& id) {
  BitReader br(rbsp.data() + 2, rbsp.data() + rbsp.size());
  sps = HevcSps{};
  sps.vps_id = br.bits(4);
  uint32_t max_sub_layers_minus1 = br.bits(3);
  if (max_sub_layers_minus1 > 6) return false;
  br.bits(1);
  skip_profile_tier_level(br, max_sub_layers_minus1, &sps.profile_idc);
  id = br.ue();
  if (id > 15) return false;
  sps.chroma_format_idc = br.ue();
  if (sps.chroma_format_idc > 3) return false;
  if (sps.chroma_format_idc == 3) sps.separate_colour_plane = br.flag();
  uint32_t w = br.ue(), h = br.ue();
  uint32_t cl = 0, cr = 0, ct = 0, cb = 0;
  if (br.flag()) {
    cl = br.ue();
    cr = br.ue();
    ct = br.ue();
    cb = br.ue();
  }
  uint32_t cat = sps.separate_colour_plane ? 0 : sps.chroma_format_idc;
  uint64_t sub_w = cat == 1 || cat == 2 ? 2 : 1, sub_h = cat == 1 ? 2 : 1;
  uint64_t cw = (uint64_t{cl} + cr) * sub_w, ch = (uint64_t{ct} + cb) * sub_h;
  if (w == 0 || h == 0 || w > 16888 || h > 16888 || cw >= w || ch >= h) return false;
  sps.width = static_cast<uint32_t>(w - cw);
  sps.height = static_cast<uint32_t>(h - ch);
  br.ue();  // bit_depth_luma_minus8
  br.ue();  // bit_depth_chroma_minus8
  sps.log2_max_poc_lsb = br.ue() + 4;
  if (sps.log2_max_poc_lsb > 16) return false;
  bool ordering_info_all = br.flag();
  for (uint32_t i = ordering_info_all ? 0 : max_sub_layers_minus1; i <= max_sub_layers_minus1;
       ++i) {
    sps.max_dec_buffering = static_cast<int>(br.ue()) + 1;
    sps.max_num_reorder = static_cast<int>(br.ue());
    br.ue();
  }
  if (br.overrun()) return false;
  sps.max_num_reorder = std::min(sps.max_num_reorder, kMaxReorderWindow);
  sps.valid = true;
  // A damaged or cut tail only loses the timing it would have carried.
  read_hevc_vui_timing(br, sps);
  return true;
}

bool parse_hevc_vps_timing(const std::vector<uint8_t>& rbsp, uint32_t& num_units,
                           uint32_t& time_scale) {
  BitReader br(rbsp.data() + 2, rbsp.data() + rbsp.size());
  br.bits(4 + 1 + 1 + 6);
  uint32_t max_sub_layers_minus1 = br.bits(3);
  if (max_sub_layers_minus1 > 6) return false;
  br.bits(1 + 16);
  skip_profile_tier_level(br, max_sub_layers_minus1, nullptr);
  bool all = br.flag();
  for (uint32_t i = all ? 0 : max_sub_layers_minus1; i <= max_sub_layers_minus1; ++i) {
    br.ue();
    br.ue();
    br.ue();
  }
  uint32_t max_layer_id = br.bits(6);
  uint32_t layer_sets = br.ue();
  if (layer_sets > 1023) return false;
  br.skip(uint64_t{layer_sets} * (max_layer_id + 1));
  if (!br.flag()) return false;
  num_units = br.bits(32);
  time_scale = br.bits(32);
  return !br.overrun() && num_units != 0 && time_scale != 0;
}

bool hevc_is_irap(int t) {
  return t >= 16 && t <= 23;
}
bool hevc_is_idr(int t) {
  return t == 19 || t == 20;
}

// What the first slice of a picture says about its place in order.
struct SliceInfo {
  int nal_type = 0;
  int64_t poc_lsb = 0;
  int tid = 0;
  const HevcSps* sps = nullptr;
};

// ------------------------------------------------------------------ syntax

class HevcSyntax : public FirstSliceSyntax<SliceInfo> {
 public:
  Codec codec() const override { return Codec::kHevc; }
  const char* kind() const override { return "an HEVC"; }
  const char* read_unit(const uint8_t* p, const uint8_t* end, bool picture_has_slices,
                        UnitRole& role) override;
  PictureOrder order_picture() override;
  const char* describe(StreamParams& params, ReorderHint& hint) override;

 private:
  const char* read_parameter_set(const uint8_t* p, const uint8_t* end, int type);
  const char* read_slice(const uint8_t* p, const uint8_t* end, int type, int tid,
                         bool picture_has_slices, UnitRole& role);

  std::array<HevcSps, 16> sps_{};
  std::array<HevcPps, 64> pps_{};
  // The parameter sets sent before the first slice, as Annex-B.
  std::vector<uint8_t> configuration_;
  uint32_t vps_num_units_ = 0, vps_time_scale_ = 0;  // the VPS timing, 0 when absent

  int64_t prev_poc_msb_ = 0, prev_poc_lsb_ = 0;
  bool first_picture_ = true;
  bool after_eos_ = false;
};

const char* HevcSyntax::read_unit(const uint8_t* p, const uint8_t* end, bool picture_has_slices,
                                  UnitRole& role) {
  role = UnitRole{};
  if (end - p < 2) return nullptr;
  if (p[0] & 0x80) return "forbidden bit set in a NAL unit header (not an HEVC stream?)";
  int type = (p[0] >> 1) & 63;
  int layer = ((p[0] & 1) << 5) | (p[1] >> 3);
  int tid = (p[1] & 7) - 1;
  if (layer != 0) return nullptr;  // other layers ride along with the base picture
  if (type >= 32) {
    if (const char* problem = read_parameter_set(p, end, type)) return problem;
    bool boundary = (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
                    (type >= 48 && type <= 55);
    role.starts_picture = boundary && picture_has_slices;
    return nullptr;
  }
  if ((type >= 10 && type <= 15) || type >= 22) return nullptr;  // reserved picture types
  return read_slice(p, end, type, tid, picture_has_slices, role);
}

// Video, sequence and picture parameter sets, and the end of a sequence.
const char* HevcSyntax::read_parameter_set(const uint8_t* p, const uint8_t* end, int type) {
  if (type >= 32 && type <= 34 && !configuration_closed_) {
    configuration_.insert(configuration_.end(), {0, 0, 0, 1});
    configuration_.insert(configuration_.end(), p, end);
  }
  if (type == 32) {
    unescape_rbsp(p, end, 1024, rbsp_);
    uint32_t nu = 0, ts = 0;
    if (!configuration_closed_ && parse_hevc_vps_timing(rbsp_, nu, ts)) {
      vps_num_units_ = nu;
      vps_time_scale_ = ts;
    }
  } else if (type == 33) {
    unescape_rbsp(p, end, 4096, rbsp_);
    HevcSps sps;
    uint32_t id = 0;
    if (!parse_hevc_sps(rbsp_, sps, id))
      return "damaged or unsupported HEVC sequence parameter set";
    sps_[id] = sps;
  } else if (type == 34) {
    unescape_rbsp(p, end, 64, rbsp_);
    BitReader br(rbsp_.data() + 2, rbsp_.data() + rbsp_.size());
    uint32_t id = br.ue();
    HevcPps pps;
    pps.sps_id = br.ue();
    br.bits(1);  // dependent_slice_segments_enabled_flag
    pps.output_flag_present = br.flag();
    pps.num_extra_slice_header_bits = br.bits(3);
    if (br.overrun() || id > 63 || pps.sps_id > 15) return "damaged HEVC picture parameter set";
    pps.valid = true;
    pps_[id] = pps;
  } else if (type == 36) {
    after_eos_ = true;
  }
  return nullptr;
}

const char* HevcSyntax::read_slice(const uint8_t* p, const uint8_t* end, int type, int tid,
                                   bool picture_has_slices, UnitRole& role) {
  role.slice = true;
  BitReader br = slice_header_bits(p + 2, end, header_);
  bool first_slice = br.flag();
  role.starts_picture = picture_has_slices && first_slice;
  if (!first_slice) {
    if (!picture_has_slices) return "HEVC picture starts without its first slice segment";
    return nullptr;
  }
  if (hevc_is_irap(type)) br.bits(1);
  uint32_t pps_id = br.ue();
  if (br.overrun()) return "truncated HEVC slice header";
  if (pps_id > 63 || !pps_[pps_id].valid || !sps_[pps_[pps_id].sps_id].valid)
    return "HEVC slice refers to a parameter set the stream has not sent";
  const HevcPps& pps = pps_[pps_id];
  const HevcSps& sps = sps_[pps.sps_id];
  br.bits(static_cast<int>(pps.num_extra_slice_header_bits));
  br.ue();  // slice_type
  if (pps.output_flag_present) br.bits(1);
  if (sps.separate_colour_plane) br.bits(2);
  SliceInfo& slice = read_slice_;
  slice = SliceInfo{};
  slice.poc_lsb = hevc_is_idr(type) ? 0 : br.bits(static_cast<int>(sps.log2_max_poc_lsb));
  if (br.overrun()) return "truncated HEVC slice header";
  slice.nal_type = type;
  slice.tid = tid;
  slice.sps = &sps;
  return nullptr;
}

PictureOrder HevcSyntax::order_picture() {
  const SliceInfo& s = picture_slice_;
  int t = s.nal_type;
  bool no_rasl_output =
      hevc_is_idr(t) || (t >= 16 && t <= 18) || (t == 21 && (first_picture_ || after_eos_));
  int64_t max_lsb = int64_t{1} << s.sps->log2_max_poc_lsb;
  int64_t msb = hevc_is_irap(t) && no_rasl_output
                    ? 0
                    : poc_msb(s.poc_lsb, prev_poc_lsb_, prev_poc_msb_, max_lsb);
  bool sub_layer_non_ref = t <= 14 && (t % 2) == 0;
  bool leading = t >= 6 && t <= 9;
  if (s.tid == 0 && !sub_layer_non_ref && !leading) {
    prev_poc_msb_ = msb;
    prev_poc_lsb_ = s.poc_lsb;
  }
  after_eos_ = false;
  first_picture_ = false;
  PictureOrder order;
  order.poc = msb + s.poc_lsb;
  order.key = hevc_is_irap(t);
  order.poc_reset = hevc_is_irap(t) && no_rasl_output;
  return order;
}

const char* HevcSyntax::describe(StreamParams& params, ReorderHint& hint) {
  const HevcSps& sps = *picture_slice_.sps;
  params.width = sps.width;
  params.height = sps.height;
  params.profile = sps.profile_idc;
  hint.depth_known = true;
  hint.depth = sps.max_num_reorder;
  hint.window = hint.depth;
  static constexpr const char* kProfiles[] = {"", "Main", "Main 10", "Main Still Picture", "RExt"};
  if (sps.profile_idc >= 1 && sps.profile_idc <= 4) params.detail = kProfiles[sps.profile_idc];
  // The VPS timing applies to every layer; encoders that leave it out
  // (x265) put the rate in the SPS VUI.
  params.stream_fps_num = vps_time_scale_ ? vps_time_scale_ : sps.time_scale;
  params.stream_fps_den = vps_time_scale_ ? vps_num_units_ : sps.num_units_in_tick;
  params.config2 = configuration_;
  return nullptr;
}

}  // namespace

std::unique_ptr<AnnexBSyntax> make_hevc_syntax() {
  return std::make_unique<HevcSyntax>();
}

}  // namespace mxmux
