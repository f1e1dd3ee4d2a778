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

const SampleRecord* record_at(const MuxTrack* t, uint64_t index) {
  if (index >= t->entry_count) return nullptr;
  const SampleBlock* block = t->block_first;
  for (uint64_t b = index / kSampleBlockRecords; b > 0 && block; --b) block = block->next;
  if (!block || !block->records) return nullptr;
  return &block->records[index % kSampleBlockRecords];
}

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

// The last sample lasts until the track's end when that lies behind its start,
// otherwise one nominal sample duration.
int64_t last_sample_delta(const MuxTrack* t, const SampleRecord* last) {
  int64_t rest = difference(static_cast<int64_t>(t->duration), track_time(t, last->dts));
  return rest > 0 ? rest : static_cast<int64_t>(t->sample_duration);
}

uint32_t low32(uint64_t v) {
  return static_cast<uint32_t>(v);
}

// Records that become chunks. Only audio records can hold 0 samples.
uint32_t chunk_count(const MuxTrack* t) {
  if (t->kind != kKindAudio) return t->entry_count;
  uint32_t n = 0;
  RecordWalk walk(t);
  while (const SampleRecord* r = walk.next()) n += holds_samples(r);
  return n;
}

void write_stts_constant(ByteWriter* w, const MuxTrack* t) {
  put_be32(w, 24);
  put_tag(w, "stts");
  put_be32(w, 0);                          // version and flags
  put_be32(w, 1);                          // entry count
  put_be32(w, low32(t->sample_count));     // sample count
  put_be32(w, low32(t->sample_duration));  // sample delta
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
  auto add = [&](int64_t delta) {
    if (run != 0 && delta == run_delta) {
      ++run;
      return;
    }
    if (run != 0) {
      put_be32(w, run);
      put_be32(w, low32(static_cast<uint64_t>(run_delta)));
      ++pairs;
    }
    run = 1;
    run_delta = delta;
  };
  RecordWalk walk(t);
  const SampleRecord* prev = walk.next();
  while (const SampleRecord* r = walk.next()) {
    add(difference(track_time(t, r->dts), track_time(t, prev->dts)));
    prev = r;
  }
  if (prev) add(last_sample_delta(t, prev));
  if (run != 0) {
    put_be32(w, run);
    put_be32(w, low32(static_cast<uint64_t>(run_delta)));
    ++pairs;
  }
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
  // Tracks fed at a constant rate have one entry; video that follows its time
  // stamps and every timecode track list their real durations.
  if (t->timestamp_durations == 0 && t->kind_copy != kKindTimecode) {
    write_stts_constant(w, t);
  } else {
    write_stts_table(w, t);
  }
  return static_cast<int32_t>(writer_tell(w) - start);
}

int64_t sample_delta(MuxTrack* t, int64_t index) {
  if (index < 0 || index >= static_cast<int64_t>(t->entry_count)) return 0;
  const SampleRecord* r = record_at(t, static_cast<uint64_t>(index));
  if (!r) return 0;
  if (index == static_cast<int64_t>(t->entry_count) - 1) return last_sample_delta(t, r);
  const SampleRecord* next = record_at(t, static_cast<uint64_t>(index) + 1);
  if (!next) return 0;
  return difference(track_time(t, next->dts), track_time(t, r->dts));
}

void write_ctts(MuxContext* c, MuxTrack* t) {
  if (t->kind != kKindVideo || !contains(kReorderingCodecs, t->codec_id)) return;
  const CompositionOffsetTable* table = t->ctts_table;
  if (t->ctts_sign <= 0 || !table || !table->entries || table->count == 0) return;
  bool positive = false;
  bool negative = false;
  for (uint32_t i = 0; i < table->count; ++i) {
    positive |= table->entries[i].offset > 0;
    negative |= table->entries[i].offset < 0;
  }
  if (!positive) return;
  // Version 0 offsets are unsigned; a table with a negative offset is only
  // valid as version 1.
  ByteWriter* w = c->writer;
  int64_t start = open_full_box(w, "ctts", negative ? 1 : 0, 0);
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
  // A size of 0 in the header announces a table, so samples of no bytes are listed.
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
  const SampleRecord* last = t->entry_count ? record_at(t, t->entry_count - 1) : nullptr;
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
