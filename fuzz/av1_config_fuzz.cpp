// libFuzzer target: configuration OBUs through the av1C writer. Besides the sanitizers'
// checks it traps when a failed build wrote anything, or a written record is shorter than
// its fixed part and a sequence header OBU.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "codecs/av1_config.h"

namespace {

ByteWriter* shared_writer() {
  static FILE* sink = std::fopen("/dev/null", "wb");
  static ByteWriter* writer = writer_create(1 << 20, sink);
  return writer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  ByteWriter* w = shared_writer();
  int64_t before = writer_tell(w);
  int32_t result = write_av1c(w, data, static_cast<int32_t>(size));
  int64_t written = writer_tell(w) - before;
  if (result != 0 && written != 0) __builtin_trap();
  if (result == 0 && (written < 4 + 2 || written > 4 + static_cast<int64_t>(size)))
    __builtin_trap();

  // The parser on its own, on the raw bytes as a payload.
  Av1SequenceInfo info;
  parse_av1_sequence_header(&info, data, static_cast<uint32_t>(size));
  return 0;
}
