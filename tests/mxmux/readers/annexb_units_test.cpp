// Finding units in Annex-B bytes: where each unit's start code and payload
// lie (3- and 4-byte start codes, trailing zero bytes, empty units, a stream
// that does not start with one or has none), and the rebuilt copy of a
// picture whose units all get 4-byte start codes.
#include "mxmux/readers/annexb_units.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_files.h"

using namespace mxmux;

namespace {

struct UnitPlace {
  uint64_t unit_start, payload_start, payload_end;
  bool long_start_code;

  bool operator==(const UnitPlace& o) const {
    return unit_start == o.unit_start && payload_start == o.payload_start &&
           payload_end == o.payload_end && long_start_code == o.long_start_code;
  }
};

void PrintTo(const UnitPlace& u, std::ostream* os) {
  *os << "{" << u.unit_start << ", " << u.payload_start << ", " << u.payload_end << ", "
      << (u.long_start_code ? "long" : "short") << "}";
}

TEST(AnnexBUnits, UnitsAndTheirPayloads) {
  struct Case {
    const char* name;
    const char* hex;
    uint64_t first;  // the first start code
    std::vector<UnitPlace> units;
  };
  const Case cases[] = {
      {"4-byte then 3-byte start code",
       "00000001 6742 "  // units at 0 and 6
       "000001 68ce",
       1,
       {{0, 4, 6, true}, {6, 9, 11, false}}},
      {"trailing zero bytes belong to no payload",
       "000001 65aa 0000 "  // two zeros, then a 4-byte start code
       "00000001 41bb 00",
       0,
       {{0, 3, 5, false}, {7, 11, 13, true}}},
      {"an empty unit between two",
       "000001 09f0 000001 000001 0610",
       0,
       {{0, 3, 5, false}, {5, 8, 8, false}, {8, 11, 13, false}}},
      {"junk before the first start code", "ffee 000001 0605", 2, {{2, 5, 7, false}}},
      {"no start code at all", "0000 02 0000 ff 00", AnnexBUnits::kNoStartCode, {}},
      {"00 00 02 and 00 00 03 do not start a unit",
       "000001 25 000002 000003 00",
       0,
       {{0, 3, 10, false}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = hex_bytes(c.hex);
    ByteSource src;
    src.open_memory(bytes.data(), bytes.size(), "units");
    AnnexBUnits units(src);
    Error error;
    uint64_t first = 0;
    ASSERT_TRUE(units.start(first, error));
    EXPECT_EQ(first, c.first);
    std::vector<UnitPlace> found;
    NalUnit unit;
    while (units.next(unit, error)) {
      found.push_back(
          {unit.unit_start, unit.payload_start, unit.payload_end, unit.long_start_code});
    }
    EXPECT_FALSE(error.set()) << error.text();
    EXPECT_EQ(found, c.units);
    EXPECT_EQ(units.unread_from(), bytes.size());
  }
}

// The units as a byte-by-byte loop over the whole input finds them: a unit at
// every 00 00 01, a 4-byte one when a zero byte comes before it, its payload
// up to the next start code less the zero bytes in front of that.
std::vector<UnitPlace> units_by_plain_loop(const std::vector<uint8_t>& d) {
  std::vector<size_t> codes;
  for (size_t i = 0; i + 3 <= d.size(); ++i)
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) codes.push_back(i);
  std::vector<UnitPlace> units;
  for (size_t k = 0; k < codes.size(); ++k) {
    const bool long_code = codes[k] > 0 && d[codes[k] - 1] == 0;
    const uint64_t payload_start = codes[k] + 3;
    uint64_t end = k + 1 < codes.size() ? codes[k + 1] : d.size();
    while (end > payload_start && d[end - 1] == 0) --end;
    units.push_back({long_code ? codes[k] - 1 : codes[k], payload_start, end, long_code});
  }
  return units;
}

std::vector<UnitPlace> units_found(ByteSource& src, Error& error) {
  AnnexBUnits units(src);
  std::vector<UnitPlace> found;
  uint64_t first = 0;
  if (!units.start(first, error)) return found;
  NalUnit unit;
  while (units.next(unit, error))
    found.push_back({unit.unit_start, unit.payload_start, unit.payload_end, unit.long_start_code});
  return found;
}

// Streams made of the byte sequences start codes and emulation prevention are
// built from, between stretches of coded-looking bytes of every length, so
// that they fall at every offset of the search's vector loads.
std::vector<uint8_t> stream_of_pieces(uint32_t seed, size_t size) {
  static const std::vector<std::vector<uint8_t>> kPieces = {
      {0, 0, 0, 1}, {0, 0, 1}, {0, 0, 3}, {0, 0, 3, 1},   {0}, {0, 0}, {0, 0, 0, 0, 0, 1},
      {0, 1},       {1},       {0, 0, 2}, {0x80, 0, 0x81}};
  std::vector<uint8_t> out;
  while (out.size() < size) {
    seed = seed * 1664525u + 1013904223u;
    const std::vector<uint8_t>& piece = kPieces[(seed >> 24) % kPieces.size()];
    const size_t stretch = (seed >> 8) % 97;
    for (size_t k = 0; k < stretch; ++k) out.push_back(static_cast<uint8_t>(0x42 + k % 150));
    out.insert(out.end(), piece.begin(), piece.end());
  }
  return out;
}

TEST(AnnexBUnits, FindsTheUnitsAByteByByteLoopFinds) {
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    const std::vector<uint8_t> bytes = stream_of_pieces(seed, 50 + seed * 13);
    SCOPED_TRACE("seed " + std::to_string(seed));
    ByteSource src;
    src.open_memory(bytes.data(), bytes.size(), "pieces");
    Error error;
    const std::vector<UnitPlace> found = units_found(src, error);
    EXPECT_FALSE(error.set()) << error.text();
    ASSERT_EQ(found, units_by_plain_loop(bytes));
  }
}

TEST(AnnexBUnits, CopyWithLongStartCodes) {
  struct Case {
    const char* name;
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"3-byte start codes become 4-byte ones", "000001 0910 000001 65aabb",
       "00000001 0910 00000001 65aabb"},
      {"trailing zeros go, 4-byte start codes stay", "00000001 6742 0000 000001 68ce 00",
       "00000001 6742 00000001 68ce"},
      {"empty units go", "000001 000001 41 000001", "00000001 41"},
      {"bytes before the first start code go", "aa 000001 41", "00000001 41"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> in = hex_bytes(c.in), out = {0xEE};
    copy_with_long_start_codes(in.data(), in.size(), out);
    EXPECT_EQ(out, hex_bytes(c.out));
  }
}

}  // namespace
