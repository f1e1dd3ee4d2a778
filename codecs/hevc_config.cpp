// Not written yet: its issue replaces these bodies.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "codecs/hevc_config.h"
HevcConfig* hevc_config_from_annexb(const uint8_t* data, int32_t size, uint32_t completeness,
                                    int32_t* error) { return nullptr; }
int32_t hevc_config_add_nal(const uint8_t* nal, uint32_t size, uint32_t completeness,
                            HevcConfig* config) { return -1; }
int32_t hevc_config_write(ByteWriter* w, HevcConfig* config) { return -1; }
int32_t write_hvcc_record(ByteWriter* w, HevcConfig* config) { return 0; }
int32_t hevc_config_release(HevcConfig* config) { return 1; }
