// Golden files: one file per conversion path, written through the slots from
// inputs made here, must keep exactly the bytes recorded below. The output
// path is reworked for speed from time to time (buffering, gathered writes,
// in-place conversion); whatever the rework, the files it writes must not
// change by one byte.
//
// Only what differs between two runs of the same input is set to fixed values
// before hashing: the creation and modification times of mvhd, tkhd and mdhd,
// and a Live Photo's random content identifier. A new expected value is taken
// only after checking the new file with the readers (the interop tests), and
// only for a change that is meant to alter the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "support/box_reader.h"
#include "support/parameter_sets.h"
#include "support/plugin_host.h"
#include "support/test_files.h"

namespace {

using parameter_sets::kPps264;
using parameter_sets::kPps265;
using parameter_sets::kSps264;
using parameter_sets::kSps265;
using parameter_sets::kVps265;

// A four-character code from run-time text.
uint32_t fourcc(const char* s) {
  return MX_FOURCC(s[0], s[1], s[2], s[3]);
}

using Bytes = std::vector<uint8_t>;

constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kFrame25 = 400000;  // 100 ns units per frame at 25 frames per second

// Deterministic payload bytes without zeros, so that no start code appears
// where the test did not put one.
class Noise {
 public:
  explicit Noise(uint32_t seed) : state_(seed) {}
  uint8_t next() {
    state_ = state_ * 1664525u + 1013904223u;
    return static_cast<uint8_t>(state_ >> 24) | 1;
  }
  Bytes bytes(size_t n) {
    Bytes out(n);
    for (uint8_t& b : out) b = next();
    return out;
  }

 private:
  uint32_t state_;
};

void append(Bytes& out, const Bytes& part) {
  out.insert(out.end(), part.begin(), part.end());
}

// A NAL unit: header bytes, then noise of the given length.
Bytes nal(std::initializer_list<uint8_t> header, size_t payload, Noise& noise) {
  Bytes unit(header);
  append(unit, noise.bytes(payload));
  return unit;
}

const Bytes kStartCode = {0, 0, 0, 1};

// ------------------------------------------------------------------ H.264

// One access unit in Annex-B form with 4-byte start codes. Key frames carry
// delimiter, parameter sets, an SEI and an IDR picture in two slices; other
// frames a delimiter and one slice, now and then a filler unit (kept), a
// subset SPS (dropped), a 3-byte start code inside a slice (stays part of it),
// emulation-prevention bytes and a trailing zero byte before the next code.
Bytes h264_frame(int index, size_t size, bool key, Noise& noise) {
  Bytes out;
  auto unit = [&](const Bytes& u) {
    append(out, kStartCode);
    append(out, u);
  };
  unit({0x09, 0xF0});
  if (key) {
    unit(kSps264);
    unit(kPps264);
    unit(nal({0x06, 0x05, 0x10}, 16, noise));
    unit(nal({0x65, 0x88, 0x84}, size / 2, noise));
    unit(nal({0x65, 0x00, 0x9A}, size - size / 2, noise));
    return out;
  }
  Bytes slice = nal({0x41, 0x9A}, size, noise);
  if (index % 3 == 0 && slice.size() > 40) {
    const Bytes inner = {0x00, 0x00, 0x01, 0x00, 0x00, 0x03, 0x01};
    std::copy(inner.begin(), inner.end(), slice.begin() + 20);
  }
  unit(slice);
  if (index % 4 == 1) out.push_back(0);  // a zero byte before the next start code
  if (index % 7 == 2) unit(nal({0x0C}, 9, noise));
  if (index % 11 == 5) unit({0x6F, 0x01, 0x22});
  return out;
}

// The same access unit with lengths instead of start codes (handed over as is).
Bytes h264_length_prefixed(size_t size, bool key, Noise& noise) {
  Bytes out;
  auto unit = [&](const Bytes& u) {
    const auto n = static_cast<uint32_t>(u.size());
    append(out, {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                 static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    append(out, u);
  };
  unit(key ? nal({0x65, 0x88}, size, noise) : nal({0x41, 0x9A}, size, noise));
  return out;
}

// Frame sizes that keep small frames in the buffer and let others fill it,
// straddle its end and exceed it, in a fixed order.
constexpr size_t kMixedSizes[] = {150, 900, 4000, 70000, 300, 200000, 12, 65536, 1500, 33000};

// Presentation order with B-frames: composition offsets of 1, 3, 0, 0 frames.
int64_t pts_of(int i) {
  constexpr int kOffsets[] = {1, 3, 0, 0};
  return (i + kOffsets[i % 4]) * kFrame25;
}

// ------------------------------------------------------------------ audio

const Bytes kAacConfig = {0x11, 0x90};
// AC-3 sync information: 48 kHz, 192 kbit/s, bsid 8, 3/2 with LFE.
const Bytes kAc3Config = {0x0B, 0x77, 0x12, 0x34, 0x14, 0x40, 0xE1};
const Bytes kFlacStreamInfo = hex_bytes(
    "10 00 10 00 00 00 0E 00 2A 1C 0B B8 01 70 00 00 BB 80"
    "11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 00");
const Bytes kAlacConfig =
    hex_bytes("00 00 10 00 00 10 28 0A 0E 02 00 FF 00 00 00 00 00 00 00 00 00 00 BB 80");

// A packet of `frames` frames of varying sizes, and its frame list.
struct AudioPacket {
  Bytes bytes;
  std::vector<int32_t> info;
};

AudioPacket audio_packet(int frames, size_t base, Noise& noise, uint8_t first = 0) {
  AudioPacket p;
  p.info.push_back(frames);
  for (int k = 0; k < frames; ++k) {
    Bytes frame = noise.bytes(base + static_cast<size_t>(k) * 37 % 101);
    if (first != 0) frame[0] = first;
    p.info.push_back(static_cast<int32_t>(frame.size()));
    append(p.bytes, frame);
  }
  return p;
}

// A FLAC frame header: sync 0xFFF8, block size 4096 (code 12), 48 kHz,
// stereo, 16 bits, frame number n (one byte below 128).
Bytes flac_frame(int n, size_t size, Noise& noise) {
  Bytes f = {0xFF, 0xF8, 0xCA, 0x18, static_cast<uint8_t>(n & 0x7F)};
  append(f, noise.bytes(size));
  return f;
}

// ------------------------------------------------------------------ files

struct Golden {
  const char* name;
  std::function<void(const std::string& path)> write;
  uint64_t size;
  uint64_t hash;
};

uint64_t fnv1a(const Bytes& bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (uint8_t b : bytes) {
    h ^= b;
    h *= 0x100000001b3ull;
  }
  return h;
}

// Sets the fields that differ between runs to fixed values: the creation and
// modification times (32-bit in version 0, 64-bit in version 1) of every mvhd,
// tkhd and mdhd, and any text shaped like a content identifier.
void pin_run_dependent_fields(Bytes& bytes) {
  iso::Tree tree = iso::parse(bytes);
  for (const char* type : {"mvhd", "tkhd", "mdhd"}) {
    for (const iso::Box* box : tree.all(type)) {
      const uint64_t payload = box->offset + box->header_size;
      const size_t width = box->version() == 1 ? 16 : 8;
      ASSERT_LE(payload + 4 + width, bytes.size());
      std::memset(bytes.data() + payload + 4, 0, width);
    }
  }
  auto hex_digit = [](uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
  for (size_t i = 0; i + 36 <= bytes.size(); ++i) {
    bool id = true;
    for (size_t k = 0; k < 36 && id; ++k) {
      const bool dash = k == 8 || k == 13 || k == 18 || k == 23;
      id = dash ? bytes[i + k] == '-' : hex_digit(bytes[i + k]);
    }
    if (id) std::memset(bytes.data() + i, '0', 36);
  }
}

// Video frames of an H.264 stream through the general or "VT64" conversion.
void write_h264(host::Session& s, int frames, const size_t* sizes, size_t size_count,
                uint32_t seed) {
  Noise noise(seed);
  for (int i = 0; i < frames; ++i) {
    const bool key = i % 12 == 0;
    Bytes frame = h264_frame(i, sizes[static_cast<size_t>(i) % size_count], key, noise);
    MxVideoFrame f = host::video_frame(frame.data(), static_cast<uint32_t>(frame.size()), pts_of(i),
                                       i * kFrame25, key ? 1 : 0);
    ASSERT_GT(s.video(f), 0u) << "frame " << i;
  }
}

// AAC packets of 1 to 3 frames, every other one behind a video frame's time.
void write_aac(host::Session& s, int packets, uint32_t seed) {
  Noise noise(seed);
  for (int i = 0; i < packets; ++i) {
    AudioPacket p = audio_packet(1 + i % 3, 180 + static_cast<size_t>(i) * 13 % 200, noise);
    MxAudioFrame f =
        host::audio_frame(p.bytes.data(), static_cast<int32_t>(p.bytes.size()), i * 640000);
    ASSERT_GT(s.audio(f, p.info.data()), 0u) << "packet " << i;
  }
}

std::unique_ptr<EncParam> video_params(const char* file, const char* video, uint32_t w,
                                       uint32_t h) {
  auto p = host::blank_params(fourcc(file));
  host::set_video(*p, fourcc(video), w, h, 25.0);
  return p;
}

void h264_with_aac(const std::string& path, const char* video_code, uint32_t stereo_mode) {
  auto p = video_params("MP4 ", video_code, 640, 360);
  host::set_audio(*p, fourcc("AAC "), 48000, 2);
  p->video.stereo_mode = stereo_mode;
  host::Session s(*p, path);
  ASSERT_TRUE(s.open());
  s.video_config(kPps264, kSps264);
  s.audio_config(kAacConfig);
  // Audio first and between the pictures, as a host interleaves them.
  Noise noise(7);
  for (int i = 0; i < 40; ++i) {
    if (i % 2 == 0) {
      AudioPacket a = audio_packet(2, 220, noise);
      MxAudioFrame f =
          host::audio_frame(a.bytes.data(), static_cast<int32_t>(a.bytes.size()), i * kFrame25);
      ASSERT_GT(s.audio(f, a.info.data()), 0u);
    }
    Bytes frame = h264_frame(i, kMixedSizes[i % std::size(kMixedSizes)], i % 12 == 0, noise);
    MxVideoFrame f = host::video_frame(frame.data(), static_cast<uint32_t>(frame.size()), pts_of(i),
                                       i * kFrame25, i % 12 == 0);
    ASSERT_GT(s.video(f), 0u) << "frame " << i;
  }
}

void h264_length_prefixed_file(const std::string& path) {
  auto p = video_params("MP4 ", "AAVC", 640, 360);
  host::Session s(*p, path);
  ASSERT_TRUE(s.open());
  s.video_config(kPps264, kSps264);
  Noise noise(11);
  for (int i = 0; i < 30; ++i) {
    Bytes frame = h264_length_prefixed(kMixedSizes[i % std::size(kMixedSizes)], i % 10 == 0, noise);
    MxVideoFrame f = host::video_frame(frame.data(), static_cast<uint32_t>(frame.size()), pts_of(i),
                                       i * kFrame25, i % 10 == 0);
    ASSERT_GT(s.video(f), 0u);
  }
}

// VPS, SPS and PPS as the host hands them over: one Annex-B buffer.
Bytes hevc_parameter_sets() {
  Bytes sets;
  for (const Bytes* u : {&kVps265, &kSps265, &kPps265}) {
    append(sets, kStartCode);
    append(sets, *u);
  }
  return sets;
}

// One HEVC access unit: a delimiter, then every tenth frame the parameter
// sets, an SEI and an IDR picture, every tenth from the fifth a CRA picture,
// and otherwise a trailing picture in two segments.
Bytes hevc_frame(int i, size_t size, Noise& noise) {
  Bytes frame;
  auto unit = [&](const Bytes& u) {
    append(frame, kStartCode);
    append(frame, u);
  };
  unit({0x46, 0x01, 0x50});  // access unit delimiter (35)
  if (i % 10 == 0) {
    unit(kVps265);
    unit(kSps265);
    unit(kPps265);
    unit(nal({0x4E, 0x01, 0x05}, 12, noise));    // prefix SEI
    unit(nal({0x26, 0x01, 0xAF}, size, noise));  // IDR_W_RADL
  } else if (i % 10 == 5) {
    unit(nal({0x2A, 0x01, 0xAF}, size, noise));  // CRA
  } else {
    unit(nal({0x02, 0x01, 0xD0}, size / 2 + 1, noise));  // TRAIL_R, two segments
    unit(nal({0x02, 0x01, 0x60}, size / 2, noise));
  }
  return frame;
}

// HEVC: parameter sets before key pictures, 4-byte start codes, a picture
// with parameter sets kept (picture flag 2), TRAIL and CRA pictures; AC-3.
void hevc_file(const std::string& path) {
  auto p = video_params("MOV ", "HEVC", 320, 240);
  host::set_audio(*p, fourcc("AC3 "), 48000, 6);
  host::Session s(*p, path);
  ASSERT_TRUE(s.open());
  s.video_config(hevc_parameter_sets(), {});
  s.audio_config(kAc3Config);
  Noise noise(13);
  for (int i = 0; i < 30; ++i) {
    const bool key = i % 10 == 0;
    Bytes frame = hevc_frame(i, kMixedSizes[i % std::size(kMixedSizes)], noise);
    MxVideoFrame f = host::video_frame(frame.data(), static_cast<uint32_t>(frame.size()), pts_of(i),
                                       i * kFrame25, i == 20 ? 2 : key);
    ASSERT_GT(s.video(f), 0u) << "frame " << i;
    if (i % 3 == 0) {
      AudioPacket a = audio_packet(1, 768, noise, 0x0B);
      MxAudioFrame af =
          host::audio_frame(a.bytes.data(), static_cast<int32_t>(a.bytes.size()), i * kFrame25, 6);
      ASSERT_GT(s.audio(af, a.info.data()), 0u);
    }
  }
}

// Codecs whose frames go into the file as they come, with their
// configuration bytes, and an audio codec beside them.
struct Passthrough {
  const char* file;
  const char* video;
  Bytes config1, config2;
  const char* audio;  // null: no audio
  uint32_t bits;
  Bytes audio_config;
};

void passthrough_file(const std::string& path, const Passthrough& c, uint32_t seed) {
  auto p = video_params(c.file, c.video, 720, 480);
  if (c.audio) host::set_audio(*p, fourcc(c.audio), 48000, 2, c.bits);
  host::Session s(*p, path);
  ASSERT_TRUE(s.open());
  s.video_config(c.config1, c.config2);
  if (c.audio) s.audio_config(c.audio_config);
  Noise noise(seed);
  for (int i = 0; i < 25; ++i) {
    Bytes frame = noise.bytes(kMixedSizes[i % std::size(kMixedSizes)]);
    MxVideoFrame f = host::video_frame(frame.data(), static_cast<uint32_t>(frame.size()), pts_of(i),
                                       i * kFrame25, i % 8 == 0);
    ASSERT_GT(s.video(f), 0u) << "frame " << i;
    if (c.audio && i % 2 == 0) {
      AudioPacket a = audio_packet(1 + i % 2, 300, noise);
      MxAudioFrame af =
          host::audio_frame(a.bytes.data(), static_cast<int32_t>(a.bytes.size()), i * kFrame25);
      ASSERT_GT(s.audio(af, a.info.data()), 0u);
    }
  }
}

// Audio-only files of one codec.
void audio_file(const std::string& path, const char* file, const char* code, uint32_t bits,
                const Bytes& config, uint32_t seed) {
  auto p = host::blank_params(fourcc(file));
  host::set_audio(*p, fourcc(code), 48000, 2, bits);
  host::Session s(*p, path);
  ASSERT_TRUE(s.open());
  s.audio_config(config);
  Noise noise(seed);
  const bool pcm = std::strcmp(code, "PCM ") == 0;
  const bool flac = std::strcmp(code, "flac") == 0;
  for (int i = 0; i < 30; ++i) {
    AudioPacket a;
    if (pcm) {
      a.bytes = noise.bytes(4096 + static_cast<size_t>(i % 5) * 512);
    } else if (flac) {
      a.bytes = flac_frame(i, 900 + static_cast<size_t>(i) * 31, noise);
      a.info = {1, static_cast<int32_t>(a.bytes.size())};
    } else {
      a = audio_packet(1 + i % 4, 32 + static_cast<size_t>(i) * 7, noise);
    }
    MxAudioFrame f =
        host::audio_frame(a.bytes.data(), static_cast<int32_t>(a.bytes.size()), i * 853333);
    ASSERT_GT(s.audio(f, pcm ? nullptr : a.info.data()), 0u) << "packet " << i;
  }
}

// Dual audio: AAC and AC-3 in one packet, beside H.264.
void dual_audio_file(const std::string& path) {
  auto p = video_params("MP4 ", "H264", 640, 360);
  host::set_audio(*p, fourcc("EAAC"), 48000, 2);
  host::Session s(*p, path);
  ASSERT_TRUE(s.open());
  s.video_config(kPps264, kSps264);
  auto le32 = [](Bytes& out, size_t n) {
    append(out, {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                 static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)});
  };
  Bytes config;
  le32(config, kAacConfig.size());
  append(config, kAacConfig);
  le32(config, kAc3Config.size());
  append(config, kAc3Config);
  s.audio_config(config);
  Noise noise(17);
  for (int i = 0; i < 24; ++i) {
    Bytes frame = h264_frame(i, kMixedSizes[i % std::size(kMixedSizes)], i % 12 == 0, noise);
    MxVideoFrame f = host::video_frame(frame.data(), static_cast<uint32_t>(frame.size()), pts_of(i),
                                       i * kFrame25, i % 12 == 0);
    ASSERT_GT(s.video(f), 0u);
    AudioPacket aac = audio_packet(1 + i % 2, 200, noise);
    AudioPacket ac3 = audio_packet(1, 640, noise, 0x0B);
    if (i % 5 == 3) aac = AudioPacket{{}, {0}};  // an AC-3 part alone
    Bytes packet;
    le32(packet, aac.bytes.size());
    append(packet, aac.bytes);
    le32(packet, ac3.bytes.size());
    append(packet, ac3.bytes);
    std::vector<int32_t> info = {ac3.info[0]};
    info.insert(info.end(), aac.info.begin(), aac.info.end());
    info.insert(info.end(), ac3.info.begin(), ac3.info.end());
    MxAudioFrame af =
        host::audio_frame(packet.data(), static_cast<int32_t>(packet.size()), i * kFrame25);
    ASSERT_GT(s.audio(af, info.data()), 0u) << "packet " << i;
  }
}

// H.264 with a timecode sample ahead of the pictures.
void timecode_file(const std::string& path) {
  auto p = video_params("MOV ", "H264", 640, 360);
  p->no_timecode = 0;
  host::Session s(*p, path);
  ASSERT_TRUE(s.open());
  s.video_config(kPps264, kSps264);
  Bytes tc = {0x00, 0x01, 0x51, 0x80};
  MxVideoFrame t = host::video_frame(nullptr, 0, 0, 0);
  t.frame_type = MX_FRAME_TYPE_TIMECODE;
  t.tc_data = tc.data();
  t.tc_size = static_cast<uint32_t>(tc.size());
  t.frame_duration = 20 * kFrame25;
  EXPECT_EQ(s.video(t), 0u);
  write_h264(s, 20, kMixedSizes, std::size(kMixedSizes), 19);
}

// A Live Photo movie: H.264 and AAC, the still-image-time sample and keys.
void live_photo_file(const std::string& path) {
  static const uint8_t kJpeg[] = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0xFF, 0xD9};
  static const MxPicture still = {kJpeg, sizeof kJpeg, 0};
  auto p = video_params("MOV ", "H264", 640, 360);
  host::set_audio(*p, fourcc("AAC "), 48000, 2);
  p->metadata.live_photo = 1;
  p->metadata.cover_art = &still;
  host::Session s(*p, path);
  ASSERT_TRUE(s.open());
  s.video_config(kPps264, kSps264);
  s.audio_config(kAacConfig);
  write_aac(s, 4, 23);
  write_h264(s, 15, kMixedSizes, std::size(kMixedSizes), 29);
}

// Samples larger than the 8 MiB output buffer, samples that end exactly at
// its end, and samples that straddle it, through the H.264 conversion (with
// frame packing, whose bytes come from the plug-in), as they are (DNxHD) and
// as one PCM packet, with small audio between them.
void large_samples_file(const std::string& path) {
  auto p = video_params("MOV ", "H264", 1920, 1080);
  host::set_audio(*p, fourcc("AAC "), 48000, 2);
  p->video.stereo_mode = 2;
  const size_t sizes[] = {9 * kMiB + 1, 3 * kMiB + 333, 17 * kMiB, 3 * kMiB,     3 * kMiB + 5,
                          777,          8 * kMiB - 200, 8 * kMiB,  5 * kMiB + 1, 64 * 1024};
  host::Session s(*p, path);
  ASSERT_TRUE(s.open());
  s.video_config(kPps264, kSps264);
  s.audio_config(kAacConfig);
  Noise noise(31);
  for (int i = 0; i < static_cast<int>(std::size(sizes)); ++i) {
    AudioPacket a = audio_packet(1 + i % 3, 251, noise);
    MxAudioFrame af =
        host::audio_frame(a.bytes.data(), static_cast<int32_t>(a.bytes.size()), i * kFrame25);
    ASSERT_GT(s.audio(af, a.info.data()), 0u);
    Bytes frame = h264_frame(i, sizes[i], i % 4 == 0, noise);
    MxVideoFrame f = host::video_frame(frame.data(), static_cast<uint32_t>(frame.size()), pts_of(i),
                                       i * kFrame25, i % 4 == 0);
    ASSERT_GT(s.video(f), 0u) << "frame " << i;
  }
}

// HEVC frames of up to 17 MiB, their units crossing the blocks in which large
// frames are searched and written; frame 10 keeps its parameter sets.
void large_hevc_file(const std::string& path) {
  auto p = video_params("MP4 ", "HEVC", 3840, 2160);
  host::set_audio(*p, fourcc("AAC "), 48000, 2);
  const size_t sizes[] = {9 * kMiB + 1,   3 * kMiB + 333, 700000,       512 * 1024,
                          256 * 1024 + 9, 17 * kMiB,      1000,         8 * kMiB - 200,
                          262141,         5 * kMiB + 7,   4 * kMiB + 3, 64 * 1024};
  host::Session s(*p, path);
  ASSERT_TRUE(s.open());
  s.video_config(hevc_parameter_sets(), {});
  s.audio_config(kAacConfig);
  Noise noise(97);
  for (int i = 0; i < static_cast<int>(std::size(sizes)); ++i) {
    AudioPacket a = audio_packet(1 + i % 2, 301, noise);
    MxAudioFrame af =
        host::audio_frame(a.bytes.data(), static_cast<int32_t>(a.bytes.size()), i * kFrame25);
    ASSERT_GT(s.audio(af, a.info.data()), 0u);
    Bytes frame = hevc_frame(i, sizes[i], noise);
    const uint32_t flag = i == 10 ? 2 : i % 10 == 0;
    MxVideoFrame f = host::video_frame(frame.data(), static_cast<uint32_t>(frame.size()), pts_of(i),
                                       i * kFrame25, flag);
    ASSERT_GT(s.video(f), 0u) << "frame " << i;
  }
}

void large_passthrough_file(const std::string& path) {
  auto p = video_params("MOV ", "AVHD", 1920, 1080);
  host::set_audio(*p, fourcc("PCM "), 48000, 2, 16);
  host::Session s(*p, path);
  ASSERT_TRUE(s.open());
  Noise noise(37);
  const size_t sizes[] = {8 * kMiB + 3, 2 * kMiB, 6 * kMiB + 7, 8 * kMiB - 1, 1000};
  for (int i = 0; i < static_cast<int>(std::size(sizes)); ++i) {
    Bytes pcm = noise.bytes(i == 2 ? 9 * kMiB : 19200);
    MxAudioFrame af = host::audio_frame(pcm.data(), static_cast<int32_t>(pcm.size()), i * kFrame25);
    ASSERT_GT(s.audio(af, nullptr), 0u);
    Bytes frame = noise.bytes(sizes[i]);
    MxVideoFrame f = host::video_frame(frame.data(), static_cast<uint32_t>(frame.size()),
                                       i * kFrame25, i * kFrame25, 1);
    ASSERT_GT(s.video(f), 0u) << "frame " << i;
  }
}

// Configuration bytes that the plug-in stores as they are.
Bytes noise_config(uint32_t seed) {
  Noise noise(seed);
  return noise.bytes(24);
}

const Bytes kMpeg4Config = hex_bytes(
    "00 00 01 B0 01 00 00 01 B5 89 13 00 00 01 00 00 00 01 20 00 C4 8D 88 00 F5 14 04 3C 14 63");
const Bytes kAv1Config = hex_bytes("81 00 0C 00 0A 0B 00 00 00 24 C7 FF DF 00 68 04");

const std::vector<Golden>& golden_files() {
  static const std::vector<Golden> files = {
      {"H.264 Annex-B, AAC", [](const std::string& f) { h264_with_aac(f, "H264", 0); }, 1514130,
       0x3c5dd8074381506cull},
      {"H.264 Annex-B side by side", [](const std::string& f) { h264_with_aac(f, "H264", 1); },
       1514258, 0x976624a2cf18541eull},
      {"H.264 VT64", [](const std::string& f) { h264_with_aac(f, "VT64", 0); }, 1513954,
       0x2f3233464a8921adull},
      {"H.264 length-prefixed", h264_length_prefixed_file, 1128020, 0x185d46eed53221dbull},
      {"HEVC, AC-3", hevc_file, 1136861, 0x71fda4ded8348c79ull},
      {"AV1, FLAC",
       [](const std::string& f) {
         passthrough_file(f, {"MP4 ", "AV1 ", kAv1Config, {}, "flac", 16, kFlacStreamInfo}, 41);
       },
       831902, 0xaca5336f74befe1dull},
      {"MPEG-4 Visual, AAC",
       [](const std::string& f) {
         passthrough_file(f, {"MP4 ", "MP4V", kMpeg4Config, {}, "AAC ", 16, kAacConfig}, 43);
       },
       832192, 0xb860f9c69fcfa093ull},
      {"H.263, AMR",
       [](const std::string& f) {
         passthrough_file(f, {"3GP ", "H263", {}, {}, "AMRN", 16, {}}, 47);
       },
       831414, 0x1ded025441ca68ceull},
      {"DNxHD, ALAC",
       [](const std::string& f) {
         passthrough_file(f, {"MOV ", "AVHD", noise_config(53), {}, "ALAC", 16, kAlacConfig}, 53);
       },
       832184, 0x4f3d603b9ce2d52aull},
      {"CineForm, PCM 16",
       [](const std::string& f) {
         passthrough_file(f, {"MOV ", "CFHD", {}, {}, "PCM ", 16, {}}, 59);
       },
       831960, 0x6ff1fe2d42141ecbull},
      {"FFV1, PCM float",
       [](const std::string& f) {
         passthrough_file(f, {"MOV ", "FFV1", noise_config(61), {}, "PCM ", 32, {}}, 61);
       },
       832014, 0x13d2313911fa25b5ull},
      {"AAC", [](const std::string& f) { audio_file(f, "M4A ", "AAC ", 16, kAacConfig, 67); },
       13566, 0x99fd4668d7090650ull},
      {"AC-3", [](const std::string& f) { audio_file(f, "MP4 ", "AC3 ", 16, kAc3Config, 71); },
       13508, 0x640243e9684034c9ull},
      {"ALAC", [](const std::string& f) { audio_file(f, "M4A ", "ALAC", 16, kAlacConfig, 73); },
       13537, 0x1b1d397b0168f751ull},
      {"FLAC", [](const std::string& f) { audio_file(f, "MP4 ", "flac", 16, kFlacStreamInfo, 79); },
       41964, 0x302163ace8c64a92ull},
      {"AMR", [](const std::string& f) { audio_file(f, "3GP ", "AMRN", 16, {}, 83); }, 13064,
       0x0891929a75fb6386ull},
      {"PCM 16", [](const std::string& f) { audio_file(f, "MOV ", "PCM ", 16, {}, 89); }, 155171,
       0xe7cc452bd769a6d8ull},
      {"dual audio", dual_audio_file, 850323, 0x3afb6150584ae145ull},
      {"timecode", timecode_file, 753087, 0xc4ae617b27b6fb8cull},
      {"Live Photo", live_photo_file, 455568, 0xab5a0030c94134beull},
      {"large H.264 samples", large_samples_file, 58794406, 0x6f6d3c44a2848132ull},
      {"large samples as they are", large_passthrough_file, 34682703, 0x28196ff3ec0c7b28ull},
      {"large HEVC samples", large_hevc_file, 50057828, 0x0216d1a056bb76ffull},
  };
  return files;
}

TEST(GoldenFiles, EveryConversionPathWritesTheRecordedBytes) {
  for (const Golden& g : golden_files()) {
    SCOPED_TRACE(g.name);
    const std::string path = test_temp_path("golden.out");
    g.write(path);
    if (HasFatalFailure()) return;
    Bytes bytes = read_whole_file(path);
    const iso::Tree tree = iso::parse(bytes);
    ASSERT_TRUE(tree.error.empty() && tree.find("moov") && tree.find("mdat")) << tree.dump();
    pin_run_dependent_fields(bytes);
    std::remove(path.c_str());
    std::remove(test_temp_path("golden.jpg").c_str());  // the Live Photo still
    const uint64_t hash = fnv1a(bytes);
    char actual[80];
    std::snprintf(actual, sizeof actual, "%llu, 0x%016llx",
                  static_cast<unsigned long long>(bytes.size()),
                  static_cast<unsigned long long>(hash));
    EXPECT_EQ(bytes.size(), g.size) << "now: " << actual;
    EXPECT_EQ(hash, g.hash) << "now: " << actual;
  }
}

}  // namespace
