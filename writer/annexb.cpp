#include "writer/annexb.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Position of the first pair of zero bytes (data[s] == data[s + 1] == 0) at or
// after from, or size when there is none. Every start code begins with such a
// pair, and in coded data pairs are rare, so the scan looks only for them and
// skips everything else in large steps: 32 bytes at a time where vector
// instructions exist, else two bytes at a time (when the second byte is not
// zero, no pair starts at either).
size_t find_zero_pair(const uint8_t* data, size_t size, size_t from) {
  size_t i = from;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  while (i + 33 <= size) {  // reads data[i .. i + 32]
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 16));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(a, b), zero)) != 0) {
      // Bit k: data[i + k] is zero; a pair starts where bit k and bit k + 1 are set.
      const uint32_t zeros = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, zero))) |
                             static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, zero)))
                                 << 16;
      const uint32_t next = zeros >> 1 | static_cast<uint32_t>(data[i + 32] == 0) << 31;
      if (const uint32_t pairs = zeros & next; pairs != 0)
        return i + static_cast<size_t>(__builtin_ctz(pairs));
    }
    i += 32;
  }
#endif
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

}  // namespace

size_t find_start_code(const uint8_t* data, size_t size, size_t from) {
  for (size_t s = find_zero_pair(data, size, from); s + 4 <= size;
       s = find_zero_pair(data, size, s + 1)) {
    if (data[s + 2] == 0 && data[s + 3] == 1) return s;
  }
  return size;
}

bool AnnexBSplitter::next(NalUnitSpan* unit) {
  if (pos_ >= size_) return false;
  size_t start = find_start_code(data_, size_, pos_);
  if (start == size_) {
    *unit = {pos_, size_, false};
  } else {
    *unit = {start, find_start_code(data_, size_, start + 4), true};
  }
  pos_ = unit->end;
  return true;
}
