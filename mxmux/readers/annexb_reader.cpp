// H.264 and HEVC Annex-B readers.
//
// The stream is cut into access units at the usual boundaries (a parameter
// set, delimiter or SEI after a picture's slices, or the first slice of a new
// picture). Each picture's picture order count gives its place in
// presentation order: pictures pass through a small reorder window, as in a
// decoder's picture buffer, and leave it in order of increasing count, so
// every picture learns its presentation index a bounded number of pictures
// after it was read. Decode times are then frame index × frame duration and
// presentation times (presentation index + reorder depth) × frame duration,
// which keeps every composition offset at or above zero.
//
// Pictures waiting for their presentation index stay in the input window, so
// the common case hands the plug-in the input bytes themselves. An access
// unit whose units do not all start with 4-byte start codes (the plug-in
// splits on those only) is rebuilt into a scratch buffer.
#include <algorithm>
#include <array>
#include <cstring>

#include "mxmux/readers/bits.h"
#include "mxmux/readers/reader.h"

namespace mxmux {
namespace {

constexpr uint64_t kNone = ~uint64_t{0};
constexpr int kMaxReorderWindow = 16;
// Enough of a slice header to reach its picture order count fields, whatever
// their values: H.264 reads at most 397 bits (five Exp-Golomb fields of at most
// 63 bits, two signed ones, frame_num and the POC bits of at most 16 each, 3
// flag bits), HEVC at most 154; the rest of a slice is never looked at.
constexpr size_t kHeaderBytes = 64;

struct NalUnit {
  uint64_t unit_start = 0;     // first byte of its start code
  uint64_t payload_start = 0;  // first byte after the start code
  uint64_t payload_end = 0;    // trailing zero bytes excluded
  bool long_start_code = false;
};

struct Picture {
  uint64_t start = 0, end = 0;
  bool rewrite = false;
  bool key = false;
  bool poc_reset = false;  // presentation order restarts here
  int64_t poc = 0;
  int64_t decode_index = 0;
  int64_t present_index = -1;
};

// ---------------------------------------------------------------- H.264 sets

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

// The fields both H.264 and HEVC video usability information begin with:
// aspect ratio, overscan, video signal type and chroma sample location.
void skip_vui_front(BitReader& br) {
  if (br.flag()) {  // aspect_ratio_info_present_flag
    if (br.bits(8) == 255) br.bits(32);
  }
  if (br.flag()) br.bits(1);  // overscan
  if (br.flag()) {            // video_signal_type
    br.bits(4);
    if (br.flag()) br.bits(24);
  }
  if (br.flag()) {  // chroma_loc_info
    br.ue();
    br.ue();
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

bool parse_avc_sps(const std::vector<uint8_t>& rbsp, AvcSps& sps, uint32_t& id) {
  BitReader br(rbsp.data() + 1, rbsp.data() + rbsp.size());
  sps = AvcSps{};
  sps.profile_idc = static_cast<int>(br.bits(8));
  sps.constraint_flags = static_cast<int>(br.bits(8));
  sps.level_idc = static_cast<int>(br.bits(8));
  id = br.ue();
  if (id > 31) return false;
  static constexpr int kHighProfiles[] = {100, 110, 122, 244, 44,  83, 86,
                                          118, 128, 138, 139, 134, 135};
  if (std::find(std::begin(kHighProfiles), std::end(kHighProfiles), sps.profile_idc) !=
      std::end(kHighProfiles)) {
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
  }
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
  br.ue();  // max_num_ref_frames
  br.bits(1);
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
  if (br.flag()) {  // vui_parameters_present_flag
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
  sps.valid = true;
  return true;
}

// -------------------------------------------------------------- HEVC sets

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

// ------------------------------------------------------------------ reader

// What the first slice of a picture says about its place in order.
struct SliceInfo {
  int nal_type = 0;
  bool ref = false;
  uint32_t frame_num = 0;
  int64_t poc_lsb = 0;
  int32_t delta_bottom = 0, delta0 = 0, delta1 = 0;
  int tid = 0;
  const AvcSps* avc = nullptr;
  const HevcSps* hevc = nullptr;
};

class AnnexBReader : public Reader {
 public:
  AnnexBReader(ByteSource& src, bool hevc) : Reader(src), hevc_(hevc) {
    pending_.resize(64);
    window_.reserve(kMaxReorderWindow + 2);
  }

  bool open(const ReaderOptions& options, Error& error) override;
  int next(Frame& frame, Error& error) override;

 private:
  uint64_t find_start_code(uint64_t from);
  uint8_t* at(uint64_t offset) const {
    return const_cast<uint8_t*>(src_.data()) + (offset - src_.pos());
  }
  bool next_nal(NalUnit& nal, Error& error);
  int read_picture(Error& error);
  // Parses one unit; says whether it begins a new picture, whether it is a
  // slice, and for a picture's first slice fills `slice`.
  bool handle_avc_nal(const NalUnit& nal, bool& starts_picture, bool& vcl, SliceInfo& slice,
                      Error& error);
  bool handle_hevc_nal(const NalUnit& nal, bool& starts_picture, bool& vcl, SliceInfo& slice,
                       Error& error);
  void finish_picture(Picture& pic, const SliceInfo& s);
  void push_picture(Picture pic);
  void bump();
  Picture& pending_at(size_t i) { return pending_[(pending_head_ + i) % pending_.size()]; }
  void release_consumed();
  void settle_depth();
  uint8_t* rebuild(const Picture& pic, size_t& size);
  // A bit reader over the first kHeaderBytes of a slice, from behind its NAL
  // header, with emulation-prevention bytes removed: the fields read from a
  // slice lie at its front, so the rest of it is never copied.
  BitReader slice_header(const uint8_t* p, const uint8_t* end) {
    const size_t n = unescape_rbsp(p, end, header_.data(), header_.size());
    return BitReader(header_.data(), header_.data() + n);
  }

  bool hevc_;
  FrameClock clock_;
  int window_size_ = 0;
  bool depth_settled_ = false;
  int depth_ = 0;
  uint32_t hevc_num_units_ = 0, hevc_time_scale_ = 0;

  uint64_t next_sc_ = kNone;
  uint64_t prev_payload_end_ = 0;
  std::vector<uint8_t> rbsp_;
  std::array<uint8_t, kHeaderBytes> header_;

  bool cur_open_ = false, cur_has_vcl_ = false;
  Picture cur_;
  SliceInfo cur_slice_;

  std::array<AvcSps, 32> avc_sps_{};
  std::array<AvcPps, 256> avc_pps_{};
  std::array<HevcSps, 16> hevc_sps_{};
  std::array<HevcPps, 64> hevc_pps_{};
  bool config_frozen_ = false;
  bool have_sps_ = false, have_pps_ = false;

  int64_t prev_poc_msb_ = 0, prev_poc_lsb_ = 0;
  int64_t prev_frame_num_offset_ = 0;
  uint32_t prev_frame_num_ = 0;
  bool first_picture_ = true;
  bool after_eos_ = false;

  std::vector<Picture> pending_;  // ring, decode order
  size_t pending_head_ = 0, pending_count_ = 0;
  std::vector<int64_t> window_;  // decode indexes still waiting for their presentation index
  int64_t decoded_ = 0, presented_ = 0;
  bool input_done_ = false;
  std::vector<uint8_t> scratch_;
};

uint64_t AnnexBReader::find_start_code(uint64_t from) {
  while (true) {
    uint64_t pos = src_.pos();
    size_t n = src_.avail();
    if (from < pos) from = pos;
    const uint8_t* base = src_.data();
    for (size_t s = find_zero_pair(base, n, static_cast<size_t>(from - pos)); s + 2 < n;
         s = find_zero_pair(base, n, s + 1)) {
      if (base[s + 2] == 1) return pos + s;
    }
    if (n >= 2 && from < pos + n - 2) from = pos + n - 2;
    if (!src_.more()) return kNone;
  }
}

bool AnnexBReader::next_nal(NalUnit& nal, Error& error) {
  if (next_sc_ == kNone) return false;
  uint64_t sc = next_sc_;
  nal.payload_start = sc + 3;
  nal.long_start_code = sc > prev_payload_end_ && sc > src_.pos() && *at(sc - 1) == 0;
  nal.unit_start = nal.long_start_code ? sc - 1 : sc;
  uint64_t after = find_start_code(nal.payload_start);
  if (src_.error().set()) {
    error = src_.error();
    return false;
  }
  uint64_t end = after == kNone ? src_.pos() + src_.avail() : after;
  if (end < nal.payload_start) end = nal.payload_start;
  while (end > nal.payload_start && *at(end - 1) == 0) --end;
  nal.payload_end = end;
  next_sc_ = after;
  return true;
}

bool AnnexBReader::handle_avc_nal(const NalUnit& nal, bool& starts_picture, bool& vcl,
                                  SliceInfo& slice, Error& error) {
  const uint8_t* p = at(nal.payload_start);
  const uint8_t* end = at(nal.payload_end);
  starts_picture = vcl = false;
  if (p == end) return true;
  if (p[0] & 0x80) {
    error = src_.fail(nal.payload_start,
                      "forbidden bit set in a NAL unit header (not an H.264 stream?)");
    return false;
  }
  int type = p[0] & 31;
  bool ref = (p[0] & 0x60) != 0;
  if (type >= 2 && type <= 4) {
    error = src_.fail(nal.payload_start, "unsupported H.264 feature: data partitioning");
    return false;
  }
  if (type == 7) {
    unescape_rbsp(p, end, 4096, rbsp_);
    AvcSps sps;
    uint32_t id = 0;
    if (!parse_avc_sps(rbsp_, sps, id)) {
      error = src_.fail(nal.payload_start, "damaged or unsupported H.264 sequence parameter set");
      return false;
    }
    avc_sps_[id] = sps;
    if (!config_frozen_ && !have_sps_) {
      params_.config2.assign(p, end);
      have_sps_ = true;
    }
  } else if (type == 8) {
    unescape_rbsp(p, end, 64, rbsp_);
    BitReader br(rbsp_.data() + 1, rbsp_.data() + rbsp_.size());
    uint32_t id = br.ue();
    AvcPps pps;
    pps.sps_id = br.ue();
    br.bits(1);
    pps.bottom_field_pic_order_in_frame_present = br.flag();
    uint32_t slice_groups = br.ue();
    if (br.overrun() || id > 255 || pps.sps_id > 31) {
      error = src_.fail(nal.payload_start, "damaged H.264 picture parameter set");
      return false;
    }
    if (slice_groups != 0) {
      error = src_.fail(nal.payload_start, "unsupported H.264 feature: slice groups");
      return false;
    }
    pps.valid = true;
    avc_pps_[id] = pps;
    if (!config_frozen_ && !have_pps_) {
      params_.config1.assign(p, end);
      have_pps_ = true;
    }
  }
  vcl = type == 1 || type == 5;
  if (!vcl) {
    bool boundary = type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18);
    starts_picture = boundary && cur_has_vcl_;
    return true;
  }
  BitReader br = slice_header(p + 1, end);
  uint32_t first_mb = br.ue();
  br.ue();  // slice_type
  uint32_t pps_id = br.ue();
  if (br.overrun()) {
    error = src_.fail(nal.payload_start, "truncated H.264 slice header");
    return false;
  }
  if (pps_id > 255 || !avc_pps_[pps_id].valid || !avc_sps_[avc_pps_[pps_id].sps_id].valid) {
    error = src_.fail(nal.payload_start,
                      "H.264 slice refers to a parameter set the stream has not sent");
    return false;
  }
  starts_picture = cur_has_vcl_ && first_mb == 0;
  if (cur_has_vcl_ && !starts_picture) return true;  // a further slice of the same picture
  const AvcPps& pps = avc_pps_[pps_id];
  const AvcSps& sps = avc_sps_[pps.sps_id];
  if (sps.separate_colour_plane) br.bits(2);
  slice = SliceInfo{};
  slice.frame_num = br.bits(static_cast<int>(sps.log2_max_frame_num));
  if (!sps.frame_mbs_only && br.flag()) {
    error = src_.fail(nal.payload_start, "unsupported H.264 feature: field-coded pictures");
    return false;
  }
  if (type == 5) br.ue();  // idr_pic_id
  if (sps.poc_type == 0) {
    slice.poc_lsb = br.bits(static_cast<int>(sps.log2_max_poc_lsb));
    if (pps.bottom_field_pic_order_in_frame_present) slice.delta_bottom = br.se();
  } else if (sps.poc_type == 1 && !sps.delta_pic_order_always_zero) {
    slice.delta0 = br.se();
    if (pps.bottom_field_pic_order_in_frame_present) slice.delta1 = br.se();
  }
  if (br.overrun()) {
    error = src_.fail(nal.payload_start, "truncated H.264 slice header");
    return false;
  }
  slice.nal_type = type;
  slice.ref = ref;
  slice.avc = &sps;
  return true;
}

bool AnnexBReader::handle_hevc_nal(const NalUnit& nal, bool& starts_picture, bool& vcl,
                                   SliceInfo& slice, Error& error) {
  const uint8_t* p = at(nal.payload_start);
  const uint8_t* end = at(nal.payload_end);
  starts_picture = vcl = false;
  if (end - p < 2) return true;
  if (p[0] & 0x80) {
    error = src_.fail(nal.payload_start,
                      "forbidden bit set in a NAL unit header (not an HEVC stream?)");
    return false;
  }
  int type = (p[0] >> 1) & 63;
  int layer = ((p[0] & 1) << 5) | (p[1] >> 3);
  int tid = (p[1] & 7) - 1;
  if (layer != 0) return true;  // other layers ride along with the base picture
  if (type >= 32 && type <= 34 && !config_frozen_) {
    params_.config2.insert(params_.config2.end(), {0, 0, 0, 1});
    params_.config2.insert(params_.config2.end(), p, end);
  }
  if (type == 32) {
    unescape_rbsp(p, end, 1024, rbsp_);
    uint32_t nu = 0, ts = 0;
    if (!config_frozen_ && parse_hevc_vps_timing(rbsp_, nu, ts)) {
      hevc_num_units_ = nu;
      hevc_time_scale_ = ts;
    }
  } else if (type == 33) {
    unescape_rbsp(p, end, 4096, rbsp_);
    HevcSps sps;
    uint32_t id = 0;
    if (!parse_hevc_sps(rbsp_, sps, id)) {
      error = src_.fail(nal.payload_start, "damaged or unsupported HEVC sequence parameter set");
      return false;
    }
    hevc_sps_[id] = sps;
    have_sps_ = true;
  } else if (type == 34) {
    unescape_rbsp(p, end, 64, rbsp_);
    BitReader br(rbsp_.data() + 2, rbsp_.data() + rbsp_.size());
    uint32_t id = br.ue();
    HevcPps pps;
    pps.sps_id = br.ue();
    br.bits(1);  // dependent_slice_segments_enabled_flag
    pps.output_flag_present = br.flag();
    pps.num_extra_slice_header_bits = br.bits(3);
    if (br.overrun() || id > 63 || pps.sps_id > 15) {
      error = src_.fail(nal.payload_start, "damaged HEVC picture parameter set");
      return false;
    }
    pps.valid = true;
    hevc_pps_[id] = pps;
    have_pps_ = true;
  } else if (type == 36) {
    after_eos_ = true;
  }
  if (type >= 32) {
    bool boundary = (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
                    (type >= 48 && type <= 55);
    starts_picture = boundary && cur_has_vcl_;
    return true;
  }
  if ((type >= 10 && type <= 15) || type >= 22) return true;  // reserved picture types
  vcl = true;
  BitReader br = slice_header(p + 2, end);
  bool first_slice = br.flag();
  starts_picture = cur_has_vcl_ && first_slice;
  if (!first_slice) {
    if (!cur_has_vcl_) {
      error = src_.fail(nal.payload_start, "HEVC picture starts without its first slice segment");
      return false;
    }
    return true;
  }
  if (hevc_is_irap(type)) br.bits(1);
  uint32_t pps_id = br.ue();
  if (br.overrun()) {
    error = src_.fail(nal.payload_start, "truncated HEVC slice header");
    return false;
  }
  if (pps_id > 63 || !hevc_pps_[pps_id].valid || !hevc_sps_[hevc_pps_[pps_id].sps_id].valid) {
    error = src_.fail(nal.payload_start,
                      "HEVC slice refers to a parameter set the stream has not sent");
    return false;
  }
  const HevcPps& pps = hevc_pps_[pps_id];
  const HevcSps& sps = hevc_sps_[pps.sps_id];
  br.bits(static_cast<int>(pps.num_extra_slice_header_bits));
  br.ue();  // slice_type
  if (pps.output_flag_present) br.bits(1);
  if (sps.separate_colour_plane) br.bits(2);
  slice = SliceInfo{};
  slice.poc_lsb = hevc_is_idr(type) ? 0 : br.bits(static_cast<int>(sps.log2_max_poc_lsb));
  if (br.overrun()) {
    error = src_.fail(nal.payload_start, "truncated HEVC slice header");
    return false;
  }
  slice.nal_type = type;
  slice.tid = tid;
  slice.hevc = &sps;
  return true;
}

int64_t poc_msb(int64_t lsb, int64_t prev_lsb, int64_t prev_msb, int64_t max_lsb) {
  if (lsb < prev_lsb && prev_lsb - lsb >= max_lsb / 2) return prev_msb + max_lsb;
  if (lsb > prev_lsb && lsb - prev_lsb > max_lsb / 2) return prev_msb - max_lsb;
  return prev_msb;
}

void AnnexBReader::finish_picture(Picture& pic, const SliceInfo& s) {
  if (hevc_) {
    int t = s.nal_type;
    bool no_rasl_output =
        hevc_is_idr(t) || (t >= 16 && t <= 18) || (t == 21 && (first_picture_ || after_eos_));
    int64_t max_lsb = int64_t{1} << s.hevc->log2_max_poc_lsb;
    int64_t msb = hevc_is_irap(t) && no_rasl_output
                      ? 0
                      : poc_msb(s.poc_lsb, prev_poc_lsb_, prev_poc_msb_, max_lsb);
    pic.poc = msb + s.poc_lsb;
    bool sub_layer_non_ref = t <= 14 && (t % 2) == 0;
    bool leading = t >= 6 && t <= 9;
    if (s.tid == 0 && !sub_layer_non_ref && !leading) {
      prev_poc_msb_ = msb;
      prev_poc_lsb_ = s.poc_lsb;
    }
    pic.key = hevc_is_irap(t);
    pic.poc_reset = hevc_is_irap(t) && no_rasl_output;
    after_eos_ = false;
  } else {
    const AvcSps& sps = *s.avc;
    bool idr = s.nal_type == 5;
    if (sps.poc_type == 0) {
      if (idr) prev_poc_msb_ = prev_poc_lsb_ = 0;
      int64_t msb =
          poc_msb(s.poc_lsb, prev_poc_lsb_, prev_poc_msb_, int64_t{1} << sps.log2_max_poc_lsb);
      int64_t top = msb + s.poc_lsb;
      pic.poc = std::min(top, top + s.delta_bottom);
      if (s.ref) {
        prev_poc_msb_ = msb;
        prev_poc_lsb_ = s.poc_lsb;
      }
    } else {
      int64_t max_frame_num = int64_t{1} << sps.log2_max_frame_num;
      int64_t offset = idr                             ? 0
                       : prev_frame_num_ > s.frame_num ? prev_frame_num_offset_ + max_frame_num
                                                       : prev_frame_num_offset_;
      if (sps.poc_type == 2) {
        pic.poc = idr ? 0 : 2 * (offset + s.frame_num) - (s.ref ? 0 : 1);
      } else {
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
        pic.poc = std::min(top, top + sps.offset_for_top_to_bottom_field + s.delta1);
      }
      prev_frame_num_offset_ = offset;
      prev_frame_num_ = s.frame_num;
    }
    pic.key = idr;
    pic.poc_reset = idr;
  }
  first_picture_ = false;
}

int AnnexBReader::read_picture(Error& error) {
  NalUnit nal;
  SliceInfo slice;
  while (next_nal(nal, error)) {
    bool starts_picture = false, vcl = false;
    bool ok = hevc_ ? handle_hevc_nal(nal, starts_picture, vcl, slice, error)
                    : handle_avc_nal(nal, starts_picture, vcl, slice, error);
    if (!ok) return -1;
    bool finished = false;
    if (starts_picture) {
      cur_.end = prev_payload_end_;
      finish_picture(cur_, cur_slice_);
      push_picture(cur_);
      finished = true;
      cur_open_ = cur_has_vcl_ = false;
    }
    if (!cur_open_) {
      cur_ = Picture{};
      cur_open_ = true;
      cur_.start = nal.unit_start;
      cur_.rewrite = !nal.long_start_code;
    } else if (!nal.long_start_code || nal.unit_start != prev_payload_end_) {
      cur_.rewrite = true;
    }
    prev_payload_end_ = nal.payload_end;
    if (vcl && !cur_has_vcl_) {
      cur_slice_ = slice;
      cur_has_vcl_ = true;
      config_frozen_ = true;
    }
    if (finished) return 1;
  }
  if (error.set()) return -1;
  if (cur_open_ && cur_has_vcl_) {
    cur_.end = prev_payload_end_;
    finish_picture(cur_, cur_slice_);
    push_picture(cur_);
    cur_open_ = cur_has_vcl_ = false;
    return 1;
  }
  return 0;
}

void AnnexBReader::push_picture(Picture pic) {
  pic.decode_index = decoded_++;
  if (pic.poc_reset) {
    while (!window_.empty()) bump();
  }
  if (pending_count_ == pending_.size()) {
    std::vector<Picture> grown(pending_.size() * 2);
    for (size_t i = 0; i < pending_count_; ++i) grown[i] = pending_at(i);
    pending_.swap(grown);
    pending_head_ = 0;
  }
  pending_at(pending_count_++) = pic;
  window_.push_back(pic.decode_index);
  while (static_cast<int>(window_.size()) > window_size_) bump();
}

// Gives the waiting picture with the lowest order count its presentation index.
void AnnexBReader::bump() {
  int64_t first_decode = pending_at(0).decode_index;
  size_t best = 0;
  for (size_t i = 1; i < window_.size(); ++i) {
    const Picture& a = pending_at(static_cast<size_t>(window_[i] - first_decode));
    const Picture& b = pending_at(static_cast<size_t>(window_[best] - first_decode));
    if (a.poc < b.poc) best = i;
  }
  pending_at(static_cast<size_t>(window_[best] - first_decode)).present_index = presented_++;
  window_.erase(window_.begin() + static_cast<std::ptrdiff_t>(best));
}

void AnnexBReader::settle_depth() {
  int64_t depth = 0;
  for (size_t i = 0; i < pending_count_; ++i) {
    const Picture& pic = pending_at(i);
    if (pic.present_index >= 0) depth = std::max(depth, pic.decode_index - pic.present_index);
  }
  depth_ = static_cast<int>(std::min<int64_t>(depth, kMaxReorderWindow));
  params_.reorder_depth = depth_;
  depth_settled_ = true;
}

bool AnnexBReader::open(const ReaderOptions& options, Error& error) {
  params_.codec = hevc_ ? Codec::kHevc : Codec::kH264;
  src_.ensure(4096);
  next_sc_ = find_start_code(0);
  if (src_.error().set()) {
    error = src_.error();
    return false;
  }
  const char* kind = hevc_ ? "an HEVC" : "an H.264";
  if (next_sc_ == kNone || next_sc_ > 64) {
    error =
        src_.fail(0, std::string("not ") + kind + " Annex-B stream (no start code at the start)");
    return false;
  }
  window_size_ = kMaxReorderWindow;  // until the first picture tells more
  // The first picture settles the parameter sets and the picture size.
  int r = read_picture(error);
  if (r < 0) return false;
  if (r == 0) {
    error = src_.fail(src_.pos(), std::string("no picture in ") + kind + " stream");
    return false;
  }
  uint32_t stream_num = 0, stream_den = 0;
  if (hevc_) {
    const HevcSps& sps = *cur_slice_.hevc;
    params_.width = sps.width;
    params_.height = sps.height;
    params_.profile = sps.profile_idc;
    depth_ = sps.max_num_reorder;
    depth_settled_ = true;
    window_size_ = depth_;
    static constexpr const char* kProfiles[] = {"", "Main", "Main 10", "Main Still Picture",
                                                "RExt"};
    if (sps.profile_idc >= 1 && sps.profile_idc <= 4) params_.detail = kProfiles[sps.profile_idc];
    // The VPS timing applies to every layer; encoders that leave it out
    // (x265) put the rate in the SPS VUI.
    stream_num = hevc_time_scale_ ? hevc_time_scale_ : sps.time_scale;
    stream_den = hevc_time_scale_ ? hevc_num_units_ : sps.num_units_in_tick;
  } else {
    const AvcSps& sps = *cur_slice_.avc;
    params_.width = sps.width;
    params_.height = sps.height;
    params_.profile = sps.profile_idc;
    if (sps.time_scale && sps.num_units_in_tick) {
      stream_num = sps.time_scale;
      stream_den = 2 * sps.num_units_in_tick;
    }
    bool intra_only =
        (sps.constraint_flags & 0x10) && (sps.profile_idc == 44 || sps.profile_idc == 110 ||
                                          sps.profile_idc == 122 || sps.profile_idc == 244);
    if (sps.poc_type == 2 || sps.profile_idc == 66 || intra_only) {
      depth_ = 0;
      depth_settled_ = true;
    } else if (sps.max_num_reorder_frames >= 0) {
      depth_ = sps.max_num_reorder_frames;
      depth_settled_ = true;
    }
    window_size_ = depth_settled_                    ? depth_
                   : sps.max_dec_frame_buffering > 0 ? sps.max_dec_frame_buffering
                                                     : kMaxReorderWindow;
    static constexpr std::pair<int, const char*> kProfiles[] = {
        {66, "Baseline"}, {77, "Main"},        {88, "Extended"},    {100, "High"},
        {110, "High 10"}, {122, "High 4:2:2"}, {244, "High 4:4:4"}, {44, "CAVLC 4:4:4"}};
    for (const auto& [idc, name] : kProfiles) {
      if (idc == sps.profile_idc) params_.detail = name;
    }
    if (!have_pps_) {
      error = src_.fail(0, "H.264 stream has no picture parameter set before its first picture");
      return false;
    }
  }
  // The window used for the first picture was the widest; apply the real one.
  while (static_cast<int>(window_.size()) > window_size_) bump();
  params_.reorder_depth = depth_;
  clock_ = settle_frame_rate(options, stream_num, stream_den, params_);
  return true;
}

uint8_t* AnnexBReader::rebuild(const Picture& pic, size_t& size) {
  const uint8_t* p = at(pic.start);
  const uint8_t* end = at(pic.end);
  scratch_.clear();
  // Units are found again inside the picture; each gets a 4-byte start code
  // and loses its trailing zero bytes.
  const uint8_t* unit = nullptr;
  auto flush = [&](const uint8_t* unit_end) {
    while (unit_end > unit && unit_end[-1] == 0) --unit_end;
    if (unit_end <= unit) return;
    static constexpr uint8_t kStartCode[] = {0, 0, 0, 1};
    scratch_.insert(scratch_.end(), kStartCode, kStartCode + 4);
    scratch_.insert(scratch_.end(), unit, unit_end);
  };
  const auto n = static_cast<size_t>(end - p);
  for (size_t s = find_zero_pair(p, n, 0); s + 2 < n; s = find_zero_pair(p, n, s + 1)) {
    if (p[s + 2] != 1) continue;
    if (unit) flush(p + s);
    unit = p + s + 3;
  }
  if (unit) flush(end);
  size = scratch_.size();
  return scratch_.data();
}

void AnnexBReader::release_consumed() {
  uint64_t keep = next_sc_ == kNone ? src_.pos() + src_.avail() : next_sc_;
  if (pending_count_ > 0) keep = std::min(keep, pending_at(0).start);
  if (cur_open_) keep = std::min(keep, cur_.start);
  if (keep > src_.pos() + 1) src_.consume(static_cast<size_t>(keep - 1 - src_.pos()));
}

int AnnexBReader::next(Frame& frame, Error& error) {
  while (true) {
    if (pending_count_ > 0 && depth_settled_ && pending_at(0).present_index >= 0) break;
    if (input_done_) {
      if (pending_count_ == 0) return 0;
      while (!window_.empty()) bump();
      if (!depth_settled_) settle_depth();
      continue;
    }
    int r = read_picture(error);
    if (r < 0) return -1;
    if (r == 0) input_done_ = true;
    if (!depth_settled_ && decoded_ >= 3 * kMaxReorderWindow) settle_depth();
  }
  Picture pic = pending_at(0);
  pending_head_ = (pending_head_ + 1) % pending_.size();
  --pending_count_;
  int64_t offset_frames = pic.present_index + depth_ - pic.decode_index;
  if (offset_frames < 0) {
    // The stream reorders deeper than it said: keep time monotonic.
    offset_frames = 0;
  }
  if (pic.rewrite) {
    frame.data = rebuild(pic, frame.size);
  } else {
    frame.size = static_cast<size_t>(pic.end - pic.start);
    frame.data = src_.writable(pic.start);
  }
  frame.dts = clock_.ticks(pic.decode_index);
  frame.pts = frame.dts + clock_.span_up(offset_frames);
  frame.key = pic.key;
  frame.offset = pic.start;
  frame.samples = 1;
  release_consumed();
  return 1;
}

}  // namespace

std::unique_ptr<Reader> make_h264_reader(ByteSource& src) {
  return std::make_unique<AnnexBReader>(src, false);
}
std::unique_ptr<Reader> make_hevc_reader(ByteSource& src) {
  return std::make_unique<AnnexBReader>(src, true);
}

}  // namespace mxmux
