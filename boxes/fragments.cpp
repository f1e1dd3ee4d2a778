// Writing a file as movie fragments (see fragments.h for the layout).
#include "boxes/fragments.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "boxes/boxes.h"
#include "boxes/sample_rules.h"

namespace {

// One sample as the tables of the finished file state it.
struct FragmentSample {
  int64_t duration;
  uint32_t size;
  bool sync;
  int32_t offset;  // composition offset
};

// What a track's traf holds in the open fragment: its samples, the truns they
// need (a run, split at every sync sample), and the per-sample fields any of
// those truns need.
struct TrafCounts {
  uint64_t samples = 0;
  uint32_t truns = 0;
  bool sizes_listed = false;
  bool durations_listed = false;
  bool offsets_listed = false;
};

// What a track's samples are, for the fragments; fixed once samples come.
struct TrackTraits {
  bool video = false;
  bool constant_rate = true;  // stts of the nominal duration
  bool reorders = false;      // composition offsets are kept
  bool timecode = false;
  int64_t nominal = 0;
};

// The open fragment of one track.
struct FragmentTrack {
  uint32_t first_record = 0;  // the fragment's first record of the track
  int64_t first_time = 0;     // its decode time
  uint32_t runs_before = 0;   // the track's runs before the fragment
  TrafCounts counts;
  int64_t bytes = 0;            // the traf's size, an upper bound (0 without samples)
  int64_t latest_time = 0;      // decode time of the track's latest record
  uint32_t latest_samples = 0;  // and its samples
  bool have_latest = false;
  SizeUniformity sizes;  // of every record so far: the size table's form
  TrackTraits traits;
};

}  // namespace

struct FragmentWriting {
  ConfigureTracks configure = nullptr;
  void* owner = nullptr;
  FragmentLimits limits;
  FragmentTrack tracks[kMaxTracks];
  int32_t driving = -1;  // whose sync samples close fragments
  bool started = false;
  bool head_written = false;    // the movie head is in the file
  bool head_too_large = false;  // it did not fit its room: nothing is shown
  int64_t head_pos = 0;         // the head's room: a free box with a 16-byte header
  int64_t head_size = 0;
  int64_t head_estimate = 0;  // the movie head's size when the room was made
  int64_t head_free = 0;      // the room's free box once the head is shown
  int64_t movie_head_pos = 0;
  int64_t room_pos = 0;  // the open fragment's room
  int64_t room_size = 0;
  int64_t mdat_pos = 0;                 // its media-data box
  uint32_t sequence = 1;                // of the next moof
  uint32_t records = 0;                 // records in the open fragment
  int64_t moof_bytes = 0;               // its moof's size, an upper bound (kMoofFixedBytes and up)
  int64_t span = 0;                     // of a fragment, in the driving track's units
  std::vector<FragmentSample> scratch;  // a run's samples while its truns are written
  std::vector<int64_t>
      data_offset_fields;    // where the moof being built has its truns' data offsets
  int64_t* moofs = nullptr;  // positions of the moofs shown
  uint32_t moof_count = 0;
  uint32_t moof_capacity = 0;
  uint32_t hidden = 0;
};

namespace {

constexpr uint32_t kSyncSampleFlags = 0x02000000;     // depends on no other sample
constexpr uint32_t kNonSyncSampleFlags = 0x01010000;  // depends on others, not a sync sample
constexpr uint32_t kTfhdFlags = 0x020000 | 0x08 | 0x10 | 0x20;  // base is the moof; 3 defaults
constexpr uint32_t kTrunDataOffset = 0x001;
constexpr uint32_t kTrunFirstSampleFlags = 0x004;
constexpr uint32_t kTrunDurations = 0x100;
constexpr uint32_t kTrunSizes = 0x200;
constexpr uint32_t kTrunOffsets = 0x800;

// What a moof takes, for the decision to close a fragment before its moof
// outgrows its room.
constexpr int64_t kMoofFixedBytes = 8 + 16;       // moof, mfhd
constexpr int64_t kTrafFixedBytes = 8 + 28 + 20;  // traf, tfhd, tfdt
constexpr int64_t kTrunFixedBytes = 20;           // with its data offset
constexpr int64_t kFirstFlagsBytes = 4;           // video truns
// A last sample whose duration differs from the others' gets a trun of its own.
constexpr int64_t kLastSampleSlack = kTrunFixedBytes + kFirstFlagsBytes + 12;
constexpr int64_t kHeadSlack = 1024;  // for configuration that grows before the head is shown
// The first moof's room, in rooms: nothing is known of the samples yet.
constexpr int64_t kFirstRoomFactor = 4;
constexpr int64_t kMaxRoom = 4ll << 20;  // a moof never gets more room than this

constexpr uint8_t kZeros[4096] = {};

void put_zeros(ByteWriter* w, int64_t n) {
  while (n > 0) {
    const int64_t piece = std::min<int64_t>(n, sizeof kZeros);
    put_bytes64(w, kZeros, piece);
    n -= piece;
  }
}

uint32_t low32(uint64_t v) {
  return static_cast<uint32_t>(v);
}
uint32_t low32(int64_t v) {
  return static_cast<uint32_t>(static_cast<uint64_t>(v));
}

// Stores v big-endian at buffer + used; returns the bytes used then.
size_t store_be32(uint8_t* buffer, size_t used, uint32_t v) {
  buffer[used] = static_cast<uint8_t>(v >> 24);
  buffer[used + 1] = static_cast<uint8_t>(v >> 16);
  buffer[used + 2] = static_cast<uint8_t>(v >> 8);
  buffer[used + 3] = static_cast<uint8_t>(v);
  return used + 4;
}
size_t store_be32(uint8_t* buffer, size_t used, int32_t v) {
  return store_be32(buffer, used, static_cast<uint32_t>(v));
}

uint32_t load_be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

FragmentWriting& state_of(MuxContext* c) {
  return *c->fragments.state;
}

int64_t nominal_duration(const MuxTrack* t) {
  return static_cast<int64_t>(t->sample_duration);
}

// ------------------------------------------------------------ the samples

// The samples of a track's records [first, end), the first at decode time
// `time`. The last record's duration comes from its successor's time stamp
// (next_dts) when that is known; at the track's end it is the one close
// gives the track's last sample; else the rule close applies to a last
// record, which holds unless the track goes on differently.
class FragmentSamples {
 public:
  FragmentSamples(const MuxTrack* t, uint32_t first, uint32_t end, int64_t time,
                  const int64_t* next_dts, bool track_ends)
      : t_(t),
        constant_(has_constant_stts(t)),
        offsets_(has_composition_offsets(t) ? t->ctts_table : nullptr),
        nominal_(nominal_duration(t)),
        walk_(t, first),
        times_(t, first, time),
        index_(first),
        end_(end),
        next_dts_(next_dts),
        track_ends_(track_ends) {}

  bool next(FragmentSample* s) {
    if (record_ == nullptr || k_ >= record_->samples) {
      if (!next_record()) return false;
    }
    const SampleRecord& r = *record_;
    s->size = r.samples == 1 ? r.size : record_frame_size(r, k_);
    s->sync = r.flags != 0;
    s->offset = offset_;
    s->duration = delta_;
    if (constant_ && track_ends_ && index_ == t_->entry_count && k_ + 1 == r.samples &&
        short_last_sample(t_) != 0) {
      s->duration = short_last_sample(t_);  // the track's last sample
    }
    ++k_;
    return true;
  }

 private:
  bool next_record() {
    do {
      if (index_ >= end_) return false;
      if (constant_) {
        record_ = walk_.next();
        delta_ = nominal_;
      } else {
        int64_t time = 0;
        const bool last = index_ + 1 == end_;
        record_ = times_.next(&time, &delta_, last && !track_ends_ ? next_dts_ : nullptr);
      }
      if (record_ == nullptr) return false;
      offset_ = offsets_ && index_ < offsets_->count ? offsets_->entries[index_].offset : 0;
      ++index_;
      k_ = 0;
    } while (!holds_samples(record_));
    return true;
  }

  const MuxTrack* t_;
  bool constant_;  // every sample lasts the nominal duration (but the track's last)
  const CompositionOffsetTable* offsets_;
  int64_t nominal_;
  RecordWalk walk_;    // constant rate
  DecodeTimes times_;  // durations from the time stamps
  uint32_t index_;
  uint32_t end_;
  const int64_t* next_dts_;
  bool track_ends_;
  const SampleRecord* record_ = nullptr;
  uint32_t k_ = 0;
  int64_t delta_ = 0;
  int32_t offset_ = 0;
};

// ------------------------------------------------------------ the moof

// What a moof states for one track.
struct TrafPlan {
  MuxTrack* t;
  uint32_t first, end;  // the records in the fragment
  int64_t time;         // decode time of the first
  bool sizes_listed;    // else every sample has default_size
  uint32_t default_size;
  const int64_t* next_dts;
  bool track_ends;
};

struct TrunFields {
  uint32_t flags = kTrunDataOffset;
  uint8_t version = 0;
  uint32_t first_flags = 0;
};

// One trun: `count` samples of the run's from `first` on, the first at
// data_offset from the moof's start, with the fields they need.
struct TrunPlan {
  size_t first;
  uint32_t count;
  int64_t data_offset;
  TrunFields fields;
};

// The fields of a trun that starts with sample s.
TrunFields fields_from(const TrafPlan& traf, const FragmentSample& s) {
  TrunFields f;
  if (traf.sizes_listed) f.flags |= kTrunSizes;
  if (traf.t->kind == kKindVideo) f.flags |= kTrunFirstSampleFlags;
  f.first_flags = s.sync ? kSyncSampleFlags : kNonSyncSampleFlags;
  return f;
}

// What sample s needs of its trun's fields.
void take_sample(TrunFields* f, const FragmentSample& s, int64_t nominal) {
  if (s.duration != nominal) f->flags |= kTrunDurations;
  if (s.offset != 0) f->flags |= kTrunOffsets;
  if (s.offset < 0) f->version = 1;
}

// A run's truns: one per sync sample of a video run, so that no trun lists
// per-sample flags; and in the traf's last run, a last sample whose duration
// alone differs from the default (a track's last, or a provisional one) gets
// one of its own, so that the others need no durations. The run's samples
// are read once, into `samples`.
std::vector<TrunPlan> plan_truns(const TrafPlan& traf, uint32_t run_first, uint32_t run_end,
                                 bool last_run, int64_t time, int64_t data_offset,
                                 std::vector<FragmentSample>* samples, int64_t* run_duration) {
  const MuxTrack* t = traf.t;
  const bool video = t->kind == kKindVideo;
  const int64_t nominal = nominal_duration(t);
  FragmentSamples walk(t, run_first, run_end, time, traf.next_dts, traf.track_ends);
  std::vector<TrunPlan> truns;
  TrunFields before_latest;  // of the last trun without its latest sample
  samples->clear();
  *run_duration = 0;
  FragmentSample s{};
  while (walk.next(&s)) {
    if (truns.empty() || (video && s.sync))
      truns.push_back({samples->size(), 0, data_offset, fields_from(traf, s)});
    TrunPlan& trun = truns.back();
    before_latest = trun.fields;
    ++trun.count;
    take_sample(&trun.fields, s, nominal);
    samples->push_back(s);
    data_offset += s.size;
    *run_duration += s.duration;
  }
  if (last_run && !truns.empty() && truns.back().count > 1 && samples->back().duration != nominal &&
      !(before_latest.flags & kTrunDurations)) {
    const FragmentSample& latest = samples->back();
    TrunPlan& whole = truns.back();
    --whole.count;
    whole.fields = before_latest;
    TrunFields alone = fields_from(traf, latest);
    take_sample(&alone, latest, nominal);
    truns.push_back({samples->size() - 1, 1, data_offset - latest.size, alone});
  }
  return truns;
}

void write_mfhd(MuxContext* c, uint32_t sequence) {
  ByteWriter* w = c->writer;
  put_be32(w, 16);
  put_tag(w, "mfhd");
  put_be32(w, 0);         // version and flags
  put_be32(w, sequence);  // sequence number
}

void write_tfhd(MuxContext* c, const TrafPlan& traf) {
  ByteWriter* w = c->writer;
  const MuxTrack* t = traf.t;
  put_be32(w, 28);
  put_tag(w, "tfhd");
  put_be32(w, kTfhdFlags);                 // version 0, flags
  put_be32(w, t->track_id);                // track ID
  put_be32(w, low32(t->sample_duration));  // default sample duration
  put_be32(w, traf.default_size);          // default sample size
  put_be32(w, t->kind == kKindVideo ? kNonSyncSampleFlags : kSyncSampleFlags);  // default flags
}

void write_tfdt(MuxContext* c, int64_t time) {
  ByteWriter* w = c->writer;
  put_be32(w, 20);
  put_tag(w, "tfdt");
  put_be32(w, 0x01000000);                   // version 1, flags 0
  put_be64(w, static_cast<uint64_t>(time));  // base media decode time
}

void write_trun(MuxContext* c, const TrunPlan& trun, const std::vector<FragmentSample>& samples) {
  ByteWriter* w = c->writer;
  const TrunFields& f = trun.fields;
  int64_t start = open_full_box(w, "trun", f.version, f.flags);
  put_be32(w, trun.count);  // sample count
  state_of(c).data_offset_fields.push_back(writer_tell(w));
  put_be32(w, static_cast<uint32_t>(static_cast<int32_t>(trun.data_offset)));  // data offset
  if (f.flags & kTrunFirstSampleFlags) put_be32(w, f.first_flags);             // first sample flags
  if (f.flags & (kTrunDurations | kTrunSizes | kTrunOffsets)) {
    // The samples' fields, gathered into pieces of a few KiB.
    uint8_t piece[4096];
    size_t used = 0;
    for (size_t i = trun.first; i < trun.first + trun.count; ++i) {
      const FragmentSample& s = samples[i];
      if (f.flags & kTrunDurations) used = store_be32(piece, used, low32(s.duration));  // duration
      if (f.flags & kTrunSizes) used = store_be32(piece, used, s.size);                 // size
      if (f.flags & kTrunOffsets) used = store_be32(piece, used, s.offset);  // composition offset
      if (used > sizeof piece - 12) {
        put_bytes(w, piece, static_cast<int32_t>(used));
        used = 0;
      }
    }
    put_bytes(w, piece, static_cast<int32_t>(used));
  }
  patch_box_size(w, start);
}

// The truns of every run of the track in the fragment.
void write_traf(MuxContext* c, const TrafPlan& traf, uint32_t runs_before, int64_t moof_pos,
                std::vector<FragmentSample>* scratch) {
  ByteWriter* w = c->writer;
  MuxTrack* t = traf.t;
  int64_t start = open_box(w, "traf");
  write_tfhd(c, traf);
  write_tfdt(c, traf.time);
  const RunList& runs = t->runs;
  int64_t time = traf.time;
  for (uint32_t k = runs_before; k < runs.count && runs.first_records[k] < traf.end; ++k) {
    const uint32_t run_first = std::max(runs.first_records[k], traf.first);
    const uint32_t run_end =
        k + 1 < runs.count ? std::min(runs.first_records[k + 1], traf.end) : traf.end;
    const int64_t data_offset = static_cast<int64_t>(mux_record(t, run_first)->pos) - moof_pos;
    const bool last_run = k + 1 == runs.count || runs.first_records[k + 1] >= traf.end;
    int64_t duration = 0;
    for (const TrunPlan& trun :
         plan_truns(traf, run_first, run_end, last_run, time, data_offset, scratch, &duration))
      write_trun(c, trun, *scratch);
    time += duration;
  }
  patch_box_size(w, start);
}

// Writes the moof of the open fragment at moof_pos (its own start: data
// offsets count from there). next_track and next_dts: the sample whose
// announcement closes the fragment, which gives its track's last record a
// duration; track_ends: the file is being closed.
void write_moof(MuxContext* c, int64_t moof_pos, int32_t next_track, const int64_t* next_dts,
                bool track_ends) {
  FragmentWriting& f = state_of(c);
  ByteWriter* w = c->writer;
  f.data_offset_fields.clear();
  int64_t start = open_box(w, "moof");
  write_mfhd(c, f.sequence);
  for (int32_t i = 0; i < kMaxTracks; ++i) {
    MuxTrack* t = &c->tracks[i];
    const FragmentTrack& ft = f.tracks[i];
    if (t->block_first == nullptr || ft.counts.samples == 0) continue;
    const TrafPlan traf{t,
                        ft.first_record,
                        t->entry_count,
                        ft.first_time,
                        ft.counts.sizes_listed,
                        ft.counts.sizes_listed ? 0 : ft.sizes.first,
                        i == next_track ? next_dts : nullptr,
                        track_ends};
    write_traf(c, traf, ft.runs_before, moof_pos, &f.scratch);
  }
  patch_box_size(w, start);
}

// ------------------------------------------------------------ deciding

TrackTraits traits_of(const MuxTrack* t) {
  TrackTraits traits;
  traits.video = t->kind == kKindVideo;
  traits.constant_rate = has_constant_stts(t);
  traits.reorders = has_composition_offsets(t);
  traits.timecode = t->kind_copy == kKindTimecode;
  traits.nominal = nominal_duration(t);
  return traits;
}

// The bytes a track's traf takes in the moof (an upper bound; 0 without samples).
inline int64_t traf_bytes(const TrackTraits& traits, const TrafCounts& counts) {
  if (counts.samples == 0) return 0;
  const int64_t per_trun = kTrunFixedBytes + (traits.video ? kFirstFlagsBytes : 0);
  const int64_t per_sample = (counts.sizes_listed ? 4 : 0) + (counts.durations_listed ? 4 : 0) +
                             (counts.offsets_listed ? 4 : 0);
  return kTrafFixedBytes + kLastSampleSlack + int64_t{counts.truns} * per_trun +
         static_cast<int64_t>(counts.samples) * per_sample;
}

// The decode time the announced sample will have on its track.
int64_t announced_time(const MuxTrack* t, const FragmentTrack& ft, const PendingSample& sample) {
  if (!ft.have_latest) return 0;
  if (ft.traits.constant_rate) return ft.latest_time + ft.traits.nominal * ft.latest_samples;
  return ft.latest_time + delta_to(t, ft.latest_time, sample.dts);
}

// Whether the track's samples, the announced one among them, need their sizes
// listed: for good once one size no longer serves them all. The sample joins
// the form of the track's sizes whether or not it closes the fragment first.
inline bool sizes_listed_with(const MuxTrack* t, FragmentTrack* ft, const PendingSample& sample) {
  if (ft->counts.sizes_listed) return true;
  if (sample.samples == 0) return false;
  SizeUniformity& sizes = ft->sizes;
  sizes.add(t, static_cast<uint32_t>(sample.bytes), sample.samples);
  return !(sizes.uniform && sizes.first != 0 && !ft->traits.timecode);
}

// The track's counts with the announced sample, at decode time `time`, the
// file's end at `tell`.
inline TrafCounts with_sample(const MuxTrack* t, const FragmentTrack& ft,
                              const PendingSample& sample, int64_t time, int64_t tell,
                              bool sizes_listed) {
  const TrackTraits& traits = ft.traits;
  TrafCounts counts = ft.counts;
  // The latest record's duration is known now.
  if (counts.samples > 0 && !traits.constant_rate && time - ft.latest_time != traits.nominal)
    counts.durations_listed = true;
  if (sample.samples == 0) return counts;
  const bool new_run = counts.samples == 0 || t->runs.end != static_cast<uint64_t>(tell);
  if (new_run || (traits.video && sample.flags != 0)) ++counts.truns;
  counts.samples += sample.samples;
  if (traits.reorders && sample.composition_offset != 0) counts.offsets_listed = true;
  counts.sizes_listed = sizes_listed;
  return counts;
}

// The room of the first moof, beside the movie head's.
int64_t first_room(const FragmentWriting& f) {
  return kFirstRoomFactor * f.limits.min_room;
}

// The room the moof of the open fragment may fill.
int64_t moof_room(const FragmentWriting& f) {
  if (!f.head_written) return first_room(f);
  return f.room_size - 8;  // a free box's header in front of the moof
}

enum class Close { kNo, kTime, kBytes, kRoom };

// Whether the announced sample closes the open fragment first, given the
// size its track's traf would have with it and the file's end.
inline Close closes_fragment(MuxContext* c, int32_t track, const PendingSample& sample,
                             int64_t time, int64_t traf_with_sample, int64_t tell) {
  const FragmentWriting& f = state_of(c);
  if (f.records == 0) return Close::kNo;
  const FragmentTrack& ft = f.tracks[track];
  if (track == f.driving && ft.counts.samples > 0 && (sample.flags != 0 || !ft.traits.video) &&
      time - ft.first_time >= f.span) {
    return Close::kTime;
  }
  const int64_t data = tell - (f.mdat_pos + 16);
  if (data >= 0 && static_cast<uint64_t>(data) >= f.limits.max_bytes) return Close::kBytes;
  const int64_t bound = f.moof_bytes - ft.bytes + traf_with_sample;
  return bound > moof_room(f) ? Close::kRoom : Close::kNo;
}

// ------------------------------------------------------------ writing

// The room for a fragment's moof, then its open media-data box, whose size
// is 0 (up to the end of the file) until the fragment closes.
void open_fragment(MuxContext* c, int64_t room) {
  FragmentWriting& f = state_of(c);
  ByteWriter* w = c->writer;
  f.room_pos = writer_tell(w);
  f.room_size = room;
  put_be32(w, static_cast<uint32_t>(room));
  put_tag(w, "free");
  put_zeros(w, room - 8);
  f.mdat_pos = writer_tell(w);
  put_be32(w, 0);
  put_tag(w, "mdat");
  put_be64(w, 0);  // room for a 64-bit size
  f.records = 0;
}

// Boxes built in memory, before their place in the file is written.
struct Built {
  ByteWriter* w = nullptr;
  Built() = default;
  Built(const Built&) = delete;
  Built& operator=(const Built&) = delete;
  ~Built() { writer_close(w); }
  int64_t size() const { return writer_tell(w); }
};

// Builds the boxes that fn writes into memory instead of the file.
template <typename Fn>
bool build(MuxContext* c, Built* out, Fn&& fn) {
  out->w = writer_create_memory(4096);
  if (out->w == nullptr) return false;
  ByteWriter* file = c->writer;
  c->writer = out->w;
  fn();
  c->writer = file;
  return writer_error(out->w) == 0;
}

bool add_moof_position(FragmentWriting& f, int64_t pos) {
  if (f.moof_count == f.moof_capacity) {
    const uint32_t capacity = f.moof_capacity == 0 ? 64 : f.moof_capacity * 2;
    auto* grown = static_cast<int64_t*>(realloc(f.moofs, capacity * sizeof(int64_t)));
    if (grown == nullptr) return false;
    f.moofs = grown;
    f.moof_capacity = capacity;
  }
  f.moofs[f.moof_count++] = pos;
  return true;
}

// The size field of a box with a 16-byte header, written in one piece.
void put_large_size(ByteWriter* w, int64_t box_pos, int64_t size) {
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i)
    bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(size) >> (56 - 8 * i));
  put_bytes_at(bytes, 8, box_pos + 8, w);
}

// The header of the open mdat once its data ends here: 8 bytes, or 16 with
// a 64-bit size. The data before it is padded so that what follows starts at
// a multiple of 8, where an 8-byte write never straddles two sectors of the
// disk.
void end_mdat(ByteWriter* w, int64_t mdat_pos, ByteWriter* header) {
  put_zeros(w, (8 - writer_tell(w) % 8) % 8);
  const int64_t size = writer_tell(w) - mdat_pos;
  put_be32(header, size > 0xFFFFFFFFll ? 1 : static_cast<uint32_t>(size));
  put_tag(header, "mdat");
  if (size > 0xFFFFFFFFll) put_be64(header, static_cast<uint64_t>(size));
}

// Closes the open fragment's mdat and shows the fragment: its moof is
// written at the end of its room, right in front of its mdat (readers that
// follow fragments box by box, VLC among them, take the box behind a moof
// for its media data), the first time behind the movie head. The room's
// free box, which covers it until then, then shrinks in one 8-byte write of
// its size, which shows the moof (the first time the head too). Everything
// from the moof (or the head) up to the mdat's size is one write, made after
// the fragment's data reached the system and before the write that shows
// it. False when the fragment stays hidden: a failed write (the mdat then
// stays open), a moof that does not fit, a build that fails.
bool show_fragment(MuxContext* c, int32_t next_track, const int64_t* next_dts, bool track_ends) {
  FragmentWriting& f = state_of(c);
  ByteWriter* w = c->writer;
  Built header;
  header.w = writer_create_memory(16);
  if (header.w == nullptr) return false;
  end_mdat(w, f.mdat_pos, header.w);
  // The data first, on its own: a write cut short (a full disk, a kill) then
  // leaves the mdat open, never sized past the end of the file.
  if (writer_flush(w) != 0) return false;
  const int32_t header_size = static_cast<int32_t>(header.size());
  const uint8_t* header_bytes = writer_bytes(header.w);
  // A fragment that is not shown keeps its media data, closed.
  auto hide = [&] {
    put_bytes_at(header_bytes, header_size, f.mdat_pos, w);
    return false;
  };
  if (f.head_too_large) return hide();
  Built moof;
  if (f.head_written) {
    // Built as if at the room's start; its size then gives its place, and
    // its data offsets move by the free box in front of it.
    if (!build(c, &moof, [&] { write_moof(c, f.room_pos, next_track, next_dts, track_ends); }))
      return hide();
    const int64_t moof_size = moof.size();
    const int64_t free_size = f.room_size - moof_size;
    const int64_t moof_pos = f.room_pos + free_size;
    if (free_size < 8 || !add_moof_position(f, moof_pos)) return hide();
    const uint8_t* built = writer_bytes(moof.w);
    for (int64_t field : f.data_offset_fields) {
      const uint32_t offset = load_be32(built + field) - static_cast<uint32_t>(free_size);
      put_be32_at(moof.w, offset, field);
    }
    ByteWriter* region = moof.w;
    put_bytes(region, header_bytes, header_size);
    put_bytes_at(writer_bytes(region), static_cast<int32_t>(writer_tell(region)), moof_pos, w);
    if (writer_flush(w) != 0) return false;
    uint8_t room_header[8];
    store_be32(room_header, 0, static_cast<uint32_t>(free_size));
    std::memcpy(room_header + 4, "free", 4);
    put_bytes_at(room_header, 8, f.room_pos, w);
  } else {
    // The moof's place depends on its size: measured first, then built there.
    Built measure, head;
    if (!build(c, &measure, [&] { write_moof(c, 0, next_track, next_dts, track_ends); }))
      return hide();
    if (f.configure) f.configure(f.owner, c);
    if (!build(c, &head, [&] { write_movie_head(c); })) return hide();
    const int64_t moof_size = measure.size();
    const int64_t free_size = f.head_size - moof_size - head.size();
    if (free_size < 16) {
      f.head_too_large = true;
      return hide();
    }
    const int64_t moof_pos = f.head_pos + f.head_size - moof_size;
    if (!build(c, &moof, [&] { write_moof(c, moof_pos, next_track, next_dts, track_ends); }) ||
        moof.size() != moof_size || !add_moof_position(f, moof_pos))
      return hide();
    f.movie_head_pos = moof_pos - head.size();
    ByteWriter* region = head.w;
    put_bytes(region, writer_bytes(moof.w), static_cast<int32_t>(moof_size));
    put_bytes(region, header_bytes, header_size);
    put_bytes_at(writer_bytes(region), static_cast<int32_t>(writer_tell(region)), f.movie_head_pos,
                 w);
    if (writer_flush(w) != 0) return false;
    put_large_size(w, f.head_pos, free_size);
    f.head_written = true;
    f.head_free = free_size;
  }
  writer_flush(w);
  ++f.sequence;
  return true;
}

// Closes the open fragment and, unless the file is being closed, opens the
// next. The next room follows what this fragment's moof needed, or doubles
// when the fragment closed because its moof filled its room.
void close_fragment(MuxContext* c, Close why, int32_t next_track, const int64_t* next_dts,
                    bool track_ends) {
  FragmentWriting& f = state_of(c);
  const int64_t needed = f.moof_bytes;
  if (!show_fragment(c, next_track, next_dts, track_ends)) ++f.hidden;

  for (int32_t i = 0; i < kMaxTracks; ++i) {
    FragmentTrack& ft = f.tracks[i];
    ft.first_record = c->tracks[i].entry_count;
    ft.counts = {.sizes_listed = ft.counts.sizes_listed};  // the sizes' form is the track's
    ft.bytes = 0;
    ft.runs_before = c->tracks[i].runs.count;
  }
  f.moof_bytes = kMoofFixedBytes;
  if (track_ends) return;
  int64_t room = (needed * 3 / 2 + 255) / 256 * 256;
  if (why == Close::kRoom) room = std::max(room, f.room_size * 2);
  open_fragment(c, std::clamp<int64_t>(room, f.limits.min_room, kMaxRoom));
}

// Before the file's first sample: the room for the movie head and the first
// moof, then the first media-data box.
void start(MuxContext* c) {
  FragmentWriting& f = state_of(c);
  f.started = true;
  if (f.configure) f.configure(f.owner, c);
  for (int32_t i = 0; i < kMaxTracks; ++i) f.tracks[i].traits = traits_of(&c->tracks[i]);
  if (f.driving >= 0) {
    f.span = static_cast<int64_t>(c->tracks[f.driving].timescale) * f.limits.duration_ms / 1000;
  }
  Built head;
  f.head_estimate = build(c, &head, [&] { write_movie_head(c); }) ? head.size() : 0;
  ByteWriter* w = c->writer;
  f.head_pos = writer_tell(w);
  f.head_size = 16 + f.head_estimate + kHeadSlack + first_room(f);
  put_be32(w, 1);
  put_tag(w, "free");
  put_be64(w, static_cast<uint64_t>(f.head_size));
  put_zeros(w, f.head_size - 16);
  f.mdat_pos = writer_tell(w);
  put_be32(w, 0);
  put_tag(w, "mdat");
  put_be64(w, 0);
}

// The driving track: the video track, else the first audio track, else the
// first track with a codec.
int32_t driving_track(const MuxContext* c) {
  int32_t audio = -1, any = -1;
  for (int32_t i = 0; i < kMaxTracks; ++i) {
    const MuxTrack& t = c->tracks[i];
    if (t.block_first == nullptr || t.codec_id == kCodecNone) continue;
    if (t.kind == kKindVideo) return i;
    if (t.kind == kKindAudio && audio < 0) audio = i;
    if (any < 0) any = i;
  }
  return audio >= 0 ? audio : any;
}

void announce_sample(MuxContext* c, int32_t track, const PendingSample& sample) {
  FragmentWriting& f = state_of(c);
  if (writer_error(c->writer) != 0) return;  // nothing more is shown
  if (!f.started) start(c);
  const MuxTrack* t = &c->tracks[track];
  FragmentTrack& ft = f.tracks[track];
  const int64_t time = announced_time(t, ft, sample);
  const bool sizes_listed = sizes_listed_with(t, &ft, sample);
  int64_t tell = writer_tell(c->writer);
  TrafCounts counts = with_sample(t, ft, sample, time, tell, sizes_listed);
  int64_t bytes = traf_bytes(ft.traits, counts);
  const Close why = closes_fragment(c, track, sample, time, bytes, tell);
  if (why != Close::kNo) {
    close_fragment(c, why, track, &sample.dts, false);
    tell = writer_tell(c->writer);
    counts = with_sample(t, ft, sample, time, tell, sizes_listed);
    bytes = traf_bytes(ft.traits, counts);
  }
  if (ft.counts.samples == 0 && counts.samples > 0) ft.first_time = time;
  f.moof_bytes += bytes - ft.bytes;
  ft.counts = counts;
  ft.bytes = bytes;
  ft.latest_time = time;
  ft.latest_samples = sample.samples;
  ft.have_latest = true;
  ++f.records;
}

void release(FragmentWriting* f) {
  if (f == nullptr) return;
  free(f->moofs);
  delete f;
}

}  // namespace

bool fragments_begin(MuxContext* c, ConfigureTracks configure, void* owner,
                     const FragmentLimits& limits) {
  if (c == nullptr) return false;
  auto* f = new (std::nothrow) FragmentWriting();
  if (f == nullptr) return false;
  f->configure = configure;
  f->owner = owner;
  f->limits = limits;
  f->driving = driving_track(c);
  f->moof_bytes = kMoofFixedBytes;
  if (!mux_write_as_fragments(c, {f, announce_sample, release})) {
    release(f);
    return false;
  }
  return true;
}

FragmentSummary fragments_summary(const MuxContext* c) {
  FragmentSummary summary;
  const FragmentWriting* f = c != nullptr ? c->fragments.state : nullptr;
  if (f == nullptr) return summary;
  summary.committed = f->moof_count;
  summary.hidden = f->hidden;
  summary.head_too_large = f->head_too_large;
  return summary;
}

FragmentSummary fragments_finish(MuxContext* c, int steps) {
  FragmentWriting& f = state_of(c);
  ByteWriter* w = c->writer;
  if (!f.started) {
    finish_file(c);  // no sample: ftyp and the movie box, as a plain file
    return fragments_summary(c);
  }
  // After a failed write nothing more is shown: the file keeps its fragments.
  if (writer_error(w) != 0) return fragments_summary(c);
  close_fragment(c, Close::kNo, -1, nullptr, true);
  if (!f.head_written) {
    // Nothing was ever shown: with its movie box behind the media data, the
    // file is a plain file.
    write_moov(c);
    return fragments_summary(c);
  }
  // 1. The complete movie box; readers still take the first.
  if (steps < 1) return fragments_summary(c);
  const int64_t moov_pos = writer_tell(w);
  write_moov(c);
  if (writer_sync(w) != 0 || steps < 2) return fragments_summary(c);
  // 2. The head's free box covers everything up to it: readers take it now.
  put_large_size(w, f.head_pos, moov_pos - f.head_pos);
  if (writer_sync(w) != 0 || steps < 3) return fragments_summary(c);
  // 3. The movie head and every moof become free boxes, inside the head's.
  // So does the head's mvhd, its first box: VLC takes a free box that starts
  // with one for a movie box someone hid, reads it and says so.
  put_bytes_at("free", 4, f.movie_head_pos + 4, w);
  put_bytes_at("free", 4, f.movie_head_pos + 8 + 4, w);
  for (uint32_t i = 0; i < f.moof_count; ++i) put_bytes_at("free", 4, f.moofs[i] + 4, w);
  if (writer_sync(w) != 0 || steps < 4) return fragments_summary(c);
  // 4. The head's free box shrinks back to its room: the media-data boxes
  // are in sight again, among free boxes.
  put_large_size(w, f.head_pos, f.head_free);
  writer_sync(w);
  return fragments_summary(c);
}

void write_movie_head(MuxContext* c) {
  const uint64_t moov_pos = c->moov_pos;
  c->movie_head = 1;
  write_moov(c);
  c->movie_head = 0;
  c->moov_pos = moov_pos;
}

void write_mvex(MuxContext* c) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "mvex");
  for (int32_t i = 0; i < c->track_count && i < kMaxTracks; ++i) {
    MuxTrack* t = &c->tracks[i];
    if (t->codec_id != kCodecNone) write_trex(c, t);
  }
  patch_box_size(w, start);
}

void write_trex(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  put_be32(w, 32);
  put_tag(w, "trex");
  put_be32(w, 0);                          // version and flags
  put_be32(w, t->track_id);                // track ID
  put_be32(w, 1);                          // default sample description index
  put_be32(w, low32(t->sample_duration));  // default sample duration
  put_be32(w, 0);                          // default sample size
  put_be32(w, t->kind == kKindVideo ? kNonSyncSampleFlags : kSyncSampleFlags);  // default flags
}
