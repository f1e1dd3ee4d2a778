// Sample tables: stbl and its stsd, stts, ctts, stss, stsc, stsz, stco/co64.
//
// Every SampleRecord is one chunk: the bytes of one mux_add_sample call, written
// contiguously at the record's position; in a file written as fragments a
// chunk is a run of the track's records that lie back to back. Tables are
// streamed record by record; counts known only at the end are written as
// placeholders and patched.
//
// An audio record may hold 0 samples (a packet handed over with a frame count
// of 0). Its bytes stay in mdat, but it describes no sample: stsc, stsz and
// stco leave it out together, so chunk numbers, sample counts and offsets stay
// consistent, and the stsz uniformity test does not look at it.
#include <algorithm>

#include "boxes/boxes.h"
#include "boxes/sample_rules.h"

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

uint32_t low32(uint64_t v) {
  return static_cast<uint32_t>(v);
}

// The chunks of a track: every record holding samples is one chunk, or, for a
// track written as fragments, every run of records that lie back to back in
// the file (a run's records without samples add nothing to it).
class ChunkWalk {
 public:
  explicit ChunkWalk(const MuxTrack* t) : t_(t), walk_(t), runs_(t->runs) {}

  // The next chunk's offset and sample count; false after the last.
  bool next(uint64_t* offset, uint64_t* samples) {
    if (runs_.first_records == nullptr) {
      while (const SampleRecord* r = walk_.next()) {
        if (!holds_samples(r)) continue;
        *offset = r->pos;
        *samples = r->samples;
        return true;
      }
      return false;
    }
    if (run_ >= runs_.count) return false;
    const uint32_t first = runs_.first_records[run_];
    const uint32_t end = run_ + 1 < runs_.count ? runs_.first_records[run_ + 1] : t_->entry_count;
    ++run_;
    *samples = 0;
    while (walk_.index() < end) {
      const uint32_t index = walk_.index();
      const SampleRecord* r = walk_.next();
      if (!r) break;
      if (index < first) continue;  // before the first run: no samples
      if (index == first) *offset = r->pos;
      if (holds_samples(r)) *samples += r->samples;
    }
    return true;
  }

 private:
  const MuxTrack* t_;
  RecordWalk walk_;
  RunList runs_;
  uint32_t run_ = 0;
};

// ctts is written for video of the reordering codecs when any offset is not
// zero, whatever its sign: without it every reader shows the pictures at
// their decode times.
bool writes_ctts(const MuxTrack* t) {
  if (!has_composition_offsets(t)) return false;
  const CompositionOffsetTable* table = t->ctts_table;
  if (!table || !table->entries) return false;
  for (uint32_t i = 0; i < table->count; ++i) {
    if (table->entries[i].offset != 0) return true;
  }
  return false;
}

uint32_t chunk_count(const MuxTrack* t) {
  ChunkWalk chunks(t);
  uint32_t n = 0;
  uint64_t offset = 0, samples = 0;
  while (chunks.next(&offset, &samples)) ++n;
  return n;
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

// The tables of a movie head, whose samples all lie in fragments: no
// decoding times, chunks, sizes or offsets.
void write_empty_tables(ByteWriter* w) {
  for (const char* tag : {"stts", "stsc"}) {
    put_be32(w, 16);
    put_tag(w, tag);
    put_be32(w, 0);  // version and flags
    put_be32(w, 0);  // entry count
  }
  put_be32(w, 20);
  put_tag(w, "stsz");
  put_be32(w, 0);  // version and flags
  put_be32(w, 0);  // sample size
  put_be32(w, 0);  // sample count
  put_be32(w, 16);
  put_tag(w, "stco");
  put_be32(w, 0);  // version and flags
  put_be32(w, 0);  // entry count
}

}  // namespace

void write_stbl(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "stbl");
  write_stsd(c, t);
  if (c->movie_head) {
    // The samples are in the fragments.
    write_empty_tables(w);
    patch_box_size(w, start);
    return;
  }
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
  ChunkWalk chunks(t);
  uint64_t offset = 0, samples = 0;
  while (chunks.next(&offset, &samples)) {
    ++chunk;
    if (have_prev && samples == prev) continue;
    put_be32(w, chunk);           // first chunk
    put_be32(w, low32(samples));  // samples per chunk
    put_be32(w, 1);               // sample description index
    ++count;
    prev = samples;
    have_prev = true;
  }
  put_be32_at(w, count, count_pos);
  patch_box_size(w, start);
}

void write_stsz(MuxContext* c, MuxTrack* t) {
  // One pass decides the form: the per-sample size must be the same in every
  // record, and only PCM records may pack several samples of that size.
  SizeUniformity sizes;
  RecordWalk scan(t);
  while (const SampleRecord* r = scan.next()) sizes.add(t, r);
  const bool constant = sizes.constant(t);

  ByteWriter* w = c->writer;
  int64_t start = open_full_box(w, "stsz", 0, 0);
  put_be32(w, constant ? sizes.first : 0);  // sample size
  put_be32(w, low32(sizes.total));          // sample count
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
  // Chunks lie in file order, so the last one has the largest offset (a
  // track of one chunk per record looks at its last record).
  const SampleRecord* last = t->runs.first_records != nullptr && t->runs.count > 0
                                 ? mux_record(t, t->runs.first_records[t->runs.count - 1])
                                 : mux_last_record(t);
  bool wide = last && static_cast<int64_t>(last->pos) > 0xFFFFFFFFll;
  ByteWriter* w = c->writer;
  int64_t start = open_full_box(w, wide ? "co64" : "stco", 0, 0);
  put_be32(w, chunk_count(t));  // entry count
  ChunkWalk chunks(t);
  uint64_t offset = 0, samples = 0;
  while (chunks.next(&offset, &samples)) {
    if (wide) {
      put_be64(w, offset);
    } else {
      put_be32(w, low32(offset));
    }
  }
  patch_box_size(w, start);
}
