// Not written yet: its issue replaces these bodies.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "boxes/boxes.h"

void write_stbl(MuxContext* c, MuxTrack* t) {}
void write_stsd(MuxContext* c, MuxTrack* t) {}
int32_t write_stts(MuxContext* c, MuxTrack* t) { return 0; }
int64_t sample_delta(MuxTrack* t, int64_t index) { return 0; }
void write_ctts(MuxContext* c, MuxTrack* t) {}
void write_stss(MuxContext* c, MuxTrack* t) {}
void write_stsc(MuxContext* c, MuxTrack* t) {}
void write_stsz(MuxContext* c, MuxTrack* t) {}
void write_stco(MuxContext* c, MuxTrack* t) {}
