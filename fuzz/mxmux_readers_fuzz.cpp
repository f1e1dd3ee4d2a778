// libFuzzer target for mxmux's elementary-stream readers: the first byte
// picks the reader, the rest is the stream. Every input must end in a frame
// sequence or an error result, without touching memory outside the input.
//
// Every input also goes through the Annex-B unit finder, whose units must be
// the ones a byte-by-byte loop finds, and the whole input, taken as one
// picture, is rebuilt with 4-byte start codes in place and by copy: the two
// must agree, and the rebuild in place may decline only for lack of room.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "mxmux/readers/annexb_units.h"
#include "mxmux/readers/reader.h"

namespace {

void read_frames(mxmux::Codec codec, const uint8_t* data, size_t size) {
  mxmux::ByteSource src;
  src.open_memory(data, size, "fuzz");
  auto reader = mxmux::make_reader_for(codec, src);
  mxmux::Error error;
  if (!reader->open({}, error)) return;
  mxmux::Frame frame;
  int64_t last_dts = INT64_MIN;
  for (int i = 0; i < 100000; ++i) {
    int r = reader->next(frame, error);
    if (r <= 0) break;
    // Frames lie inside the input or the reader's own buffers, and decode
    // times only grow.
    volatile uint8_t sink = 0;
    for (size_t k = 0; k < frame.size; k += 97) sink = sink + frame.data[k];
    if (frame.size) sink = sink + frame.data[frame.size - 1];
    if (frame.dts <= last_dts) __builtin_trap();
    last_dts = frame.dts;
  }
}

bool same_place(const mxmux::NalUnit& a, const mxmux::NalUnit& b) {
  return a.unit_start == b.unit_start && a.payload_start == b.payload_start &&
         a.payload_end == b.payload_end && a.long_start_code == b.long_start_code;
}

// A unit at every 00 00 01; a zero byte in front makes its start code a
// 4-byte one; its payload runs to the next start code, less the zero bytes
// in front of that.
std::vector<mxmux::NalUnit> units_byte_by_byte(const uint8_t* d, size_t size) {
  std::vector<size_t> codes;
  for (size_t i = 0; i + 3 <= size; ++i)
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) codes.push_back(i);
  std::vector<mxmux::NalUnit> units;
  for (size_t k = 0; k < codes.size(); ++k) {
    mxmux::NalUnit u;
    u.long_start_code = codes[k] > 0 && d[codes[k] - 1] == 0;
    u.unit_start = u.long_start_code ? codes[k] - 1 : codes[k];
    u.payload_start = codes[k] + 3;
    size_t end = k + 1 < codes.size() ? codes[k + 1] : size;
    while (end > u.payload_start && d[end - 1] == 0) --end;
    u.payload_end = end;
    units.push_back(u);
  }
  return units;
}

std::vector<mxmux::NalUnit> units_found(const uint8_t* data, size_t size) {
  mxmux::ByteSource src;
  src.open_memory(data, size, "fuzz");
  mxmux::AnnexBUnits finder(src);
  mxmux::Error error;
  uint64_t first = 0;
  std::vector<mxmux::NalUnit> units;
  if (!finder.start(first, error)) __builtin_trap();
  mxmux::NalUnit unit;
  while (finder.next(unit, error)) units.push_back(unit);
  if (error.set()) __builtin_trap();
  return units;
}

void check_units_and_rebuild(uint8_t room_choice, const uint8_t* data, size_t size) {
  const std::vector<mxmux::NalUnit> units = units_found(data, size);
  const std::vector<mxmux::NalUnit> expected = units_byte_by_byte(data, size);
  if (units.size() != expected.size()) __builtin_trap();
  for (size_t i = 0; i < units.size(); ++i)
    if (!same_place(units[i], expected[i])) __builtin_trap();
  if (units.empty()) return;

  const uint64_t start = units.front().unit_start;
  std::vector<uint8_t> copy;
  copy_with_long_start_codes(data + start, start, units, copy);
  const size_t room = room_choice % 16;
  std::vector<uint8_t> buffer(room);
  buffer.insert(buffer.end(), data + start, data + size);
  mxmux::RebuiltPicture rebuilt =
      rebuild_with_long_start_codes(buffer.data() + room, start, room, units);
  uint64_t end = start;
  for (const mxmux::NalUnit& u : units)
    if (u.payload_end > u.payload_start) end = u.payload_end;
  const bool fits = copy.size() <= end - start + room;
  if ((rebuilt.data != nullptr) != fits) __builtin_trap();
  if (rebuilt.data == nullptr) return;
  if (rebuilt.data < buffer.data() || rebuilt.size != copy.size()) __builtin_trap();
  for (size_t i = 0; i < copy.size(); ++i)
    if (rebuilt.data[i] != copy[i]) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using mxmux::Codec;
  static constexpr Codec kCodecs[] = {Codec::kH264,  Codec::kHevc, Codec::kAv1, Codec::kMpeg4Visual,
                                      Codec::kH263,  Codec::kAac,  Codec::kAc3, Codec::kFlac,
                                      Codec::kPcm16, Codec::kAmrNb};
  if (size < 1) return 0;
  read_frames(kCodecs[data[0] % (sizeof kCodecs / sizeof kCodecs[0])], data + 1, size - 1);
  check_units_and_rebuild(data[0], data + 1, size - 1);
  return 0;
}
