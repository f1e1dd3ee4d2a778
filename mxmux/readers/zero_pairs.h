// Finding byte-aligned pairs of zero bytes: where H.263's start codes (a
// picture's 00 00 8x, a group of blocks' 00 00 then a byte with a set top bit)
// can begin. Coded H.263 data holds no other 16 zero bits in a row, so in a
// stream the pairs are as rare as the start codes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mxmux {

// Position of the first i >= from with p[i] == 0 and p[i + 1] == 0 (both in
// p[0, size)), or size when there is none. On x86-64 it tests 16 bytes a step
// (SSE2, which every such processor has).
size_t find_zero_pair(const uint8_t* p, size_t size, size_t from);

// The same, a byte at a time: what the vector search must agree with.
size_t find_zero_pair_bytewise(const uint8_t* p, size_t size, size_t from);

}  // namespace mxmux
