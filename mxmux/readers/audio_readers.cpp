// Audio readers: AAC in ADTS, AC-3, FLAC, WAV (16-bit integer or 32-bit
// float PCM) and AMR narrow-band. Times come from sample counts: a frame's
// decode and presentation time is the number of samples before it divided
// by the sample rate.
#include <array>
#include <cstring>

#include "mxmux/byte_order.h"
#include "mxmux/readers/reader.h"

namespace mxmux {
namespace {

int64_t sample_ticks(uint64_t samples, uint32_t rate) {
  return static_cast<int64_t>(static_cast<__int128>(samples) * kTicksPerSecond / rate);
}

// Common frame hand-out: a frame stays in the window until the next call.
class AudioReader : public Reader {
 public:
  using Reader::Reader;

 protected:
  // Releases the previous frame; false with error set when input failed.
  void release() {
    src_.consume(consumed_);
    consumed_ = 0;
  }
  int emit(Frame& frame, size_t skip, size_t size, size_t total, uint32_t samples) {
    frame.data = const_cast<uint8_t*>(src_.data()) + skip;
    frame.size = size;
    frame.offset = src_.pos();
    frame.dts = frame.pts = sample_ticks(samples_done_, params_.sample_rate);
    frame.key = true;
    frame.samples = samples;
    samples_done_ += samples;
    consumed_ = total;
    return 1;
  }
  // True at a clean end of input; sets error when the input failed.
  bool at_end(Error& error) {
    if (src_.ensure(1)) return false;
    if (src_.error().set()) error = src_.error();
    return true;
  }

  size_t consumed_ = 0;
  uint64_t samples_done_ = 0;
};

// ---------------------------------------------------------------- AAC/ADTS

constexpr uint32_t kAacRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                  22050, 16000, 12000, 11025, 8000,  7350};

struct AdtsHeader {
  uint32_t header_size = 0, frame_length = 0;
  uint32_t profile = 0, rate_index = 0, channel_config = 0, raw_blocks = 0;
};

bool parse_adts(const uint8_t* p, AdtsHeader& h) {
  if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return false;
  h.header_size = (p[1] & 1) ? 7 : 9;
  h.profile = p[2] >> 6;
  h.rate_index = (p[2] >> 2) & 15;
  h.channel_config = ((p[2] & 1) << 2) | (p[3] >> 6);
  h.frame_length = ((p[3] & 3u) << 11) | (uint32_t{p[4]} << 3) | (p[5] >> 5);
  h.raw_blocks = p[6] & 3;
  return true;
}

class AdtsReader : public AudioReader {
 public:
  using AudioReader::AudioReader;

  bool open(const ReaderOptions&, Error& error) override {
    params_.codec = Codec::kAac;
    skip_id3();
    AdtsHeader h;
    if (!src_.ensure(7) || !parse_adts(src_.data(), h)) {
      error = src_.fail(src_.pos(), "not an AAC ADTS stream (no ADTS sync word)");
      return false;
    }
    if (h.rate_index >= 13) {
      error = src_.fail(src_.pos(), "damaged ADTS header (reserved sample rate index)");
      return false;
    }
    if (h.channel_config == 0) {
      error = src_.fail(
          src_.pos(),
          "unsupported AAC stream: channel layout given in-band (channel configuration 0)");
      return false;
    }
    if (h.profile == 3) {
      error = src_.fail(src_.pos(), "unsupported AAC profile (reserved object type)");
      return false;
    }
    first_ = h;
    uint32_t object_type = h.profile + 1;
    uint16_t asc =
        static_cast<uint16_t>((object_type << 11) | (h.rate_index << 7) | (h.channel_config << 3));
    params_.config1 = {static_cast<uint8_t>(asc >> 8), static_cast<uint8_t>(asc & 0xFF)};
    params_.sample_rate = kAacRates[h.rate_index];
    params_.channels = h.channel_config == 7 ? 8 : h.channel_config;
    params_.bits_per_sample = 16;
    params_.samples_per_frame = 1024;
    static constexpr const char* kProfiles[] = {"Main", "LC", "SSR"};
    params_.detail = kProfiles[h.profile];
    return true;
  }

  int next(Frame& frame, Error& error) override {
    release();
    if (at_end(error)) return error.set() ? -1 : 0;
    AdtsHeader h;
    if (!src_.ensure(7)) {
      error = src_.fail(src_.pos(), "truncated ADTS header");
      return -1;
    }
    if (!parse_adts(src_.data(), h)) {
      error = src_.fail(src_.pos(), "lost ADTS sync (damaged AAC stream)");
      return -1;
    }
    if (h.rate_index != first_.rate_index || h.channel_config != first_.channel_config ||
        h.profile != first_.profile) {
      error = src_.fail(src_.pos(), "the AAC stream changes its sample rate, channels or profile");
      return -1;
    }
    if (h.frame_length < h.header_size) {
      error = src_.fail(src_.pos(), "damaged ADTS header (frame shorter than its header)");
      return -1;
    }
    if (h.raw_blocks != 0) {
      error = src_.fail(src_.pos(), "unsupported ADTS stream: several raw data blocks per frame");
      return -1;
    }
    if (!src_.ensure(h.frame_length)) {
      error = src_.error().set() ? src_.error() : src_.fail(src_.pos(), "truncated AAC frame");
      return -1;
    }
    return emit(frame, h.header_size, h.frame_length - h.header_size, h.frame_length, 1024);
  }

 private:
  void skip_id3() {
    if (src_.ensure(10) && std::memcmp(src_.data(), "ID3", 3) == 0) {
      const uint8_t* p = src_.data();
      size_t size = (size_t{p[6] & 0x7Fu} << 21) | (size_t{p[7] & 0x7Fu} << 14) |
                    (size_t{p[8] & 0x7Fu} << 7) | (p[9] & 0x7Fu);
      size += 10 + ((p[5] & 0x10) ? 10 : 0);
      if (src_.ensure(size)) src_.consume(size);
    }
  }

  AdtsHeader first_;
};

// -------------------------------------------------------------------- AC-3

// Frame sizes in 16-bit words for 48 kHz by bit-rate code; 32 kHz takes 1.5×,
// 44.1 kHz the rounded-down ratio plus one word for odd size codes.
constexpr uint16_t kAc3Kbps[] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                 192, 224, 256, 320, 384, 448, 512, 576, 640};
constexpr uint32_t kAc3Rates[] = {48000, 44100, 32000};
constexpr uint8_t kAc3Channels[] = {2, 1, 2, 3, 3, 4, 4, 5};

struct Ac3Header {
  uint32_t rate = 0, channels = 0, frame_bytes = 0, bsid = 0;
};

// 0: fine; otherwise a message.
const char* parse_ac3(const uint8_t* p, Ac3Header& h) {
  if (p[0] != 0x0B || p[1] != 0x77) return "lost AC-3 sync";
  h.bsid = p[5] >> 3;
  if (h.bsid > 10)
    return h.bsid <= 16 ? "unsupported: E-AC-3 (only AC-3 is read)" : "damaged AC-3 header";
  uint32_t fscod = p[4] >> 6, frmsizecod = p[4] & 0x3F;
  if (fscod == 3 || frmsizecod > 37) return "damaged AC-3 header (reserved rate or size code)";
  uint32_t kbps = kAc3Kbps[frmsizecod >> 1];
  uint32_t words = fscod == 0   ? kbps * 2
                   : fscod == 2 ? kbps * 3
                                : kbps * 96000 / 44100 + (frmsizecod & 1);
  h.frame_bytes = words * 2;
  h.rate = kAc3Rates[fscod];
  uint32_t acmod = p[6] >> 5;
  int skip = 0;
  if ((acmod & 1) && acmod != 1) skip += 2;
  if (acmod & 4) skip += 2;
  if (acmod == 2) skip += 2;
  // acmod occupies the top 3 bits of byte 6; the skipped fields and lfeon follow.
  uint32_t bits = (uint32_t{p[6]} << 8) | p[7];
  bool lfe = (bits >> (15 - 3 - skip)) & 1;
  h.channels = kAc3Channels[acmod] + (lfe ? 1 : 0);
  return nullptr;
}

class Ac3Reader : public AudioReader {
 public:
  using AudioReader::AudioReader;

  bool open(const ReaderOptions&, Error& error) override {
    params_.codec = Codec::kAc3;
    Ac3Header h;
    if (!src_.ensure(8) || src_.data()[0] != 0x0B || src_.data()[1] != 0x77) {
      error = src_.fail(0, "not an AC-3 stream (no sync word at the start)");
      return false;
    }
    if (const char* bad = parse_ac3(src_.data(), h)) {
      error = src_.fail(0, bad);
      return false;
    }
    first_ = h;
    params_.sample_rate = h.rate;
    params_.channels = h.channels;
    params_.bits_per_sample = 16;
    params_.samples_per_frame = 1536;
    size_t keep = src_.avail() < h.frame_bytes ? src_.avail() : h.frame_bytes;
    params_.config1.assign(src_.data(), src_.data() + keep);
    return true;
  }

  int next(Frame& frame, Error& error) override {
    release();
    if (at_end(error)) return error.set() ? -1 : 0;
    Ac3Header h;
    if (!src_.ensure(8)) {
      error = src_.fail(src_.pos(), "truncated AC-3 frame");
      return -1;
    }
    if (const char* bad = parse_ac3(src_.data(), h)) {
      error = src_.fail(src_.pos(), bad);
      return -1;
    }
    if (h.rate != first_.rate) {
      error = src_.fail(src_.pos(), "the AC-3 stream changes its sample rate");
      return -1;
    }
    if (!src_.ensure(h.frame_bytes)) {
      error = src_.error().set() ? src_.error() : src_.fail(src_.pos(), "truncated AC-3 frame");
      return -1;
    }
    return emit(frame, 0, h.frame_bytes, h.frame_bytes, 1536);
  }

 private:
  Ac3Header first_;
};

// -------------------------------------------------------------------- FLAC

constexpr std::array<uint8_t, 256> make_crc8() {
  std::array<uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i) {
    uint8_t c = static_cast<uint8_t>(i);
    for (int k = 0; k < 8; ++k) c = static_cast<uint8_t>((c & 0x80) ? (c << 1) ^ 0x07 : c << 1);
    t[i] = c;
  }
  return t;
}
constexpr std::array<uint16_t, 256> make_crc16() {
  std::array<uint16_t, 256> t{};
  for (int i = 0; i < 256; ++i) {
    uint16_t c = static_cast<uint16_t>(i << 8);
    for (int k = 0; k < 8; ++k)
      c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x8005 : c << 1);
    t[i] = c;
  }
  return t;
}
constexpr auto kCrc8 = make_crc8();
constexpr auto kCrc16 = make_crc16();

// Parses a frame header at [p, end): the block size in samples, or 0 when
// this is no valid header (sync, reserved values or CRC-8).
uint32_t flac_frame_header(const uint8_t* p, const uint8_t* end, uint32_t stream_bits) {
  if (end - p < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8) return 0;
  uint32_t bs_code = p[2] >> 4, rate_code = p[2] & 15;
  uint32_t channels = p[3] >> 4, size_code = (p[3] >> 1) & 7;
  if (bs_code == 0 || rate_code == 15 || channels > 10 || size_code == 3 || size_code == 7 ||
      (p[3] & 1)) {
    return 0;
  }
  static constexpr uint32_t kSizeBits[] = {0, 8, 12, 0, 16, 20, 24, 0};
  if (size_code != 0 && kSizeBits[size_code] != stream_bits) return 0;
  const uint8_t* q = p + 4;
  // UTF-8 style coded frame or sample number.
  int extra = 0;
  if (*q < 0x80)
    extra = 0;
  else if ((*q & 0xE0) == 0xC0)
    extra = 1;
  else if ((*q & 0xF0) == 0xE0)
    extra = 2;
  else if ((*q & 0xF8) == 0xF0)
    extra = 3;
  else if ((*q & 0xFC) == 0xF8)
    extra = 4;
  else if ((*q & 0xFE) == 0xFC)
    extra = 5;
  else if (*q == 0xFE)
    extra = 6;
  else
    return 0;
  if (end - q < extra + 1) return 0;
  ++q;
  for (int i = 0; i < extra; ++i, ++q) {
    if ((*q & 0xC0) != 0x80) return 0;
  }
  uint32_t block = 0;
  if (bs_code == 1)
    block = 192;
  else if (bs_code <= 5)
    block = 576u << (bs_code - 2);
  else if (bs_code == 6) {
    if (end - q < 1) return 0;
    block = uint32_t{*q++} + 1;
  } else if (bs_code == 7) {
    if (end - q < 2) return 0;
    block = be16(q) + 1;
    q += 2;
  } else {
    block = 256u << (bs_code - 8);
  }
  if (rate_code == 12)
    q += 1;
  else if (rate_code == 13 || rate_code == 14)
    q += 2;
  if (end - q < 1) return 0;
  uint8_t crc = 0;
  for (const uint8_t* c = p; c < q; ++c) crc = kCrc8[crc ^ *c];
  return crc == *q ? block : 0;
}

uint16_t crc16(const uint8_t* p, const uint8_t* end) {
  uint16_t crc = 0;
  for (; p < end; ++p) crc = static_cast<uint16_t>((crc << 8) ^ kCrc16[(crc >> 8) ^ *p]);
  return crc;
}

class FlacReader : public AudioReader {
 public:
  using AudioReader::AudioReader;

  bool open(const ReaderOptions&, Error& error) override {
    params_.codec = Codec::kFlac;
    if (!src_.ensure(4) || std::memcmp(src_.data(), "fLaC", 4) != 0) {
      error = src_.fail(0, "not a FLAC stream (no fLaC signature)");
      return false;
    }
    size_t off = 4;
    bool last = false, have_info = false;
    while (!last) {
      if (!src_.ensure(off + 4)) {
        error = src_.fail(off, "truncated FLAC metadata block");
        return false;
      }
      const uint8_t* b = src_.data() + off;
      last = b[0] & 0x80;
      uint32_t type = b[0] & 0x7F, length = be24(b + 1);
      if (!src_.ensure(off + 4 + length)) {
        error = src_.error().set() ? src_.error() : src_.fail(off, "truncated FLAC metadata block");
        return false;
      }
      b = src_.data() + off;
      if (type == 0) {
        if (length != 34 || have_info) {
          error = src_.fail(off, "damaged FLAC stream information block");
          return false;
        }
        const uint8_t* s = b + 4;
        params_.config1.assign(s, s + 34);
        params_.sample_rate = (uint32_t{s[10]} << 12) | (uint32_t{s[11]} << 4) | (s[12] >> 4);
        params_.channels = ((s[12] >> 1) & 7) + 1;
        params_.bits_per_sample = (((s[12] & 1u) << 4) | (s[13] >> 4)) + 1;
        have_info = true;
      } else if (!have_info) {
        error = src_.fail(off, "FLAC stream does not start with its stream information block");
        return false;
      }
      off += 4 + length;
    }
    if (params_.sample_rate == 0) {
      error = src_.fail(4, "FLAC stream information gives no sample rate");
      return false;
    }
    if (params_.bits_per_sample != 16 && params_.bits_per_sample != 24 &&
        params_.bits_per_sample != 8 && params_.bits_per_sample != 32) {
      error = src_.fail(4, "unsupported FLAC sample size of " +
                               std::to_string(params_.bits_per_sample) + " bits");
      return false;
    }
    src_.consume(off);
    params_.samples_per_frame = 0;
    return true;
  }

  int next(Frame& frame, Error& error) override {
    release();
    if (at_end(error)) return error.set() ? -1 : 0;
    if (!src_.ensure(16)) src_.ensure(src_.avail());
    uint32_t block =
        flac_frame_header(src_.data(), src_.data() + src_.avail(), params_.bits_per_sample);
    if (block == 0) {
      error = src_.fail(src_.pos(), "damaged FLAC frame header");
      return -1;
    }
    // The frame ends where the next valid header starts and the CRC-16 of
    // the bytes up to it matches; the last frame ends with the input.
    size_t scan = 2;
    while (true) {
      const uint8_t* base = src_.data();
      size_t n = src_.avail();
      for (; scan + 1 < n; ++scan) {
        if (base[scan] != 0xFF || (base[scan + 1] & 0xFE) != 0xF8) continue;
        if (scan < 4) continue;
        if (n - scan < 24 && src_.ensure(scan + 24)) break;  // header bytes first
        if (flac_frame_header(base + scan, base + n, params_.bits_per_sample) == 0) continue;
        if (crc16(base, base + scan - 2) == be16(base + scan - 2)) {
          return emit(frame, 0, scan, scan, block);
        }
      }
      if (scan + 1 < src_.avail()) continue;  // window grew for a header: rescan from scan
      if (!src_.more()) break;
    }
    if (src_.error().set()) {
      error = src_.error();
      return -1;
    }
    size_t n = src_.avail();
    if (n < 4 || crc16(src_.data(), src_.data() + n - 2) != be16(src_.data() + n - 2)) {
      error = src_.fail(src_.pos(), "truncated or damaged FLAC frame (checksum mismatch)");
      return -1;
    }
    return emit(frame, 0, n, n, block);
  }
};

// --------------------------------------------------------------------- WAV

constexpr uint32_t kPcmFramesPerPacket = 1024;

class WavReader : public AudioReader {
 public:
  using AudioReader::AudioReader;

  bool open(const ReaderOptions&, Error& error) override {
    if (!src_.ensure(12) || std::memcmp(src_.data(), "RIFF", 4) != 0 ||
        std::memcmp(src_.data() + 8, "WAVE", 4) != 0) {
      error = src_.fail(0, "not a WAV file (no RIFF/WAVE header)");
      return false;
    }
    src_.consume(12);
    bool have_fmt = false;
    while (true) {
      uint64_t at = src_.pos();
      if (!src_.ensure(8)) {
        error = src_.fail(
            at, have_fmt ? "WAV file without a data chunk" : "WAV file without a format chunk");
        return false;
      }
      const uint8_t* c = src_.data();
      uint32_t size = le32(c + 4);
      if (std::memcmp(c, "data", 4) == 0) {
        if (!have_fmt) {
          error = src_.fail(at, "WAV data chunk before the format chunk");
          return false;
        }
        src_.consume(8);
        // Streaming writers leave the size at 0 or all ones: read to the end.
        remaining_ = (size == 0 || size == 0xFFFFFFFF) ? ~uint64_t{0} : size;
        return true;
      }
      size_t padded = size_t{size} + (size & 1);
      if (!src_.ensure(8 + padded)) {
        error = src_.error().set() ? src_.error() : src_.fail(at, "truncated WAV chunk");
        return false;
      }
      c = src_.data();
      if (std::memcmp(c, "fmt ", 4) == 0) {
        if (size < 16) {
          error = src_.fail(at, "damaged WAV format chunk");
          return false;
        }
        uint32_t tag = le16(c + 8);
        params_.channels = le16(c + 10);
        params_.sample_rate = le32(c + 12);
        block_align_ = le16(c + 20);
        params_.bits_per_sample = le16(c + 22);
        if (tag == 0xFFFE && size >= 40) tag = le16(c + 32);  // extensible: the sub-format
        if (tag == 1 && params_.bits_per_sample == 16) {
          params_.codec = Codec::kPcm16;
        } else if (tag == 3 && params_.bits_per_sample == 32) {
          params_.codec = Codec::kPcmFloat32;
        } else {
          error = src_.fail(at, "unsupported WAV sample format: " +
                                    std::string(tag == 3   ? "float"
                                                : tag == 1 ? "integer"
                                                           : "code " + std::to_string(tag)) +
                                    " " + std::to_string(params_.bits_per_sample) +
                                    "-bit (16-bit integer and 32-bit float are read)");
          return false;
        }
        if (params_.channels == 0 || params_.channels > 64 || params_.sample_rate == 0 ||
            block_align_ != params_.channels * params_.bits_per_sample / 8) {
          error = src_.fail(at, "damaged WAV format chunk");
          return false;
        }
        have_fmt = true;
        params_.detail = params_.codec == Codec::kPcm16 ? "16-bit" : "32-bit";
      }
      src_.consume(8 + padded);
    }
  }

  int next(Frame& frame, Error& error) override {
    release();
    if (remaining_ < block_align_) return 0;
    uint64_t want64 = uint64_t{block_align_} * kPcmFramesPerPacket;
    size_t want = static_cast<size_t>(want64 < remaining_ ? want64 : remaining_);
    src_.ensure(want);
    if (src_.error().set()) {
      error = src_.error();
      return -1;
    }
    size_t have = src_.avail() < want ? src_.avail() : want;
    size_t whole = have - have % block_align_;
    if (whole == 0) return 0;  // a partial sample at the end is dropped
    if (remaining_ != ~uint64_t{0}) remaining_ -= whole;
    return emit(frame, 0, whole, whole, static_cast<uint32_t>(whole / block_align_));
  }

 private:
  uint32_t block_align_ = 0;
  uint64_t remaining_ = 0;
};

// ------------------------------------------------------------------ AMR-NB

// Speech bytes after the table-of-contents byte, by frame type.
constexpr int8_t kAmrSizes[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, -1, -1, -1, -1, -1, -1, 0};

class AmrReader : public AudioReader {
 public:
  using AudioReader::AudioReader;

  bool open(const ReaderOptions&, Error& error) override {
    params_.codec = Codec::kAmrNb;
    if (src_.ensure(9) && std::memcmp(src_.data(), "#!AMR-WB\n", 9) == 0) {
      error = src_.fail(0, "unsupported: AMR wide-band (only AMR narrow-band is read)");
      return false;
    }
    if (!src_.ensure(6) || std::memcmp(src_.data(), "#!AMR\n", 6) != 0) {
      error = src_.fail(0, "not an AMR file (no #!AMR header)");
      return false;
    }
    src_.consume(6);
    params_.sample_rate = 8000;
    params_.channels = 1;
    params_.bits_per_sample = 16;
    params_.samples_per_frame = 160;
    return true;
  }

  int next(Frame& frame, Error& error) override {
    release();
    if (at_end(error)) return error.set() ? -1 : 0;
    uint8_t toc = src_.data()[0];
    int size = kAmrSizes[(toc >> 3) & 15];
    if (size < 0 || (toc & 0x83) != 0) {
      error = src_.fail(src_.pos(), "damaged AMR frame header");
      return -1;
    }
    if (!src_.ensure(static_cast<size_t>(size) + 1)) {
      error = src_.error().set() ? src_.error() : src_.fail(src_.pos(), "truncated AMR frame");
      return -1;
    }
    return emit(frame, 0, static_cast<size_t>(size) + 1, static_cast<size_t>(size) + 1, 160);
  }
};

}  // namespace

std::unique_ptr<Reader> make_adts_reader(ByteSource& src) {
  return std::make_unique<AdtsReader>(src);
}
std::unique_ptr<Reader> make_ac3_reader(ByteSource& src) {
  return std::make_unique<Ac3Reader>(src);
}
std::unique_ptr<Reader> make_flac_reader(ByteSource& src) {
  return std::make_unique<FlacReader>(src);
}
std::unique_ptr<Reader> make_wav_reader(ByteSource& src) {
  return std::make_unique<WavReader>(src);
}
std::unique_ptr<Reader> make_amr_reader(ByteSource& src) {
  return std::make_unique<AmrReader>(src);
}

}  // namespace mxmux
