#include "writer/annexb.h"

#include "codecs/zero_pair.h"

size_t find_start_code(const uint8_t* data, size_t size, size_t from) {
  for (size_t s = find_zero_pair(data, size, from); s + 4 <= size;
       s = find_zero_pair(data, size, s + 1)) {
    if (data[s + 2] == 0 && data[s + 3] == 1) return s;
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
