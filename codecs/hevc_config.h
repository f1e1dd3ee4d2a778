// HEVC decoder configuration record (hvcC) built from Annex-B parameter sets.
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

// Results of the build and the writer: 0, or one of these (negative as i32).
constexpr int32_t kHevcErrorShortInput = static_cast<int32_t>(0x8000045E);
constexpr int32_t kHevcErrorNoMemoryForCopy = static_cast<int32_t>(0x80000310);
// A unit too large for the bit reader, or longer than the record's 16-bit length field.
constexpr int32_t kHevcErrorUnitTooLarge = static_cast<int32_t>(0x80000316);
constexpr int32_t kHevcErrorTypeNotAccepted = static_cast<int32_t>(0x80000337);
constexpr int32_t kHevcErrorAppendFailed = static_cast<int32_t>(0x8000032A);
constexpr int32_t kHevcErrorTooManyRefPicSets = static_cast<int32_t>(0x8000024F);
constexpr int32_t kHevcErrorRefPicSet = static_cast<int32_t>(0x80000254);
// A parameter set that ends before its fields do, or holds a value out of its range.
constexpr int32_t kHevcErrorMalformed = static_cast<int32_t>(0x80000250);
constexpr int32_t kHevcErrorWriteRefused = static_cast<int32_t>(0x800003C7);

// Splits an Annex-B stream, keeps VPS, SPS, PPS and SEI units and parses the parameter
// sets. The record points into `data`, which must outlive it. Null on failure, with the
// cause stored through `error` (which may be null).
HevcConfig* hevc_config_from_annexb(const uint8_t* data, int32_t size, uint32_t completeness,
                                    int32_t* error);
// Adds one NAL unit (without start code, emulation-prevention bytes in place).
int32_t hevc_config_add_nal(const uint8_t* nal, uint32_t size, uint32_t completeness,
                            HevcConfig* config);
// Writes the record body; writes nothing at all when it refuses.
int32_t hevc_config_write(ByteWriter* w, HevcConfig* config);
int32_t write_hvcc_record(ByteWriter* w, HevcConfig* config);
int32_t hevc_config_release(HevcConfig* config);

// First 00 00 01 at or after begin, or end.
const uint8_t* find_start_code(const uint8_t* begin, const uint8_t* end);
// Copy of a NAL unit with its emulation-prevention bytes removed (free() it), or null.
uint8_t* nal_to_rbsp(const uint8_t* nal, uint32_t size, uint32_t* out_size);

// Reads an unescaped NAL unit most significant bit first. Bits past `end` read as zero and
// still advance `bit_index`, so a parse that ran past the end is caught afterwards by
// hevc_reader_ok(); `invalid` is set by a read that has no valid result (an Exp-Golomb code
// with 32 or more leading zeros, or a width above the limit).
struct HevcBitReader {
  const uint8_t* data;
  const uint8_t* end;
  uint32_t bit_index;
  uint32_t invalid;
};

void hevc_reader_init(HevcBitReader* r, const uint8_t* data, uint32_t size);
// True while every bit read so far lay inside the unit and every read was valid.
bool hevc_reader_ok(const HevcBitReader* r);
uint32_t read_bits(HevcBitReader* r, uint32_t n);       // n <= 32
uint64_t read_bits_long(HevcBitReader* r, uint32_t n);  // n <= 64
uint32_t read_ue(HevcBitReader* r);
