// The QuickTime timecode track's own boxes: the tmcd sample entry, and the
// tmcd media information box with its tcmi text style.
#include <cmath>

#include "boxes/boxes.h"

namespace {

constexpr uint32_t kTimecode24HourMax = 0x00000002;  // the drop-frame flag is never set

// The nominal whole frame rate the counter counts in: 30 at 30000/1001, 24 at
// 24000/1001, 60 at 60000/1001 (a truncated 29 would make a counter for
// 01:00:00:00 read about 01:02:04). A frame duration of 0 (never set by the
// session) gives 0 rather than a division by zero.
uint32_t frames_per_second(const MuxTrack* t) {
  int64_t frame = static_cast<int64_t>(t->sample_duration);
  if (frame == 0) return 0;
  return static_cast<uint32_t>(std::llround(static_cast<double>(t->timescale) / frame));
}

}  // namespace

void write_tmcd_entry(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "tmcd");
  put_be32(w, 0);                                          // reserved
  put_be16(w, 0);                                          // reserved
  put_be16(w, 1);                                          // data reference index
  put_be32(w, 0);                                          // reserved
  put_be32(w, kTimecode24HourMax);                         // flags
  put_be32(w, t->timescale);                               // time scale
  put_be32(w, static_cast<uint32_t>(t->sample_duration));  // frame duration
  put_u8(w, frames_per_second(t) & 0xFF);                  // number of frames
  put_u8(w, 0);                                            // reserved
  patch_box_size(w, start);
}

void write_tmcd_info(MuxContext* c, MuxTrack* /*t*/) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "tmcd");
  write_tcmi(c);
  patch_box_size(w, start);
}

void write_tcmi(MuxContext* c) {
  ByteWriter* w = c->writer;
  int64_t start = open_full_box(w, "tcmi", 0, 1);
  put_be16(w, 21);      // text font
  put_be16(w, 0);       // text face
  put_be16(w, 10);      // text size
  put_be16(w, 0);       // reserved
  put_be16(w, 0);       // text colour red
  put_be16(w, 0);       // text colour green
  put_be16(w, 0);       // text colour blue
  put_be16(w, 0xFFFF);  // background red
  put_be16(w, 0xFFFF);  // background green
  put_be16(w, 0xFFFF);  // background blue
  put_u8(w, 9);         // font name length
  put_tag(w, "Helvetica");
  patch_box_size(w, start);
}
