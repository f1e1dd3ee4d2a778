#include "writer/annexb.h"

#include "codecs/start_code_scan.h"

size_t find_start_code(const uint8_t* data, size_t size, size_t from) {
  return find_four_byte_start_code(data, size, from);
}

size_t find_start_code_before(const uint8_t* data, size_t size, size_t from, size_t limit) {
  const size_t bound = size - limit > 3 ? limit + 3 : size;
  const size_t found = find_four_byte_start_code(data, bound, from);
  return found < bound ? found : limit;
}

// Every unit but the first begins where the search for the previous one's end
// stopped, and the frames handed over begin with a start code too: most calls
// find one at once, without a search.
bool AnnexBSplitter::at_start_code(size_t at) const {
  return size_ - at >= 4 && data_[at] == 0 && data_[at + 1] == 0 && data_[at + 2] == 0 &&
         data_[at + 3] == 1;
}

bool AnnexBSplitter::next(NalUnitSpan* unit) {
  if (pos_ >= size_) return false;
  const size_t start = at_start_code(pos_) ? pos_ : find_start_code(data_, size_, pos_);
  if (start == size_) {
    *unit = {pos_, size_, false};
  } else {
    *unit = {start, find_start_code(data_, size_, start + 4), true};
  }
  pos_ = unit->end;
  return true;
}
