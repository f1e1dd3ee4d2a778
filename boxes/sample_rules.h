// The rules by which a track's records become the values of its sample
// tables: decode times and durations, the form of the size table, chunks.
// The sample tables at close and the movie fragments written before close
// both follow them, so that the two describe every sample alike.
#pragma once

#include <cstdint>

#include "output/mux.h"

// Visits the records of a track in index order, from record `first` on: record
// i is entry i mod the block size of block i / the block size. Stops early if
// the block list is shorter than the count.
class RecordWalk {
 public:
  explicit RecordWalk(const MuxTrack* t, uint32_t first = 0);
  const SampleRecord* next() {
    if (index_ >= end_ || !block_ || !block_->records) return nullptr;
    const SampleRecord* r = &block_->records[slot_];
    ++index_;
    if (++slot_ == kSampleBlockRecords) {
      slot_ = 0;
      block_ = block_->next;
    }
    return r;
  }
  // The index of the record next() returns next.
  uint32_t index() const { return index_; }

 private:
  const SampleBlock* block_;
  uint32_t index_;
  uint32_t end_;
  uint32_t slot_ = 0;
};

// A record describes samples only when its count is positive.
inline bool holds_samples(const SampleRecord* r) {
  return static_cast<int64_t>(r->samples) > 0;
}

// T(x): a 100-nanosecond time in track units, truncated toward zero.
int64_t track_time(const MuxTrack* t, int64_t x);

// Tracks fed at a constant rate have one stts entry (every sample lasts the
// nominal duration, the last one may be shorter); video that follows its time
// stamps and every timecode track list their real durations.
bool has_constant_stts(const MuxTrack* t);

// Constant rate: the duration of a last sample shorter than the others (the
// last frame of an ALAC or FLAC stream), or 0 when every sample lasts the
// nominal duration.
int64_t short_last_sample(const MuxTrack* t);

// Decode times and durations of the records as stts states them, in track
// units from 0 for the track's first record. For tracks with a constant rate
// every record lasts the nominal duration here; the samples of a record of
// several (audio) count one nominal duration each in the tables.
//
// A record's decode time is its own time stamp measured from the first
// record's. A time stamp that does not come after the previous record's (a
// host whose decode times go back, or two that truncate to the same unit)
// would need a negative or zero delta; the record starts one unit after the
// previous one instead, and later records catch up. The last record lasts up
// to the track's duration, or one nominal sample duration when nothing is
// left.
class DecodeTimes {
 public:
  explicit DecodeTimes(const MuxTrack* t);
  // Resumes at record `first`, whose decode time is `time`.
  DecodeTimes(const MuxTrack* t, uint32_t first, int64_t time);

  // The next record with its decode time and its delta; null after the last.
  // A last record whose successor is known but not recorded yet takes its
  // delta from `next_dts` (100 ns) when that is given.
  const SampleRecord* next(int64_t* time, int64_t* delta, const int64_t* next_dts = nullptr);
  // The decode time of the record next() returns next.
  int64_t time() const { return time_; }

 private:
  const MuxTrack* t_;
  RecordWalk walk_;
  const SampleRecord* next_;
  int64_t first_ = 0;
  int64_t time_ = 0;
};

// The delta of a table-form record at decode time `time` whose successor has
// the time stamp next_dts (100 ns): the successor's own decode time, or one
// unit after this record when that does not come later.
int64_t delta_to(const MuxTrack* t, int64_t time, int64_t next_dts);

// The size table's form, one record at a time: one size serves every sample
// while each record's size per sample is the same, and only PCM records pack
// several samples of that size. Records without samples do not count.
struct SizeUniformity {
  bool uniform = true;
  bool have_prev = false;
  uint32_t prev = 0;
  uint32_t first = 0;
  uint64_t total = 0;  // samples seen

  void add(const MuxTrack* t, const SampleRecord* r) { add(t, r->size, r->samples); }
  // A record of `samples` samples and `size` bytes.
  void add(const MuxTrack* t, uint32_t size, uint32_t samples) {
    if (static_cast<int64_t>(samples) <= 0) return;
    const uint32_t per = samples == 1
                             ? size
                             : static_cast<uint32_t>(static_cast<uint64_t>(
                                   static_cast<int64_t>(size) / static_cast<int64_t>(samples)));
    const bool pcm = t->codec_id == kCodecPcm16 || t->codec_id == kCodecPcm32Float;
    if ((have_prev && per != prev) || (samples > 1 && !pcm)) uniform = false;
    if (!have_prev) first = per;
    total += samples;
    prev = per;
    have_prev = true;
  }
  // Whether stsz is written with one size (never 0: a constant size of 0 would
  // mean "a table follows"; never for timecode tracks).
  bool constant(const MuxTrack* t) const;
};

// Codecs with reordered frames, the only ones with composition offsets.
bool has_composition_offsets(const MuxTrack* t);
