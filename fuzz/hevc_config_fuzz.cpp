// libFuzzer target: an Annex-B byte stream through the HEVC configuration build and the
// record writer. Besides the sanitizers' checks it traps when a refused record wrote
// anything, or when a written record's arrays do not add up to the bytes written.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "codecs/hevc_config.h"

namespace {

ByteWriter* shared_writer() {
  static FILE* sink = std::fopen("/dev/null", "wb");
  static ByteWriter* writer = writer_create(1 << 20, sink);
  return writer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  int32_t error = 0;
  HevcConfig* config = hevc_config_from_annexb(data, static_cast<int32_t>(size), 0, &error);
  if (!config) {
    if (error >= 0) __builtin_trap();
    return 0;
  }
  ByteWriter* w = shared_writer();
  int64_t before = writer_tell(w);
  int32_t result = write_hvcc_record(w, config);
  int64_t written = writer_tell(w) - before;
  if (result != 0) {
    if (written != 0) __builtin_trap();
  } else {
    int64_t expected = 23;
    for (uint32_t i = 0; i < config->num_of_arrays; ++i) {
      expected += 3;
      for (uint32_t j = 0; j < config->arrays[i].num_nalus; ++j)
        expected += 2 + config->arrays[i].nal_unit_length[j];
    }
    if (written != expected) __builtin_trap();
  }
  hevc_config_release(config);
  return 0;
}
