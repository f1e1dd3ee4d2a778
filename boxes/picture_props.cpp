// Not written yet: its issue replaces these bodies.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "boxes/boxes.h"

void write_dovi_box(MuxContext* c, MuxTrack* t, DoviConfig* config) {}
void dovi_fill_defaults(DoviConfig* config, const MuxTrack* t) {}
void put_dovi_record(BitWriter* b, uint8_t* buffer28, const DoviConfig* config) {}
int64_t write_st3d(MuxContext* c, MuxTrack* t) { return 0; }
int64_t write_sv3d(MuxContext* c, MuxTrack* t) { return 0; }
int64_t write_colr(MuxContext* c, MuxTrack* t) { return 0; }
int64_t write_gama(MuxContext* c, MuxTrack* t) { return 0; }
int64_t write_clli(MuxContext* c, MuxTrack* t) { return 0; }
int64_t write_mdcv(MuxContext* c, MuxTrack* t) { return 0; }
int64_t write_pasp(MuxContext* c, MuxTrack* t) { return 0; }
