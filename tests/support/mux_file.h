// Whole output files made through the muxer (mux_create, mux_add_sample,
// write_ftyp, finish_file, mux_destroy) and read back as box trees.
//
// Sample bytes follow a pattern known from the track slot and the sample's
// index in its track, so that tests can check that the chunk offsets and sizes
// of the tables point at the right bytes of the file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "output/mux.h"
#include "support/box_reader.h"

// A track slot description for MuxFile.
TrackSpec track_spec(int32_t index, int32_t kind, uint32_t codec_id, uint32_t enable_hint = 0);

// Byte k of packet `index` (the index-th mux_add_sample call) of track slot
// `slot`: a 4-byte header (0x80 | slot, then the index in 24 bits), then a
// pattern of the slot that does not repeat every 256 bytes.
uint8_t sample_byte(int32_t slot, uint64_t index, uint64_t k);

class MuxFile {
 public:
  // Creates the file (in the test scratch folder), the context and the ftyp.
  // Each slot's codec is set on its slot with mux_set_codec.
  MuxFile(const std::string& name, uint32_t mode, std::vector<TrackSpec> specs);
  ~MuxFile();  // removes the file unless keep() was called
  MuxFile(const MuxFile&) = delete;
  MuxFile& operator=(const MuxFile&) = delete;

  MuxContext* c = nullptr;  // valid until finish()
  // Writes the file as movie fragments from now on (resilient writing); finish()
  // then closes it as the session's close does.
  void write_as_fragments();
  MuxTrack& track(int32_t slot) { return c->tracks[slot]; }

  // A video frame of `size` pattern bytes; cts_offset is PTS - DTS in track units.
  void video(int32_t slot, uint32_t size, int64_t dts, int64_t pts, bool key,
             int32_t cts_offset = 0);
  // An audio packet holding frames of these sizes (none: a packet of 0 frames
  // with `empty_size` bytes); duration in track units.
  void audio(int32_t slot, const std::vector<uint32_t>& frame_sizes, int64_t dts, int64_t pts,
             int64_t duration, uint32_t empty_size = 0);
  // A PCM packet as the session hands it over: n frames of `bytes` bytes in total.
  void pcm(int32_t slot, uint32_t bytes, int32_t frames, int64_t dts);
  // A timecode or timed-metadata sample.
  void other(int32_t slot, uint32_t kind, uint32_t size, int64_t dts, int64_t duration);
  // Any sample, with caller-made bytes.
  void raw(int32_t slot, uint32_t kind, const uint8_t* data, uint32_t size, uint32_t flags,
           const void* extra, int64_t dts, int64_t pts, int64_t duration);

  // finish_file, mux_destroy, close; then the file as a tree (huge boxes stay
  // on disk, see iso::ParseOptions::max_load).
  const iso::Tree& finish();
  const iso::Tree& tree() const { return tree_; }
  // Bytes of the finished file at an offset.
  std::vector<uint8_t> read(uint64_t offset, uint64_t n) const;
  // Checks that every chunk of the track in trak `trak_index` lies where the
  // tables say and holds the pattern of that track; returns a description of
  // the first mismatch, or an empty string.
  std::string check_chunks(size_t trak_index, int32_t slot) const;

  void keep() { keep_ = true; }
  const std::string path;

 private:
  const std::vector<uint8_t>& pattern(int32_t slot, uint32_t size);
  std::vector<TrackSpec> specs_;
  FILE* file_ = nullptr;
  iso::Tree tree_;
  std::vector<uint64_t> next_index_;
  std::vector<uint8_t> buffer_;
  int32_t pattern_slot_ = -1;
  bool keep_ = false;
  bool fragments_ = false;
};
