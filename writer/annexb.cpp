#include "writer/annexb.h"

#include "codecs/start_code_scan.h"

size_t find_start_code(const uint8_t* data, size_t size, size_t from) {
  return find_four_byte_start_code(data, size, from);
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
