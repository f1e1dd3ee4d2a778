// AV1 codec configuration record (av1C body) built from the encoder's configuration OBUs.
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

// Reads an OBU payload most significant bit first. Bits past the payload read as zero and
// still advance `bit_index`, so a truncated header fails the final length check.
struct Av1BitReader {
  const uint8_t* data;
  uint32_t size;  // bytes
  uint64_t bit_index;
};

// Writes the fixed part, the sequence header OBU and the first metadata OBU into the
// already opened box; 0 when written, negative (and nothing written) otherwise.
int32_t write_av1c(ByteWriter* w, const uint8_t* extradata, int32_t size);
int32_t parse_av1_sequence_header(Av1SequenceInfo* info, const uint8_t* payload, uint32_t size);
void parse_av1_color_config(Av1SequenceInfo* info, Av1BitReader* r);
// Payload length in bits without the trailing bits (whole length for tile data types).
int32_t av1_payload_bits(const uint8_t* payload, uint32_t size, uint32_t obu_type);
