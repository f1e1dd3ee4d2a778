#pragma once
#include <cstdint>
#include "output/byte_writer.h"

struct HevcNalArray {
  uint8_t array_completeness;
  uint8_t nal_unit_type;
  uint16_t num_nalus;
  uint16_t* nal_unit_length;
  const uint8_t** nal_unit;  // point into the caller's Annex-B buffer
};

struct HevcConfig {
  uint8_t configuration_version;
  uint8_t general_profile_space;
  uint8_t general_tier_flag;
  uint8_t general_profile_idc;
  uint32_t general_profile_compatibility_flags;
  uint64_t general_constraint_indicator_flags;
  uint8_t general_level_idc;
  uint16_t min_spatial_segmentation_idc;
  uint8_t parallelism_type;
  uint8_t chroma_format;
  uint8_t bit_depth_luma_minus8;
  uint8_t bit_depth_chroma_minus8;
  uint16_t avg_frame_rate;
  uint8_t constant_frame_rate;
  uint8_t num_temporal_layers;
  uint8_t temporal_id_nested;
  uint8_t length_size_minus_one;
  uint8_t num_of_arrays;
  HevcNalArray* arrays;
};

HevcConfig* hevc_config_from_annexb(const uint8_t* data, int32_t size, uint32_t completeness,
                                    int32_t* error);
int32_t hevc_config_add_nal(const uint8_t* nal, uint32_t size, uint32_t completeness,
                            HevcConfig* config);
int32_t hevc_config_write(ByteWriter* w, HevcConfig* config);
int32_t write_hvcc_record(ByteWriter* w, HevcConfig* config);
int32_t hevc_config_release(HevcConfig* config);
