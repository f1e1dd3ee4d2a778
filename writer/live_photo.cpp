// Not written yet: its issue replaces these bodies.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "writer/live_photo.h"

std::string make_content_id() {
  return {};
}
uint32_t add_still_picture(const char* jpeg_path, const uint8_t* bytes, uint32_t size,
                           const char* content_id) {
  return 0xFFFFFFFFu;
}
void write_still_image_time(MuxContext* c, const TrackSpec* specs, int32_t spec_count,
                            const MxVideoFrame* frame, uint32_t* still_time_written) {}
