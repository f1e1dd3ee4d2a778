#include "writer/annexb.h"

#include <cstring>

size_t find_start_code(const uint8_t* data, size_t size, size_t from) {
  size_t i = from;
  while (i + 4 <= size) {
    // A start code beginning at s has its 01 at s + 3.
    const void* hit = std::memchr(data + i + 3, 1, size - i - 3);
    if (!hit) break;
    size_t one = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
    if (data[one - 1] == 0 && data[one - 2] == 0 && data[one - 3] == 0) return one - 3;
    i = one - 2;
  }
  return size;
}

bool AnnexBSplitter::next(NalUnitSpan* unit) {
  if (pos_ >= size_) return false;
  size_t start = find_start_code(data_, size_, pos_);
  if (start == size_) {
    *unit = {pos_, size_, false};
  } else {
    *unit = {start, find_start_code(data_, size_, start + 4), true};
  }
  pos_ = unit->end;
  return true;
}
