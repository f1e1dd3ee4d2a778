#include "writer/annexb.h"

#include "codecs/start_code_scan.h"

// A 4-byte start code at s is a zero followed by a prefix 00 00 01 at s + 1.
// The next prefix cannot begin before the 01 of this one has passed.
size_t find_start_code(const uint8_t* data, size_t size, size_t from) {
  if (from >= size) return size;
  for (size_t p = find_start_code_prefix(data, size, from + 1); p < size;
       p = find_start_code_prefix(data, size, p + 3)) {
    if (data[p - 1] == 0) return p - 1;
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
