// The Annex-B splitter: only 4-byte start codes delimit NAL units.
#include "writer/annexb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace {

struct SplitCase {
  const char* name;
  const char* input;  // hex
  std::vector<NalUnitSpan> units;
};

bool same_units(const std::vector<NalUnitSpan>& a, const std::vector<NalUnitSpan>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].begin != b[i].begin || a[i].end != b[i].end ||
        a[i].has_start_code != b[i].has_start_code)
      return false;
  return true;
}

std::string describe(const std::vector<NalUnitSpan>& units) {
  std::string s;
  for (const auto& u : units) {
    // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) about
    // "literal" + std::string temporaries.
    s += '[';
    s += std::to_string(u.begin);
    s += ',';
    s += std::to_string(u.end);
    s += u.has_start_code ? ") " : ") no code ";
  }
  return s;
}

const SplitCase kCases[] = {
    {"two units", "00 00 00 01 AA BB  00 00 00 01 CC", {{0, 6, true}, {6, 11, true}}},
    {"a 3-byte start code stays inside the unit", "00 00 00 01 AA 00 00 01 BB", {{0, 9, true}}},
    {"bytes before the first start code are skipped", "FF EE 00 00 00 01 AA", {{2, 7, true}}},
    {"no start code: the rest is one unit", "AA BB 00 00 01 CC", {{0, 6, false}}},
    {"adjacent start codes give an empty unit",
     "00 00 00 01 00 00 00 01 AA",
     {{0, 4, true}, {4, 9, true}}},
    {"a zero before a start code belongs to the unit before",
     "00 00 00 01 AA 00 00 00 00 01 BB",
     {{0, 6, true}, {6, 11, true}}},
    {"a start code at the very end", "00 00 00 01 AA 00 00 00 01", {{0, 5, true}, {5, 9, true}}},
    {"the next start code must begin 4 bytes further on", "00 00 00 01 00 00 01", {{0, 7, true}}},
    {"a lone start code", "00 00 00 01", {{0, 4, true}}},
    {"empty input", "", {}},
};

}  // namespace

TEST(AnnexBSplitter, SplitsOnlyAtFourByteStartCodes) {
  for (const SplitCase& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = hex_bytes(c.input);
    AnnexBSplitter splitter(bytes.data(), bytes.size());
    std::vector<NalUnitSpan> got;
    NalUnitSpan u;
    while (splitter.next(&u)) {
      got.push_back(u);
      ASSERT_LE(got.size(), 16u);
    }
    EXPECT_TRUE(same_units(got, c.units))
        << "got " << describe(got) << " expected " << describe(c.units);
  }
}

TEST(AnnexBSplitter, FindsStartCodesAnywhereInLargeData) {
  // A start code in every position near a 64 KiB boundary of zeros and ones.
  std::vector<uint8_t> bytes(70000, 0x01);
  for (size_t at : {0u, 1u, 65533u, 65534u, 65535u, 69996u}) {
    std::vector<uint8_t> data = bytes;
    data[at] = data[at + 1] = data[at + 2] = 0;
    data[at + 3] = 1;
    EXPECT_EQ(find_start_code(data.data(), data.size(), 0), at);
    EXPECT_EQ(find_start_code(data.data(), data.size(), at + 1), data.size());
  }
  // Runs of zeros: the first start code is where three zeros precede a 01.
  std::vector<uint8_t> zeros = hex_bytes("00 00 00 00 00 00 01 00 00 00 01");
  EXPECT_EQ(find_start_code(zeros.data(), zeros.size(), 0), 3u);
  EXPECT_EQ(find_start_code(zeros.data(), zeros.size(), 4), 7u);
  EXPECT_EQ(find_start_code(zeros.data(), 3, 0), 3u);  // too short for a start code
}

// The scan skips ahead in steps; it must still find the first start code from
// any position, wherever it lies relative to those steps, among zeros that
// begin none (00 00 03, zero runs, 00 00 01). Checked against a byte-by-byte
// search on data made of such pieces.
TEST(AnnexBSplitter, SkippingScanFindsWhatAByteByByteSearchFinds) {
  auto naive = [](const std::vector<uint8_t>& d, size_t from) {
    for (size_t s = from; s + 4 <= d.size(); ++s)
      if (d[s] == 0 && d[s + 1] == 0 && d[s + 2] == 0 && d[s + 3] == 1) return s;
    return d.size();
  };
  const std::vector<std::vector<uint8_t>> pieces = {
      {0, 0, 0, 1}, {0, 0, 3}, {0, 0, 1}, {0}, {0, 0, 0, 0}, {1}, {0x41, 0x9A}, {0xFF, 0, 0xFF}};
  uint32_t state = 12345;
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> data;
    while (data.size() < 200) {
      state = state * 1664525u + 1013904223u;
      const auto& piece = pieces[(state >> 24) % pieces.size()];
      const size_t filler = (state >> 8) % 40;
      for (size_t k = 0; k < filler; ++k) data.push_back(static_cast<uint8_t>(0x80 + k));
      data.insert(data.end(), piece.begin(), piece.end());
    }
    for (size_t from = 0; from <= data.size(); ++from) {
      ASSERT_EQ(find_start_code(data.data(), data.size(), from), naive(data, from))
          << "round " << round << " from " << from;
    }
  }
}

TEST(AnnexBSplitter, RewritingAGivenUnitDoesNotDisturbTheNext) {
  // The H.264 conversion writes the length over the start code of the unit it
  // was given, before asking for the next one.
  std::vector<uint8_t> bytes = hex_bytes("00 00 00 01 65 AA  00 00 00 01 41 BB");
  AnnexBSplitter splitter(bytes.data(), bytes.size());
  NalUnitSpan u;
  ASSERT_TRUE(splitter.next(&u));
  bytes[u.begin + 3] = 0x02;  // length 2 instead of the start code
  ASSERT_TRUE(splitter.next(&u));
  EXPECT_EQ(u.begin, 6u);
  EXPECT_EQ(u.end, 12u);
  EXPECT_FALSE(splitter.next(&u));
}

// Large frames are searched block by block: for every block end and start,
// find_start_code_before gives the first code that begins in the block (which
// may end up to 3 bytes behind it) or the block's end, so that stepping from
// block to block finds what one search over the whole finds.
TEST(AnnexBSplitter, SearchingBlockByBlockFindsWhatOneSearchFinds) {
  const std::vector<std::vector<uint8_t>> pieces = {
      {0, 0, 0, 1}, {0, 0, 1}, {0}, {0, 0, 0, 0}, {1}, {0x41}, {0, 0, 0, 0, 1}};
  uint32_t state = 777;
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> data;
    while (data.size() < 150) {
      state = state * 1664525u + 1013904223u;
      const auto& piece = pieces[(state >> 24) % pieces.size()];
      const size_t filler = (state >> 8) % 12;
      for (size_t k = 0; k < filler; ++k) data.push_back(static_cast<uint8_t>(0x80 + k));
      data.insert(data.end(), piece.begin(), piece.end());
    }
    const size_t size = data.size();
    for (size_t block = 1; block <= 9; ++block) {
      for (size_t from = 0; from < size; from += 7) {
        size_t limit = std::min(size, from + block);
        size_t found = find_start_code_before(data.data(), size, from, limit);
        while (found == limit && limit < size) {
          const size_t start = limit;
          limit = std::min(size, start + block);
          found = find_start_code_before(data.data(), size, start, limit);
        }
        ASSERT_EQ(found, find_start_code(data.data(), size, from))
            << "round " << round << " block " << block << " from " << from;
      }
    }
  }
}
