// Most-significant-bit-first bit packer over a caller's buffer.
#pragma once

#include <cstdint>

struct BitWriter {
  uint32_t* buf = nullptr;  // caller's buffer, viewed as 32-bit words stored big-endian
  uint8_t* end = nullptr;   // buf + size in bytes; writes never pass it
  int32_t bit_count = 0;
};

void bits_init(BitWriter* b, void* buffer, int32_t size);
void put_bits(BitWriter* b, uint32_t n, uint32_t value);
int32_t bits_count(const BitWriter* b);
void bits_align(BitWriter* b);
void put_bits_string(BitWriter* b, const char* text, uint32_t terminate);
