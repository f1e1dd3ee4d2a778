// The muxer's state for one output file and its sample bookkeeping.
#include "output/mux.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "codecs/hevc_config.h"

namespace {

bool holds_samples_of(const SampleRecord& r) {
  return static_cast<int32_t>(r.samples) > 0;
}

// Defaults each kind of track starts with; the session overrides most of them
// through the setters before the first sample.
struct KindDefaults {
  uint32_t timescale;
  uint64_t sample_duration;
  uint32_t codec_id;
  uint32_t channels;
  uint32_t bits_per_sample;
  uint32_t bit_rate;
  uint32_t width, height;
  float frame_rate;
  bool copies_enable_hint;
};

constexpr KindDefaults kKindDefaults[] = {
    // timescale, sample_duration, codec, channels, bits, bit_rate, w, h, rate, hint
    /* audio */ {44100, 1024, 0, 2, 16, 64000, 0, 0, 0.0f, true},
    /* video */ {30000, 1001, 0, 0, 0, 0, 320, 240, 29.97f, false},
    /* timed metadata */ {600, 40, 2, 0, 0, 0, 0, 0, 0.0f, true},
    /* timecode */ {600, 40, 2, 0, 0, 0, 0, 0, 0.0f, true},
};

constexpr uint32_t kCttsInitialCapacity = 1024;

bool known_kind(int64_t kind) {
  return kind >= kKindAudio && kind <= kKindTimecode;
}

MuxTrack* track_at(MuxContext* c, int32_t track) {
  if (c == nullptr || track < 0 || track >= kMaxTracks) return nullptr;
  return &c->tracks[track];
}

SampleBlock* new_block() {
  auto* block = static_cast<SampleBlock*>(malloc(sizeof(SampleBlock)));
  if (block == nullptr) return nullptr;
  block->records = static_cast<SampleRecord*>(calloc(kSampleBlockRecords, sizeof(SampleRecord)));
  if (block->records == nullptr) {
    free(block);
    return nullptr;
  }
  block->next = nullptr;
  return block;
}

CompositionOffsetTable* new_ctts_table() {
  auto* table = static_cast<CompositionOffsetTable*>(calloc(1, sizeof(CompositionOffsetTable)));
  if (table == nullptr) return nullptr;
  table->entries = static_cast<CompositionOffsetEntry*>(
      calloc(kCttsInitialCapacity, sizeof(CompositionOffsetEntry)));
  if (table->entries == nullptr) {
    free(table);
    return nullptr;
  }
  table->capacity = kCttsInitialCapacity;
  return table;
}

// Frees everything a track slot owns and leaves it zeroed.
void release_track(MuxTrack* t) {
  for (FrameSizeChunk* chunk = t->frame_sizes; chunk != nullptr;) {
    FrameSizeChunk* older = chunk->older;
    free(chunk);
    chunk = older;
  }
  for (SampleBlock* b = t->block_first; b != nullptr;) {
    SampleBlock* next = b->next;
    free(b->records);
    free(b);
    b = next;
  }
  if (t->kind == kKindVideo) free(t->audio_config);  // the scratch buffer; audio's is not owned
  if (t->ctts_table != nullptr) free(t->ctts_table->entries);
  free(t->ctts_table);
  free(t->extradata);
  free(t->extradata2);
  if (t->hevc_config != nullptr) hevc_config_release(t->hevc_config);
  free(t->hevc_annexb);
  free(t->language);
  free(t->runs.first_records);
  *t = MuxTrack{};
}

bool init_track(MuxContext* c, const TrackSpec& track_spec) {
  MuxTrack* t = &c->tracks[track_spec.index];
  const KindDefaults& d = kKindDefaults[track_spec.kind];
  t->track_id = static_cast<uint32_t>(track_spec.index) + 1;
  t->kind = static_cast<uint32_t>(track_spec.kind);
  t->kind_copy = t->kind;
  t->first_pts = -1;
  t->first_cts_offset = -1;
  t->timescale = d.timescale;
  t->sample_duration = d.sample_duration;
  t->codec_id = d.codec_id;
  t->channels = d.channels;
  t->bits_per_sample = d.bits_per_sample;
  t->bit_rate = d.bit_rate;
  t->width = d.width;
  t->height = d.height;
  t->frame_rate = d.frame_rate;
  if (d.copies_enable_hint) t->enable_hint = track_spec.enable_hint;
  t->entry_count = 0;
  t->entry_capacity = kSampleBlockRecords;
  t->block_first = t->block_last = new_block();
  if (t->block_first == nullptr) return false;
  if (track_spec.kind == kKindVideo) {
    t->audio_config = static_cast<uint8_t*>(calloc(kVideoScratchSize, 1));
    t->ctts_table = new_ctts_table();
    if (t->audio_config == nullptr || t->ctts_table == nullptr) return false;
    // The shared bit writer starts on this scratch buffer (first word zero:
    // the buffer is freshly zeroed).
    c->bits.buf = reinterpret_cast<uint32_t*>(t->audio_config);
    c->bits.end = t->audio_config + kVideoScratchSize;
    c->bits.bit_count = 0;
  }
  return true;
}

// trunc(x) as a signed 64-bit value; values outside its range saturate.
int64_t truncate_to_i64(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 9223372036854775807.0) return INT64_MAX;
  if (x <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(x);
}

// The next free record, adding a block when the current ones are full.
SampleRecord* next_record(MuxTrack* t) {
  if (t->entry_count + 1 > t->entry_capacity) {
    if (t->entry_capacity > UINT32_MAX - kSampleBlockRecords) return nullptr;
    SampleBlock* block = new_block();
    if (block == nullptr) return nullptr;
    t->block_last->next = block;
    t->block_last = block;
    t->entry_capacity += kSampleBlockRecords;
  }
  return &t->block_last->records[t->entry_count % kSampleBlockRecords];
}

bool is_pcm(uint32_t codec_id) {
  return codec_id == kCodecPcm16 || codec_id == kCodecPcm32Float;
}

// Room for one more run in the track's list, so that recording a sample of a
// file written as fragments cannot fail after the record was taken.
bool reserve_run(MuxTrack* t) {
  RunList& runs = t->runs;
  if (runs.count < runs.capacity) return true;
  if (runs.capacity > UINT32_MAX / 2) return false;
  const uint32_t capacity = runs.capacity == 0 ? 64 : runs.capacity * 2;
  auto* grown = static_cast<uint32_t*>(
      realloc(runs.first_records, static_cast<size_t>(capacity) * sizeof(uint32_t)));
  if (grown == nullptr) return false;
  runs.first_records = grown;
  runs.capacity = capacity;
  return true;
}

// A record with samples extends the track's last run when its bytes follow
// that run's directly, and starts a new run otherwise.
void note_run(MuxTrack* t, uint32_t index, const SampleRecord& r, uint64_t stored) {
  if (!holds_samples_of(r)) return;
  RunList& runs = t->runs;
  if (runs.count == 0 || r.pos != runs.end) runs.first_records[runs.count++] = index;
  runs.end = r.pos + stored;
}

uint32_t* chunk_sizes(FrameSizeChunk* chunk) {
  return reinterpret_cast<uint32_t*>(chunk + 1);
}

// Room for n frame sizes in the track's store, not yet taken (take_frame_sizes
// takes it once the record exists); null on allocation failure.
uint32_t* reserve_frame_sizes(MuxTrack* t, uint32_t n) {
  FrameSizeChunk* chunk = t->frame_sizes;
  if (chunk == nullptr || chunk->capacity - chunk->used < n) {
    const uint32_t capacity = n > kFrameSizeChunkSizes ? n : kFrameSizeChunkSizes;
    chunk = static_cast<FrameSizeChunk*>(
        malloc(sizeof(FrameSizeChunk) + static_cast<size_t>(capacity) * sizeof(uint32_t)));
    if (chunk == nullptr) return nullptr;
    chunk->older = t->frame_sizes;
    chunk->capacity = capacity;
    chunk->used = 0;
    t->frame_sizes = chunk;
  }
  return chunk_sizes(chunk) + chunk->used;
}

void take_frame_sizes(MuxTrack* t, uint32_t n) {
  t->frame_sizes->used += n;
}

// An audio packet's frame sizes from its list {i32 n, then n u32 values}, n > 0:
// for PCM every frame has the packet's first value divided by its frame count
// (the duration); for other codecs the values are the sizes. The one shared
// size goes into the record; several different ones into `sizes` (n of them).
void store_frame_sizes(const MuxTrack* t, SampleRecord* r, const void* extra, int32_t n,
                       int64_t duration, uint32_t* sizes) {
  const uint8_t* values = static_cast<const uint8_t*>(extra) + sizeof(int32_t);
  if (is_pcm(t->codec_id)) {
    uint32_t first;
    memcpy(&first, values, sizeof(first));
    // The duration of a PCM packet is its frame count; a packet passed without
    // one falls back to n, the same count.
    int64_t frames = duration > 0 ? duration : n;
    r->frame_size = static_cast<uint32_t>(static_cast<int64_t>(first) / frames);
  } else if (sizes == nullptr) {
    memcpy(&r->frame_size, values, sizeof(uint32_t));
  } else {
    memcpy(sizes, values, static_cast<size_t>(n) * sizeof(uint32_t));
    r->sub_sizes = sizes;
  }
}

}  // namespace

MuxContext* mux_create(TrackSpec* specs, int32_t count, uint32_t mode, FILE* file) {
  auto* c = new (std::nothrow) MuxContext();
  if (c == nullptr) return nullptr;
  c->mode = mode;
  c->mdat_started = 0;
  // Every track header carries this matrix; a file without video, whose
  // session never sets one, still needs the identity, not all zeros.
  mux_set_display_params(c, 1, 0, 0, 1, 0, 0);
  c->track_count = count < 0 ? 0 : count > kMaxTracks ? kMaxTracks : count;
  bool ok = true;
  for (int32_t i = 0; specs != nullptr && i < count && ok; ++i) {
    const TrackSpec& track_spec = specs[i];
    if (track_spec.index < 0 || track_spec.index >= kMaxTracks || !known_kind(track_spec.kind))
      continue;
    if (c->tracks[track_spec.index].block_first != nullptr) continue;  // slot already taken
    ok = init_track(c, track_spec);
  }
  c->writer = ok ? writer_create(kMuxWriterCapacity, file) : nullptr;
  c->metadata.cover_art = nullptr;
  if (c->writer == nullptr) {
    for (MuxTrack& t : c->tracks) release_track(&t);
    delete c;
    return nullptr;
  }
  return c;
}

int32_t write_media_data_header(MuxContext* c) {
  if (c == nullptr) return 0;
  ByteWriter* w = c->writer;
  put_be32(w, 8);
  put_tag(w, c->mode == kModeMov ? "wide" : "free");
  c->mdat_pos = static_cast<uint64_t>(writer_tell(w));
  put_be32(w, 0);  // patched when the file is finished
  put_tag(w, "mdat");
  put_be64(w, 0);  // room for the 64-bit size
  return 8;
}

void ctts_append(MuxContext* c, const void* extra, int32_t track) {
  MuxTrack* t = track_at(c, track);
  if (t == nullptr || extra == nullptr || t->ctts_table == nullptr) return;
  int32_t offset;
  memcpy(&offset, extra, sizeof(offset));
  if (offset > 0) t->ctts_sign = 1;
  if (offset < 0) t->ctts_sign = -1;
  CompositionOffsetTable* table = t->ctts_table;
  if (table->count >= table->capacity - 1) {
    // One reallocation per 1024 entries; the allocator may grow in place.
    uint32_t capacity = table->capacity + kCttsGrowth;
    auto* entries = static_cast<CompositionOffsetEntry*>(
        realloc(table->entries, static_cast<size_t>(capacity) * sizeof(CompositionOffsetEntry)));
    if (entries == nullptr) return;
    memset(entries + table->capacity, 0, kCttsGrowth * sizeof(CompositionOffsetEntry));
    table->entries = entries;
    table->capacity = capacity;
  }
  table->entries[table->count] = {1, offset};
  table->count += 1;
}

namespace {

// The first sample of a plain file opens its media-data box; a file written
// as fragments opens one per fragment instead.
inline void open_media_data(MuxContext* c) {
  if (c->mdat_started != 0 || c->fragments.state != nullptr) return;
  write_media_data_header(c);
  c->mdat_started = 1;
}

// Records one sample of `size` bytes at the current position (or at `pos`,
// for bytes already written); the caller appends the bytes when the result is
// kRecorded.
constexpr int32_t kRecorded = 1;
constexpr int64_t kHere = -1;
// Inlined into both callers: the per-sample cost is what the index is about.
__attribute__((always_inline)) inline int32_t record_sample(int32_t track, MuxContext* c,
                                                            uint32_t size, uint32_t flags,
                                                            uint32_t kind, const void* extra,
                                                            int64_t dts, int64_t pts,
                                                            int64_t duration, int64_t pos = kHere) {
  MuxTrack* t = track_at(c, track);
  if (t == nullptr || t->block_first == nullptr || !known_kind(kind) || t->kind != kind) return 0;

  // Everything that can fail comes first, so a failure leaves no trace.
  // A negative frame count counts as none: the record then covers no samples.
  int32_t frames = 0;
  if (kind == kKindAudio && extra != nullptr) memcpy(&frames, extra, sizeof(frames));
  if (frames < 0) frames = 0;
  uint32_t* sizes = nullptr;
  if (frames > 1 && !is_pcm(t->codec_id)) {
    sizes = reserve_frame_sizes(t, static_cast<uint32_t>(frames));
    if (sizes == nullptr) return -1;
  }
  if (c->fragments.state != nullptr && !reserve_run(t)) return -1;
  SampleRecord* r = next_record(t);
  if (r == nullptr) return -1;

  open_media_data(c);
  if (t->first_cts_offset == -1) {
    // Hostile time stamps must not overflow: the difference saturates.
    int64_t offset;
    if (__builtin_sub_overflow(pts, dts, &offset)) offset = pts < dts ? INT64_MIN : INT64_MAX;
    t->first_cts_offset = offset;
    t->first_dts = dts;
  }
  if (t->first_pts == -1) t->first_pts = pts;

  r->pts = pts;
  r->dts = dts;
  r->pos = static_cast<uint64_t>(pos == kHere ? writer_tell(c->writer) : pos);
  r->size = size;
  t->entry_count += 1;
  switch (kind) {
    case kKindAudio:
      r->samples = static_cast<uint32_t>(frames);
      if (frames > 0) store_frame_sizes(t, r, extra, frames, duration, sizes);
      if (sizes != nullptr) take_frame_sizes(t, static_cast<uint32_t>(frames));
      t->sample_count += static_cast<uint64_t>(frames);
      t->duration += static_cast<uint64_t>(duration);
      break;
    case kKindVideo:
      r->samples = 1;
      r->flags = flags;
      t->sample_count += 1;
      if (t->timestamp_durations != 0) {
        // The time up to the latest frame plus one frame. A decode time that
        // goes back does not shorten the track: the sample tables keep decode
        // times increasing, so the frames before it still need their time.
        double elapsed = (static_cast<double>(dts) - static_cast<double>(t->first_dts)) *
                         t->timescale / 10000000.0;
        int64_t reached = truncate_to_i64(elapsed + static_cast<double>(t->sample_duration));
        if (t->sample_count == 1 || reached > static_cast<int64_t>(t->duration)) {
          t->duration = static_cast<uint64_t>(reached);
        }
      } else {
        t->duration += t->sample_duration;
      }
      if (extra != nullptr && (t->codec_id == kCodecMpeg4Visual || t->codec_id == kCodecH264 ||
                               t->codec_id == kCodecHevc)) {
        ctts_append(c, extra, track);
      }
      break;
    case kKindTimedMetadata:
      r->samples = 1;
      r->flags = flags;
      t->sample_count += 1;
      t->duration += t->sample_duration;
      break;
    case kKindTimecode:
      r->samples = 1;
      r->flags = flags;
      t->sample_count += 1;
      t->duration += static_cast<uint64_t>(duration);
      break;
  }
  return kRecorded;
}

}  // namespace

namespace {

// The frame count an audio packet's list gives (0 for none or a negative one).
uint32_t announced_samples(uint32_t kind, const void* extra) {
  if (kind != kKindAudio) return 1;
  int32_t frames = 0;
  if (extra != nullptr) memcpy(&frames, extra, sizeof(frames));
  return frames > 0 ? static_cast<uint32_t>(frames) : 0;
}

// A file written as fragments hears of every sample of a track in use before
// it is recorded.
void announce(MuxContext* c, int32_t track, uint32_t kind, uint32_t flags, int64_t dts,
              const void* extra, uint64_t bytes) {
  const MuxTrack* t = track_at(c, track);
  if (t == nullptr || t->block_first == nullptr || t->kind != kind) return;
  int32_t offset = 0;
  if (kind == kKindVideo && extra != nullptr) memcpy(&offset, extra, sizeof(offset));
  c->fragments.announce(c, track,
                        {kind, flags, dts, announced_samples(kind, extra), bytes, offset});
}

}  // namespace

int32_t mux_add_sample(int32_t track, MuxContext* c, const uint8_t* data, uint32_t size,
                       uint32_t flags, uint32_t kind, const void* extra, int64_t dts, int64_t pts,
                       int64_t duration) {
  // The record describes what is in the file: nothing for null data.
  const uint32_t stored = data != nullptr ? size : 0;
  if (c != nullptr && c->fragments.state != nullptr) {
    announce(c, track, kind, flags, dts, extra, stored);
    int32_t result = record_sample(track, c, stored, flags, kind, extra, dts, pts, duration);
    if (result != kRecorded) return result;
    MuxTrack* t = &c->tracks[track];
    const SampleRecord& r = *mux_last_record(t);
    // Only the samples' bytes: a chunk's samples must lie back to back.
    const uint64_t described = described_bytes(r);
    if (described > 0) put_bytes64(c->writer, data, static_cast<int64_t>(described));
    note_run(t, t->entry_count - 1, r, described);
    return 0;
  }
  int32_t result = record_sample(track, c, stored, flags, kind, extra, dts, pts, duration);
  if (result == kRecorded && stored > 0) put_bytes64(c->writer, data, stored);
  return result == kRecorded ? 0 : result;
}

int32_t mux_add_sample_spans(int32_t track, MuxContext* c, const WriteSpan* spans, size_t count,
                             uint32_t flags, uint32_t kind, const void* extra, int64_t dts,
                             int64_t pts, int64_t duration) {
  uint64_t total = 0;
  for (size_t i = 0; spans != nullptr && i < count; ++i) total += spans[i].size;
  // A record holds a 32-bit size: a larger sample would be described wrongly.
  if (total > UINT32_MAX) return -1;
  const auto size = static_cast<uint32_t>(total);
  const bool fragments = c != nullptr && c->fragments.state != nullptr;
  if (fragments) announce(c, track, kind, flags, dts, extra, size);
  int32_t result = record_sample(track, c, size, flags, kind, extra, dts, pts, duration);
  if (result != kRecorded) return result;
  // Pieces make one sample of their total, all of whose bytes are the sample.
  if (size > 0) put_spans(c->writer, spans, count);
  if (fragments) {
    MuxTrack* t = &c->tracks[track];
    note_run(t, t->entry_count - 1, *mux_last_record(t), size);
  }
  return 0;
}

bool mux_reserve_sample(int32_t track, MuxContext* c, uint32_t kind) {
  MuxTrack* t = track_at(c, track);
  if (t == nullptr || t->block_first == nullptr || !known_kind(kind) || t->kind != kind)
    return false;
  // Only audio packets of several frames need more than the record.
  if (kind == kKindAudio || c->fragments.state != nullptr) return false;
  return next_record(t) != nullptr;
}

int64_t mux_sample_bytes_start(MuxContext* c) {
  if (c == nullptr) return -1;
  open_media_data(c);
  return writer_tell(c->writer);
}

int32_t mux_add_written_sample(int32_t track, MuxContext* c, int64_t start, uint32_t flags,
                               uint32_t kind, const void* extra, int64_t dts, int64_t pts,
                               int64_t duration) {
  if (c == nullptr || start < 0) return -1;
  const int64_t size = writer_tell(c->writer) - start;
  if (size < 0 || size > UINT32_MAX) return -1;
  const int32_t result = record_sample(track, c, static_cast<uint32_t>(size), flags, kind, extra,
                                       dts, pts, duration, start);
  return result == kRecorded ? 0 : result;
}

bool mux_write_as_fragments(MuxContext* c, const FragmentHooks& hooks) {
  if (c == nullptr || hooks.state == nullptr || hooks.announce == nullptr) return false;
  for (MuxTrack& t : c->tracks) {
    if (t.block_first != nullptr && !reserve_run(&t)) return false;
  }
  c->fragments = hooks;
  return true;
}

uint64_t described_bytes(const SampleRecord& r) {
  if (static_cast<int32_t>(r.samples) <= 0) return 0;
  if (r.samples == 1) return r.size;
  if (r.sub_sizes == nullptr) return static_cast<uint64_t>(r.frame_size) * r.samples;
  uint64_t total = 0;
  for (uint32_t k = 0; k < r.samples; ++k) total += r.sub_sizes[k];
  return total;
}

void mux_destroy(TrackSpec* /*specs*/, int32_t /*count*/, MuxContext* c) {
  if (c == nullptr) return;
  if (c->fragments.state != nullptr && c->fragments.release != nullptr)
    c->fragments.release(c->fragments.state);
  c->fragments = {};
  mux_set_cover_art(c, nullptr);
  for (MuxTrack& t : c->tracks) release_track(&t);
  writer_close(c->writer);
  delete c;
}

SampleRecord* mux_record(MuxTrack* t, uint64_t i) {
  if (t == nullptr || i >= t->entry_count) return nullptr;
  SampleBlock* block = t->block_first;
  uint64_t first = 0;
  if (t->lookup_block != nullptr && i >= t->lookup_first) {
    block = t->lookup_block;
    first = t->lookup_first;
  }
  while (i - first >= kSampleBlockRecords) {
    block = block->next;
    first += kSampleBlockRecords;
  }
  t->lookup_block = block;
  t->lookup_first = first;
  return &block->records[i - first];
}

SampleRecord* mux_last_record(MuxTrack* t) {
  if (t == nullptr || t->entry_count == 0) return nullptr;
  return &t->block_last->records[(t->entry_count - 1) % kSampleBlockRecords];
}

// Track setters.

void mux_set_codec(int32_t track, MuxContext* c, uint32_t codec_id) {
  if (MuxTrack* t = track_at(c, track)) t->codec_id = codec_id;
}

void mux_set_timescale(int32_t track, MuxContext* c, uint32_t timescale) {
  if (MuxTrack* t = track_at(c, track)) t->timescale = timescale;
}

void mux_set_sample_duration(int32_t track, MuxContext* c, int32_t duration) {
  if (MuxTrack* t = track_at(c, track)) {
    t->sample_duration = static_cast<uint64_t>(static_cast<int64_t>(duration));
  }
}

void mux_set_channels(int32_t track, MuxContext* c, uint32_t channels) {
  if (MuxTrack* t = track_at(c, track)) t->channels = channels;
}

void mux_set_bits_per_sample(int32_t track, MuxContext* c, uint32_t bits) {
  if (MuxTrack* t = track_at(c, track)) t->bits_per_sample = bits;
}

void mux_set_language(int32_t track, MuxContext* c, const char* language) {
  MuxTrack* t = track_at(c, track);
  if (t == nullptr) return;
  free(t->language);
  t->language = nullptr;
  if (language == nullptr) return;
  size_t length = strlen(language);
  t->language = static_cast<char*>(calloc(length + 1024, 1));
  if (t->language != nullptr) memcpy(t->language, language, length);
}

void mux_set_picture_size(int32_t track, MuxContext* c, uint32_t width, uint32_t height) {
  if (MuxTrack* t = track_at(c, track)) {
    t->width = width;
    t->height = height;
  }
}

void mux_set_display_size(int32_t track, MuxContext* c, uint32_t width, uint32_t height) {
  if (MuxTrack* t = track_at(c, track)) {
    t->display_width = width;
    t->display_height = height;
  }
}

void mux_set_frame_rate(int32_t track, MuxContext* c, float rate, uint32_t timestamp_durations) {
  if (MuxTrack* t = track_at(c, track)) {
    t->frame_rate = rate;
    t->timestamp_durations = timestamp_durations;
  }
}

void mux_set_spherical(int32_t track, MuxContext* c, uint32_t stereo_layout, uint32_t field_of_view,
                       uint32_t spherical_aux) {
  if (MuxTrack* t = track_at(c, track)) {
    t->stereo_layout = stereo_layout;
    t->field_of_view = field_of_view;
    t->spherical_aux = spherical_aux;
  }
}

void mux_set_stereo_mode(int32_t track, MuxContext* c, uint32_t stereo_mode) {
  if (MuxTrack* t = track_at(c, track)) t->stereo_mode = stereo_mode;
}

void mux_set_spherical_record(int32_t track, MuxContext* c, const uint8_t record[40]) {
  MuxTrack* t = track_at(c, track);
  if (t == nullptr || record == nullptr) return;
  // Ten 32-bit words in host order: projection, yaw, pitch, roll; the four
  // bounds; cube-map layout and padding.
  uint32_t* const fields[10] = {&t->spherical_projection,     &t->spherical_yaw,
                                &t->spherical_pitch,          &t->spherical_roll,
                                &t->spherical_bound_left,     &t->spherical_bound_top,
                                &t->spherical_bound_right,    &t->spherical_bound_bottom,
                                &t->spherical_cubemap_layout, &t->spherical_cubemap_padding};
  for (int i = 0; i < 10; ++i) memcpy(fields[i], record + 4 * i, sizeof(uint32_t));
}

void mux_set_dovi_enabled(int32_t track, MuxContext* c, uint32_t /*ignored*/) {
  if (MuxTrack* t = track_at(c, track)) t->dovi_enabled = 1;
}

void mux_set_avc_config(int32_t track, MuxContext* c, uint32_t version, uint32_t profile,
                        uint32_t compat, uint32_t level) {
  if (MuxTrack* t = track_at(c, track)) {
    t->avc_config_version = version;
    t->avc_profile = profile;
    t->avc_compat = compat;
    t->avc_level = level;
  }
}

namespace {

// A zeroed buffer of size + 1 bytes holding a copy of data; a null source
// gives an empty buffer and size 0.
void store_copy(uint8_t** slot, uint32_t* slot_size, const uint8_t* data, uint32_t size) {
  free(*slot);
  *slot_size = 0;
  if (data == nullptr) size = 0;
  *slot = static_cast<uint8_t*>(calloc(static_cast<size_t>(size) + 1, 1));
  if (*slot == nullptr) return;
  if (size > 0) memcpy(*slot, data, size);
  *slot_size = size;
}

}  // namespace

void mux_set_extradata(int32_t track, MuxContext* c, const uint8_t* data, uint32_t size) {
  if (MuxTrack* t = track_at(c, track)) store_copy(&t->extradata, &t->extradata_size, data, size);
}

void mux_set_extradata2(int32_t track, MuxContext* c, const uint8_t* data, uint32_t size) {
  if (MuxTrack* t = track_at(c, track)) store_copy(&t->extradata2, &t->extradata2_size, data, size);
}

void mux_set_hevc_config(int32_t track, MuxContext* c, const uint8_t* data, uint32_t size) {
  MuxTrack* t = track_at(c, track);
  if (t == nullptr) return;
  // The parsed configuration points into the bytes it was built from, so it is
  // built from a copy that lives as long as the track.
  if (t->hevc_config != nullptr) hevc_config_release(t->hevc_config);
  t->hevc_config = nullptr;
  store_copy(&t->hevc_annexb, &t->hevc_annexb_size, data, size);
  if (t->hevc_annexb == nullptr || t->hevc_annexb_size > INT32_MAX) return;
  int32_t error = 0;
  t->hevc_config =
      hevc_config_from_annexb(t->hevc_annexb, static_cast<int32_t>(t->hevc_annexb_size), 0, &error);
}

void mux_set_audio_config(int32_t track, MuxContext* c, const uint8_t* data, uint32_t size) {
  MuxTrack* t = track_at(c, track);
  if (t == nullptr || t->kind == kKindVideo) return;
  t->audio_config = const_cast<uint8_t*>(data);
  t->audio_config_size = size;
}

void mux_set_display_params(MuxContext* c, int32_t a, int32_t b, int32_t cc, int32_t d, int32_t tx,
                            int32_t ty) {
  if (c == nullptr) return;
  const int32_t values[6] = {a, b, cc, d, tx, ty};
  memcpy(c->display_params, values, sizeof(values));
}

void mux_set_format_fourcc(MuxContext* c, uint32_t fourcc) {
  if (c != nullptr) c->format_fourcc = fourcc;
}

void mux_set_metadata(MuxContext* c, const MovieMetadata* metadata) {
  if (c == nullptr || metadata == nullptr) return;
  const MxPicture* own_cover = c->metadata.cover_art;
  memcpy(&c->metadata, metadata, sizeof(MovieMetadata));
  c->metadata.cover_art = own_cover;
}

void mux_set_cover_art(MuxContext* c, const MxPicture* picture) {
  if (c == nullptr) return;
  if (const MxPicture* old = c->metadata.cover_art) {
    free(const_cast<uint8_t*>(old->data));
    free(const_cast<MxPicture*>(old));
    c->metadata.cover_art = nullptr;
  }
  if (picture == nullptr) return;
  auto* copy = static_cast<MxPicture*>(malloc(sizeof(MxPicture)));
  if (copy == nullptr) return;
  *copy = *picture;
  uint8_t* bytes = nullptr;
  if (picture->data != nullptr && picture->size > 0) {
    bytes = static_cast<uint8_t*>(malloc(picture->size));
    if (bytes == nullptr) {
      free(copy);
      return;
    }
    memcpy(bytes, picture->data, picture->size);
  }
  copy->data = bytes;
  copy->size = bytes != nullptr ? picture->size : 0;
  c->metadata.cover_art = copy;
}
