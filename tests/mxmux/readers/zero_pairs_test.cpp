// The zero-pair search that finds H.263's start codes: against the byte at a
// time search, on crafted bytes placed at every alignment, from every start
// position; and the byte at a time search against the definition.
#include "mxmux/readers/zero_pairs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/placed_bytes.h"
#include "support/test_files.h"

using namespace mxmux;

namespace {

bool pair_at(const uint8_t* d, size_t size, size_t i) {
  return i + 1 < size && d[i] == 0 && d[i + 1] == 0;
}

// Where the definition puts the first pair from every start position, and
// from one past the end, in one backward pass.
std::vector<size_t> first_pairs_from_everywhere(const uint8_t* d, size_t size) {
  std::vector<size_t> next(size + 2, size);
  for (size_t i = size; i-- > 0;) next[i] = pair_at(d, size, i) ? i : next[i + 1];
  return next;
}

// Bytes drawn from `alphabet` by a fixed sequence.
std::vector<uint8_t> drawn(size_t n, const std::vector<uint8_t>& alphabet, uint32_t seed) {
  std::vector<uint8_t> out(n);
  for (uint8_t& b : out) {
    seed = seed * 1664525u + 1013904223u;
    b = alphabet[(seed >> 24) % alphabet.size()];
  }
  return out;
}

std::vector<uint8_t> no_zeros(size_t n) {
  return drawn(n, {0x01, 0x80, 0x81, 0x82, 0x83, 0x1c, 0xff, 0x40}, 5);
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// `piece` after runs of filler one byte longer each time: it falls at every
// offset of a 16-byte step.
std::vector<uint8_t> spread(const std::vector<uint8_t>& piece, size_t count) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < count; ++i) out = out + no_zeros(7 + i) + piece;
  return out + no_zeros(3);
}

struct Case {
  const char* name;
  std::vector<uint8_t> bytes;
};

std::vector<Case> crafted_cases() {
  return {
      {"no zero byte", no_zeros(300)},
      {"picture start codes at every offset of a step", spread(hex_bytes("00 00 80 02"), 20)},
      {"lone zeros at every offset of a step", spread(hex_bytes("00 7f"), 20)},
      {"zeros one byte apart", spread(hex_bytes("00 41 00 42 00"), 20)},
      {"runs of zeros", spread(std::vector<uint8_t>(5, 0), 18)},
      {"a pair at the very end", no_zeros(63) + hex_bytes("00 00")},
      {"a lone zero at the end", no_zeros(64) + hex_bytes("00")},
      {"a zero at the end after a zero", no_zeros(31) + hex_bytes("00 00")},
      {"all zeros", std::vector<uint8_t>(70, 0)},
      {"dense zeros", drawn(400, {0, 0, 0, 0x80, 0x01, 0x55}, 3)},
      {"shorter than a step", hex_bytes("00 00 80 02 00 00")},
      {"one byte short of a step and its next byte", no_zeros(14) + hex_bytes("00 00")},
      {"one byte", hex_bytes("00")},
      {"empty", {}},
  };
}

TEST(ZeroPairs, TheVectorSearchFindsWhatTheDefinitionFinds) {
  for (const Case& c : crafted_cases()) {
    for (size_t shift = 0; shift < 32; ++shift) {
      const PlacedBytes b(c.bytes, shift);
      const std::vector<size_t> next = first_pairs_from_everywhere(b.data(), b.size());
      for (size_t from = 0; from <= b.size() + 1; ++from) {
        SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(shift) +
                     " bytes past a 256-byte boundary, from " + std::to_string(from));
        ASSERT_EQ(find_zero_pair_bytewise(b.data(), b.size(), from), next[from]);
        ASSERT_EQ(find_zero_pair(b.data(), b.size(), from), next[from]);
      }
    }
  }
}

}  // namespace
