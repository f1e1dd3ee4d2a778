// The movie box a normal close writes, rebuilt from a file that a crash left
// as fragments: the head (the first movie box, which describes every track
// but holds no samples) and the samples its fragments state. The rules are
// those of docs/resilient-files.md: tables from the samples, durations and
// edits from the tables, esds bit rates from the sizes, tracks without
// samples and mvex dropped; everything else is the head's bytes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "isobox/box_reader.h"
#include "mxmux/files/recover_boxes.h"

namespace mxmux::recover {

// A track's samples from every fragment, in order, and their chunks.
struct TrackSamples {
  std::vector<Sample> samples;
  std::vector<Chunk> chunks;
  bool sizes_listed = false;  // some trun lists per-sample sizes
};

// By track ID.
using FragmentSamples = std::map<uint32_t, TrackSamples>;

// A track's defaults in the head's mvex (trex).
struct TrackDefaults {
  uint32_t duration = 0, size = 0, flags = 0;
};

// The trex of every track the head describes, by track ID. False with the
// reason when the head has no mvex or a trak without its trex. May throw
// std::out_of_range on a box too short for its fields.
bool read_track_defaults(const iso::Box& head, std::map<uint32_t, TrackDefaults>& defaults,
                         std::string& error);

// The complete movie box. `major_brand` is the ftyp's ("qt  ": QuickTime).
// May throw std::out_of_range on a head box too short for its fields.
bool rebuild_movie(const iso::Box& head, const FragmentSamples& samples,
                   const std::map<uint32_t, TrackDefaults>& defaults,
                   const std::string& major_brand, std::vector<uint8_t>& movie, std::string& error);

}  // namespace mxmux::recover
