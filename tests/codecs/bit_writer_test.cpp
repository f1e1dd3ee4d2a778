#include "codecs/bit_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes written(const BitWriter& b) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(b.buf);
  return Bytes(p, p + (bits_count(&b) + 7) / 8);
}

TEST(BitWriter, PacksMostSignificantBitFirst) {
  uint8_t buf[16];
  BitWriter b;
  bits_init(&b, buf, sizeof buf);
  put_bits(&b, 8, 0x41);
  put_bits(&b, 4, 0xF);
  EXPECT_EQ(bits_count(&b), 12);
  EXPECT_EQ(written(b), hex_bytes("41 F0"));
  bits_align(&b);
  EXPECT_EQ(bits_count(&b), 16);
  EXPECT_EQ(written(b), hex_bytes("41 F0"));
  bits_align(&b);  // already aligned: nothing added
  EXPECT_EQ(bits_count(&b), 16);
}

TEST(BitWriter, WordBoundaryLeavesNoStrayBits) {
  uint8_t buf[16];
  std::memset(buf, 0xFF, sizeof buf);  // the buffer's old contents must not show through
  BitWriter b;
  bits_init(&b, buf, sizeof buf);
  put_bits(&b, 32, 0x12345678);
  put_bits(&b, 8, 0x9A);
  put_bits(&b, 3, 0x5);
  EXPECT_EQ(bits_count(&b), 43);
  EXPECT_EQ(written(b), hex_bytes("12 34 56 78 9A A0"));
}

TEST(BitWriter, StringsAndZeroWidthWrites) {
  uint8_t buf[16];
  BitWriter b;
  bits_init(&b, buf, sizeof buf);
  put_bits_string(&b, "", 0);
  put_bits(&b, 0, 0);
  EXPECT_EQ(bits_count(&b), 0);
  put_bits(&b, 4, 0x6);
  put_bits_string(&b, "ab", 1);
  EXPECT_EQ(bits_count(&b), 4 + 24);
  EXPECT_EQ(written(b), hex_bytes("66 16 20 00"));
}

TEST(BitWriter, ValueBitsAboveTheWidthAreIgnored) {
  uint8_t buf[8];
  BitWriter b;
  bits_init(&b, buf, sizeof buf);
  put_bits(&b, 4, 0xFFF1);
  put_bits(&b, 4, 0x2);
  EXPECT_EQ(written(b), hex_bytes("12"));
}

// Random field sequences against a plain bit-by-bit model, on a buffer that
// starts off word alignment.
TEST(BitWriter, MatchesABitByBitModel) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> storage(80, 0xA5);
    uint8_t* buf = storage.data() + 1;
    BitWriter b;
    bits_init(&b, buf, 64);
    std::vector<int> model;
    while (true) {
      uint32_t n = rng() % 33;
      uint32_t v = n == 32 ? rng() : rng() & ((1u << n) - 1);
      if (model.size() + n > 64 * 8) break;
      put_bits(&b, n, v);
      for (int i = static_cast<int>(n) - 1; i >= 0; --i) model.push_back((v >> i) & 1);
    }
    ASSERT_EQ(b.overflow, 0u);
    ASSERT_EQ(bits_count(&b), static_cast<int32_t>(model.size()));
    Bytes expect((model.size() + 7) / 8, 0);
    for (size_t i = 0; i < model.size(); ++i) {
      if (model[i]) expect[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    }
    ASSERT_EQ(written(b), expect) << "round " << round;
    EXPECT_EQ(storage[0], 0xA5);
    for (size_t i = 65; i < storage.size(); ++i) EXPECT_EQ(storage[i], 0xA5) << i;
  }
}

// A write that does not fit is refused whole and stops the writer: nothing past
// `end` is touched, the count stays at the last complete field, and later writes
// (even ones that would fit) add nothing, so the output is a clean prefix.
TEST(BitWriter, StopsAtTheEndOfTheBuffer) {
  uint8_t storage[8];
  std::memset(storage, 0xCC, sizeof storage);
  BitWriter b;
  bits_init(&b, storage, 2);
  put_bits(&b, 12, 0xABC);
  EXPECT_EQ(b.overflow, 0u);
  put_bits(&b, 8, 0xFF);
  EXPECT_EQ(b.overflow, 1u);
  EXPECT_EQ(bits_count(&b), 12);
  put_bits(&b, 4, 0x1);
  bits_align(&b);
  put_bits_string(&b, "x", 1);
  EXPECT_EQ(bits_count(&b), 12);
  EXPECT_EQ(written(b), hex_bytes("AB C0"));
  for (int i = 2; i < 8; ++i) EXPECT_EQ(storage[i], 0xCC);

  BitWriter exact;
  bits_init(&exact, storage, 4);
  put_bits(&exact, 32, 0x01020304);
  EXPECT_EQ(exact.overflow, 0u);
  put_bits(&exact, 1, 1);
  EXPECT_EQ(exact.overflow, 1u);
  EXPECT_EQ(storage[4], 0xCC);
}

TEST(BitWriter, DegenerateBuffersAndWidths) {
  BitWriter b;
  bits_init(&b, nullptr, 16);
  put_bits(&b, 1, 1);
  EXPECT_EQ(b.overflow, 1u);
  EXPECT_EQ(bits_count(&b), 0);

  uint8_t buf[8];
  bits_init(&b, buf, -5);
  put_bits(&b, 1, 1);
  EXPECT_EQ(b.overflow, 1u);

  bits_init(&b, buf, sizeof buf);
  put_bits(&b, 33, 0);  // wider than a field can be
  EXPECT_EQ(b.overflow, 1u);
  EXPECT_EQ(bits_count(&b), 0);

  bits_init(&b, buf, sizeof buf);  // a fresh start clears the stop
  EXPECT_EQ(b.overflow, 0u);
  put_bits(&b, 8, 0x7E);
  EXPECT_EQ(written(b), hex_bytes("7E"));
}

}  // namespace
