// The start code searches: every implementation of both against a
// byte-by-byte search written from the definition, on crafted bytes placed at
// every alignment, from every start position.
#include "codecs/start_code_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/placed_bytes.h"
#include "support/test_files.h"

namespace {

// The two searches: zeros is the number of zero bytes before the 01.
struct Search {
  const char* code;
  size_t zeros;
  size_t (*find_by)(StartCodeScan, const uint8_t*, size_t, size_t);
};

const Search kSearches[] = {
    {"00 00 01", 2, find_start_code_prefix_by},
    {"00 00 00 01", 3, find_four_byte_start_code_by},
};

bool code_at(const Search& search, const uint8_t* d, size_t size, size_t i) {
  if (i + search.zeros + 1 > size) return false;
  for (size_t k = 0; k < search.zeros; ++k)
    if (d[i + k] != 0) return false;
  return d[i + search.zeros] == 1;
}

// What the byte-by-byte search gives from every start position, and from one
// past the end, in one backward pass.
std::vector<size_t> byte_by_byte_from_everywhere(const Search& search, const uint8_t* d,
                                                 size_t size) {
  std::vector<size_t> next(size + 2, size);
  for (size_t i = size; i-- > 0;) next[i] = code_at(search, d, size, i) ? i : next[i + 1];
  return next;
}

// Bytes above 1 (so they begin no prefix), varied so that no two loads look
// alike, and including 80 and 81 (which the SSE2 search's mask lets through).
std::vector<uint8_t> filler(size_t n, uint32_t seed = 7) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    out[i] = static_cast<uint8_t>(2 + (seed >> 24) % 254);
  }
  return out;
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<uint8_t> repeat(const std::vector<uint8_t>& piece, size_t times) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < times; ++i) out = out + piece;
  return out;
}

// Pieces separated by filler whose length grows by one each time, so that the
// pieces fall at every offset of a load.
std::vector<uint8_t> spread(const std::vector<uint8_t>& piece, size_t count) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < count; ++i) out = out + filler(11 + i, static_cast<uint32_t>(i)) + piece;
  return out + filler(5);
}

// Bytes drawn mostly from 00, 01 and 03, the ones start codes and
// emulation prevention are made of.
std::vector<uint8_t> dense(size_t n, uint32_t seed) {
  static const uint8_t kBytes[] = {0, 0, 0, 0, 1, 1, 3, 0x80, 0x81, 0x42};
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    out[i] = kBytes[(seed >> 24) % sizeof kBytes];
  }
  return out;
}

struct Case {
  const char* name;
  std::vector<uint8_t> bytes;
};

// Each longer than two blocks of the AVX2 search (512 bytes each), so that
// the interesting bytes meet the block loop, the single loads after it and the
// last load.
std::vector<Case> crafted_cases() {
  return {
      {"no zero byte", filler(1200)},
      {"3-byte codes at every offset of a load", spread(hex_bytes("00 00 01"), 45)},
      {"4-byte codes at every offset of a load", spread(hex_bytes("00 00 00 01"), 45)},
      {"codes back to back", filler(40) + repeat(hex_bytes("00 00 01"), 400) + filler(30)},
      {"runs of zeros ending in 01", spread(repeat({0}, 37) + hex_bytes("01"), 20)},
      {"emulation-prevention bytes", spread(hex_bytes("00 00 03"), 40) +
                                         repeat(hex_bytes("00 00 03"), 90) +
                                         hex_bytes("00 00 03 01 00 00 02 00 00 03 00 00 01")},
      {"00 01 and 00 80/81 words that begin no code",
       spread(hex_bytes("00 01"), 30) + spread(hex_bytes("00 80 00 81 01 00"), 30)},
      {"zeros to the very end", filler(1100) + repeat({0}, 100)},
      {"a code at the very end", filler(1133) + hex_bytes("00 00 01")},
      {"a 4-byte code at the very end", filler(1118) + hex_bytes("00 00 00 01")},
      {"a code cut short by the end", filler(1101) + hex_bytes("00 00")},
      {"a lone zero at the end", filler(1090) + hex_bytes("00")},
      {"all zeros", repeat({0}, 1200)},
      {"all zeros but the last byte", repeat({0}, 1199) + hex_bytes("01")},
      {"all ones", repeat({1}, 1200)},
      {"dense 00 01 03 bytes", dense(1500, 99)},
      {"shorter than one load", hex_bytes("00 00 00 01 09 00 00 01")},
      {"one byte short of a load", filler(28) + hex_bytes("00 00 01")},
      {"empty", {}},
  };
}

std::string hex_of(const uint8_t* d, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[d[i] >> 4];
    s += kDigits[d[i] & 15];
    s += ' ';
  }
  return s;
}

class StartCodeScanTest : public testing::TestWithParam<StartCodeScan> {
 protected:
  void SetUp() override {
    if (!start_code_scan_available(GetParam()))
      GTEST_SKIP() << "this processor has no " << start_code_scan_name(GetParam());
  }
  size_t find(const Search& search, const PlacedBytes& b, size_t from) const {
    return search.find_by(GetParam(), b.data(), b.size(), from);
  }
  // Both searches from every start position, and one past the end, against
  // the byte-by-byte search; stops at the first difference.
  void expect_same_from_everywhere(const PlacedBytes& b, const std::string& what) const {
    for (const Search& search : kSearches) {
      const std::vector<size_t> next = byte_by_byte_from_everywhere(search, b.data(), b.size());
      for (size_t from = 0; from <= b.size() + 1; ++from) {
        const size_t expected = next[from];
        const size_t got = find(search, b, from);
        if (got != expected) {
          ADD_FAILURE() << search.code << " in " << what << ": from " << from << " found " << got
                        << ", expected " << expected << " in " << hex_of(b.data(), b.size());
          return;
        }
      }
    }
  }
};

TEST_P(StartCodeScanTest, FindsWhatAByteByByteSearchFindsInCraftedBytes) {
  for (const Case& c : crafted_cases()) {
    for (size_t shift = 0; shift < 32; ++shift) {
      const PlacedBytes placed(c.bytes, shift);
      expect_same_from_everywhere(placed, std::string(c.name) + ", " + std::to_string(shift) +
                                              " bytes past a 256-byte boundary");
      if (HasFailure()) return;
    }
  }
}

// One code in plain filler at every position of 1200 bytes, at every
// alignment of a 32-byte load: straddling every load and block boundary, first
// and last in the data. Each search finds its own code where it is, and the 3-byte
// search finds the end of a 4-byte code.
TEST_P(StartCodeScanTest, FindsALoneCodeAtEveryPositionAndAlignment) {
  for (const Search& placed_code : kSearches) {
    const std::vector<uint8_t> code = hex_bytes(placed_code.code);
    for (size_t at = 0; at + code.size() <= 1200; ++at) {
      std::vector<uint8_t> bytes = filler(1200, static_cast<uint32_t>(at));
      std::copy(code.begin(), code.end(), bytes.begin() + static_cast<ptrdiff_t>(at));
      for (size_t shift = 0; shift < 32; ++shift) {
        const PlacedBytes placed(bytes, shift);
        for (const Search& search : kSearches) {
          SCOPED_TRACE(std::string(search.code) + " search, " + placed_code.code + " at " +
                       std::to_string(at) + ", shift " + std::to_string(shift));
          const bool fits = search.zeros <= placed_code.zeros;
          const size_t expected = fits ? at + placed_code.zeros - search.zeros : placed.size();
          ASSERT_EQ(find(search, placed, 0), expected);
          if (!fits) continue;
          ASSERT_EQ(find(search, placed, expected), expected);
          ASSERT_EQ(find(search, placed, expected + 1), placed.size());
        }
      }
    }
  }
}

// Many lengths around the load and block sizes, from dense bytes in which
// candidates crowd.
TEST_P(StartCodeScanTest, FindsWhatAByteByByteSearchFindsAtEveryLength) {
  for (size_t size = 0; size <= 1200; size += size < 80 ? 1 : 13) {
    const std::vector<uint8_t> bytes = dense(size, static_cast<uint32_t>(size) * 31 + 5);
    for (size_t shift : {0u, 1u, 17u, 31u}) {
      const PlacedBytes placed(bytes, shift);
      expect_same_from_everywhere(
          placed, std::to_string(size) + " dense bytes, shift " + std::to_string(shift));
      if (HasFailure()) return;
    }
  }
}

// A large buffer with codes far apart: the block loop runs long between them.
TEST_P(StartCodeScanTest, WalksALargeBufferFromCodeToCode) {
  std::vector<uint8_t> bytes = filler(1 << 20);
  std::vector<size_t> codes;
  for (size_t at = 3; at + 4 < bytes.size(); at += 4093 + at % 509) {
    bytes[at] = bytes[at + 1] = 0;
    bytes[at + 2] = 1;
    codes.push_back(at);
  }
  const PlacedBytes placed(bytes, 5);
  std::vector<size_t> found;
  const Search& prefix = kSearches[0];
  for (size_t p = find(prefix, placed, 0); p < placed.size(); p = find(prefix, placed, p + 1))
    found.push_back(p);
  EXPECT_EQ(found, codes);
  // As 4-byte codes: each one zero earlier.
  for (size_t at : codes) bytes[at - 1] = 0;
  const PlacedBytes four(bytes, 5);
  const Search& four_byte = kSearches[1];
  found.clear();
  for (size_t p = find(four_byte, four, 0); p < four.size(); p = find(four_byte, four, p + 1))
    found.push_back(p + 1);
  EXPECT_EQ(found, codes);
}

INSTANTIATE_TEST_SUITE_P(EachImplementation, StartCodeScanTest,
                         testing::Values(StartCodeScan::kScalar, StartCodeScan::kSse2,
                                         StartCodeScan::kAvx2),
                         [](const testing::TestParamInfo<StartCodeScan>& info) {
                           return std::string(start_code_scan_name(info.param));
                         });

TEST(StartCodeScanChoice, UsesTheFastestTheProcessorHas) {
  const StartCodeScan in_use = start_code_scan_in_use();
  EXPECT_TRUE(start_code_scan_available(in_use));
#if defined(__x86_64__)
  EXPECT_TRUE(start_code_scan_available(StartCodeScan::kSse2));
  EXPECT_EQ(in_use, start_code_scan_available(StartCodeScan::kAvx2) ? StartCodeScan::kAvx2
                                                                    : StartCodeScan::kSse2);
#else
  EXPECT_EQ(in_use, StartCodeScan::kScalar);
#endif
  const std::vector<uint8_t> bytes =
      filler(100) + hex_bytes("00 00 01") + filler(100) + hex_bytes("00 00 00 01") + filler(100);
  EXPECT_EQ(find_start_code_prefix(bytes.data(), bytes.size(), 0), 100u);
  EXPECT_EQ(find_start_code_prefix(bytes.data(), bytes.size(), 101), 204u);
  EXPECT_EQ(find_four_byte_start_code(bytes.data(), bytes.size(), 0), 203u);
}

}  // namespace
