#include "codecs/bit_writer.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

uint8_t* bytes_of(const BitWriter* b) {
  return reinterpret_cast<uint8_t*>(b->buf);
}

// Bits the buffer can hold; bit_count is an i32, so the count is capped there too.
int64_t capacity_bits(const BitWriter* b) {
  if (b->buf == nullptr || b->end == nullptr) return 0;
  int64_t bytes = b->end - bytes_of(b);
  return std::min<int64_t>(bytes * 8, INT32_MAX);
}

}  // namespace

void bits_init(BitWriter* b, void* buffer, int32_t size) {
  if (buffer == nullptr || size < 0) size = 0;
  b->buf = static_cast<uint32_t*>(buffer);
  b->end = static_cast<uint8_t*>(buffer) + size;
  b->bit_count = 0;
  b->overflow = 0;
  if (size > 0) std::memset(buffer, 0, static_cast<size_t>(std::min(size, 4)));
}

// Works byte by byte rather than on whole words: the caller's buffer need not be
// word-aligned and no byte beyond the last one written is touched. A byte is
// assigned when the write starts at its first bit, so the bits behind the
// position are always zero, whatever the buffer held before.
void put_bits(BitWriter* b, uint32_t n, uint32_t value) {
  if (n == 0 || b->overflow) return;
  if (n > 32 || b->bit_count + static_cast<int64_t>(n) > capacity_bits(b)) {
    b->overflow = 1;
    return;
  }
  if (n < 32) value &= (1u << n) - 1;
  uint8_t* bytes = bytes_of(b);
  uint32_t pos = static_cast<uint32_t>(b->bit_count);
  uint32_t left = n;
  while (left > 0) {
    uint32_t free_bits = 8 - pos % 8;
    uint32_t take = std::min(free_bits, left);
    uint32_t chunk = (value >> (left - take)) & ((1u << take) - 1);
    uint8_t shifted = static_cast<uint8_t>(chunk << (free_bits - take));
    if (pos % 8 == 0) {
      bytes[pos / 8] = shifted;
    } else {
      bytes[pos / 8] |= shifted;
    }
    pos += take;
    left -= take;
  }
  b->bit_count = static_cast<int32_t>(pos);
}

int32_t bits_count(const BitWriter* b) {
  return b->bit_count;
}

void bits_align(BitWriter* b) {
  uint32_t pad = static_cast<uint32_t>(-b->bit_count) & 7;
  put_bits(b, pad, 0);
}

void put_bits_string(BitWriter* b, const char* text, uint32_t terminate) {
  if (text != nullptr) {
    for (const char* p = text; *p != '\0'; ++p) put_bits(b, 8, static_cast<uint8_t>(*p));
  }
  if (terminate) put_bits(b, 8, 0);
}
