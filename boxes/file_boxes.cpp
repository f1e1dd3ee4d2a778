// File-level boxes and the upper movie tree: ftyp, the close of mdat, moov,
// mvhd, trak, tkhd, tref, edts/elst and the audio track name.
#include <cstring>

#include "boxes/boxes.h"
#include "boxes/fragments.h"
#include "boxes/movie_time.h"
#include "platform/platform.h"

namespace {

// ---------------------------------------------------------------- decisions

struct BrandRow {
  uint32_t mode;
  const char* major;
  const char* compatible[2];  // null when there is only one
};

constexpr BrandRow kBrands[] = {
    {kModeMov, "qt  ", {"qt  ", nullptr}},  {kMode3gp, "3gp4", {"3gp4", nullptr}},
    {kModeKddi, "kddi", {"3g2a", nullptr}}, {kModeF4v, "f4v ", {"mp42", nullptr}},
    {kModeM4a, "M4A ", {"mp42", nullptr}},
};
constexpr BrandRow kDefaultBrands = {kModeMp4, "mp42", {"mp42", "isom"}};
constexpr uint32_t kFtypMinorVersion = 0x200;

const BrandRow& brands_for(uint32_t mode) {
  for (const BrandRow& row : kBrands) {
    if (row.mode == mode) return row;
  }
  return kDefaultBrands;
}

// tkhd flags: 1 enabled, 2 in movie, 4 in preview, 8 in poster.
constexpr uint32_t kTrackAllFlags = 15;
struct TrackFlagsRow {
  uint32_t codec_id;
  uint32_t flags;
};
// Tracks marked by enable_hint: the dual-audio pair plays its AAC track and
// keeps the AC-3 track present but disabled; PCM and FLAC stay out of preview.
constexpr TrackFlagsRow kHintedTrackFlags[] = {
    {kCodecAac, 3}, {kCodecPcm16, 3}, {kCodecPcm32Float, 3}, {kCodecAc3, 2}, {kCodecFlac, 3},
};

uint32_t tkhd_flags(const MuxTrack* t) {
  if (t->kind == kKindVideo || t->enable_hint == 0) return kTrackAllFlags;
  for (const TrackFlagsRow& row : kHintedTrackFlags) {
    if (row.codec_id == t->codec_id) return row.flags;
  }
  return kTrackAllFlags;
}

// Codecs whose track always gets an edit list.
constexpr uint32_t kEditListCodecs[] = {kCodecAac, kCodecAlac, kCodecPcm16, kCodecPcm32Float,
                                        kCodecFlac};

// elst media time by codec.
enum class MediaTime { kZero, kAacPriming, kFirstCtsOffset };
struct MediaTimeRow {
  uint32_t codec_id;
  MediaTime rule;
};
constexpr int64_t kAacPrimingTime = 1600;  // fixed, whatever the stream's real priming is
constexpr MediaTimeRow kMediaTimes[] = {
    {kCodecAac, MediaTime::kAacPriming},
    {kCodecAlac, MediaTime::kFirstCtsOffset},
    {kCodecFlac, MediaTime::kFirstCtsOffset},
};

// Audio track names in the track's udta.
struct TrackNameRow {
  uint32_t codec_id;
  const char* name;
};
constexpr TrackNameRow kTrackNames[] = {
    {kCodecAc3, "Surround"}, {kCodecAac, "Stereo"},  // whatever the channel count
};

template <size_t N>
bool contains(const uint32_t (&list)[N], uint32_t v) {
  for (uint32_t entry : list) {
    if (entry == v) return true;
  }
  return false;
}

// ---------------------------------------------------------------- values

bool has_key_texts(const MovieMetadata& m) {
  return m.location_accuracy[0] || m.location_iso6709[0] || m.creation_date[0] || m.make[0] ||
         m.model[0] || m.software[0];
}

// Only the first two slots take part; a tie goes to slot 1. The comparison is
// in single precision, the conversion in double.
uint64_t movie_duration(const MuxContext* c) {
  if (c->movie_head) return 0;  // known at close
  const MuxTrack& s0 = c->tracks[0];
  const MuxTrack& s1 = c->tracks[1];
  uint64_t d0 = track_duration(&s0);
  uint64_t d1 = track_duration(&s1);
  auto seconds = [](uint64_t d, uint32_t ts) {
    return ts ? static_cast<float>(d) / static_cast<float>(ts) : 0.0f;
  };
  if (d0 != 0) {
    if (c->track_count >= 2 && d1 != 0 && seconds(d1, s1.timescale) >= seconds(d0, s0.timescale)) {
      return to_movie_time(d1, s1.timescale);
    }
    return to_movie_time(d0, s0.timescale);
  }
  return d1 != 0 ? to_movie_time(d1, s1.timescale) : 0;
}

// Whether a track gets a trak: one with samples, or in a movie head every
// track that may still get samples.
bool described(const MuxContext* c, const MuxTrack& t) {
  return t.codec_id != kCodecNone && (t.entry_count != 0 || c->movie_head);
}

// The first timecode track that gets a trak; 0 when there is none. A timecode
// slot that received no sample gets no trak, so nothing may refer to it.
uint32_t timecode_track_id(const MuxContext* c) {
  for (int32_t i = 0; i < c->track_count && i < kMaxTracks; ++i) {
    const MuxTrack& t = c->tracks[i];
    if (t.codec_id == kCodecTimecode && described(c, t)) return t.track_id;
  }
  return 0;
}

bool writes_edts(const MuxTrack* t) {
  if (t->kind == kKindVideo && t->first_cts_offset != 0 && t->first_cts_offset != -1) return true;
  return contains(kEditListCodecs, t->codec_id);
}

// round(timescale × offset ÷ 10 000 000) of the first sample; a negative
// result (presentation before decoding) would be an invalid edit, so 0.
int64_t first_offset_media_time(const MuxTrack* t) {
  double units =
      static_cast<double>(t->timescale) * static_cast<double>(t->first_cts_offset) / 10000000.0 +
      0.5;
  if (!(units > 0)) return 0;
  if (units >= 9223372036854775807.0) return INT64_MAX;
  return static_cast<int64_t>(units);
}

int64_t elst_media_time(MuxTrack* t) {
  // A video edit starts at the first picture's composition time as the tables
  // state it: with media time 0 a reordering delay would show nothing first
  // and cut the last frames off, and one unit later the first picture is lost.
  if (t->kind == kKindVideo) return composition_start(t);
  for (const MediaTimeRow& row : kMediaTimes) {
    if (row.codec_id != t->codec_id) continue;
    return row.rule == MediaTime::kAacPriming ? kAacPrimingTime : first_offset_media_time(t);
  }
  return 0;
}

}  // namespace

uint32_t mp4_creation_time() {
  constexpr int64_t kSeconds1904To1970 = 2082844800;
  return static_cast<uint32_t>(platform_time() + kSeconds1904To1970);
}

void write_ftyp(MuxContext* c) {
  ByteWriter* w = c->writer;
  const BrandRow& brands = brands_for(c->mode);
  int64_t start = open_box(w, "ftyp");
  put_tag(w, brands.major);
  put_be32(w, kFtypMinorVersion);
  for (const char* brand : brands.compatible) {
    if (brand) put_tag(w, brand);
  }
  patch_box_size(w, start);
}

int32_t finish_file(MuxContext* c) {
  // The mdat header has room for the 64-bit size; the patch picks the form.
  if (c->mdat_started) patch_box_size(c->writer, static_cast<int64_t>(c->mdat_pos));
  write_moov(c);
  return 0;
}

void write_moov(MuxContext* c) {
  ByteWriter* w = c->writer;
  c->moov_pos = static_cast<uint64_t>(writer_tell(w));
  int64_t start = open_box(w, "moov");
  write_mvhd(c);
  for (int32_t i = 0; i < c->track_count && i < kMaxTracks; ++i) {
    MuxTrack* t = &c->tracks[i];
    if (described(c, *t)) write_trak(c, t);
  }
  if (c->movie_head) write_mvex(c);
  if (has_key_texts(c->metadata) || c->live_photo) write_mdta_meta(c);
  write_udta(c);
  patch_box_size(w, start);
}

int32_t write_mvhd(MuxContext* c) {
  ByteWriter* w = c->writer;
  uint64_t duration = movie_duration(c);
  bool wide = needs_64_bits(duration);
  uint32_t now = mp4_creation_time();
  int32_t size = wide ? 120 : 108;
  put_be32(w, static_cast<uint32_t>(size));
  put_tag(w, "mvhd");
  put_u8(w, wide ? 1 : 0);       // version
  put_be24(w, 0);                // flags
  put_time(w, wide, now);        // creation time
  put_time(w, wide, now);        // modification time
  put_be32(w, kMovieTimescale);  // time scale
  put_time(w, wide, duration);   // duration
  put_be32(w, 0x00010000);       // preferred rate 1.0
  put_be16(w, 0x0100);           // preferred volume 1.0
  put_be16(w, 0);                // reserved
  put_be32(w, 0);                // reserved
  put_be32(w, 0);                // reserved
  write_matrix(w, 1, 0, 0, 1, 0, 0);
  put_be32(w, 0);                                          // preview time
  put_be32(w, 0);                                          // preview duration
  put_be32(w, 0);                                          // poster time
  put_be32(w, 0);                                          // selection time
  put_be32(w, 0);                                          // selection duration
  put_be32(w, 0);                                          // current time
  put_be32(w, static_cast<uint32_t>(c->track_count + 1));  // next track ID
  return size;
}

void write_trak(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  uint32_t timecode_id = timecode_track_id(c);
  int64_t start = open_box(w, "trak");
  write_tkhd(c, t);
  if (timecode_id >= 1 && t->codec_id != kCodecTimecode) write_tref(c, t, timecode_id);
  if (writes_edts(t)) write_edts(c, t);
  write_mdia(c, t);
  if (t->kind == kKindAudio) write_track_name(c, t);
  if (t->kind == kKindVideo && t->codec_id == kCodecH264 && t->field_of_view == 360) {
    write_spherical_uuid(c, t);
  }
  patch_box_size(w, start);
}

int32_t write_tkhd(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  uint64_t duration = c->movie_head ? 0 : to_movie_time(track_duration(t), t->timescale);
  bool wide = needs_64_bits(duration);
  bool audio = t->kind == kKindAudio;
  bool video = t->kind == kKindVideo;
  uint32_t now = mp4_creation_time();
  const int32_t* m = c->display_params;
  int32_t size = wide ? 104 : 92;
  put_be32(w, static_cast<uint32_t>(size));
  put_tag(w, "tkhd");
  put_u8(w, wide ? 1 : 0);          // version
  put_be24(w, tkhd_flags(t));       // flags
  put_time(w, wide, now);           // creation time
  put_time(w, wide, now);           // modification time
  put_be32(w, t->track_id);         // track ID
  put_be32(w, 0);                   // reserved
  put_time(w, wide, duration);      // duration
  put_be32(w, 0);                   // reserved
  put_be32(w, 0);                   // reserved
  put_be16(w, 0);                   // layer
  put_be16(w, audio ? 1 : 0);       // alternate group
  put_be16(w, audio ? 0x0100 : 0);  // volume
  put_be16(w, 0);                   // reserved
  write_matrix(w, m[0], m[1], m[2], m[3], m[4], m[5]);
  put_be32(w, video ? t->display_width << 16 : 0);   // width, 16.16
  put_be32(w, video ? t->display_height << 16 : 0);  // height, 16.16
  return size;
}

void write_matrix(ByteWriter* w, int32_t a, int32_t b, int32_t cc, int32_t d, int32_t tx,
                  int32_t ty) {
  // Each value is shifted as a 32-bit word: -1 becomes 0xFFFF0000.
  auto fixed = [](int32_t v) { return static_cast<uint32_t>(v) << 16; };
  put_be32(w, fixed(a));
  put_be32(w, fixed(b));
  put_be32(w, 0);  // u
  put_be32(w, fixed(cc));
  put_be32(w, fixed(d));
  put_be32(w, 0);  // v
  put_be32(w, fixed(tx));
  put_be32(w, fixed(ty));
  put_be32(w, 0x40000000);  // w, 2.30
}

void write_tref(MuxContext* c, MuxTrack* /*t*/, uint32_t timecode_track_id) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "tref");
  put_be32(w, 12);
  put_tag(w, "tmcd");
  put_be32(w, timecode_track_id);
  patch_box_size(w, start);
}

void write_edts(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  int64_t media_time = elst_media_time(t);
  // An audio edit that starts at a media time (AAC's priming) ends with the
  // media, not that much later. A video edit plays as long as the media: the
  // composition times run that much later than the decode times.
  // A movie head says 0: in a file of fragments the edit lasts as long as they do.
  uint64_t played = c->movie_head ? 0 : track_duration(t);
  if (t->kind == kKindAudio && media_time > 0) {
    const auto skipped = static_cast<uint64_t>(media_time);
    played = played > skipped ? played - skipped : 0;
  }
  uint64_t segment = to_movie_time(played, t->timescale);
  bool wide = needs_64_bits(segment) || media_time > INT32_MAX;
  int64_t start = open_box(w, "edts");
  int64_t elst = open_full_box(w, "elst", wide ? 1 : 0, 0);
  put_be32(w, 1);                                        // entry count
  put_time(w, wide, segment);                            // segment duration
  put_time(w, wide, static_cast<uint64_t>(media_time));  // media time
  put_be16(w, 1);                                        // media rate integer
  put_be16(w, 0);                                        // media rate fraction
  patch_box_size(w, elst);
  patch_box_size(w, start);
}

void write_track_name(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "udta");
  for (const TrackNameRow& row : kTrackNames) {
    if (row.codec_id != t->codec_id) continue;
    // A bare QuickTime name: no length or language prefix, no terminator.
    put_be32(w, static_cast<uint32_t>(8 + std::strlen(row.name)));
    put_tag(w, "name");
    put_tag(w, row.name);
  }
  patch_box_size(w, start);
}
