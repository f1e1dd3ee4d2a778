#pragma once
#include "output/mux.h"
// The MPEG-4 elementary-stream descriptor box for AAC and MPEG-4 Visual tracks.
void write_esds(MuxContext* c, MuxTrack* t);
