// Finding NAL units in an H.264 or HEVC Annex-B byte stream: where each unit's
// start code and payload lie in the input. Nothing here reads what a unit
// says; every start-code search of the Annex-B readers (and of the MPEG-4
// Visual reader, whose start codes begin alike) goes through find_start_code
// below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "mxmux/readers/byte_source.h"

namespace mxmux {

// Position of the first start code (00 00 01) in p[from, size), or size when
// there is none: the vector search of codecs/start_code_scan.h, which runs
// over every byte of the input.
size_t find_start_code(const uint8_t* p, size_t size, size_t from);

// The file offset of the first start code at or after `from` in a source,
// pulling input into the window as the search needs it; kNoStartCode when the
// input ends first or reading fails (src.error() then tells).
constexpr uint64_t kNoStartCode = ~uint64_t{0};
uint64_t find_start_code(ByteSource& src, uint64_t from);

// One unit's place in the input, as file offsets.
struct NalUnit {
  uint64_t unit_start = 0;     // first byte of its start code
  uint64_t payload_start = 0;  // first byte after the start code
  uint64_t payload_end = 0;    // trailing zero bytes excluded
  bool long_start_code = false;
};

// A picture's units rebuilt with a 4-byte start code in front of every
// payload, back to back, empty units left out: what the plug-in splits.
struct RebuiltPicture {
  uint8_t* data = nullptr;  // null when it did not fit
  size_t size = 0;
};

// Rebuilds in the buffer the units lie in. `picture` is the buffer byte at
// file offset `start` (the first unit's), and the `room` bytes in front of it
// may be written over. The last payload stays where it is and the ones before
// it move by the start code bytes and trailing zeros that change before them:
// a picture whose short start codes are all in front of a large last unit
// costs a few small moves. Null data when the rebuilt picture would begin
// more than `room` bytes in front of `picture`.
RebuiltPicture rebuild_with_long_start_codes(uint8_t* picture, uint64_t start, size_t room,
                                             std::span<const NalUnit> units);

// The same rebuilt picture copied into `out`.
void copy_with_long_start_codes(const uint8_t* picture, uint64_t start,
                                std::span<const NalUnit> units, std::vector<uint8_t>& out);

// Walks the units of a stream read through a byte source, pulling input into
// the window as a search needs it.
class AnnexBUnits {
 public:
  static constexpr uint64_t kNoStartCode = mxmux::kNoStartCode;

  explicit AnnexBUnits(ByteSource& src) : src_(src) {}

  // Finds the stream's first start code, looking at least at its first 4 KiB:
  // its offset in `first`, or kNoStartCode. False with `error` set when
  // reading failed.
  bool start(uint64_t& first, Error& error);
  // The next unit; false at the end of the stream or, with `error` set, when
  // reading failed.
  bool next(NalUnit& unit, Error& error);
  // The window bytes at a file offset the window still holds.
  uint8_t* at(uint64_t offset) const {
    return const_cast<uint8_t*>(src_.data()) + (offset - src_.pos());
  }
  // The offset from which on no unit has been handed out yet: what the
  // window must keep for the units still to come.
  uint64_t unread_from() const {
    return next_start_ == kNoStartCode ? src_.pos() + src_.avail() : next_start_;
  }

 private:
  ByteSource& src_;
  uint64_t next_start_ = kNoStartCode;  // the start code of the next unit
};

}  // namespace mxmux
