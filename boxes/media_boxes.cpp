// Not written yet: its issue replaces these bodies.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "boxes/boxes.h"

void write_mdia(MuxContext* c, MuxTrack* t) {}
int32_t write_mdhd(MuxContext* c, MuxTrack* t) { return 0; }
void write_hdlr(MuxContext* c, MuxTrack* t);  // null track: the data handler void write_minf(MuxContext* c, MuxTrack* t) {}
void write_vmhd(MuxContext* c) {}
void write_smhd(MuxContext* c) {}
void write_gmhd(MuxContext* c, MuxTrack* t) {}
void write_gmin(MuxContext* c) {}
void write_dinf(MuxContext* c, MuxTrack* t) {}
int32_t write_dref(MuxContext* c, MuxTrack* t) { return 0; }
uint16_t pack_language(const char* language) { return 0; }
