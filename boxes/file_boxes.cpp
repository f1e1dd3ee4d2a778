// Not written yet: its issue replaces these bodies.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "boxes/boxes.h"

void write_ftyp(MuxContext* c) {}
int32_t finish_file(MuxContext* c) { return 0; }
void write_moov(MuxContext* c) {}
int32_t write_mvhd(MuxContext* c) { return 0; }
void write_trak(MuxContext* c, MuxTrack* t) {}
int32_t write_tkhd(MuxContext* c, MuxTrack* t) { return 0; }
void write_matrix(ByteWriter* w, int32_t a, int32_t b, int32_t cc, int32_t d, int32_t tx, int32_t ty) {}
void write_tref(MuxContext* c, MuxTrack* t, uint32_t timecode_track_id) {}
void write_edts(MuxContext* c, MuxTrack* t) {}
void write_track_name(MuxContext* c, MuxTrack* t) {}
uint32_t mp4_creation_time() { return 0; }
