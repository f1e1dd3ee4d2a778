// Live Photo support: the content identifier, the hand-off of the still
// picture to the sibling image plug-in, and the still-image-time sample.
#pragma once

#include <cstdint>
#include <string>

#include "mx_mp4/host.h"
#include "output/mux.h"

// A fresh identifier in the form of a version-4 UUID, 36 upper-case characters.
std::string make_content_id();

// Has the sibling image plug-in write the still picture as a JPEG at jpeg_path
// (8-bit path) carrying content_id. Returns the plug-in's result, or
// 0xFFFFFFFF when the plug-in or its entry point is missing.
uint32_t add_still_picture(const char* jpeg_path, const uint8_t* bytes, uint32_t size,
                           const char* content_id);

// Writes the single still-image-time sample at the frame's time stamps to the
// first timed-metadata track of specs, once per file: does nothing when
// *still_time_written is already set or there is no such track; sets it once
// the sample is written.
void write_still_image_time(MuxContext* c, const TrackSpec* specs, int32_t spec_count,
                            const MxVideoFrame* frame, uint32_t* still_time_written);
