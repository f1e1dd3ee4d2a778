#pragma once
#include <cstdint>
#include "output/byte_writer.h"

struct Av1SequenceInfo {
  uint8_t seq_profile;
  uint8_t seq_level_idx_0;
  uint8_t seq_tier_0;
  uint8_t bit_depth;
  uint8_t mono_chrome;
  uint8_t subsampling_x;
  uint8_t subsampling_y;
  uint8_t chroma_sample_position;
  uint8_t color_description_present_flag;
  uint8_t color_primaries;
  uint8_t transfer_characteristics;
  uint8_t matrix_coefficients;
  uint8_t color_range;
};

int32_t write_av1c(ByteWriter* w, const uint8_t* extradata, int32_t size);
int32_t parse_av1_sequence_header(Av1SequenceInfo* info, const uint8_t* payload, uint32_t size);
int32_t av1_payload_bits(const uint8_t* payload, uint32_t size, uint32_t obu_type);
