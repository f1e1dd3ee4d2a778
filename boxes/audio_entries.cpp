// Sound sample entries of the sample description box, and the boxes they hold.
#include <climits>
#include <cstddef>
#include <cstdint>

#include "boxes/boxes.h"
#include "codecs/esds.h"

namespace {

// One row per audio codec. QuickTime movies use their own type for PCM and wrap
// the configuration of the codecs with a `wave_format` in a `wave` atom.
struct AudioCodecRow {
  uint32_t codec_id;
  const char* iso_type;
  const char* quicktime_type;
  uint16_t compression_id;
  uint16_t quicktime_version;
  const char* wave_format;  // null: no `wave` atom in QuickTime movies
};

constexpr AudioCodecRow kAudioCodecs[] = {
    {kCodecAc3, "ac-3", "ac-3", 0xFFFE, 0, "ac-3"},
    {kCodecAac, "mp4a", "mp4a", 0xFFFE, 1, "mp4a"},
    {kCodecAlac, "alac", "alac", 0xFFFE, 0, "alac"},
    {kCodecPcm16, "ipcm", "sowt", 0, 0, nullptr},
    {kCodecPcm32Float, "fpcm", "fl32", 0, 1, "fl32"},
    {kCodecAmrNb, "samr", "samr", 0, 0, nullptr},
    {kCodecFlac, "fLaC", "fLaC", 0, 0, nullptr},
};

const AudioCodecRow* find_audio_codec(uint32_t codec_id) {
  for (const AudioCodecRow& row : kAudioCodecs) {
    if (row.codec_id == codec_id) return &row;
  }
  return nullptr;
}

// QuickTime channel layout tags: layout number in the high 16 bits, channel
// count in the low 16.
struct ChannelLayoutRow {
  uint32_t channels;
  uint32_t tag;
};
constexpr ChannelLayoutRow kChannelLayoutTags[] = {
    {1, 0x00640001},  // mono
    {2, 0x00650002},  // stereo
    {3, 0x00710003},  // MPEG 3.0 A
    {4, 0x006C0004},  // quadraphonic
    {5, 0x00750005},  // MPEG 5.0 A
    {6, 0x00790006},  // MPEG 5.1 A
    {7, 0x007D0007},  // MPEG 6.1 A
    {8, 0x007E0008},  // MPEG 7.1 A
};

// ISO channel configurations (definedLayout of `chnl`) by channel count. Up to six
// channels the count is the configuration; 6.1 and 7.1 have their own numbers.
// Other counts have no predefined layout, and a `chnl` box for them is left out.
constexpr ChannelLayoutRow kDefinedLayouts[] = {
    {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 11}, {8, 12},
};

template <size_t N>
uint32_t lookup_layout(const ChannelLayoutRow (&rows)[N], uint32_t channels) {
  for (const ChannelLayoutRow& row : rows) {
    if (row.channels == channels) return row.tag;
  }
  return 0;
}

bool is_pcm(uint32_t codec_id) {
  return codec_id == kCodecPcm16 || codec_id == kCodecPcm32Float;
}

void put_audio_config(ByteWriter* w, const MuxTrack* t) {
  if (t->audio_config != nullptr && t->audio_config_size > 0 && t->audio_config_size <= INT32_MAX) {
    put_bytes(w, t->audio_config, static_cast<int32_t>(t->audio_config_size));
  }
}

// Bytes of one channel's sample of the uncompressed codecs.
uint32_t pcm_sample_bytes(uint32_t codec_id) {
  return codec_id == kCodecPcm32Float ? 4 : 2;
}

// The four fields of a version 1 sound description, which tell a QuickTime
// reader how the sound is packed. Compressed sound: a codec frame per packet,
// as many samples as the codec's frame length (the track's sample duration,
// which the session takes from the codec), and no fixed byte sizes (0).
// Uncompressed sound: a packet per sample of every channel, whose sizes the
// reader takes from these fields to size the samples.
void put_sound_v1_fields(ByteWriter* w, const MuxTrack* t, uint16_t compression_id) {
  if (compression_id == 0xFFFE) {
    put_be32(w, static_cast<uint32_t>(t->sample_duration));  // samples per packet
    put_be32(w, 0);                                          // bytes per packet
    put_be32(w, 0);                                          // bytes per frame
    put_be32(w, 2);                                          // bytes per sample
  } else {
    const uint32_t channel_bytes = pcm_sample_bytes(t->codec_id);
    put_be32(w, 1);                            // samples per packet
    put_be32(w, channel_bytes);                // bytes per packet: one channel's sample
    put_be32(w, channel_bytes * t->channels);  // bytes per frame: every channel's
    put_be32(w, 2);                            // bytes per sample
  }
}

}  // namespace

void write_audio_sample_entry(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  const bool quicktime = c->mode == kModeMov;
  const AudioCodecRow* codec = find_audio_codec(t->codec_id);
  const uint32_t version = quicktime && codec != nullptr ? codec->quicktime_version : 0;

  int64_t start = writer_tell(w);
  put_be32(w, 0);
  if (codec != nullptr) {
    put_tag(w, quicktime ? codec->quicktime_type : codec->iso_type);
  } else {
    put_be32(w, 0);
  }
  put_be32(w, 0);  // reserved
  put_be16(w, 0);
  put_be16(w, 1);  // data reference index
  put_be16(w, version);
  put_be16(w, 0);  // revision level
  put_be32(w, 0);  // vendor
  put_be16(w, t->channels);
  put_be16(w, t->bits_per_sample);
  put_be16(w, codec != nullptr ? codec->compression_id : 0);
  put_be16(w, 0);                      // packet size
  put_be16(w, t->timescale & 0xFFFF);  // sample rate, 16.16
  put_be16(w, 0);
  if (version == 1) put_sound_v1_fields(w, t, codec->compression_id);

  if (quicktime && codec != nullptr && codec->wave_format != nullptr) {
    write_wave(c, t);
  } else {
    switch (t->codec_id) {
      case kCodecAac:
        write_esds(c, t);
        break;
      case kCodecAc3:
        write_dac3(c, t);
        break;
      case kCodecAmrNb:
        write_damr(c, t);
        break;
      case kCodecAlac:
        put_audio_config(w, t);
        break;
      case kCodecFlac:
        write_dfla(c, t);
        break;
      default:
        // Every ISO flavour stores PCM as ISO PCM (ipcm/fpcm), described by the
        // channel layout and the PCM configuration.
        if (is_pcm(t->codec_id) && !quicktime) {
          if (t->channels > 1) write_chnl(c, t);
          write_pcmc(c, t);
        }
        break;
    }
  }
  if (quicktime) write_chan(c, t);
  patch_box_size(w, start);
}

void write_wave(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  const AudioCodecRow* codec = find_audio_codec(t->codec_id);
  int64_t start = open_box(w, "wave");
  put_be32(w, 12);
  put_tag(w, "frma");
  if (codec != nullptr && codec->wave_format != nullptr) {
    put_tag(w, codec->wave_format);
  } else {
    put_be32(w, 0);
  }
  switch (t->codec_id) {
    case kCodecAac:
      put_be32(w, 12);
      put_tag(w, "mp4a");
      put_be32(w, 0);
      write_esds(c, t);
      break;
    case kCodecAc3:
      write_dac3(c, t);
      break;
    case kCodecAlac:
      put_audio_config(w, t);
      break;
    case kCodecPcm32Float:
      write_enda(c, t);
      break;
    default:
      break;
  }
  put_be32(w, 8);  // terminator atom
  put_be32(w, 0);
  patch_box_size(w, start);
}

void write_chan(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  int64_t start = open_full_box(w, "chan", 0, 0);
  put_be32(w, lookup_layout(kChannelLayoutTags, t->channels));
  put_be32(w, 0);  // channel bitmap
  put_be32(w, 0);  // number of channel descriptions
  patch_box_size(w, start);
}

void write_chnl(MuxContext* c, MuxTrack* t) {
  uint32_t layout = lookup_layout(kDefinedLayouts, t->channels);
  if (layout == 0) return;
  ByteWriter* w = c->writer;
  int64_t start = open_full_box(w, "chnl", 0, 0);
  put_u8(w, 1);  // stream structure: channel-structured
  put_u8(w, layout);
  put_be64(w, 0);  // omitted channels map
  patch_box_size(w, start);
}

void write_damr(MuxContext* c, MuxTrack*) {
  ByteWriter* w = c->writer;
  put_be32(w, 17);
  put_tag(w, "damr");
  put_tag(w, "appl");   // vendor
  put_u8(w, 1);         // decoder version
  put_be16(w, 0x0080);  // mode set
  put_u8(w, 0);         // mode change period
  put_u8(w, 1);         // frames per sample
}

void write_enda(MuxContext* c, MuxTrack*) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "enda");
  put_be16(w, 1);  // little-endian samples
  patch_box_size(w, start);
}

void write_pcmc(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  int64_t start = open_full_box(w, "pcmC", 0, 0);
  put_u8(w, 1);                                  // format flags: little-endian
  put_u8(w, pcm_sample_bytes(t->codec_id) * 8);  // sample size in bits
  patch_box_size(w, start);
}

int64_t write_dac3(MuxContext* c, MuxTrack* t) {
  if (t->audio_config == nullptr || t->audio_config_size < 7) return -1;
  const uint8_t* sync = t->audio_config;
  const uint32_t fscod = sync[4] >> 6;
  const uint32_t frmsizecod = sync[4] & 0x3F;
  const uint32_t bsid = sync[5] >> 3;
  const uint32_t bsmod = sync[5] & 7;
  const uint32_t acmod = sync[6] >> 5;
  // Mix-level and surround-mode fields stand between acmod and the LFE flag.
  uint32_t skipped = 0;
  if (acmod == 2) {
    skipped = 2;
  } else {
    if ((acmod & 1) && acmod != 1) skipped += 2;
    if (acmod & 4) skipped += 2;
  }
  const uint32_t lfeon = (sync[6] >> (4 - skipped)) & 1;
  const uint32_t bit_rate_code = frmsizecod >> 1;
  const uint32_t payload =
      fscod << 22 | bsid << 17 | bsmod << 14 | acmod << 11 | lfeon << 10 | bit_rate_code << 5;

  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "dac3");
  put_be24(w, payload);
  return patch_box_size(w, start);
}

int64_t write_dfla(MuxContext* c, MuxTrack* t) {
  constexpr uint32_t kStreamInfoSize = 34;
  if (t->audio_config == nullptr || t->audio_config_size != kStreamInfoSize) return -1;
  ByteWriter* w = c->writer;
  int64_t start = open_full_box(w, "dfLa", 0, 0);
  put_u8(w, 0x80);  // last metadata block, type 0 (STREAMINFO)
  put_be24(w, kStreamInfoSize);
  put_bytes(w, t->audio_config, kStreamInfoSize);
  return patch_box_size(w, start);
}
