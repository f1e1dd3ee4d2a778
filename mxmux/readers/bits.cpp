#include "mxmux/readers/bits.h"

#include <algorithm>
#include <cstring>

namespace mxmux {

uint32_t BitReader::bits(int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) {
    uint64_t byte = pos_ >> 3;
    uint32_t bit = 0;
    if (byte < static_cast<uint64_t>(end_ - p_)) {
      bit = (p_[byte] >> (7 - (pos_ & 7))) & 1;
    } else {
      overrun_ = true;
    }
    v = (v << 1) | bit;
    ++pos_;
  }
  return v;
}

void BitReader::skip(uint64_t n) {
  uint64_t total = static_cast<uint64_t>(end_ - p_) * 8;
  if (n > total || pos_ > total - n) overrun_ = true;
  pos_ += n;
  if (pos_ > total + 64) pos_ = total + 64;  // keep later arithmetic bounded
}

uint32_t BitReader::ue() {
  int zeros = 0;
  while (bits(1) == 0) {
    if (overrun_ || ++zeros > 31) {
      overrun_ = true;
      return 0;
    }
  }
  if (zeros == 0) return 0;
  uint64_t v = (uint64_t{1} << zeros) - 1 + bits(zeros);
  if (v > 0x7FFFFFFF) {
    overrun_ = true;
    return 0;
  }
  return static_cast<uint32_t>(v);
}

int32_t BitReader::se() {
  uint32_t k = ue();
  return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
}

size_t unescape_rbsp(const uint8_t* p, const uint8_t* end, uint8_t* out, size_t limit) {
  size_t n = 0;
  int zeros = 0;  // zero bytes just before p
  while (p < end && n < limit) {
    if (zeros < 2) {
      // Up to the next zero byte nothing is dropped: copy the run at once.
      const size_t room = std::min(static_cast<size_t>(end - p), limit - n);
      const auto* zero = static_cast<const uint8_t*>(std::memchr(p, 0, room));
      const size_t run = zero != nullptr ? static_cast<size_t>(zero - p) : room;
      if (run > 0) {
        std::memcpy(out + n, p, run);
        n += run;
        p += run;
        zeros = 0;
        continue;
      }
    }
    const uint8_t byte = *p++;
    if (zeros >= 2 && byte == 3) {
      zeros = 0;
      continue;
    }
    zeros = byte == 0 ? zeros + 1 : 0;
    out[n++] = byte;
  }
  return n;
}

void unescape_rbsp(const uint8_t* p, const uint8_t* end, size_t limit, std::vector<uint8_t>& out) {
  out.resize(std::min(limit, static_cast<size_t>(end > p ? end - p : 0)));
  out.resize(unescape_rbsp(p, end, out.data(), out.size()));
}

}  // namespace mxmux
