// libFuzzer target: the start code searches' vector implementations against
// the scalar one, and mxmux's zero-pair search against its byte at a time
// one. The first byte places the rest of the input that many bytes (0 to 63)
// past a 256-byte boundary, so that the fuzzer reaches every alignment of the
// loads; the data ends where its allocation ends. From the start, and from the
// position the next two bytes give, every search walks from code to code; it
// traps at the first position where an implementation finds another code than
// the scalar loop.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "codecs/start_code_scan.h"
#include "mxmux/readers/zero_pairs.h"

namespace {

constexpr std::align_val_t kAlignment{256};

using FindBy = size_t (*)(StartCodeScan, const uint8_t*, size_t, size_t);

void compare_walks(FindBy find_by, StartCodeScan scan, const uint8_t* d, size_t size, size_t from) {
  for (;;) {
    const size_t expected = find_by(StartCodeScan::kScalar, d, size, from);
    const size_t found = find_by(scan, d, size, from);
    if (found != expected) {
      std::fprintf(stderr, "%s search from %zu of %zu bytes: found %zu, the scalar loop %zu\n",
                   start_code_scan_name(scan), from, size, found, expected);
      __builtin_trap();
    }
    if (expected >= size) return;
    from = expected + 1;
  }
}

void compare_zero_pair_walks(const uint8_t* d, size_t size, size_t from) {
  for (;;) {
    const size_t expected = mxmux::find_zero_pair_bytewise(d, size, from);
    const size_t found = mxmux::find_zero_pair(d, size, from);
    if (found != expected) {
      std::fprintf(stderr, "zero pairs from %zu of %zu bytes: found %zu, byte at a time %zu\n",
                   from, size, found, expected);
      __builtin_trap();
    }
    if (expected >= size) return;
    from = expected + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t shift = data[0] % 64;
  const size_t second_from = static_cast<size_t>(data[1]) << 8 | data[2];
  data += 3;
  size -= 3;
  auto* storage =
      static_cast<uint8_t*>(::operator new(shift + size + (shift + size == 0), kAlignment));
  uint8_t* placed = storage + shift;
  if (size > 0) std::memcpy(placed, data, size);
  for (StartCodeScan scan : {StartCodeScan::kSse2, StartCodeScan::kAvx2}) {
    if (!start_code_scan_available(scan)) continue;
    for (FindBy find_by : {find_start_code_prefix_by, find_four_byte_start_code_by}) {
      compare_walks(find_by, scan, placed, size, 0);
      compare_walks(find_by, scan, placed, size, second_from % (size + 2));
    }
  }
  compare_zero_pair_walks(placed, size, 0);
  compare_zero_pair_walks(placed, size, second_from % (size + 2));
  ::operator delete(storage, kAlignment);
  return 0;
}
