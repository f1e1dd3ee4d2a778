// Splitting Annex-B byte streams into NAL units.
//
// Only the 4-byte start code 00 00 00 01 delimits units: a 3-byte start code
// inside the data stays part of the unit before it.
#pragma once

#include <cstddef>
#include <cstdint>

// Position of the first 4-byte start code at or after from, or size when none.
size_t find_start_code(const uint8_t* data, size_t size, size_t from);

// Frames larger than this (plus a start code) are searched and written in
// blocks of this size, well inside the processor's second-level cache.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Fuzz builds: small blocks, so that the fuzzer's small frames take that path too.
constexpr size_t kAnnexBBlock = 64;
#else
constexpr size_t kAnnexBBlock = 512 << 10;
#endif

// Position of the first 4-byte start code that begins at or after from and
// before limit (it may end up to 3 bytes behind limit, within size), or limit
// when none does. Searching a frame block by block with it finds the same
// codes as one search over the whole.
size_t find_start_code_before(const uint8_t* data, size_t size, size_t from, size_t limit);

struct NalUnitSpan {
  size_t begin;  // first byte of the start code (or of the rest of the data)
  size_t end;    // one past the last byte of the unit
  bool has_start_code;
};

// Yields the units of data in order. A unit runs from a start code to the
// next start code that begins at least 4 bytes further on, or to the end.
// When no start code is left, the rest of the data is one unit. The caller
// may rewrite bytes of a unit it has been given (and any byte before it):
// the search for the next unit starts at the given unit's end.
class AnnexBSplitter {
 public:
  AnnexBSplitter(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool next(NalUnitSpan* unit);

 private:
  bool at_start_code(size_t at) const;

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};
