// Sample tables: stbl and its stsd, stts, ctts, stss, stsc, stsz, stco/co64.
//
// Every SampleRecord is one chunk: the bytes of one mux_add_sample call, written
// contiguously at the record's position. Tables are streamed record by record;
// counts known only at the end are written as placeholders and patched.
//
// An audio record may hold 0 samples (a packet handed over with a frame count
// of 0). Its bytes stay in mdat, but it describes no sample: stsc, stsz and
// stco leave it out together, so chunk numbers, sample counts and offsets stay
// consistent, and the stsz uniformity test does not look at it.
#include <algorithm>

#include "boxes/boxes.h"

namespace {

using EntryWriter = void (*)(MuxContext*, MuxTrack*);
struct SampleEntryRow {
  uint32_t kind;
  EntryWriter write;
};
constexpr SampleEntryRow kSampleEntries[] = {
    {kKindVideo, write_video_sample_entry},
    {kKindAudio, write_audio_sample_entry},
    {kKindTimedMetadata, write_mebx_entry},
    {kKindTimecode, write_tmcd_entry},
};

// Codecs with reordered frames, the only ones with composition offsets.
constexpr uint32_t kReorderingCodecs[] = {kCodecMpeg4Visual, kCodecH264, kCodecHevc};

bool is_pcm(uint32_t codec_id) {
  return codec_id == kCodecPcm16 || codec_id == kCodecPcm32Float;
}

template <size_t N>
bool contains(const uint32_t (&list)[N], uint32_t v) {
  for (uint32_t entry : list) {
    if (entry == v) return true;
  }
  return false;
}

// Visits the records of a track in index order: record i is entry i mod 10240
// of block i / 10240. Stops early if the block list is shorter than the count.
class RecordWalk {
 public:
  explicit RecordWalk(const MuxTrack* t) : block_(t->block_first), left_(t->entry_count) {}

  const SampleRecord* next() {
    if (left_ == 0 || !block_ || !block_->records) return nullptr;
    const SampleRecord* r = &block_->records[slot_];
    --left_;
    if (++slot_ == kSampleBlockRecords) {
      slot_ = 0;
      block_ = block_->next;
    }
    return r;
  }

 private:
  const SampleBlock* block_;
  uint32_t left_;
  uint32_t slot_ = 0;
};

// A record describes samples only when its count is positive.
bool holds_samples(const SampleRecord* r) {
  return static_cast<int64_t>(r->samples) > 0;
}

// T(x): a 100-nanosecond time in track units, truncated toward zero.
int64_t track_time(const MuxTrack* t, int64_t x) {
  double units = static_cast<double>(x) * t->timescale / 10000000.0;
  if (units >= 9223372036854775807.0) return INT64_MAX;
  if (units <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(units);
}

int64_t difference(int64_t a, int64_t b) {
  int64_t d;
  return __builtin_sub_overflow(a, b, &d) ? 0 : d;
}

uint32_t low32(uint64_t v) {
  return static_cast<uint32_t>(v);
}

// Tracks fed at a constant rate have one stts entry; video that follows its
// time stamps and every timecode track list their real durations.
bool has_constant_stts(const MuxTrack* t) {
  return t->timestamp_durations == 0 && t->kind_copy != kKindTimecode;
}

int64_t saturating_add(int64_t a, int64_t b) {
  int64_t sum;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? INT64_MAX : INT64_MIN;
}

// Decode times and durations of the records as stts states them, in track
// units from 0 for the first record.
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
  explicit DecodeTimes(const MuxTrack* t) : t_(t), walk_(t), next_(walk_.next()) {
    if (next_) first_ = track_time(t, next_->dts);
  }

  // The next record with its decode time and its delta; null after the last.
  const SampleRecord* next(int64_t* time, int64_t* delta) {
    const SampleRecord* r = next_;
    if (!r) return nullptr;
    next_ = walk_.next();
    const auto nominal = static_cast<int64_t>(t_->sample_duration);
    if (has_constant_stts(t_)) {
      *delta = nominal;
    } else if (next_) {
      int64_t reached = difference(track_time(t_, next_->dts), first_);
      *delta = reached > time_ ? reached - time_ : 1;
    } else {
      int64_t rest = difference(static_cast<int64_t>(t_->duration), time_);
      *delta = rest > 0 ? rest : nominal;
    }
    *time = time_;
    time_ = saturating_add(time_, *delta);
    return r;
  }

 private:
  const MuxTrack* t_;
  RecordWalk walk_;
  const SampleRecord* next_;
  int64_t first_ = 0;
  int64_t time_ = 0;
};

// ctts is written for video of the reordering codecs when any offset is not
// zero, whatever its sign: without it every reader shows the pictures at
// their decode times.
bool writes_ctts(const MuxTrack* t) {
  if (t->kind != kKindVideo || !contains(kReorderingCodecs, t->codec_id)) return false;
  const CompositionOffsetTable* table = t->ctts_table;
  if (!table || !table->entries) return false;
  for (uint32_t i = 0; i < table->count; ++i) {
    if (table->entries[i].offset != 0) return true;
  }
  return false;
}

// Records that become chunks. Only audio records can hold 0 samples.
uint32_t chunk_count(const MuxTrack* t) {
  if (t->kind != kKindAudio) return t->entry_count;
  uint32_t n = 0;
  RecordWalk walk(t);
  while (const SampleRecord* r = walk.next()) n += holds_samples(r);
  return n;
}

// The duration of a last sample shorter than the others (the last frame of an
// ALAC or FLAC stream), or 0 when every sample lasts the nominal duration, or
// when the track's duration cannot be told as (count - 1) nominal samples and
// one shorter one.
int64_t short_last_sample(const MuxTrack* t) {
  const auto count = static_cast<int64_t>(t->sample_count);
  const auto nominal = static_cast<int64_t>(t->sample_duration);
  int64_t before_last;
  if (count < 1 || nominal < 1 || __builtin_mul_overflow(count - 1, nominal, &before_last))
    return 0;
  int64_t last = difference(static_cast<int64_t>(t->duration), before_last);
  return last >= 1 && last < nominal ? last : 0;
}

// One entry (every sample lasts the nominal duration), or two when the last
// sample is shorter.
void write_stts_constant(ByteWriter* w, const MuxTrack* t) {
  const int64_t last = short_last_sample(t);
  const uint32_t count = low32(t->sample_count);
  put_be32(w, last ? 32 : 24);
  put_tag(w, "stts");
  put_be32(w, 0);                          // version and flags
  put_be32(w, last ? 2 : 1);               // entry count
  put_be32(w, last ? count - 1 : count);   // sample count
  put_be32(w, low32(t->sample_duration));  // sample delta
  if (last) {
    put_be32(w, 1);                                   // sample count
    put_be32(w, low32(static_cast<uint64_t>(last)));  // sample delta
  }
}

// Run-length (count, delta) pairs from the decoding times; the pair count is
// patched at the end instead of building the pairs in a temporary array.
void write_stts_table(ByteWriter* w, const MuxTrack* t) {
  int64_t start = open_full_box(w, "stts", 0, 0);
  int64_t count_pos = writer_tell(w);
  put_be32(w, 0);  // entry count, patched
  uint32_t pairs = 0;
  uint32_t run = 0;
  int64_t run_delta = 0;
  auto flush = [&] {
    put_be32(w, run);
    put_be32(w, low32(static_cast<uint64_t>(run_delta)));
    ++pairs;
  };
  DecodeTimes times(t);
  int64_t time = 0;
  int64_t delta = 0;
  while (times.next(&time, &delta)) {
    if (run != 0 && delta == run_delta) {
      ++run;
      continue;
    }
    if (run != 0) flush();
    run = 1;
    run_delta = delta;
  }
  if (run != 0) flush();
  put_be32_at(w, pairs, count_pos);
  patch_box_size(w, start);
}

}  // namespace

void write_stbl(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "stbl");
  write_stsd(c, t);
  write_stts(c, t);
  write_ctts(c, t);
  write_stss(c, t);
  write_stsc(c, t);
  write_stsz(c, t);
  write_stco(c, t);
  patch_box_size(w, start);
}

void write_stsd(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  int64_t start = open_full_box(w, "stsd", 0, 0);
  put_be32(w, 1);  // entry count
  for (const SampleEntryRow& row : kSampleEntries) {
    if (row.kind == t->kind) row.write(c, t);
  }
  patch_box_size(w, start);
}

int32_t write_stts(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  int64_t start = writer_tell(w);
  if (has_constant_stts(t)) {
    write_stts_constant(w, t);
  } else {
    write_stts_table(w, t);
  }
  return static_cast<int32_t>(writer_tell(w) - start);
}

int64_t sample_delta(MuxTrack* t, int64_t index) {
  if (index < 0 || index >= static_cast<int64_t>(t->entry_count)) return 0;
  DecodeTimes times(t);
  int64_t time = 0;
  int64_t delta = 0;
  for (int64_t i = 0; i <= index; ++i) {
    if (!times.next(&time, &delta)) return 0;
  }
  return delta;
}

int64_t composition_start(MuxTrack* t) {
  // Without ctts every composition time is its decode time; the first is 0.
  if (!writes_ctts(t)) return 0;
  const CompositionOffsetTable* table = t->ctts_table;
  DecodeTimes times(t);
  int64_t time = 0;
  int64_t delta = 0;
  int64_t start = INT64_MAX;
  uint32_t sync_samples = 0;
  // Pictures shown before the first sync sample (open-GOP leading pictures)
  // follow it in decoding order, before the next sync sample.
  for (uint32_t i = 0; i < table->count; ++i) {
    const SampleRecord* r = times.next(&time, &delta);
    if (!r || (r->flags != 0 && ++sync_samples == 2)) break;
    int64_t composition;
    if (__builtin_add_overflow(time, table->entries[i].offset, &composition)) continue;
    start = std::min(start, composition);
  }
  return start > 0 && start != INT64_MAX ? start : 0;
}

void write_ctts(MuxContext* c, MuxTrack* t) {
  if (!writes_ctts(t)) return;
  const CompositionOffsetTable* table = t->ctts_table;
  bool negative = false;
  for (uint32_t i = 0; i < table->count; ++i) negative |= table->entries[i].offset < 0;
  // ISO version 0 offsets are unsigned: a table with a negative offset is
  // written as version 1. QuickTime defines the version 0 offsets as signed.
  const uint8_t version = negative && c->mode != kModeMov ? 1 : 0;
  ByteWriter* w = c->writer;
  int64_t start = open_full_box(w, "ctts", version, 0);
  put_be32(w, table->count);  // entry count
  for (uint32_t i = 0; i < table->count; ++i) {
    put_be32(w, table->entries[i].count);                          // sample count
    put_be32(w, static_cast<uint32_t>(table->entries[i].offset));  // sample offset
  }
  patch_box_size(w, start);
}

void write_stss(MuxContext* c, MuxTrack* t) {
  if (t->kind != kKindVideo) return;
  ByteWriter* w = c->writer;
  int64_t start = open_full_box(w, "stss", 0, 0);
  int64_t count_pos = writer_tell(w);
  put_be32(w, 0);  // entry count, patched
  uint32_t count = 0;
  uint32_t index = 0;
  RecordWalk walk(t);
  while (const SampleRecord* r = walk.next()) {
    ++index;
    if (r->flags == 0) continue;
    put_be32(w, index);  // 1-based sample number
    ++count;
  }
  put_be32_at(w, count, count_pos);
  patch_box_size(w, start);
}

void write_stsc(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  int64_t start = open_full_box(w, "stsc", 0, 0);
  int64_t count_pos = writer_tell(w);
  put_be32(w, t->entry_count);  // entry count, patched
  uint32_t count = 0;
  uint32_t chunk = 0;
  uint64_t prev = 0;
  bool have_prev = false;
  RecordWalk walk(t);
  while (const SampleRecord* r = walk.next()) {
    if (!holds_samples(r)) continue;
    ++chunk;
    if (have_prev && r->samples == prev) continue;
    put_be32(w, chunk);              // first chunk
    put_be32(w, low32(r->samples));  // samples per chunk
    put_be32(w, 1);                  // sample description index
    ++count;
    prev = r->samples;
    have_prev = true;
  }
  put_be32_at(w, count, count_pos);
  patch_box_size(w, start);
}

void write_stsz(MuxContext* c, MuxTrack* t) {
  // One pass decides the form: the per-sample size must be the same in every
  // record, and only PCM records may pack several samples of that size.
  bool uniform = true;
  bool have_prev = false;
  uint32_t prev = 0;
  uint32_t first = 0;
  uint32_t total = 0;
  RecordWalk scan(t);
  while (const SampleRecord* r = scan.next()) {
    if (!holds_samples(r)) continue;
    uint32_t per = low32(
        static_cast<uint64_t>(static_cast<int64_t>(r->size) / static_cast<int64_t>(r->samples)));
    if ((have_prev && per != prev) || (r->samples > 1 && !is_pcm(t->codec_id))) uniform = false;
    if (!have_prev) first = per;
    total += low32(r->samples);
    prev = per;
    have_prev = true;
  }
  // A constant size of 0 would mean "a table follows": samples of 0 bytes
  // are listed one by one.
  bool constant = uniform && first != 0 && t->kind_copy != kKindTimecode;

  ByteWriter* w = c->writer;
  int64_t start = open_full_box(w, "stsz", 0, 0);
  put_be32(w, constant ? first : 0);  // sample size
  put_be32(w, total);                 // sample count
  if (!constant) {
    RecordWalk walk(t);
    while (const SampleRecord* r = walk.next()) {
      if (!holds_samples(r)) continue;
      if (r->samples == 1) {
        put_be32(w, low32(r->size));
        continue;
      }
      for (uint64_t k = 0; k < r->samples; ++k) put_be32(w, record_frame_size(*r, k));
    }
  }
  patch_box_size(w, start);
}

void write_stco(MuxContext* c, MuxTrack* t) {
  // Records lie in file order, so the last one has the largest offset.
  const SampleRecord* last = mux_last_record(t);
  bool wide = last && static_cast<int64_t>(last->pos) > 0xFFFFFFFFll;
  ByteWriter* w = c->writer;
  int64_t start = open_full_box(w, wide ? "co64" : "stco", 0, 0);
  put_be32(w, chunk_count(t));  // entry count
  RecordWalk walk(t);
  while (const SampleRecord* r = walk.next()) {
    if (!holds_samples(r)) continue;
    if (wide) {
      put_be64(w, r->pos);
    } else {
      put_be32(w, low32(r->pos));
    }
  }
  patch_box_size(w, start);
}
