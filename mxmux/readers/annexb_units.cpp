#include "mxmux/readers/annexb_units.h"

#include "codecs/start_code_scan.h"

namespace mxmux {

size_t find_start_code(const uint8_t* p, size_t size, size_t from) {
  return find_start_code_prefix(p, size, from);
}

void copy_with_long_start_codes(const uint8_t* p, size_t size, std::vector<uint8_t>& out) {
  out.clear();
  const uint8_t* unit = nullptr;
  auto copy_unit = [&](const uint8_t* unit_end) {
    while (unit_end > unit && unit_end[-1] == 0) --unit_end;
    if (unit_end <= unit) return;
    static constexpr uint8_t kStartCode[] = {0, 0, 0, 1};
    out.insert(out.end(), kStartCode, kStartCode + 4);
    out.insert(out.end(), unit, unit_end);
  };
  for (size_t s = find_start_code(p, size, 0); s < size; s = find_start_code(p, size, s + 1)) {
    if (unit) copy_unit(p + s);
    unit = p + s + 3;
  }
  if (unit) copy_unit(p + size);
}

bool AnnexBUnits::start(uint64_t& first, Error& error) {
  src_.ensure(4096);
  first = next_start_ = find_start_code_from(0);
  if (src_.error().set()) {
    error = src_.error();
    return false;
  }
  return true;
}

uint64_t AnnexBUnits::find_start_code_from(uint64_t from) {
  while (true) {
    uint64_t pos = src_.pos();
    size_t n = src_.avail();
    if (from < pos) from = pos;
    size_t found = find_start_code(src_.data(), n, static_cast<size_t>(from - pos));
    if (found < n) return pos + found;
    // A start code may begin in the last two bytes and end in the next read.
    if (n >= 2 && from < pos + n - 2) from = pos + n - 2;
    if (!src_.more()) return kNoStartCode;
  }
}

bool AnnexBUnits::next(NalUnit& unit, Error& error) {
  if (next_start_ == kNoStartCode) return false;
  uint64_t start_code = next_start_;
  unit.payload_start = start_code + 3;
  // A zero byte in front makes the start code a 4-byte one. It is never the
  // previous unit's: payloads end before their trailing zero bytes.
  unit.long_start_code = start_code > src_.pos() && *at(start_code - 1) == 0;
  unit.unit_start = unit.long_start_code ? start_code - 1 : start_code;
  uint64_t after = find_start_code_from(unit.payload_start);
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
