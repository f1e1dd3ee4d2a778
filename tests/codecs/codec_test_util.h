// Helpers for the configuration-record tests: capturing what a writer call emits, and
// building HEVC parameter sets bit by bit for the syntax branches real encoders leave out.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <vector>

#include "output/byte_writer.h"

// Runs `write` against a ByteWriter over a temporary file and returns every byte it wrote.
inline std::vector<uint8_t> captured_bytes(const std::function<void(ByteWriter*)>& write) {
  FILE* file = std::tmpfile();
  if (!file) return {};
  ByteWriter* w = writer_create(1 << 16, file);
  write(w);
  writer_close(w);
  std::vector<uint8_t> bytes;
  std::rewind(file);
  for (int ch; (ch = std::fgetc(file)) != EOF;) bytes.push_back(static_cast<uint8_t>(ch));
  std::fclose(file);
  return bytes;
}

// Joins NAL units into an Annex-B stream with four-byte start codes.
inline std::vector<uint8_t> annexb(std::initializer_list<std::vector<uint8_t>> units) {
  std::vector<uint8_t> out;
  for (const auto& unit : units) {
    // Byte by byte: GCC 12 at -O3 warns (-Wstringop-overflow, -Warray-bounds)
    // about the vector range inserts here, wrongly.
    for (uint8_t b : {0, 0, 0, 1}) out.push_back(b);
    for (uint8_t b : unit) out.push_back(b);
  }
  return out;
}

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// Most-significant-bit-first writer for building RBSPs in tests.
class TestBits {
 public:
  void u(uint32_t n, uint64_t value) {
    for (uint32_t i = n; i-- > 0;) bit(i < 64 ? static_cast<uint32_t>(value >> i) & 1 : 0);
  }
  void ue(uint32_t value) {
    uint64_t coded = static_cast<uint64_t>(value) + 1;
    uint32_t length = 0;
    while ((coded >> length) > 1) ++length;
    u(length, 0);
    u(length + 1, coded);
  }
  // rbsp_trailing_bits: the stop bit and zeros up to the byte boundary.
  void trailing() {
    bit(1);
    while (count_ % 8) bit(0);
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  void bit(uint32_t b) {
    if (count_ % 8 == 0) bytes_.push_back(0);
    if (b) bytes_.back() |= static_cast<uint8_t>(0x80 >> (count_ % 8));
    ++count_;
  }
  std::vector<uint8_t> bytes_;
  uint64_t count_ = 0;
};

// Inserts emulation-prevention bytes after the two header bytes.
inline std::vector<uint8_t> escape_rbsp(const std::vector<uint8_t>& rbsp) {
  std::vector<uint8_t> out;
  uint32_t zeros = 0;
  for (size_t i = 0; i < rbsp.size(); ++i) {
    if (i >= 2 && zeros >= 2 && rbsp[i] <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(rbsp[i]);
    zeros = rbsp[i] == 0 ? zeros + 1 : 0;
  }
  return out;
}

struct TestRefPicSet {
  bool inter = false;
  uint32_t negative_pics = 0;
  uint32_t positive_pics = 0;
  // For a predicted set: (used_by_curr_pic_flag, use_delta_flag) per entry of the previous set
  // plus one; use_delta_flag is written only when the first flag is 0.
  std::vector<std::pair<bool, bool>> entries;
};

struct TestHrd {
  bool nal = true;
  bool vcl = false;
  bool sub_pic = false;
  uint32_t cpb_cnt_minus1 = 0;
};

struct TestSps {
  uint32_t max_sub_layers_minus1 = 0;
  uint32_t profile_space = 0;
  uint32_t tier = 0;
  uint32_t profile_idc = 1;
  uint32_t compatibility = 0x60000000;
  uint64_t constraints = 0x900000000000;
  uint32_t level_idc = 93;
  uint32_t chroma_format_idc = 1;
  uint32_t bit_depth_luma_minus8 = 0;
  uint32_t bit_depth_chroma_minus8 = 0;
  uint32_t log2_max_poc_lsb_minus4 = 4;
  bool scaling_list_data = false;
  bool pcm = false;
  std::vector<TestRefPicSet> ref_pic_sets;
  // Written as num_short_term_ref_pic_sets instead of the vector's size when set.
  int64_t ref_pic_set_count_override = -1;
  bool long_term = false;
  uint32_t long_term_count = 0;
  bool vui = false;
  bool vui_extended_sar = false;
  bool vui_hrd = false;
  TestHrd hrd;
  int64_t min_spatial_segmentation = -1;  // -1: no bitstream restriction
};

inline void put_test_ptl(TestBits& b, const TestSps& s) {
  b.u(2, s.profile_space);
  b.u(1, s.tier);
  b.u(5, s.profile_idc);
  b.u(32, s.compatibility);
  b.u(48, s.constraints);
  b.u(8, s.level_idc);
  for (uint32_t i = 0; i < s.max_sub_layers_minus1; ++i) b.u(2, 3);  // both present
  if (s.max_sub_layers_minus1 > 0) b.u(2 * (8 - s.max_sub_layers_minus1), 0);
  for (uint32_t i = 0; i < s.max_sub_layers_minus1; ++i) {
    b.u(88, 0);           // sub-layer profile
    b.u(8, s.level_idc);  // sub-layer level
  }
}

inline void put_test_hrd(TestBits& b, const TestHrd& h, uint32_t max_sub_layers_minus1) {
  b.u(1, h.nal);
  b.u(1, h.vcl);
  if (h.nal || h.vcl) {
    b.u(1, h.sub_pic);
    if (h.sub_pic) b.u(19, 0x12345);
    b.u(8, 0x41);
    if (h.sub_pic) b.u(4, 2);
    b.u(15, 0x7BDE);
  }
  for (uint32_t i = 0; i <= max_sub_layers_minus1; ++i) {
    b.u(1, 0);  // fixed_pic_rate_general_flag
    b.u(1, 0);  // fixed_pic_rate_within_cvs_flag
    b.u(1, 0);  // low_delay_hrd_flag
    b.ue(h.cpb_cnt_minus1);
    for (int k = 0; k < (h.nal ? 1 : 0) + (h.vcl ? 1 : 0); ++k) {
      for (uint32_t j = 0; j <= h.cpb_cnt_minus1; ++j) {
        b.ue(1000 + j);
        b.ue(2000 + j);
        if (h.sub_pic) {
          b.ue(3);
          b.ue(4);
        }
        b.u(1, j & 1);
      }
    }
  }
}

// An escaped SPS NAL unit (header 42 01) with the given fields; everything else is a
// plausible fixed choice.
inline std::vector<uint8_t> build_test_sps(const TestSps& s) {
  TestBits b;
  b.u(16, 0x4201);
  b.u(4, 0);  // sps_video_parameter_set_id
  b.u(3, s.max_sub_layers_minus1);
  b.u(1, 1);  // sps_temporal_id_nesting_flag
  put_test_ptl(b, s);
  b.ue(0);  // sps_seq_parameter_set_id
  b.ue(s.chroma_format_idc);
  if (s.chroma_format_idc == 3) b.u(1, 0);
  b.ue(1920);
  b.ue(1080);
  b.u(1, 1);  // conformance window
  for (uint32_t v : {0u, 0u, 0u, 4u}) b.ue(v);
  b.ue(s.bit_depth_luma_minus8);
  b.ue(s.bit_depth_chroma_minus8);
  b.ue(s.log2_max_poc_lsb_minus4);
  b.u(1, 1);  // ordering info for every sub-layer
  for (uint32_t i = 0; i <= s.max_sub_layers_minus1; ++i) {
    b.ue(4);
    b.ue(2);
    b.ue(0);
  }
  for (uint32_t v : {0u, 3u, 0u, 3u, 2u, 2u}) b.ue(v);
  b.u(1, s.scaling_list_data);  // scaling_list_enabled_flag
  if (s.scaling_list_data) {
    b.u(1, 1);  // sps_scaling_list_data_present_flag
    for (uint32_t size_id = 0; size_id < 4; ++size_id) {
      for (uint32_t matrix = 0; matrix < (size_id == 3 ? 2u : 6u); ++matrix) {
        bool explicit_list = (matrix + size_id) % 2 == 0;
        b.u(1, explicit_list);
        if (!explicit_list) {
          b.ue(matrix ? 1 : 0);
          continue;
        }
        if (size_id > 1) b.ue(7);
        uint32_t coefficients = size_id == 0 ? 16 : 64;
        for (uint32_t k = 0; k < coefficients; ++k) b.ue(k % 5);
      }
    }
  }
  b.u(2, 3);  // amp, sample adaptive offset
  b.u(1, s.pcm);
  if (s.pcm) {
    b.u(8, 0x77);
    b.ue(0);
    b.ue(1);
    b.u(1, 1);
  }
  b.ue(s.ref_pic_set_count_override >= 0 ? static_cast<uint32_t>(s.ref_pic_set_count_override)
                                         : static_cast<uint32_t>(s.ref_pic_sets.size()));
  for (size_t i = 0; i < s.ref_pic_sets.size(); ++i) {
    const TestRefPicSet& set = s.ref_pic_sets[i];
    if (i > 0) b.u(1, set.inter);
    if (set.inter) {
      b.u(1, 1);  // delta_rps_sign
      b.ue(0);    // abs_delta_rps_minus1
      for (auto [used, use_delta] : set.entries) {
        b.u(1, used);
        if (!used) b.u(1, use_delta);
      }
    } else {
      b.ue(set.negative_pics);
      b.ue(set.positive_pics);
      for (uint32_t j = 0; j < set.negative_pics + set.positive_pics; ++j) {
        b.ue(j);
        b.u(1, 1);
      }
    }
  }
  b.u(1, s.long_term);
  if (s.long_term) {
    b.ue(s.long_term_count);
    for (uint32_t i = 0; i < s.long_term_count; ++i) {
      b.u(s.log2_max_poc_lsb_minus4 + 4, i);
      b.u(1, 1);
    }
  }
  b.u(2, 3);  // temporal MVP, strong intra smoothing
  b.u(1, s.vui);
  if (s.vui) {
    b.u(1, 1);  // aspect_ratio_info_present_flag
    b.u(8, s.vui_extended_sar ? 255 : 1);
    if (s.vui_extended_sar) b.u(32, 0x00040003);
    b.u(1, 1);  // overscan_info_present_flag
    b.u(1, 0);
    b.u(1, 1);  // video_signal_type_present_flag
    b.u(4, 0xA);
    b.u(1, 1);  // colour_description_present_flag
    b.u(24, 0x010101);
    b.u(1, 1);  // chroma_loc_info_present_flag
    b.ue(1);
    b.ue(1);
    b.u(3, 0);
    b.u(1, 1);  // default_display_window_flag
    for (uint32_t v : {2u, 2u, 0u, 0u}) b.ue(v);
    b.u(1, 1);  // vui_timing_info_present_flag
    b.u(32, 1001);
    b.u(32, 60000);
    b.u(1, 1);  // vui_poc_proportional_to_timing_flag
    b.ue(0);
    b.u(1, s.vui_hrd);
    if (s.vui_hrd) put_test_hrd(b, s.hrd, s.max_sub_layers_minus1);
    b.u(1, s.min_spatial_segmentation >= 0);
    if (s.min_spatial_segmentation >= 0) {
      b.u(3, 5);
      b.ue(static_cast<uint32_t>(s.min_spatial_segmentation));
      for (uint32_t v : {2u, 1u, 15u, 15u}) b.ue(v);
    }
  }
  b.u(1, 0);  // sps_extension_present_flag
  b.trailing();
  return escape_rbsp(b.bytes());
}

// An escaped PPS NAL unit (header 44 01) with the two parallelism flags.
inline std::vector<uint8_t> build_test_pps(bool tiles, bool entropy_coding_sync,
                                           bool cu_qp_delta = true) {
  TestBits b;
  b.u(16, 0x4401);
  b.ue(0);
  b.ue(0);
  b.u(7, 0);
  b.ue(2);
  b.ue(0);
  b.ue(5);  // init_qp_minus26 = -3 as se
  b.u(2, 0);
  b.u(1, cu_qp_delta);
  if (cu_qp_delta) b.ue(1);
  b.ue(0);
  b.ue(0);
  b.u(4, 0);
  b.u(1, tiles);
  b.u(1, entropy_coding_sync);
  if (tiles) {  // a 2x2 uniform tile grid
    b.ue(1);
    b.ue(1);
    b.u(1, 1);
    b.u(1, 1);  // loop filter across tiles
  }
  b.u(8, 0x5A);  // the remaining flags, as far as the record is concerned
  b.trailing();
  return escape_rbsp(b.bytes());
}

// An escaped VPS NAL unit (header 40 01).
inline std::vector<uint8_t> build_test_vps(const TestSps& s) {
  TestBits b;
  b.u(16, 0x4001);
  b.u(4, 0);
  b.u(2, 3);  // base layer internal and available
  b.u(6, 0);
  b.u(3, s.max_sub_layers_minus1);
  b.u(1, 1);
  b.u(16, 0xFFFF);
  put_test_ptl(b, s);
  b.u(1, 1);  // vps_sub_layer_ordering_info_present_flag
  for (uint32_t i = 0; i <= s.max_sub_layers_minus1; ++i) {
    b.ue(4);
    b.ue(2);
    b.ue(0);
  }
  b.u(6, 0);
  b.ue(0);
  b.u(1, 0);  // vps_timing_info_present_flag
  b.u(1, 0);  // vps_extension_flag
  b.trailing();
  return escape_rbsp(b.bytes());
}
