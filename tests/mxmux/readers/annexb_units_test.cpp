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

std::vector<NalUnit> units_of(const std::vector<uint8_t>& bytes) {
  ByteSource src;
  src.open_memory(bytes.data(), bytes.size(), "picture");
  AnnexBUnits units(src);
  Error error;
  uint64_t first = 0;
  std::vector<NalUnit> found;
  if (!units.start(first, error)) return found;
  NalUnit unit;
  while (units.next(unit, error)) found.push_back(unit);
  return found;
}

// A picture's bytes placed behind `room` bytes that are free to write over,
// with guard bytes around both: the rebuilt picture must begin no earlier
// than the room allows and leave every byte outside it alone.
class PlacedPicture {
 public:
  PlacedPicture(const std::vector<uint8_t>& bytes, size_t room) : room_(room) {
    buffer_.assign(kGuard, kGuardByte);
    buffer_.insert(buffer_.end(), room, kRoomByte);
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    buffer_.insert(buffer_.end(), kGuard, kGuardByte);
  }
  uint8_t* picture() { return buffer_.data() + kGuard + room_; }
  size_t room() const { return room_; }
  // Guards intact, and the room untouched in front of `from`.
  bool untouched_outside(const uint8_t* from, size_t size) const {
    const uint8_t* b = buffer_.data();
    for (size_t i = 0; i < buffer_.size(); ++i) {
      if (b + i >= from && b + i < from + size) continue;
      const bool guard = i < kGuard || i >= buffer_.size() - kGuard;
      const bool room = !guard && i < kGuard + room_;
      if (guard && b[i] != kGuardByte) return false;
      if (room && b + i < from && b[i] != kRoomByte) return false;
    }
    return true;
  }

 private:
  static constexpr size_t kGuard = 8;
  static constexpr uint8_t kGuardByte = 0xA5, kRoomByte = 0xEE;
  size_t room_;
  std::vector<uint8_t> buffer_;
};

// The bytes the rebuilt picture must be, from the copy and in place with just
// enough room; with one byte less room the rebuild in place declines.
void expect_rebuilt(const std::vector<uint8_t>& in, const std::vector<uint8_t>& expected) {
  const std::vector<NalUnit> units = units_of(in);
  ASSERT_FALSE(units.empty());
  const uint64_t start = units.front().unit_start;
  const std::vector<uint8_t> picture(in.begin() + static_cast<ptrdiff_t>(start), in.end());
  std::vector<uint8_t> copy = {0xEE};
  copy_with_long_start_codes(picture.data(), start, units, copy);
  EXPECT_EQ(copy, expected);

  // The rebuilt picture ends where the last payload that is not empty ends.
  uint64_t end = start;
  for (const NalUnit& u : units)
    if (u.payload_end > u.payload_start) end = u.payload_end;
  const size_t original = static_cast<size_t>(end - start);
  const size_t room = expected.size() > original ? expected.size() - original : 0;
  PlacedPicture placed(picture, room);
  RebuiltPicture rebuilt = rebuild_with_long_start_codes(placed.picture(), start, room, units);
  ASSERT_NE(rebuilt.data, nullptr);
  EXPECT_GE(rebuilt.data, placed.picture() - room);
  EXPECT_EQ(std::vector<uint8_t>(rebuilt.data, rebuilt.data + rebuilt.size), expected);
  EXPECT_TRUE(placed.untouched_outside(rebuilt.data, rebuilt.size));
  if (room > 0) {
    PlacedPicture tight(picture, room - 1);
    EXPECT_EQ(rebuild_with_long_start_codes(tight.picture(), start, room - 1, units).data, nullptr);
    EXPECT_TRUE(tight.untouched_outside(tight.picture(), 0));
  }
}

TEST(AnnexBUnits, RebuildsPicturesWithLongStartCodes) {
  struct Case {
    const char* name;
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"3-byte start codes become 4-byte ones", "000001 0910 000001 65aabb",
       "00000001 0910 00000001 65aabb"},
      {"parameter sets with 4-byte codes, then SEI and slice with 3-byte ones",
       "00000001 674d40 00000001 68ee 000001 0605ff 000001 65888888",
       "00000001 674d40 00000001 68ee 00000001 0605ff 00000001 65888888"},
      {"trailing zeros go, 4-byte start codes stay", "00000001 6742 0000 000001 68ce 00",
       "00000001 6742 00000001 68ce"},
      {"a payload moves towards the end over the zeros behind it",
       "000001 aa 00000000 00000001 bbbb", "00000001 aa 00000001 bbbb"},
      {"moves both ways in one picture", "000001 a1a2 000001 b1 0000000000 000001 c1c2c3 000001 d1",
       "00000001 a1a2 00000001 b1 00000001 c1c2c3 00000001 d1"},
      {"empty units go", "000001 000001 41 000001", "00000001 41"},
      {"a lone unit with a 3-byte code", "000001 41", "00000001 41"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expect_rebuilt(hex_bytes(c.in), hex_bytes(c.out));
  }
}

// Whole streams of pieces as one picture: rebuilt in place as the copy
// rebuilds them, which is every unit the byte-by-byte loop finds behind a
// 4-byte start code.
TEST(AnnexBUnits, RebuildsInPlaceWhatTheCopyRebuilds) {
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::vector<uint8_t> bytes = stream_of_pieces(seed, 60 + seed * 11);
    if (units_by_plain_loop(bytes).empty()) continue;
    std::vector<uint8_t> expected;
    for (const UnitPlace& u : units_by_plain_loop(bytes)) {
      if (u.payload_end == u.payload_start) continue;
      expected.insert(expected.end(), {0, 0, 0, 1});
      expected.insert(expected.end(), bytes.begin() + static_cast<ptrdiff_t>(u.payload_start),
                      bytes.begin() + static_cast<ptrdiff_t>(u.payload_end));
    }
    expect_rebuilt(bytes, expected);
    if (HasFailure()) return;
  }
}

}  // namespace
