#include "codecs/esds.h"

#include <cstdint>

namespace {

// Descriptor tags of the MPEG-4 systems layer.
constexpr uint8_t kEsDescrTag = 3;
constexpr uint8_t kDecoderConfigDescrTag = 4;
constexpr uint8_t kDecSpecificInfoTag = 5;
constexpr uint8_t kSlConfigDescrTag = 6;

constexpr uint32_t kBufferSizeDb = 6144;
// Descriptor lengths are read as at most four 7-bit groups; a decoder-specific
// info that would push the ES_Descriptor past that is not written.
constexpr uint32_t kMaxDsiLength = (1u << 28) - 64;

struct ObjectType {
  uint32_t codec_id;
  uint8_t object_type_indication;
};
constexpr ObjectType kObjectTypes[] = {
    {kCodecAac, 0x40},          // MPEG-4 Audio
    {kCodecMpeg4Visual, 0x20},  // MPEG-4 Visual
};

uint8_t object_type_for(const MuxTrack* t) {
  for (const ObjectType& row : kObjectTypes) {
    if (row.codec_id == t->codec_id) return row.object_type_indication;
  }
  return t->kind == kKindAudio ? 0x40 : 0x20;
}

// streamType (6 bits), upStream (1 bit), reserved 1.
uint8_t stream_type_for(const MuxTrack* t) {
  return t->kind == kKindAudio ? 0x15   // audio stream
                               : 0x11;  // visual stream
}

// Bytes of the expandable length form: 7 bits per byte.
uint32_t size_len(uint64_t x) {
  uint32_t k = 1;
  while (x >> (7 * k)) ++k;
  return k;
}

void put_descriptor_length(ByteWriter* w, uint32_t x) {
  for (uint32_t i = size_len(x) - 1; i >= 1; --i) put_u8(w, ((x >> (7 * i)) & 0x7F) | 0x80);
  put_u8(w, x & 0x7F);
}

struct BitRates {
  uint32_t max_bitrate;
  uint32_t avg_bitrate;
};

// units × bytes × 8 / per, in bits per second. Zero when the divisor is zero (a
// track without samples or without a frame duration has no rate to state), and
// held at the top of the 32-bit field rather than wrapped when it exceeds it.
uint32_t bits_per_second(uint64_t units_per_second, uint64_t bytes, uint64_t per) {
  if (per == 0) return 0;
  unsigned __int128 rate = static_cast<unsigned __int128>(units_per_second) * bytes * 8 / per;
  return rate > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(rate);
}

BitRates compute_bit_rates(const MuxTrack* t) {
  uint64_t total = 0;
  int32_t largest = 0;  // largest bytes per audio frame of one packet
  mux_for_each_record(t, [&](const SampleRecord& r, uint64_t) {
    total += r.size;
    int32_t frames = static_cast<int32_t>(r.samples);
    if (frames > 0) {
      int32_t per_frame = static_cast<int32_t>(r.size / static_cast<uint64_t>(frames));
      if (per_frame > largest) largest = per_frame;
    }
  });
  BitRates rates{};
  rates.avg_bitrate = bits_per_second(t->timescale, total, t->duration);
  if (t->kind == kKindAudio) {
    rates.max_bitrate =
        bits_per_second(t->timescale, static_cast<uint64_t>(largest), t->sample_duration);
  } else {
    rates.max_bitrate = rates.avg_bitrate;
  }
  return rates;
}

}  // namespace

void write_esds(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  uint32_t dsi_len = t->audio_config != nullptr ? t->audio_config_size : 0;
  if (dsi_len > kMaxDsiLength) dsi_len = 0;
  const uint32_t dsi = dsi_len == 0 ? 0 : 1 + size_len(dsi_len) + dsi_len;
  const uint32_t dcd = 13 + dsi;
  const uint32_t es = 3 + 1 + size_len(dcd) + dcd + 3;
  const BitRates rates = compute_bit_rates(t);

  int64_t start = open_full_box(w, "esds", 0, 0);
  put_u8(w, kEsDescrTag);
  put_descriptor_length(w, es);
  put_be16(w, t->track_id);
  put_u8(w, 0);  // no stream dependence, URL or OCR stream

  put_u8(w, kDecoderConfigDescrTag);
  put_descriptor_length(w, dcd);
  put_u8(w, object_type_for(t));
  put_u8(w, stream_type_for(t));
  put_be24(w, kBufferSizeDb);
  put_be32(w, rates.max_bitrate);
  put_be32(w, rates.avg_bitrate);
  if (dsi_len > 0) {
    put_u8(w, kDecSpecificInfoTag);
    put_descriptor_length(w, dsi_len);
    put_bytes(w, t->audio_config, static_cast<int32_t>(dsi_len));
  }

  put_u8(w, kSlConfigDescrTag);
  put_u8(w, 1);
  put_u8(w, 2);  // predefined: reserved for use in MP4 files
  patch_box_size(w, start);
}
