// Reads a track's sample tables back into one record per sample, the way a
// player expands them: sizes from stsz, positions from stsc + stco/co64,
// decoding deltas from stts, composition offsets from ctts, sync from stss.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "box_reader.h"

struct TrackSample {
  uint64_t offset = 0;
  uint32_t size = 0;
  uint32_t delta = 0;       // stts
  int32_t composition = 0;  // ctts (0 without one)
  bool sync = true;         // stss (every sample without one)
};

struct TrackSamples {
  std::string handler;  // hdlr handler type
  uint32_t timescale = 0;
  uint64_t duration = 0;  // mdhd
  std::vector<TrackSample> samples;
  std::vector<uint32_t> chunk_samples;  // samples per chunk, chunk by chunk
  bool has_ctts = false;
  bool has_stss = false;
};

// Throws std::runtime_error when a table is missing or inconsistent.
TrackSamples read_track_samples(const iso::Box& trak);

// The bytes of one sample of a file.
std::vector<uint8_t> sample_bytes(const std::vector<uint8_t>& file, const TrackSample& s);
