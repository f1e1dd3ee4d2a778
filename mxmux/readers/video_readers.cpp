// Video readers without reordering: AV1 in IVF, MPEG-4 Visual visual and
// H.263 elementary streams. Their frames are presented in decode order, so
// decode and presentation times are both frame index × frame duration.
#include <cstring>

#include "mxmux/byte_order.h"
#include "mxmux/readers/annexb_units.h"
#include "mxmux/readers/bits.h"
#include "mxmux/readers/reader.h"
#include "mxmux/readers/zero_pairs.h"

namespace mxmux {
namespace {

// ------------------------------------------------------------------ AV1/IVF

constexpr size_t kIvfHeader = 32;
constexpr size_t kIvfFrameHeader = 12;

struct Obu {
  int type = 0;
  size_t header_size = 0;  // header, extension and size field
  size_t payload_size = 0;
};

// Reads one OBU header at [p, end). False when it does not fit.
bool read_obu(const uint8_t* p, const uint8_t* end, Obu& obu) {
  if (p >= end) return false;
  if (p[0] & 0x80) return false;  // forbidden bit
  obu.type = (p[0] >> 3) & 15;
  bool extension = p[0] & 4;
  bool has_size = p[0] & 2;
  size_t pos = 1 + (extension ? 1 : 0);
  if (pos > static_cast<size_t>(end - p)) return false;
  if (!has_size) {
    obu.header_size = pos;
    obu.payload_size = static_cast<size_t>(end - p) - pos;
    return true;
  }
  uint64_t size = 0;
  for (int i = 0; i < 8; ++i) {
    if (p + pos >= end) return false;
    uint8_t b = p[pos++];
    size |= uint64_t{b & 0x7Fu} << (7 * i);
    if (!(b & 0x80)) break;
    if (i == 7) return false;
  }
  if (size > static_cast<uint64_t>(end - p) - pos) return false;
  obu.header_size = pos;
  obu.payload_size = static_cast<size_t>(size);
  return true;
}

class IvfReader : public Reader {
 public:
  using Reader::Reader;

  bool open(const ReaderOptions& options, Error& error) override {
    params_.codec = Codec::kAv1;
    if (!src_.ensure(kIvfHeader) || std::memcmp(src_.data(), "DKIF", 4) != 0) {
      error = src_.fail(0, "not an IVF file (no DKIF signature)");
      return false;
    }
    const uint8_t* h = src_.data();
    size_t header_size = le16(h + 6);
    if (std::memcmp(h + 8, "AV01", 4) != 0) {
      error = src_.fail(8, "the IVF file does not hold AV1 (codec " +
                               std::string(reinterpret_cast<const char*>(h + 8), 4) + ")");
      return false;
    }
    if (header_size < kIvfHeader) header_size = kIvfHeader;
    params_.width = le16(h + 12);
    params_.height = le16(h + 14);
    uint32_t rate = le32(h + 16), scale = le32(h + 20);
    if (!src_.ensure(header_size)) {
      error = src_.fail(0, "truncated IVF header");
      return false;
    }
    src_.consume(header_size);
    // The first frame carries the sequence header; the first two frames'
    // time stamps give the frame duration.
    if (!src_.ensure(kIvfFrameHeader)) {
      error = src_.fail(src_.pos(), "the IVF file holds no frame");
      return false;
    }
    uint32_t size0 = le32(src_.data());
    uint64_t pts0 = le64(src_.data() + 4);
    if (!src_.ensure(kIvfFrameHeader + size_t{size0} + kIvfFrameHeader)) {
      if (src_.error().set() || !src_.ensure(kIvfFrameHeader + size_t{size0})) {
        error = src_.error().set() ? src_.error() : src_.fail(src_.pos(), "truncated AV1 frame");
        return false;
      }
    }
    const uint8_t* f = src_.data() + kIvfFrameHeader;
    const uint8_t* fend = f + size0;
    for (const uint8_t* p = f; p < fend;) {
      Obu obu;
      if (!read_obu(p, fend, obu)) break;
      if (obu.type == 1) {
        params_.config1.assign(p, p + obu.header_size + obu.payload_size);
        params_.config2 = params_.config1;
        const uint8_t* sh = p + obu.header_size;
        if (obu.payload_size >= 1) {
          params_.profile = sh[0] >> 5;
          reduced_still_ = (sh[0] >> 3) & 1;
        }
        break;
      }
      p += obu.header_size + obu.payload_size;
    }
    if (params_.config2.empty()) {
      error = src_.fail(src_.pos() + kIvfFrameHeader, "the first AV1 frame has no sequence header");
      return false;
    }
    uint32_t num = 0, den = 0;
    if (src_.avail() >= 2 * kIvfFrameHeader + size0 && rate && scale) {
      uint64_t pts1 = le64(src_.data() + kIvfFrameHeader + size0 + 4);
      if (pts1 > pts0 && pts1 - pts0 < 1000000) {
        uint64_t n = rate, d = uint64_t{scale} * (pts1 - pts0);
        if (d <= 0xFFFFFFFF) {
          num = static_cast<uint32_t>(n);
          den = static_cast<uint32_t>(d);
        }
      }
    }
    clock_ = settle_frame_rate(options, num, den, params_);
    params_.detail = params_.profile == 0 ? "Main" : params_.profile == 1 ? "High" : "Professional";
    return true;
  }

  int next(Frame& frame, Error& error) override {
    src_.consume(consumed_);
    consumed_ = 0;
    if (!src_.ensure(1)) {
      if (src_.error().set()) {
        error = src_.error();
        return -1;
      }
      return 0;
    }
    uint64_t at = src_.pos();
    if (!src_.ensure(kIvfFrameHeader)) {
      error = src_.error().set() ? src_.error() : src_.fail(at, "truncated IVF frame header");
      return -1;
    }
    uint32_t size = le32(src_.data());
    if (!src_.ensure(kIvfFrameHeader + size_t{size})) {
      error = src_.error().set() ? src_.error() : src_.fail(at, "truncated AV1 frame");
      return -1;
    }
    uint8_t* p = const_cast<uint8_t*>(src_.data()) + kIvfFrameHeader;
    uint8_t* end = p + size;
    // Temporal delimiters are not stored in the file: skip a leading one.
    Obu obu;
    while (p < end && read_obu(p, end, obu) && obu.type == 2)
      p += obu.header_size + obu.payload_size;
    bool key = false;
    for (const uint8_t* q = p; q < end;) {
      if (!read_obu(q, end, obu)) {
        error = src_.fail(at + static_cast<uint64_t>(q - src_.data()), "damaged AV1 OBU header");
        return -1;
      }
      if (obu.type == 3 || obu.type == 6) {  // frame header or frame
        const uint8_t* fh = q + obu.header_size;
        if (reduced_still_) {
          key = true;
        } else if (obu.payload_size >= 1) {
          bool show_existing = fh[0] & 0x80;
          key = !show_existing && ((fh[0] >> 5) & 3) == 0;
        }
        break;
      }
      q += obu.header_size + obu.payload_size;
    }
    consumed_ = kIvfFrameHeader + size;
    frame.data = p;
    frame.size = static_cast<size_t>(end - p);
    frame.dts = frame.pts = clock_.ticks(index_++);
    frame.key = key;
    frame.samples = 1;
    frame.offset = at;
    return 1;
  }

 private:
  FrameClock clock_;
  bool reduced_still_ = false;
  size_t consumed_ = 0;
  int64_t index_ = 0;
};

// ------------------------------------------------- start-code delimited video

// Finds the next H.263 picture start code (00 00 8x, byte aligned) at or
// after `from`; returns its offset or ~0 at the end of the input. Pulls input
// into the window as needed. The zero pairs are found by the vector search of
// zero_pairs.h. (MPEG-4 Visual's start codes, 00 00 01 xx, are found with the
// vector search of annexb_units.h.)
uint64_t find_picture_start(ByteSource& src, uint64_t from) {
  while (true) {
    uint64_t pos = src.pos();
    size_t n = src.avail();
    if (from < pos) from = pos;
    const uint8_t* base = src.data();
    if (n >= 3) {
      // Pairs that end before the window's last byte: their xx is in it.
      for (size_t i = static_cast<size_t>(from - pos);; ++i) {
        i = find_zero_pair(base, n - 1, i);
        if (i >= n - 2) break;
        if ((base[i + 2] & 0xFC) == 0x80) return pos + i;
      }
    }
    if (n >= 2 && from < pos + n - 2) from = pos + n - 2;
    if (!src.more()) return ~uint64_t{0};
  }
}

// MPEG-4 Visual: a frame is one VOP with the headers (VOL, GOV, user data)
// that precede it.
class Mpeg4VisualReader : public Reader {
 public:
  using Reader::Reader;

  bool open(const ReaderOptions& options, Error& error) override {
    params_.codec = Codec::kMpeg4Visual;
    src_.ensure(4096);
    next_ = find_start_code(src_, 0);
    if (next_ == ~uint64_t{0} || next_ > 16) {
      error = src_.fail(0, "not an MPEG-4 Visual stream (no start code at the start)");
      return false;
    }
    // Headers up to the first VOP.
    uint64_t p = next_;
    bool have_vol = false;
    while (true) {
      if (!src_.ensure(static_cast<size_t>(p - src_.pos()) + 4)) break;
      uint8_t code = src_.data()[p - src_.pos() + 3];
      if (code == 0xB6) break;
      uint64_t after = find_start_code(src_, p + 3);
      if (code >= 0x20 && code <= 0x2F && !have_vol) {
        uint64_t end = after == ~uint64_t{0} ? src_.pos() + src_.avail() : after;
        if (!parse_vol(src_.data() + (p - src_.pos()) + 4, src_.data() + (end - src_.pos()))) {
          error = src_.fail(p, "damaged or unsupported MPEG-4 video object layer header");
          return false;
        }
        have_vol = true;
      }
      if (after == ~uint64_t{0}) break;
      p = after;
    }
    if (!have_vol) {
      error = src_.fail(
          0, "MPEG-4 Visual stream without a video object layer header before its first frame");
      return false;
    }
    // Frame duration from the first two VOPs' time stamps when the layer
    // does not fix the rate.
    uint32_t num = 0, den = 0;
    if (fixed_increment_) {
      num = resolution_;
      den = fixed_increment_;
    } else {
      const uint64_t v0 = find_vop(next_);
      const uint64_t v1 = v0 == ~uint64_t{0} ? v0 : find_vop(v0 + 4);
      int64_t t0 = 0, t1 = 0;
      if (v1 != ~uint64_t{0} && src_.ensure(static_cast<size_t>(v1 - src_.pos()) + 16) &&
          vop_time(v0, t0) && vop_time(v1, t1) && t1 > t0) {
        num = resolution_;
        den = static_cast<uint32_t>(t1 - t0);
      }
    }
    clock_ = settle_frame_rate(options, num, den, params_);
    return true;
  }

  int next(Frame& frame, Error& error) override {
    if (next_ == ~uint64_t{0}) return 0;
    if (next_ > src_.pos()) src_.consume(static_cast<size_t>(next_ - src_.pos()));
    uint64_t start = next_;
    uint64_t p = start;
    int vop_type = -1;
    while (true) {
      uint64_t after = find_start_code(src_, p + 3);
      if (src_.error().set()) {
        error = src_.error();
        return -1;
      }
      if (!src_.ensure(static_cast<size_t>(p - src_.pos()) + 4)) {
        error = src_.fail(p, "truncated MPEG-4 start code");
        return -1;
      }
      uint8_t code = src_.data()[p - src_.pos() + 3];
      if (code == 0xB6) {
        if (!src_.ensure(static_cast<size_t>(p - src_.pos()) + 5)) {
          error = src_.fail(p, "truncated MPEG-4 frame header");
          return -1;
        }
        vop_type = src_.data()[p - src_.pos() + 4] >> 6;
        if (vop_type == 2) {
          error = src_.fail(p, "unsupported MPEG-4 Visual feature: B-frames");
          return -1;
        }
      }
      if (after == ~uint64_t{0}) {
        next_ = after;
        p = src_.pos() + src_.avail();
        break;
      }
      if (vop_type >= 0) {
        next_ = after;
        p = after;
        break;
      }
      p = after;
    }
    if (vop_type < 0) {
      if (index_ == 0) {
        error = src_.fail(start, "MPEG-4 Visual stream without a frame");
        return -1;
      }
      return 0;  // trailing headers (end of sequence) only
    }
    frame.data = const_cast<uint8_t*>(src_.data()) + (start - src_.pos());
    frame.size = static_cast<size_t>(p - start);
    frame.dts = frame.pts = clock_.ticks(index_++);
    frame.key = vop_type == 0;
    frame.samples = 1;
    frame.offset = start;
    return 1;
  }

 private:
  bool parse_vol(const uint8_t* p, const uint8_t* end) {
    BitReader br(p, end);
    br.bits(1);  // random_accessible_vol
    br.bits(8);  // video_object_type_indication
    int verid = 1;
    if (br.flag()) {
      verid = static_cast<int>(br.bits(4));
      br.bits(3);
    }
    if (br.bits(4) == 15) br.bits(16);  // extended pixel aspect ratio
    if (br.flag()) {                    // vol_control_parameters
      br.bits(3);
      if (br.flag()) br.skip(79);  // vbv parameters
    }
    uint32_t shape = br.bits(2);
    if (shape == 3 && verid != 1) br.bits(4);
    br.bits(1);
    resolution_ = br.bits(16);
    br.bits(1);
    if (resolution_ == 0) return false;
    increment_bits_ = 1;
    while ((1u << increment_bits_) < resolution_) ++increment_bits_;
    if (br.flag()) fixed_increment_ = br.bits(increment_bits_);
    if (shape != 0) return false;  // only rectangular video
    br.bits(1);
    params_.width = br.bits(13);
    br.bits(1);
    params_.height = br.bits(13);
    return !br.overrun() && params_.width && params_.height;
  }

  // The next VOP start code (00 00 01 B6) at or after `from`, or ~0.
  uint64_t find_vop(uint64_t from) {
    for (uint64_t p = find_start_code(src_, from); p != ~uint64_t{0};
         p = find_start_code(src_, p + 3)) {
      if (!src_.ensure(static_cast<size_t>(p - src_.pos()) + 4)) break;
      if (src_.data()[p - src_.pos() + 3] == 0xB6) return p;
    }
    return ~uint64_t{0};
  }

  // Time of a VOP in units of 1/resolution (modulo_time_base seconds plus the increment).
  bool vop_time(uint64_t at, int64_t& t) {
    const uint8_t* p = src_.data() + (at - src_.pos()) + 4;
    BitReader br(p, src_.data() + src_.avail());
    br.bits(2);
    int64_t seconds = 0;
    while (br.flag()) {
      if (++seconds > 60 || br.overrun()) return false;
    }
    br.bits(1);
    uint32_t increment = br.bits(increment_bits_);
    t = seconds * resolution_ + increment;
    return !br.overrun();
  }

  FrameClock clock_;
  uint64_t next_ = ~uint64_t{0};
  uint32_t resolution_ = 0, fixed_increment_ = 0;
  int increment_bits_ = 1;
  int64_t index_ = 0;
};

// H.263: a frame starts at each picture start code (00 00 8x, byte aligned).
class H263Reader : public Reader {
 public:
  using Reader::Reader;

  bool open(const ReaderOptions& options, Error& error) override {
    params_.codec = Codec::kH263;
    src_.ensure(4096);
    next_ = find_picture_start(src_, 0);
    if (next_ != 0) {
      error = src_.fail(0, "not an H.263 stream (no picture start code at the start)");
      return false;
    }
    uint32_t clock_num = 30000, clock_den = 1001;
    int tr0 = 0;
    if (!parse_header(0, tr0, &clock_num, &clock_den)) {
      error = src_.fail(0, "damaged or unsupported H.263 picture header");
      return false;
    }
    uint32_t num = 0, den = 0;
    uint64_t second = find_picture_start(src_, 3);
    int tr1 = 0;
    if (second != ~uint64_t{0} && parse_header(second, tr1, nullptr, nullptr)) {
      int delta = (tr1 - tr0 + 256) % 256;
      if (delta > 0) {
        num = clock_num;
        den = clock_den * static_cast<uint32_t>(delta);
      }
    }
    clock_ = settle_frame_rate(options, num, den, params_);
    return true;
  }

  int next(Frame& frame, Error& error) override {
    if (next_ == ~uint64_t{0}) return 0;
    if (next_ > src_.pos()) src_.consume(static_cast<size_t>(next_ - src_.pos()));
    uint64_t start = next_;
    next_ = find_picture_start(src_, start + 3);
    if (src_.error().set()) {
      error = src_.error();
      return -1;
    }
    uint64_t end = next_ == ~uint64_t{0} ? src_.pos() + src_.avail() : next_;
    int tr = 0;
    bool intra = false;
    if (!parse_header(start, tr, nullptr, nullptr, &intra)) {
      error = src_.fail(
          start, end - start < 8 ? "truncated H.263 picture" : "damaged H.263 picture header");
      return -1;
    }
    frame.data = const_cast<uint8_t*>(src_.data()) + (start - src_.pos());
    frame.size = static_cast<size_t>(end - start);
    frame.dts = frame.pts = clock_.ticks(index_++);
    frame.key = intra;
    frame.samples = 1;
    frame.offset = start;
    return 1;
  }

 private:
  bool parse_header(uint64_t at, int& tr, uint32_t* clock_num, uint32_t* clock_den,
                    bool* intra = nullptr) {
    size_t off = static_cast<size_t>(at - src_.pos());
    src_.ensure(off + 32);
    if (off >= src_.avail()) return false;
    const uint8_t* p = src_.data() + off;
    BitReader br(p, src_.data() + src_.avail());
    br.skip(22);
    tr = static_cast<int>(br.bits(8));
    if (br.bits(2) != 2) return false;
    br.bits(3);
    uint32_t format = br.bits(3);
    static constexpr uint32_t kSizes[][2] = {{0, 0},     {128, 96},  {176, 144},
                                             {352, 288}, {704, 576}, {1408, 1152}};
    if (format >= 1 && format <= 5) {
      if (intra) *intra = br.bits(1) == 0;
      if (params_.width == 0) {
        params_.width = kSizes[format][0];
        params_.height = kSizes[format][1];
      }
      return !br.overrun();
    }
    if (format != 7) return false;
    uint32_t ufep = br.bits(3);
    uint32_t plus_format = 0;
    bool custom_pcf = false;
    if (ufep == 1) {
      plus_format = br.bits(3);
      custom_pcf = br.flag();
      br.bits(14);
    }
    uint32_t picture_type = br.bits(3);
    if (intra) *intra = picture_type == 0;
    br.bits(6);
    br.bits(1);  // CPM (continuous presence multipoint) assumed off
    if (ufep == 1 && plus_format == 6) {
      uint32_t par = br.bits(4);
      uint32_t pwi = br.bits(9);
      br.bits(1);
      uint32_t phi = br.bits(9);
      if (par == 15) br.bits(16);
      if (params_.width == 0) {
        params_.width = (pwi + 1) * 4;
        params_.height = phi * 4;
      }
    } else if (ufep == 1 && plus_format >= 1 && plus_format <= 5 && params_.width == 0) {
      params_.width = kSizes[plus_format][0];
      params_.height = kSizes[plus_format][1];
    }
    if (custom_pcf) {
      uint32_t conversion = br.flag() ? 1001 : 1000;
      uint32_t divisor = br.bits(7);
      if (divisor == 0) return false;
      if (clock_num) {
        *clock_num = 1800000;
        *clock_den = divisor * conversion;
      }
    }
    return !br.overrun() && params_.width != 0 && params_.height != 0;
  }

  FrameClock clock_;
  uint64_t next_ = ~uint64_t{0};
  int64_t index_ = 0;
};

}  // namespace

std::unique_ptr<Reader> make_av1_ivf_reader(ByteSource& src) {
  return std::make_unique<IvfReader>(src);
}
std::unique_ptr<Reader> make_mpeg4_visual_reader(ByteSource& src) {
  return std::make_unique<Mpeg4VisualReader>(src);
}
std::unique_ptr<Reader> make_h263_reader(ByteSource& src) {
  return std::make_unique<H263Reader>(src);
}

}  // namespace mxmux
