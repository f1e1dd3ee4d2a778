#pragma once
#include <cstdint>

#include "output/mux.h"
struct AvcProfileLevel {
  uint32_t profile;
  uint32_t level;
};
// Profile and level indication by the host's video code.
AvcProfileLevel choose_avc_profile_level(uint32_t video_fourcc);
void write_avcc(MuxContext* c, MuxTrack* t);
