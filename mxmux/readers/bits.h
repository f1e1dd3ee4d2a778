// Reading the bit-level syntax of coded streams: a bounded most-significant-
// bit-first reader and emulation-prevention removal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mxmux {

// Most-significant-bit-first reader over [p, end). Reading past the end sets
// overrun() and yields zeros; callers check overrun() once per header.
class BitReader {
 public:
  BitReader(const uint8_t* p, const uint8_t* end) : p_(p), end_(end) {}

  uint32_t bits(int n);  // n <= 32
  bool flag() { return bits(1) != 0; }
  void skip(uint64_t n);
  uint32_t ue();  // Exp-Golomb, values above 2^31 mark an overrun
  int32_t se();
  bool overrun() const { return overrun_; }
  uint64_t bit_pos() const { return pos_; }
  bool byte_aligned() const { return (pos_ & 7) == 0; }
  uint64_t bits_left() const {
    uint64_t total = static_cast<uint64_t>(end_ - p_) * 8;
    return pos_ >= total ? 0 : total - pos_;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t pos_ = 0;
  bool overrun_ = false;
};

// Copies a NAL unit payload with emulation-prevention bytes (00 00 03)
// removed, at most `limit` output bytes (headers sit at the front).
void unescape_rbsp(const uint8_t* p, const uint8_t* end, size_t limit, std::vector<uint8_t>& out);
// The same into out[0 .. limit); returns the bytes written.
size_t unescape_rbsp(const uint8_t* p, const uint8_t* end, uint8_t* out, size_t limit);

}  // namespace mxmux
