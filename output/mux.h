// The muxer's state for one output file: tracks, sample index, per-file settings.
//
// Sample bytes are written straight through as they arrive; only a SampleRecord
// per sample is kept. The box writers turn the records into the movie box at close.
#pragma once

#include <cstdint>
#include <cstdio>

#include "codecs/bit_writer.h"
#include "mx_mp4/host.h"
#include "output/byte_writer.h"

struct HevcConfig;

// Internal codec numbers.
enum CodecId : uint32_t {
  kCodecNone = 0,
  kCodecH263 = 5,
  kCodecAc3 = 11,
  kCodecMpeg4Visual = 16,
  kCodecH264 = 36,
  kCodecHevc = 37,
  kCodecAv1 = 38,
  kCodecDnxhd = 39,
  kCodecCineform = 40,
  kCodecAac = 45,
  kCodecAlac = 46,
  kCodecFfv1 = 49,
  kCodecPcm16 = 73,
  kCodecPcm32Float = 74,
  kCodecAmrNb = 94,
  kCodecFlac = 101,
  kCodecTimedMetadata = 104,
  kCodecTimecode = 105,
};

// Track kinds; -1 marks an unused TrackSpec slot.
enum TrackKind : int32_t {
  kKindUnused = -1,
  kKindAudio = 0,
  kKindVideo = 1,
  kKindTimedMetadata = 2,
  kKindTimecode = 3,
};

// Output flavours.
enum OutputMode : uint32_t {
  kModeMp4 = 0,
  kModeMov = 1,
  kMode3gp = 2,
  kModeKddi = 5,
  kModeF4v = 6,
  kModeM4a = 8,
};

constexpr int kMaxTracks = 16;
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Fuzz builds: small blocks and chunks, so that every session crosses their
// boundaries and none pays for the sanitizers' shadow of large ones.
constexpr uint32_t kSampleBlockRecords = 16;
constexpr uint32_t kFrameSizeChunkSizes = 64;
#else
constexpr uint32_t kSampleBlockRecords = 10240;
constexpr uint32_t kFrameSizeChunkSizes = 16384;  // 64 KiB; a larger packet gets its own
#endif
constexpr uint32_t kCttsGrowth = 1024;
constexpr uint32_t kVideoScratchSize = 1024;

struct TrackSpec {
  int32_t index = 0;
  int32_t kind = kKindUnused;
  uint32_t codec_id = 0;
  const uint8_t* extradata = nullptr;  // not owned
  uint32_t extradata_size = 0;
  uint32_t enable_hint = 0;
};

// One record per mux_add_sample call; a track holds one per sample, so its
// size is the index's memory per sample.
struct SampleRecord {
  int64_t pts;
  int64_t dts;
  uint64_t pos;
  uint32_t size;     // bytes (a sample arrives with a 32-bit size)
  uint32_t samples;  // samples covered: 1, or the audio frame count of the packet (>= 0)
  uint32_t flags;
  // Audio: the one size of every frame of the packet (PCM, or a packet of one
  // frame), used when sub_sizes is null.
  uint32_t frame_size;
  // Audio packets of several frames of other codecs: one size per frame, kept
  // in the track's frame-size store; otherwise null.
  const uint32_t* sub_sizes;
};
static_assert(sizeof(SampleRecord) == 48, "memory per sample of every track's index");

// The bytes of a record that are samples: all of them for one sample, the
// frame sizes for several (a PCM packet's bytes beyond its whole frames are
// not), none without samples.
uint64_t described_bytes(const SampleRecord& r);

// Size of frame k (below samples) of an audio record.
inline uint32_t record_frame_size(const SampleRecord& r, uint64_t k) {
  return r.sub_sizes != nullptr ? r.sub_sizes[k] : r.frame_size;
}

struct SampleBlock {
  SampleRecord* records;  // kSampleBlockRecords, zeroed
  SampleBlock* next;
};

// The frame sizes of a track's multi-frame audio packets, in chunks that never
// move (records point into them), newest first. The sizes follow the header.
struct FrameSizeChunk {
  FrameSizeChunk* older;
  uint32_t capacity;
  uint32_t used;
};

struct CompositionOffsetEntry {
  uint32_t count;  // always 1
  int32_t offset;
};

struct CompositionOffsetTable {
  CompositionOffsetEntry* entries;
  uint32_t capacity;
  uint32_t count;
};

struct DoviConfig {
  uint8_t dv_version_major;
  uint8_t dv_version_minor;
  uint8_t dv_profile;
  uint8_t dv_level;
  uint8_t rpu_present_flag;
  uint8_t el_present_flag;
  uint8_t bl_present_flag;
  uint8_t dv_bl_signal_compatibility_id;
};

// The projection record as the host passes it (40 bytes).
struct SphericalRecord {
  uint32_t projection;  // 1 equirectangular, 2 cube map, 3 equirectangular tile
  uint32_t yaw, pitch, roll;
  uint32_t bound_left, bound_top, bound_right, bound_bottom;
  uint32_t cubemap_layout, cubemap_padding;
};
static_assert(sizeof(SphericalRecord) == 40);

using MovieMetadata = MxMovieMetadata;

// The runs of a track written as fragments: stretches of its samples that lie
// back to back in the file, each one chunk of the sample tables. A null
// first_records means the track is not written as fragments, and every
// record holding samples is a chunk of its own.
struct RunList {
  uint32_t* first_records;  // owned: the first record of each run, ascending
  uint32_t count;
  uint32_t capacity;
  uint64_t end;  // where the last run ends in the file
};

struct MuxContext;
struct FragmentWriting;  // boxes/fragments.h

// A sample as it is announced, before it is recorded and its bytes written.
struct PendingSample {
  uint32_t kind;
  uint32_t flags;
  int64_t dts;
  uint32_t samples;            // 1, or the frames of an audio packet (0 for none)
  uint64_t bytes;              // the bytes it will add to the file
  int32_t composition_offset;  // video: the offset it was given
};

// A file written as fragments: the muxer announces every sample before it
// records it, so that the fragment writer (boxes/fragments.h) can close the
// open fragment first. Plain files have no state and no hooks.
struct FragmentHooks {
  FragmentWriting* state;  // owned, freed through release
  void (*announce)(MuxContext* c, int32_t track, const PendingSample& sample);
  void (*release)(FragmentWriting* state);
};

struct MuxTrack {
  uint32_t track_id;
  uint32_t kind;
  uint32_t enable_hint;
  uint32_t codec_id;
  uint32_t timescale;
  uint64_t duration;
  uint32_t channels;
  uint32_t bits_per_sample;
  uint32_t bit_rate;
  uint32_t width, height;
  uint64_t sample_count;
  uint64_t sample_duration;
  uint64_t sample_duration_aux;
  uint32_t stereo_layout, field_of_view, spherical_aux;
  CompositionOffsetTable* ctts_table;
  int32_t ctts_sign;
  float frame_rate;
  uint32_t entry_count;
  uint32_t entry_capacity;
  SampleBlock* block_last;
  SampleBlock* block_first;
  FrameSizeChunk* frame_sizes;  // audio, owned; null until a packet of several frames
  uint8_t* audio_config;        // audio: session's bytes, not owned; video: owned 1024-byte scratch
  uint32_t audio_config_size;
  uint8_t* extradata;  // video, owned
  uint32_t extradata_size;
  uint8_t* extradata2;  // video, owned
  uint32_t extradata2_size;
  uint32_t avc_config_version, avc_profile, avc_compat, avc_level;
  uint32_t display_width, display_height;
  HevcConfig* hevc_config;  // owned
  int64_t first_cts_offset;
  int64_t first_dts;
  int64_t first_pts;
  // Picture and spatial properties.
  uint32_t stereo_mode;  // 0 none, 1 monoscopic, 2 top-bottom, 3 left-right
  uint32_t spherical_projection;
  uint32_t spherical_yaw, spherical_pitch, spherical_roll;
  uint32_t spherical_bound_left, spherical_bound_top, spherical_bound_right, spherical_bound_bottom;
  uint32_t spherical_cubemap_layout, spherical_cubemap_padding;
  char* language;  // owned
  uint32_t kind_copy;
  double gamma;
  uint32_t color_range;
  uint32_t color_primaries, color_trc, color_space;
  uint16_t mastering_primaries[6];
  uint16_t mastering_white_point[2];
  uint32_t mastering_max_luminance, mastering_min_luminance;
  uint16_t max_cll, max_fall;
  int32_t pixel_aspect;
  uint32_t icc_present, icc_profile_size;
  uint8_t* icc_profile;
  uint32_t timestamp_durations;
  uint32_t dovi_enabled;
  DoviConfig dovi_config;
  // HEVC: owned copy of the Annex-B parameter sets that hevc_config was parsed
  // from; hevc_config points into it, so both live until teardown.
  uint8_t* hevc_annexb;
  uint32_t hevc_annexb_size;
  // Where mux_record last found a record, so that walks in index order cost
  // O(1) per record instead of a walk from block_first each time.
  SampleBlock* lookup_block;
  uint64_t lookup_first;
  RunList runs;  // a file written as fragments only
};

struct MuxContext {
  uint32_t mode;
  uint32_t mdat_started;
  uint64_t mdat_pos;
  uint64_t moov_pos;
  int32_t track_count;
  ByteWriter* writer;
  BitWriter bits;
  MovieMetadata metadata;  // cover_art points to an owned copy, or null
  MuxTrack tracks[kMaxTracks];
  uint32_t format_fourcc;
  int32_t display_params[6];
  uint32_t live_photo;
  char content_id[44];
  FragmentHooks fragments;  // a file written as fragments only
  // Set while the movie head of a file written as fragments is written: the
  // movie box of the tracks' sample descriptions, without samples or times.
  uint32_t movie_head;
};

// Context lifecycle and samples.
//
// Owned buffers (records, frame-size chunks, language, extradata copies, the video
// scratch buffer, the composition table, the cover art and its bytes) come
// from malloc/calloc and go back with free at teardown.

// Null when the context or its writer cannot be allocated (the stream is left
// untouched). Specs whose index is outside 0..15 or names a slot already taken
// are skipped; track_count is the slot count clamped to 0..16.
MuxContext* mux_create(TrackSpec* specs, int32_t count, uint32_t mode, FILE* file);
// Records one sample and appends its bytes. Kind: 0 audio (extra -> {i32 n,
// n u32 values}), 1 video (extra -> i32 composition offset, or null),
// 2 timed metadata, 3 timecode. Returns 0; also 0, with nothing recorded or
// written, for a track slot that is not in use, a kind outside 0..3 or a kind
// other than the track's own. Returns -1, with nothing recorded or written,
// when the index cannot grow (allocation failure).
int32_t mux_add_sample(int32_t track, MuxContext* c, const uint8_t* data, uint32_t size,
                       uint32_t flags, uint32_t kind, const void* extra, int64_t dts, int64_t pts,
                       int64_t duration);
// The same for a sample whose bytes lie in several pieces (written one after
// the other, as one sample of their total size). No pieces: the record stays,
// with size 0, as for null data. A total above 32 bits is refused with -1 and
// leaves no trace.
int32_t mux_add_sample_spans(int32_t track, MuxContext* c, const WriteSpan* spans, size_t count,
                             uint32_t flags, uint32_t kind, const void* extra, int64_t dts,
                             int64_t pts, int64_t duration);
// A sample too large to search twice is written while it is found, and
// recorded afterwards. mux_reserve_sample takes beforehand everything that
// recording a sample of the track can fail on: false when it cannot, for a
// slot not in use or of another kind, and for a file written as fragments
// (whose samples are announced with their size before their bytes).
// mux_sample_bytes_start opens the media data when no sample has yet and
// gives the position at which the next sample's bytes begin; the caller
// appends them and mux_add_written_sample records the bytes appended since
// that position as one sample (0; -1, recording nothing, above 32 bits).
bool mux_reserve_sample(int32_t track, MuxContext* c, uint32_t kind);
int64_t mux_sample_bytes_start(MuxContext* c);
int32_t mux_add_written_sample(int32_t track, MuxContext* c, int64_t start, uint32_t flags,
                               uint32_t kind, const void* extra, int64_t dts, int64_t pts,
                               int64_t duration);
// Turns on writing as fragments: from now on every sample is announced to
// hooks.announce before it is recorded, only the bytes that are samples are
// written (described_bytes), no media-data box of a plain file is opened, and
// every track keeps its runs. The context takes ownership of hooks.state.
// False (nothing changed) when the run lists cannot be allocated.
bool mux_write_as_fragments(MuxContext* c, const FragmentHooks& hooks);
// Releases everything the context owns (every track slot, whatever the specs
// say), flushes and frees the writer. The stream stays open.
void mux_destroy(TrackSpec* specs, int32_t count, MuxContext* c);
void ctts_append(MuxContext* c, const void* extra, int32_t track);
int32_t write_media_data_header(MuxContext* c);

// Record i of a track; null when i >= entry_count. Remembers the block it
// found, so calls with non-decreasing i cost O(1) each.
SampleRecord* mux_record(MuxTrack* t, uint64_t i);
// The last record of a track (the one with the largest position); null when
// the track has none.
SampleRecord* mux_last_record(MuxTrack* t);
// Calls fn(record, index) for every record in index order, walking the blocks
// directly. fn takes (const SampleRecord&, uint64_t).
template <typename Fn>
void mux_for_each_record(const MuxTrack* t, Fn&& fn) {
  uint64_t i = 0;
  for (const SampleBlock* b = t->block_first; b != nullptr && i < t->entry_count; b = b->next) {
    for (uint32_t k = 0; k < kSampleBlockRecords && i < t->entry_count; ++k, ++i) {
      fn(static_cast<const SampleRecord&>(b->records[k]), i);
    }
  }
}

// Track setters: store values only. A track index outside 0..15 or a null
// context is ignored.
void mux_set_codec(int32_t track, MuxContext* c, uint32_t codec_id);
void mux_set_timescale(int32_t track, MuxContext* c, uint32_t timescale);
void mux_set_sample_duration(int32_t track, MuxContext* c, int32_t duration);
void mux_set_channels(int32_t track, MuxContext* c, uint32_t channels);
void mux_set_bits_per_sample(int32_t track, MuxContext* c, uint32_t bits);
// Owned copy in a zeroed buffer of length + 1024 bytes; null clears it.
void mux_set_language(int32_t track, MuxContext* c, const char* language);
void mux_set_picture_size(int32_t track, MuxContext* c, uint32_t width, uint32_t height);
void mux_set_display_size(int32_t track, MuxContext* c, uint32_t width, uint32_t height);
void mux_set_frame_rate(int32_t track, MuxContext* c, float rate, uint32_t timestamp_durations);
void mux_set_spherical(int32_t track, MuxContext* c, uint32_t stereo_layout, uint32_t field_of_view,
                       uint32_t spherical_aux);
void mux_set_stereo_mode(int32_t track, MuxContext* c, uint32_t stereo_mode);
void mux_set_spherical_record(int32_t track, MuxContext* c, const uint8_t record[40]);
void mux_set_dovi_enabled(int32_t track, MuxContext* c, uint32_t ignored);
void mux_set_avc_config(int32_t track, MuxContext* c, uint32_t version, uint32_t profile,
                        uint32_t compat, uint32_t level);
// Owned copy in a zeroed buffer of size + 1 bytes. A null source stores an
// empty buffer with size 0 (the source is never read).
void mux_set_extradata(int32_t track, MuxContext* c, const uint8_t* data, uint32_t size);
void mux_set_extradata2(int32_t track, MuxContext* c, const uint8_t* data, uint32_t size);
// Copies the Annex-B bytes into hevc_annexb and parses hevc_config from that
// copy (null when parsing fails).
void mux_set_hevc_config(int32_t track, MuxContext* c, const uint8_t* data, uint32_t size);
// Stores the pointer, not a copy. Ignored on a video track, whose audio_config
// is its own scratch buffer.
void mux_set_audio_config(int32_t track, MuxContext* c, const uint8_t* data, uint32_t size);
void mux_set_display_params(MuxContext* c, int32_t a, int32_t b, int32_t cc, int32_t d, int32_t tx,
                            int32_t ty);
void mux_set_format_fourcc(MuxContext* c, uint32_t fourcc);

// Copies the metadata block into the context. The block's cover_art pointer is
// not taken over (it belongs to the host): the context keeps its own cover, set
// only through mux_set_cover_art.
void mux_set_metadata(MuxContext* c, const MovieMetadata* metadata);
// The context's own copy of a picture record and its bytes (released at
// teardown); a previous copy is released, a null picture clears it.
void mux_set_cover_art(MuxContext* c, const MxPicture* picture);
