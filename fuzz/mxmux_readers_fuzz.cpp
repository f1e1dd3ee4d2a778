// libFuzzer target for mxmux's elementary-stream readers: the first byte
// picks the reader, the rest is the stream. Every input must end in a frame
// sequence or an error result, without touching memory outside the input.
#include <cstddef>
#include <cstdint>

#include "mxmux/readers/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using mxmux::Codec;
  static constexpr Codec kCodecs[] = {Codec::kH264,  Codec::kHevc, Codec::kAv1, Codec::kMpeg4Visual,
                                      Codec::kH263,  Codec::kAac,  Codec::kAc3, Codec::kFlac,
                                      Codec::kPcm16, Codec::kAmrNb};
  if (size < 1) return 0;
  Codec codec = kCodecs[data[0] % (sizeof kCodecs / sizeof kCodecs[0])];
  mxmux::ByteSource src;
  src.open_memory(data + 1, size - 1, "fuzz");
  auto reader = mxmux::make_reader_for(codec, src);
  mxmux::Error error;
  if (!reader->open({}, error)) return 0;
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
  return 0;
}
