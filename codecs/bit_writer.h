// Most-significant-bit-first bit packer over a caller's buffer.
#pragma once

#include <cstdint>

// The bits land in the buffer in byte order: the first bit written is the most
// significant bit of byte 0. The writer never touches a byte at or past `end`.
// A write that does not fit whole is refused and stops the writer for good
// (`overflow` set, `bit_count` left where it was), so what was written stays a
// clean prefix of the intended stream.
struct BitWriter {
  uint32_t* buf = nullptr;  // caller's buffer, viewed as 32-bit words stored big-endian
  uint8_t* end = nullptr;   // buf + size in bytes; writes never pass it
  int32_t bit_count = 0;
  uint32_t overflow = 0;  // 1 once a write did not fit; every later write is ignored
};

void bits_init(BitWriter* b, void* buffer, int32_t size);
void put_bits(BitWriter* b, uint32_t n, uint32_t value);
int32_t bits_count(const BitWriter* b);
void bits_align(BitWriter* b);
void put_bits_string(BitWriter* b, const char* text, uint32_t terminate);
