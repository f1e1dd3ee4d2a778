// The start code searches against memcpy of the same bytes: how close each
// implementation comes to the speed of memory (64 MiB, far larger than the
// caches) and of the cache (64 KiB, the size of a small frame).
//
// The bytes look like coded slices to the searches: random, with a 00 00 xx
// (xx from 04 up, which coded data may hold) about every 2,800 bytes, as often
// as in the BIG input of bench/mxmux_vs.sh (CAVLC slices hold many more zero
// pairs than random bytes), and a 4-byte start code every 256 KiB. A search
// walks the whole buffer from code to code.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "codecs/start_code_scan.h"

namespace {

std::vector<uint8_t> coded_like(size_t size) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = 2024;
  auto next = [&state] { return state = state * 1664525u + 1013904223u; };
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(next() >> 24);
  for (size_t at = 0; at + 3 <= size; at += 2000 + (next() >> 8) % 1600) {
    bytes[at] = bytes[at + 1] = 0;
    bytes[at + 2] = static_cast<uint8_t>(4 + (next() >> 24) % 250);
  }
  for (size_t at = 0; at + 4 <= size; at += 256 << 10) {
    const uint8_t code[] = {0, 0, 0, 1};
    std::memcpy(bytes.data() + at, code, sizeof code);
  }
  return bytes;
}

// Arguments: implementation (0 scalar, 1 SSE2, 2 AVX2), code length (3 or 4), bytes.
void BM_StartCodeSearch(benchmark::State& state) {
  const auto scan = static_cast<StartCodeScan>(state.range(0));
  const auto find_by =
      state.range(1) == 3 ? find_start_code_prefix_by : find_four_byte_start_code_by;
  const std::vector<uint8_t> bytes = coded_like(static_cast<size_t>(state.range(2)));
  if (!start_code_scan_available(scan)) {
    state.SkipWithError("the processor lacks this implementation");
    return;
  }
  state.SetLabel(start_code_scan_name(scan));
  size_t codes = 0;
  for (auto _ : state) {
    codes = 0;
    for (size_t p = find_by(scan, bytes.data(), bytes.size(), 0); p < bytes.size();
         p = find_by(scan, bytes.data(), bytes.size(), p + 1))
      ++codes;
    benchmark::DoNotOptimize(codes);
  }
  state.SetBytesProcessed(state.iterations() * state.range(2));
  state.counters["codes"] = static_cast<double>(codes);
}

void BM_MemcpySameBytes(benchmark::State& state) {
  const std::vector<uint8_t> bytes = coded_like(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> copy(bytes.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), bytes.data(), bytes.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void search_arguments(benchmark::internal::Benchmark* b) {
  for (int64_t size : {int64_t{64} << 10, int64_t{64} << 20})
    for (int64_t code : {3, 4})
      for (int64_t scan : {0, 1, 2}) b->Args({scan, code, size});
}
BENCHMARK(BM_StartCodeSearch)->Apply(search_arguments);
BENCHMARK(BM_MemcpySameBytes)->Arg(64 << 10)->Arg(64 << 20);

}  // namespace
