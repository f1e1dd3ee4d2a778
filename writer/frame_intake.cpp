// Frame intake: each host frame becomes zero, one or two samples of the
// MuxContext, converted into the form the file stores.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "writer/annexb.h"
#include "writer/frame_samples.h"
#include "writer/live_photo.h"
#include "writer/mp4_writer.h"
#include "xqlog/xq_log.h"

namespace {

constexpr uint32_t fourcc(const char (&s)[5]) {
  return MX_FOURCC(s[0], s[1], s[2], s[3]);
}

constexpr int64_t kTimeUnitsPerSecond = 10000000;  // host time stamps: 100 ns

// A length-prefixed SEI NAL unit with one frame packing arrangement message
// (payload type 45): arrangement type 3 (side-by-side) or 4 (top-bottom). It
// goes in front of every IDR slice, inside the access unit: a sample holding
// it alone would be an access unit without a picture.
constexpr uint8_t kFramePackingSideBySide[16] = {0x00, 0x00, 0x00, 0x0C, 0x06, 0x2D, 0x07, 0x81,
                                                 0x81, 0x00, 0x00, 0x03, 0x00, 0x01, 0x20, 0x80};
constexpr uint8_t kFramePackingTopBottom[16] = {0x00, 0x00, 0x00, 0x0C, 0x06, 0x2D, 0x07, 0x82,
                                                0x01, 0x00, 0x00, 0x03, 0x00, 0x01, 0x20, 0x80};
constexpr size_t kFramePackingSize = sizeof kFramePackingSideBySide;

// Only stereo modes 1 and 2 have frame-packing bytes.
const uint8_t* frame_packing_bytes(uint32_t stereo_mode) {
  if (stereo_mode == 1) return kFramePackingSideBySide;
  if (stereo_mode == 2) return kFramePackingTopBottom;
  return nullptr;
}

// H.264 NAL unit types kept in samples: 1 non-IDR slice, 5 IDR slice, 6 SEI, 12 filler.
constexpr uint32_t kKeptH264Types = 0x1062;
constexpr uint32_t kH264Idr = 5;
constexpr size_t kStartCodeSize = 4;
// Up to this size a frame's kept units, each at least 5 bytes and given at
// most 16 bytes of frame packing, cannot outgrow a sample's 32-bit size.
constexpr size_t kLargestWrittenAsFound = 512u << 20;

void store_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool starts_with_start_code(const uint8_t* d, uint32_t size) {
  return d && size >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1;
}

// Checks a frame list {count, sizes...} against the bytes it describes: the
// count is at most the bytes (every frame has one byte at least), and a count
// above 1 needs its sizes, each at least 1, adding up to the bytes. For one
// frame, or none, the size word is never used, so it is neither read nor
// checked. The list's length cannot be known, so a size is read only while the
// frames still to come can fit into the bytes left: a count larger than the
// bytes, or sizes that already fill the bytes, stop the reading.
bool frame_list_matches(const int32_t* list, int64_t bytes) {
  const int32_t count = list[0];
  if (count < 0 || count > bytes) return false;
  if (count <= 1) return true;
  int64_t sum = 0;
  for (int32_t i = 1; i <= count; ++i) {
    if (sum + (count - i + 1) > bytes) return false;
    if (list[i] < 1) return false;
    sum += list[i];
  }
  return sum == bytes;
}

// The frame list handed to the muxer: the host's own when it has sizes to
// give; for one frame or none a local {count, bytes}, so that a size word the
// host may not have passed is never read.
struct FrameList {
  FrameList(const int32_t* host_list, int64_t bytes)
      : local{host_list[0], static_cast<int32_t>(bytes)},
        list(host_list[0] > 1 ? host_list : local) {}
  FrameList(const FrameList&) = delete;
  FrameList& operator=(const FrameList&) = delete;
  int32_t count() const { return list[0]; }
  const int32_t local[2];
  const int32_t* const list;
};

// Codecs whose frames state their own sample count when it differs from the
// track's frame length (the stream's last frame).
struct FrameSamplesRow {
  uint32_t codec_id;
  uint32_t (*samples)(const uint8_t* frame, size_t size);
};
constexpr FrameSamplesRow kFrameSamples[] = {
    {kCodecFlac, flac_frame_samples},
    {kCodecAlac, alac_frame_samples},
};

// The duration of an audio packet from its checked frame list {count, sizes}
// (a single frame's size is the packet's): one frame length per frame, or for
// ALAC and FLAC the count a frame states when it holds fewer samples.
int64_t audio_packet_duration(const MuxTrack& t, const uint8_t* data, const int32_t* info) {
  const auto frame_length = static_cast<int64_t>(t.sample_duration);
  const FrameSamplesRow* row = nullptr;
  for (const FrameSamplesRow& r : kFrameSamples) {
    if (r.codec_id == t.codec_id) row = &r;
  }
  if (row == nullptr) return frame_length * info[0];
  int64_t duration = 0;
  size_t offset = 0;
  for (int32_t i = 1; i <= info[0]; ++i) {
    const auto size = static_cast<size_t>(info[i]);
    const int64_t stated = row->samples(data + offset, size);
    duration += stated > 0 && stated < frame_length ? stated : frame_length;
    offset += size;
  }
  return duration;
}

}  // namespace

// ------------------------------------------------------------ helpers

int32_t CMp4Writer::first_spec_of_kind(int32_t kind) const {
  for (int32_t i = 0; i < track_spec_count; ++i)
    if (track_specs[i].kind == kind) return track_specs[i].index;
  return -1;
}

bool CMp4Writer::refuse_when_output_failed() {
  if (io_failure_logged) return true;
  return note_output_failure();
}

bool CMp4Writer::note_output_failure() {
  if (io_failure_logged) return true;
  int error = writer_error(mux->writer);
  if (error == 0) return false;
  io_failure_logged = true;
  XQ_LogFormat(u"CMp4Writer::WriteFrame output failed [%d], frames are no longer stored\n", error);
  return true;
}

void CMp4Writer::note_decode_time(int64_t dts) {
  if (video_dts_seen && dts <= latest_video_dts && !decode_order_logged) {
    decode_order_logged = true;
    XQ_LogFormat(
        u"CMp4Writer::WriteVideoFrame decode time [%lld] does not follow [%lld]; the file's "
        u"decode times are kept increasing\n",
        static_cast<long long>(dts), static_cast<long long>(latest_video_dts));
  }
  if (!video_dts_seen || dts > latest_video_dts) latest_video_dts = dts;
  video_dts_seen = true;
}

bool CMp4Writer::add_sample(int32_t track, const uint8_t* data, uint32_t size, uint32_t flags,
                            uint32_t kind, const void* extra, int64_t dts, int64_t pts,
                            int64_t duration) {
  if (kind == kKindVideo) note_decode_time(dts);
  if (mux_add_sample(track, mux, data, size, flags, kind, extra, dts, pts, duration) >= 0)
    return true;
  XQ_LogFormat(u"CMp4Writer::WriteFrame no memory for the sample index\n");
  return false;
}

bool CMp4Writer::add_video_units(int32_t track, uint32_t key, int32_t cts,
                                 const MxVideoFrame* frame) {
  note_decode_time(frame->dts);
  if (mux_add_sample_spans(track, mux, nal_spans.data(), nal_spans.size(), key, kKindVideo, &cts,
                           frame->dts, frame->pts, 0) >= 0)
    return true;
  XQ_LogFormat(u"CMp4Writer::WriteFrame no memory for the sample index\n");
  return false;
}

int32_t CMp4Writer::composition_offset(const MxVideoFrame* frame) const {
  // In 64 bits when nothing overflows (every real time stamp), else in 128:
  // both divisions truncate toward zero.
  int64_t difference, product;
  const __int128 ticks =
      !__builtin_sub_overflow(frame->pts, frame->dts, &difference) &&
              !__builtin_mul_overflow(difference, static_cast<int64_t>(video_timescale), &product)
          ? product / kTimeUnitsPerSecond
          : (static_cast<__int128>(frame->pts) - frame->dts) * video_timescale /
                kTimeUnitsPerSecond;
  if (ticks > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (ticks < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(ticks);
}

// ------------------------------------------------------------ audio

uint32_t CMp4Writer::WriteAudioFrame(const MxAudioFrame* frame, const int32_t* frame_info) {
  if (!frame || !mux) return 0;
  if (refuse_when_output_failed()) return 0;
  if (frame->size < 0) {
    XQ_LogFormat(u"CMp4Writer::WriteAudioFrame refused: negative size [%d]\n", frame->size);
    return 0;
  }
  if (frame->size < 1 || audio_codec == kCodecNone) return 0;
  if (first_spec_of_kind(kKindAudio) < 0) return 0;
  if (!frame->data) {
    XQ_LogFormat(u"CMp4Writer::WriteAudioFrame refused: no data for [%d] bytes\n", frame->size);
    return 0;
  }

  uint32_t result;
  if (params->audio.fourcc == fourcc("EAAC"))
    result = write_dual_audio(frame, frame_info);
  else if (audio_codec == kCodecPcm16 || audio_codec == kCodecPcm32Float)
    result = write_pcm_audio(frame);
  else
    result = write_other_audio(frame, frame_info);
  if (note_output_failure()) return 0;
  return result;
}

uint32_t CMp4Writer::write_dual_audio(const MxAudioFrame* frame, const int32_t* info) {
  const uint8_t* d = frame->data;
  const int64_t size = frame->size;
  if (!info) {
    XQ_LogFormat(u"CMp4Writer::WriteAudioFrame refused: dual audio without frame info\n");
    return 0;
  }
  // [u32 length A][A bytes of AAC][u32 length B][B bytes of AC-3]
  int64_t a = size >= 8 ? load_le32(d) : -1;
  int64_t b = (a >= 0 && a <= size - 8) ? load_le32(d + 4 + a) : -1;
  if (a < 0 || b < 0 || b > size - 8 - a) {
    XQ_LogFormat(
        u"CMp4Writer::WriteAudioFrame refused: dual audio lengths [%d][%d] exceed "
        u"the packet [%d]\n",
        static_cast<int>(a), static_cast<int>(b), static_cast<int>(size));
    return 0;
  }
  // Frame info: n, then {m, m AAC sizes}, then {k, k AC-3 sizes}. Each half is
  // checked on its own, so a half that does not match its list does not cost
  // the other half. The AC-3 list lies behind the AAC one, so it can be found
  // only when the AAC count is one the AAC bytes can hold.
  const int32_t n = info[0];
  if (n < 0 || n > size) {
    XQ_LogFormat(
        u"CMp4Writer::WriteAudioFrame refused: frame info does not match the dual "
        u"audio packet [%d]\n",
        static_cast<int>(size));
    return 0;
  }
  const int32_t* aac_info = info + 1;
  const bool aac_found = aac_info[0] >= 0 && aac_info[0] <= a;
  const int32_t* ac3_info = aac_found ? aac_info + 1 + aac_info[0] : nullptr;
  struct Half {
    const char16_t* name;
    uint32_t codec_id;
    const uint8_t* bytes;
    int64_t size;
    const int32_t* info;
    bool valid;
  };
  const Half halves[] = {
      {u"AAC", kCodecAac, d + 4, a, aac_info, aac_found && frame_list_matches(aac_info, a)},
      {u"AC-3", kCodecAc3, d + 8 + a, b, ac3_info,
       ac3_info != nullptr && frame_list_matches(ac3_info, b)},
  };
  int64_t accepted = size - 8;
  for (const Half& h : halves) {
    if (h.valid || h.size == 0) continue;
    XQ_LogFormat(
        u"CMp4Writer::WriteAudioFrame refused: frame info does not match the %ls part [%d] of "
        u"the dual audio packet\n",
        h.name, static_cast<int>(h.size));
    accepted -= h.size;
  }
  if (accepted == 0) return 0;

  for (int32_t i = 0; i < track_spec_count; ++i) {
    const TrackSpec& s = track_specs[i];
    if (s.kind != kKindAudio) continue;
    int64_t duration = static_cast<int64_t>(mux->tracks[s.index].sample_duration) * n;
    for (const Half& h : halves) {
      if (s.codec_id != h.codec_id || !h.valid || h.size < 1) continue;
      FrameList frames(h.info, h.size);
      if (!add_sample(s.index, h.bytes, static_cast<uint32_t>(h.size), 0, kKindAudio, frames.list,
                      frame->dts, frame->pts, duration))
        return 0;
    }
  }
  return static_cast<uint32_t>(accepted);
}

uint32_t CMp4Writer::write_pcm_audio(const MxAudioFrame* frame) {
  const uint64_t sample_bytes = audio_codec == kCodecPcm16 ? 2 : 4;
  const uint64_t frame_bytes = static_cast<uint64_t>(frame->channels) * sample_bytes;
  if (frame_bytes == 0) {
    XQ_LogFormat(u"CMp4Writer::WriteAudioFrame refused: PCM packet without channels\n");
    return 0;
  }
  const uint64_t frames = static_cast<uint64_t>(frame->size) / frame_bytes;
  if (frames == 0) {
    XQ_LogFormat(
        u"CMp4Writer::WriteAudioFrame refused: PCM packet [%d] shorter than one "
        u"frame\n",
        frame->size);
    return 0;
  }
  // The host's frame info is read-only: the frame count travels in a local list.
  const int32_t counts[2] = {static_cast<int32_t>(frames), frame->size};
  if (!add_sample(first_spec_of_kind(kKindAudio), frame->data, static_cast<uint32_t>(frame->size),
                  0, kKindAudio, counts, frame->dts, frame->pts, static_cast<int64_t>(frames)))
    return 0;
  return static_cast<uint32_t>(frame->size);
}

uint32_t CMp4Writer::write_other_audio(const MxAudioFrame* frame, const int32_t* info) {
  if (!info) {
    XQ_LogFormat(u"CMp4Writer::WriteAudioFrame refused: no frame info\n");
    return 0;
  }
  if (!frame_list_matches(info, frame->size)) {
    XQ_LogFormat(
        u"CMp4Writer::WriteAudioFrame refused: frame info does not match the packet "
        u"[%d]\n",
        frame->size);
    return 0;
  }
  int32_t track = first_spec_of_kind(kKindAudio);
  FrameList frames(info, frame->size);
  int64_t duration = audio_packet_duration(mux->tracks[track], frame->data, frames.list);
  if (!add_sample(track, frame->data, static_cast<uint32_t>(frame->size), 0, kKindAudio,
                  frames.list, frame->dts, frame->pts, duration))
    return 0;
  return static_cast<uint32_t>(frame->size);
}

// ------------------------------------------------------------ video

uint32_t CMp4Writer::WriteVideoFrame(const MxVideoFrame* frame) {
  if (!frame || !mux) return 0;
  const int32_t video_track = first_spec_of_kind(kKindVideo);
  if (video_codec == kCodecNone || video_track < 0) return 0;
  if (refuse_when_output_failed()) return 0;

  if (frame->frame_type == MX_FRAME_TYPE_TIMECODE) {
    int32_t track = first_spec_of_kind(kKindTimecode);
    if (track < 0) return 0;
    if (!frame->tc_data) {
      XQ_LogFormat(u"CMp4Writer::WriteVideoFrame refused: timecode frame without data\n");
      return 0;
    }
    double ticks = std::trunc(static_cast<double>(frame->frame_duration) * video_timescale /
                              kTimeUnitsPerSecond);
    int64_t duration = ticks >= 9.2e18    ? INT64_MAX
                       : ticks <= -9.2e18 ? INT64_MIN
                                          : static_cast<int64_t>(ticks);
    add_sample(track, frame->tc_data, frame->tc_size, 1, kKindTimecode, nullptr, frame->dts,
               frame->pts, duration);
    note_output_failure();
    return 0;
  }

  if (!frame->data && frame->size > 0) {
    XQ_LogFormat(u"CMp4Writer::WriteVideoFrame refused: no data for [%d] bytes\n",
                 static_cast<int>(frame->size));
    return 0;
  }
  if (frame->size == 0) {
    // Nothing to store, as when a conversion keeps nothing: no sample is
    // written and the slot says so. An empty sample would be no picture for
    // any video codec. Hosts that send them send many, so it is logged once.
    if (!empty_frame_logged)
      XQ_LogFormat(u"CMp4Writer::WriteVideoFrame refused: empty frames are not stored\n");
    empty_frame_logged = true;
    return 0;
  }
  if (params->metadata.live_photo != 0)
    write_still_image_time(mux, track_specs.data(), track_spec_count, frame, &still_time_written);

  const int32_t cts = composition_offset(frame);
  const bool annex_b = starts_with_start_code(frame->data, frame->size);
  uint32_t result;
  if (video_codec == kCodecH264 && annex_b) {
    result = params->video.fourcc == fourcc("VT64") ? convert_vt64(frame, video_track, cts)
                                                    : convert_h264(frame, video_track, cts);
  } else if (video_codec == kCodecHevc && annex_b) {
    result = convert_hevc(frame, video_track, cts);
  } else {
    result = add_sample(video_track, frame->data, frame->size, frame->picture_flag, kKindVideo,
                        &cts, frame->dts, frame->pts, 0)
                 ? frame->size
                 : 0;
  }
  if (note_output_failure()) return 0;
  return result;
}

// The conversions rewrite each start code into the unit's length in the
// host's buffer (lent for the call) and pass the kept units on as pieces of
// that buffer: the byte writer copies small samples into its buffer and writes
// large ones straight from the host's.

// Total bytes of the kept units; 0 when there are none or they do not fit a
// sample's 32-bit size (logged).
size_t CMp4Writer::kept_bytes() const {
  size_t out = 0;
  for (const WriteSpan& span : nal_spans) out += span.size;
  if (out > std::numeric_limits<uint32_t>::max()) {
    XQ_LogFormat(u"CMp4Writer::WriteVideoFrame refused: converted frame too large\n");
    return 0;
  }
  return out;
}

// "VT64" streams are compacted in place: the kept units move down behind each
// other, so the host's buffer starts with the stored sample afterwards.
uint32_t CMp4Writer::convert_vt64(const MxVideoFrame* frame, int32_t track, int32_t cts) {
  uint8_t* d = frame->data;
  AnnexBSplitter units(d, frame->size);
  NalUnitSpan u;
  size_t out = 0;
  uint32_t key = frame->picture_flag;
  while (units.next(&u)) {
    const size_t unit_size = u.end - u.begin;
    if (unit_size <= kStartCodeSize) continue;
    const uint32_t type = d[u.begin + kStartCodeSize] & 31;
    if (type != 1 && type != kH264Idr) continue;
    store_be32(d + u.begin, static_cast<uint32_t>(unit_size - kStartCodeSize));
    // Kept units only move down: the next unit, at u.end, is never touched.
    if (out != u.begin) std::memmove(d + out, d + u.begin, unit_size);
    out += unit_size;
    key = type == kH264Idr;
  }
  nal_spans.assign(1, WriteSpan{d, out});
  if (out == 0 || !add_video_units(track, key, cts, frame)) return 0;
  return static_cast<uint32_t>(out);
}

namespace {

// What a conversion does with one unit, decided from its header byte.
struct UnitChoice {
  bool keep;
  bool gets_length;  // its start code becomes its length in the host's buffer (kept or not)
  bool decides_key;  // the frame's key flag is this unit's (the last deciding unit's)
  bool key;
  const uint8_t* prefix;  // kFramePackingSize bytes stored in front of the unit, or null
};

// H.264: every unit gets its length and decides the key flag (the frame's
// last unit does); slices, SEI and filler are kept, with the frame packing in
// front of IDR slices when the stereo mode has it.
struct H264Units {
  const uint8_t* packing;

  UnitChoice choose(uint8_t header) const {
    const uint32_t type = header & 31;
    const bool idr = type == kH264Idr;
    return {((kKeptH264Types >> type) & 1) != 0, true, true, idr, idr ? packing : nullptr};
  }
};

// HEVC: VPS, SPS and PPS are dropped unless the frame is marked 2; only kept
// units get their lengths and decide the key flag.
struct HevcUnits {
  bool keep_parameter_sets;

  UnitChoice choose(uint8_t header) const {
    const uint32_t type = (header >> 1) & 63;
    const bool parameter_set = type >= 32 && type <= 34;
    const bool keep = keep_parameter_sets || !parameter_set;
    const bool random_access = type >= 19 && type <= 21;  // IDR_W_RADL, IDR_N_LP, CRA
    return {keep, keep, keep, keep_parameter_sets || random_access, nullptr};
  }
};

}  // namespace

// A frame larger than a search block is written while its units are found,
// into a file that can be cut back (a regular file) and is not written as
// fragments (whose samples are announced with their size first); the others
// are searched whole, then written.
template <class Units>
uint32_t CMp4Writer::convert_units(const MxVideoFrame* frame, int32_t track, int32_t cts,
                                   const Units& rule) {
  const bool large =
      frame->size > kAnnexBBlock + kStartCodeSize && frame->size <= kLargestWrittenAsFound;
  if (large && writer_can_cut_back(mux->writer) && mux_reserve_sample(track, mux, kKindVideo))
    return write_units_as_found(frame, track, cts, rule);
  return collect_units(frame, track, cts, rule);
}

template <class Units>
uint32_t CMp4Writer::collect_units(const MxVideoFrame* frame, int32_t track, int32_t cts,
                                   const Units& rule) {
  uint8_t* d = frame->data;
  AnnexBSplitter units(d, frame->size);
  NalUnitSpan u;
  uint32_t key = 0;
  nal_spans.clear();
  // The conversion runs only on data that starts with a 4-byte start code and
  // units are split at them, so every unit starts with one.
  while (units.next(&u)) {
    const size_t unit_size = u.end - u.begin;
    if (unit_size <= kStartCodeSize) continue;  // no NAL header byte
    const UnitChoice choice = rule.choose(d[u.begin + kStartCodeSize]);
    if (choice.gets_length)
      store_be32(d + u.begin, static_cast<uint32_t>(unit_size - kStartCodeSize));
    if (choice.decides_key) key = choice.key;
    if (!choice.keep) continue;
    if (choice.prefix) nal_spans.push_back({choice.prefix, kFramePackingSize});
    nal_spans.push_back({d + u.begin, unit_size});
  }
  const size_t out = kept_bytes();
  if (out == 0 || !add_video_units(track, key, cts, frame)) return 0;
  return static_cast<uint32_t>(out);
}

namespace {

// Writes a frame's kept units into the file while it finds them, each block
// of a unit handed to the file before it is searched: the copy into the file
// reads the block from memory, and the search then finds it in the
// processor's cache, where searching a whole large frame first and then
// writing it would read it from memory twice.
//
// The bytes are written as they stand, start codes included, a block ahead of
// the search, on the guess that what follows the unit being searched belongs
// to the sample as it stands: a unit that turns out to be dropped, or to need
// the frame-packing bytes in front, takes back from the file what was written
// of it (writer_cut_back). Each kept unit's start code is overwritten with its
// length once its end is found.
template <class Units>
class UnitsAsFound {
 public:
  UnitsAsFound(MuxContext* mux, const Units& rule, uint8_t* data, size_t size)
      : mux_(mux), writer_(mux->writer), rule_(rule), data_(data), size_(size) {}

  // Where the sample's bytes begin, or -1 when no unit was kept.
  int64_t write_all() {
    size_t unit = 0;  // every unit starts with a 4-byte start code, the first at 0
    while (unit < size_) unit = take_unit(unit);
    return sample_start_;
  }

  uint32_t key() const { return key_; }

 private:
  // The unit at `unit`; returns where the next one begins.
  size_t take_unit(size_t unit) {
    const size_t header = unit + kStartCodeSize;
    // Frames on this path are at most kLargestWrittenAsFound bytes, so the
    // rest of one fits the check's 32-bit size.
    const bool no_header =
        header >= size_ ||
        starts_with_start_code(data_ + header, static_cast<uint32_t>(size_ - header));
    if (no_header) {  // the frame ends or another start code follows: not a unit
      end_run(unit);
      return std::min(header, size_);
    }
    const UnitChoice choice = rule_.choose(data_[header]);
    if (choice.decides_key) key_ = choice.key;
    if (!choice.keep) {
      end_run(unit);
      const size_t end = find_start_code(data_, size_, header);
      if (choice.gets_length) store_length(unit, end);
      return end;
    }
    if (run_file_ < 0 || choice.prefix) start_run(unit, choice.prefix);
    size_t searched = header, end;
    do {
      const size_t limit = std::min(size_, searched + kAnnexBBlock);
      write_up_to(limit);
      end = find_start_code_before(data_, size_, searched, limit);
      searched = limit;
    } while (end == searched && searched < size_);
    store_length(unit, end);
    put_bytes_at(data_ + unit, static_cast<int32_t>(kStartCodeSize), file_at(unit), writer_);
    return end;
  }

  void store_length(size_t unit, size_t end) {
    store_be32(data_ + unit, static_cast<uint32_t>(end - unit - kStartCodeSize));
  }

  // The file position of byte i of the frame, inside the run.
  int64_t file_at(size_t i) const { return run_file_ + static_cast<int64_t>(i - run_begin_); }

  // The frame's bytes from `begin` on go to the file as they stand from here,
  // behind the prefix (if any) and whatever the sample holds so far.
  void start_run(size_t begin, const uint8_t* prefix) {
    end_run(begin);
    if (sample_start_ < 0) sample_start_ = mux_sample_bytes_start(mux_);
    if (prefix) put_bytes64(writer_, prefix, kFramePackingSize);
    run_file_ = writer_tell(writer_);
    run_begin_ = written_ = begin;
  }

  // The run stops in front of `at`: what was written of the bytes from there
  // on is taken back.
  void end_run(size_t at) {
    if (run_file_ >= 0 && written_ > at) writer_cut_back(writer_, file_at(at));
    run_file_ = -1;
  }

  void write_up_to(size_t limit) {
    if (limit <= written_) return;
    put_bytes64(writer_, data_ + written_, static_cast<int64_t>(limit - written_));
    written_ = limit;
  }

  MuxContext* const mux_;
  ByteWriter* const writer_;
  const Units& rule_;
  uint8_t* const data_;
  const size_t size_;
  int64_t sample_start_ = -1;
  uint32_t key_ = 0;
  // The run: the frame's bytes from run_begin_ up to written_ are in the file
  // as they stand, from run_file_ on (-1: no run).
  int64_t run_file_ = -1;
  size_t run_begin_ = 0;
  size_t written_ = 0;
};

}  // namespace

template <class Units>
uint32_t CMp4Writer::write_units_as_found(const MxVideoFrame* frame, int32_t track, int32_t cts,
                                          const Units& rule) {
  UnitsAsFound<Units> units(mux, rule, frame->data, frame->size);
  const int64_t sample_start = units.write_all();
  if (sample_start < 0) return 0;
  note_decode_time(frame->dts);
  const int64_t written = writer_tell(mux->writer) - sample_start;
  if (mux_add_written_sample(track, mux, sample_start, units.key(), kKindVideo, &cts, frame->dts,
                             frame->pts, 0) < 0) {
    XQ_LogFormat(u"CMp4Writer::WriteVideoFrame refused: converted frame too large\n");
    return 0;
  }
  return static_cast<uint32_t>(written);
}

uint32_t CMp4Writer::convert_h264(const MxVideoFrame* frame, int32_t track, int32_t cts) {
  return convert_units(frame, track, cts,
                       H264Units{frame_packing_bytes(params->video.stereo_mode)});
}

uint32_t CMp4Writer::convert_hevc(const MxVideoFrame* frame, int32_t track, int32_t cts) {
  return convert_units(frame, track, cts, HevcUnits{frame->picture_flag == 2});
}

// ------------------------------------------------------------ configuration

void CMp4Writer::set_audio_track_extradata() {
  const bool dual_audio = params->no_audio == 0 && params->audio.fourcc == fourcc("EAAC");
  const uint8_t* bytes = audio_config.data();
  const uint32_t size = audio_config_size;
  if (!dual_audio) {
    for (int32_t i = 0; i < track_spec_count; ++i) {
      if (track_specs[i].kind != kKindAudio) continue;
      track_specs[i].extradata = bytes;
      track_specs[i].extradata_size = size;
    }
    return;
  }

  // [u32 length A][A bytes for AAC][u32 length B][B bytes for AC-3]; a part
  // whose length word points past the bytes is not handed on.
  const uint8_t* aac = nullptr;
  const uint8_t* ac3 = nullptr;
  uint32_t a = 0, b = 0;
  if (size >= 4) {
    a = load_le32(bytes);
    if (a <= size - 4) aac = bytes + 4;
    if (aac && size - 4 - a >= 4) {
      b = load_le32(bytes + 4 + a);
      if (b <= size - 8 - a) ac3 = bytes + 8 + a;
    }
  }
  if (size > 0 && (!aac || !ac3))
    XQ_LogFormat(u"CMp4Writer::WriteAudioExtraData dual audio configuration [%d] is cut short\n",
                 static_cast<int>(size));
  for (int32_t i = 0; i < track_spec_count; ++i) {
    TrackSpec& s = track_specs[i];
    if (s.kind != kKindAudio) continue;
    if (s.codec_id == kCodecAac) {
      s.extradata = aac;
      s.extradata_size = aac ? a : 0;
    } else if (s.codec_id == kCodecAc3) {
      s.extradata = ac3;
      s.extradata_size = ac3 ? b : 0;
    }
  }
}

void CMp4Writer::WriteAudioExtraData(const uint8_t* data, uint32_t size) {
  if (!data && size > 0) {
    XQ_LogFormat(u"CMp4Writer::WriteAudioExtraData no data for [%d] bytes\n",
                 static_cast<int>(size));
    size = 0;
  }
  // assign() keeps the previous buffer when it is large enough.
  if (size > 0)
    audio_config.assign(data, data + size);
  else
    audio_config.clear();
  audio_config.push_back(0);
  audio_config_size = size;
  set_audio_track_extradata();
}

void CMp4Writer::WriteVideoExtraData(const uint8_t* data1, uint32_t size1, const uint8_t* data2,
                                     uint32_t size2) {
  auto keep_first = [](std::vector<uint8_t>& stored, uint32_t& stored_size, const uint8_t* data,
                       uint32_t size) {
    if (!stored.empty() || !data || size == 0) return;
    stored.reserve(size + 1u);
    stored.assign(data, data + size);
    stored.push_back(0);
    stored_size = size;
  };
  keep_first(video_config1, video_config1_size, data1, size1);
  keep_first(video_config2, video_config2_size, data2, size2);
}
