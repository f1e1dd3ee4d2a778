// Reads the movie fragments of a file the way a player does: the defaults of
// mvex/trex, then every moof in file order, each traf's tfhd, tfdt and truns
// expanded into one record per sample (offset, size, duration, composition
// offset, sync), as the sample tables would state them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "box_reader.h"
#include "track_samples.h"

struct FragmentRun {
  uint32_t first_sample = 0;  // index into the track's samples
  uint32_t count = 0;
  bool sizes_listed = false;  // the trun lists sizes (else the tfhd default)
};

struct FragmentedTrack {
  std::vector<TrackSample> samples;
  std::vector<FragmentRun> runs;       // every trun, in order
  std::vector<uint64_t> decode_times;  // tfdt of every traf, in order
  std::vector<uint64_t> traf_first;    // the first sample of every traf
};

struct FragmentedFile {
  std::map<uint32_t, FragmentedTrack> tracks;  // by track ID
  std::vector<uint64_t> moof_offsets;
  std::vector<uint32_t> sequence_numbers;
};

// The fragments among the top-level boxes of a parsed file. Throws
// std::runtime_error when the movie box has no mvex, when a traf names a
// track without trex, or when a box is too short for its fields.
FragmentedFile read_fragments(const iso::Tree& tree);
