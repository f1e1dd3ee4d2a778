#include "mxmux/readers/zero_pairs.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MX_ZERO_PAIRS_SSE2 1
#include <emmintrin.h>
#else
#define MX_ZERO_PAIRS_SSE2 0
#endif

namespace mxmux {

size_t find_zero_pair_bytewise(const uint8_t* p, size_t size, size_t from) {
  for (size_t i = from; i + 1 < size; ++i) {
    if (p[i + 1] != 0) {
      ++i;  // no pair begins at i, nor at i + 1
    } else if (p[i] == 0) {
      return i;
    }
  }
  return size;
}

#if MX_ZERO_PAIRS_SSE2

namespace {

// Bit b set: byte b of the 16 at p is zero.
inline uint32_t zero_bytes(const uint8_t* p) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_setzero_si128())));
}

}  // namespace

// A step looks at the pairs that begin at i to i + 15: the zero bytes of the
// 16 at i, and of the 16 at i + 1 for each pair's second byte.
size_t find_zero_pair(const uint8_t* p, size_t size, size_t from) {
  constexpr size_t kStep = 16;
  size_t i = from;
  for (; i < size && size - i >= kStep + 1; i += kStep) {
    const uint32_t pairs = zero_bytes(p + i) & zero_bytes(p + i + 1);
    if (pairs != 0) return i + static_cast<size_t>(__builtin_ctz(pairs));
  }
  return find_zero_pair_bytewise(p, size, i);
}

#else

size_t find_zero_pair(const uint8_t* p, size_t size, size_t from) {
  return find_zero_pair_bytewise(p, size, from);
}

#endif

}  // namespace mxmux
