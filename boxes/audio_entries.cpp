// Not written yet: its issue replaces these bodies.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "boxes/boxes.h"

void write_audio_sample_entry(MuxContext* c, MuxTrack* t) {}
void write_wave(MuxContext* c, MuxTrack* t) {}
void write_chan(MuxContext* c, MuxTrack* t) {}
void write_chnl(MuxContext* c, MuxTrack* t) {}
void write_damr(MuxContext* c, MuxTrack* t) {}
void write_enda(MuxContext* c, MuxTrack* t) {}
void write_pcmc(MuxContext* c, MuxTrack* t) {}
int64_t write_dac3(MuxContext* c, MuxTrack* t) { return 0; }
int64_t write_dfla(MuxContext* c, MuxTrack* t) { return 0; }
