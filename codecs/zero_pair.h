// The scan that mxmux's stream readers build their start-code searches on: they
// look for start codes in every byte of every frame, so this is one of the
// hottest loops of a run. (The plug-in's conversion uses the vector search of
// codecs/start_code_scan.h.)
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Position of the first pair of zero bytes (data[s] == data[s + 1] == 0) at or
// after from, or size when there is none. Every start code begins with such a
// pair, and in coded data pairs are rare, so the scan looks only for them and
// skips everything else in large steps: 64 bytes at a time where vector
// instructions exist, else two bytes at a time (when the second byte is not
// zero, no pair starts at either).
inline size_t find_zero_pair(const uint8_t* data, size_t size, size_t from) {
  size_t i = from;
#if defined(__SSE2__)
  // 64 bytes at a time: the larger of each byte and the next one is zero
  // exactly where a pair starts, so one test per block tells whether it holds
  // any; most blocks hold none.
  const __m128i zero = _mm_setzero_si128();
  auto pair_starts = [&](size_t at) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at + 1));
    return _mm_max_epu8(here, next);
  };
  // Bit k set: byte k of v is zero.
  auto zero_bits = [&](__m128i v) {
    return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero))));
  };
  while (i + 65 <= size) {  // reads data[i .. i + 64]
    const __m128i m0 = pair_starts(i), m1 = pair_starts(i + 16);
    const __m128i m2 = pair_starts(i + 32), m3 = pair_starts(i + 48);
    const __m128i any = _mm_min_epu8(_mm_min_epu8(m0, m1), _mm_min_epu8(m2, m3));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, zero)) != 0) {
      const uint64_t pairs =
          zero_bits(m0) | zero_bits(m1) << 16 | zero_bits(m2) << 32 | zero_bits(m3) << 48;
      return i + static_cast<size_t>(__builtin_ctzll(pairs));
    }
    i += 64;
  }
#endif
  // Two bytes at a time: when the second is not zero, no pair starts at either.
  while (i + 1 < size) {
    if (data[i + 1] != 0) {
      i += 2;
    } else if (data[i] == 0) {
      return i;
    } else {
      i += 1;
    }
  }
  return size;
}
