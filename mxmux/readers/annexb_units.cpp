#include "mxmux/readers/annexb_units.h"

#include <cstring>

#include "codecs/start_code_scan.h"

namespace mxmux {

size_t find_start_code(const uint8_t* p, size_t size, size_t from) {
  return find_start_code_prefix(p, size, from);
}

uint64_t find_start_code(ByteSource& src, uint64_t from) {
  while (true) {
    uint64_t pos = src.pos();
    size_t n = src.avail();
    if (from < pos) from = pos;
    size_t found = find_start_code(src.data(), n, static_cast<size_t>(from - pos));
    if (found < n) return pos + found;
    // A start code may begin in the last two bytes and end in the next read.
    if (n >= 2 && from < pos + n - 2) from = pos + n - 2;
    if (!src.more()) return kNoStartCode;
  }
}

namespace {

constexpr uint8_t kLongStartCode[] = {0, 0, 0, 1};

size_t payload_size(const NalUnit& unit) {
  return static_cast<size_t>(unit.payload_end - unit.payload_start);
}

}  // namespace

RebuiltPicture rebuild_with_long_start_codes(uint8_t* picture, uint64_t start, size_t room,
                                             std::span<const NalUnit> units) {
  size_t rebuilt_size = 0;
  uint64_t end = start;
  for (const NalUnit& unit : units) {
    if (payload_size(unit) == 0) continue;
    rebuilt_size += sizeof kLongStartCode + payload_size(unit);
    end = unit.payload_end;
  }
  const size_t original_size = static_cast<size_t>(end - start);
  if (rebuilt_size > original_size + room) return {};
  uint8_t* const rebuilt_end = picture + original_size;
  uint8_t* const rebuilt = rebuilt_end - rebuilt_size;
  auto source = [&](const NalUnit& unit) { return picture + (unit.payload_start - start); };
  // Payloads that move towards the end first, from the last one back, then
  // those that move towards the front, from the first one on: no payload then
  // lands on one that has yet to move. The start codes go in last, between
  // the payloads in their places.
  uint8_t* at = rebuilt_end;
  for (size_t i = units.size(); i-- > 0;) {
    const size_t n = payload_size(units[i]);
    if (n == 0) continue;
    at -= n;
    if (at > source(units[i])) std::memmove(at, source(units[i]), n);
    at -= sizeof kLongStartCode;
  }
  at = rebuilt;
  for (const NalUnit& unit : units) {
    const size_t n = payload_size(unit);
    if (n == 0) continue;
    at += sizeof kLongStartCode;
    if (at < source(unit)) std::memmove(at, source(unit), n);
    at += n;
  }
  at = rebuilt;
  for (const NalUnit& unit : units) {
    if (payload_size(unit) == 0) continue;
    std::memcpy(at, kLongStartCode, sizeof kLongStartCode);
    at += sizeof kLongStartCode + payload_size(unit);
  }
  return {rebuilt, rebuilt_size};
}

void copy_with_long_start_codes(const uint8_t* picture, uint64_t start,
                                std::span<const NalUnit> units, std::vector<uint8_t>& out) {
  out.clear();
  for (const NalUnit& unit : units) {
    if (payload_size(unit) == 0) continue;
    const uint8_t* payload = picture + (unit.payload_start - start);
    out.insert(out.end(), kLongStartCode, kLongStartCode + sizeof kLongStartCode);
    out.insert(out.end(), payload, payload + payload_size(unit));
  }
}

bool AnnexBUnits::start(uint64_t& first, Error& error) {
  src_.ensure(4096);
  first = next_start_ = find_start_code(src_, 0);
  if (src_.error().set()) {
    error = src_.error();
    return false;
  }
  return true;
}

bool AnnexBUnits::next(NalUnit& unit, Error& error) {
  if (next_start_ == kNoStartCode) return false;
  uint64_t start_code = next_start_;
  unit.payload_start = start_code + 3;
  // A zero byte in front makes the start code a 4-byte one. It is never the
  // previous unit's: payloads end before their trailing zero bytes.
  unit.long_start_code = start_code > src_.pos() && *at(start_code - 1) == 0;
  unit.unit_start = unit.long_start_code ? start_code - 1 : start_code;
  uint64_t after = find_start_code(src_, unit.payload_start);
  if (src_.error().set()) {
    error = src_.error();
    return false;
  }
  uint64_t end = after == kNoStartCode ? src_.pos() + src_.avail() : after;
  if (end < unit.payload_start) end = unit.payload_start;
  while (end > unit.payload_start && *at(end - 1) == 0) --end;
  unit.payload_end = end;
  next_start_ = after;
  return true;
}

}  // namespace mxmux
