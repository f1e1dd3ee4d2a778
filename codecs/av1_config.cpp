// Not written yet: its issue replaces these bodies.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "codecs/av1_config.h"
int32_t write_av1c(ByteWriter* w, const uint8_t* extradata, int32_t size) { return -1; }
int32_t parse_av1_sequence_header(Av1SequenceInfo* info, const uint8_t* payload, uint32_t size) { return -1; }
int32_t av1_payload_bits(const uint8_t* payload, uint32_t size, uint32_t obu_type) { return -1; }
