#include "codecs/start_code_scan.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MX_SCAN_X86_64 1
#include <immintrin.h>
#else
#define MX_SCAN_X86_64 0
#endif

namespace {

// A prefix at i needs data[i + 2] to be 1, one at i + 1 or i + 2 needs it to
// be 0: any larger byte there rules out all three, and in coded data most
// bytes are larger.
size_t scan_scalar(const uint8_t* data, size_t size, size_t from) {
  if (size < 3) return size;
  for (size_t i = from; i < size - 2;) {
    const uint8_t third = data[i + 2];
    if (third > 1) {
      i += 3;
    } else if (third == 1 && data[i] == 0 && data[i + 1] == 0) {
      return i;
    } else {
      ++i;
    }
  }
  return size;
}

#if MX_SCAN_X86_64

// The vector searches read the bytes as 16-bit words, low byte first, aligned
// to the start of each load. A prefix that begins at a word makes that word
// 00 00; one that begins a byte before a word makes the word 00 01 (low byte
// 0, high byte 1). So every prefix shows as a word whose low byte is 0 and
// whose high byte is 0 or 1: the word AND FEFF is zero. In coded data such
// words are rare, so the searches only look for them, a whole block of loads
// at a time through the minimum of the masked words, and confirm the few they
// find byte by byte. One load of n bytes at a shows every prefix that begins
// from a - 1 to a + n - 2.

constexpr size_t kNotFound = SIZE_MAX;

// The first prefix at or after from among candidate words of one load: bit b
// of words marks the word whose low byte is data[at + b]. A candidate starts a
// prefix at its low byte or at the byte before it.
__attribute__((noinline)) size_t confirm_candidates(const uint8_t* data, size_t size, size_t from,
                                                    size_t at, uint64_t words) {
  for (; words != 0; words &= words - 1) {
    const size_t w = at + static_cast<size_t>(__builtin_ctzll(words));
    if (w > from && data[w - 1] == 0 && data[w] == 0 && data[w + 1] == 1) return w - 1;
    if (w >= from && w + 2 < size && data[w] == 0 && data[w + 1] == 0 && data[w + 2] == 1) return w;
  }
  return kNotFound;
}

// Most loads have no candidate: they cost no call.
inline size_t confirm(const uint8_t* data, size_t size, size_t from, size_t at, uint64_t words) {
  return words == 0 ? kNotFound : confirm_candidates(data, size, from, at, words);
}

// Both vector searches have the same shape: one unaligned load at from, then
// aligned loads from the first boundary past it (together they leave no start
// position out), a block of loads at a time while whole blocks fit, single
// loads after that, and one unaligned load that ends at the end of the data
// for the prefixes that begin from there on. A block that shows a candidate is
// confirmed load by load in a separate function, so that the hot loop keeps
// nothing for it.

// The first address past p that is a multiple of width (a power of two).
inline const uint8_t* first_boundary_after(const uint8_t* p, size_t width) {
  return p + (width - (reinterpret_cast<uintptr_t>(p) & (width - 1)));
}

// SSE2 has no unsigned 16-bit minimum; the signed one serves once the mask
// also clears each word's top bit (7EFF), which lets high bytes 80 and 81
// through as candidates too, for the confirmation to turn down.
constexpr size_t kSse2Width = 16, kSse2Block = 8 * kSse2Width;

inline __m128i load_sse2(const uint8_t* p) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(p));
}

inline __m128i masked_sse2(__m128i v) {
  return _mm_and_si128(v, _mm_set1_epi16(0x7EFF));
}

// Bit b set: the word at byte b of v is a candidate.
inline uint64_t candidates_sse2(__m128i v) {
  const __m128i hits = _mm_cmpeq_epi16(masked_sse2(v), _mm_setzero_si128());
  return static_cast<uint32_t>(_mm_movemask_epi8(hits)) & 0x5555u;
}

inline bool block_has_candidate_sse2(const uint8_t* p) {
  const __m128i low = _mm_min_epi16(
      _mm_min_epi16(_mm_min_epi16(masked_sse2(load_sse2(p)), masked_sse2(load_sse2(p + 16))),
                    _mm_min_epi16(masked_sse2(load_sse2(p + 32)), masked_sse2(load_sse2(p + 48)))),
      _mm_min_epi16(
          _mm_min_epi16(masked_sse2(load_sse2(p + 64)), masked_sse2(load_sse2(p + 80))),
          _mm_min_epi16(masked_sse2(load_sse2(p + 96)), masked_sse2(load_sse2(p + 112)))));
  return _mm_movemask_epi8(_mm_cmpeq_epi16(low, _mm_setzero_si128())) != 0;
}

__attribute__((noinline)) size_t confirm_block_sse2(const uint8_t* data, size_t size, size_t from,
                                                    size_t at) {
  for (size_t end = at + kSse2Block; at < end; at += kSse2Width) {
    const size_t found = confirm(data, size, from, at, candidates_sse2(load_sse2(data + at)));
    if (found != kNotFound) return found;
  }
  return kNotFound;
}

size_t scan_sse2(const uint8_t* data, size_t size, size_t from) {
  if (from >= size || size - from < kSse2Width) return scan_scalar(data, size, from);
  auto unaligned = [data](size_t at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
  };
  size_t found = confirm(data, size, from, from, candidates_sse2(unaligned(from)));
  if (found != kNotFound) return found;
  const uint8_t* p = first_boundary_after(data + from, kSse2Width);
  const uint8_t* const last_block = size >= kSse2Block ? data + (size - kSse2Block) : data;
  for (; p <= last_block; p += kSse2Block) {
    if (!block_has_candidate_sse2(p)) continue;
    found = confirm_block_sse2(data, size, from, static_cast<size_t>(p - data));
    if (found != kNotFound) return found;
  }
  size_t i = static_cast<size_t>(p - data);
  for (; i + kSse2Width <= size; i += kSse2Width) {
    found = confirm(data, size, from, i, candidates_sse2(load_sse2(data + i)));
    if (found != kNotFound) return found;
  }
  if (i + 2 <= size) {
    const size_t last = size - kSse2Width;
    found = confirm(data, size, from, last, candidates_sse2(unaligned(last)));
    if (found != kNotFound) return found;
  }
  return size;
}

// The AVX2 search is built for processors that have it and only ever called on
// them. Its helpers carry the same target; a lambda would not, so there is
// none.
#define MX_AVX2 __attribute__((target("avx2")))

constexpr size_t kAvx2Width = 32, kAvx2Block = 8 * kAvx2Width;

MX_AVX2 inline __m256i load_avx2(const uint8_t* p) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
}

MX_AVX2 inline __m256i masked_avx2(__m256i v) {
  return _mm256_and_si256(v, _mm256_set1_epi16(static_cast<short>(0xFEFF)));
}

MX_AVX2 inline uint64_t candidates_avx2(__m256i v) {
  const __m256i hits = _mm256_cmpeq_epi16(masked_avx2(v), _mm256_setzero_si256());
  return static_cast<uint32_t>(_mm256_movemask_epi8(hits)) & 0x55555555u;
}

MX_AVX2 inline bool block_has_candidate_avx2(const uint8_t* p) {
  const __m256i low = _mm256_min_epu16(
      _mm256_min_epu16(
          _mm256_min_epu16(masked_avx2(load_avx2(p)), masked_avx2(load_avx2(p + 32))),
          _mm256_min_epu16(masked_avx2(load_avx2(p + 64)), masked_avx2(load_avx2(p + 96)))),
      _mm256_min_epu16(
          _mm256_min_epu16(masked_avx2(load_avx2(p + 128)), masked_avx2(load_avx2(p + 160))),
          _mm256_min_epu16(masked_avx2(load_avx2(p + 192)), masked_avx2(load_avx2(p + 224)))));
  const __m256i zero_words = _mm256_cmpeq_epi16(low, _mm256_setzero_si256());
  return !_mm256_testz_si256(zero_words, zero_words);
}

MX_AVX2 __attribute__((noinline)) size_t confirm_block_avx2(const uint8_t* data, size_t size,
                                                            size_t from, size_t at) {
  for (size_t end = at + kAvx2Block; at < end; at += kAvx2Width) {
    const size_t found = confirm(data, size, from, at, candidates_avx2(load_avx2(data + at)));
    if (found != kNotFound) return found;
  }
  return kNotFound;
}

MX_AVX2 inline __m256i unaligned_avx2(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

MX_AVX2 size_t scan_avx2(const uint8_t* data, size_t size, size_t from) {
  if (from >= size || size - from < kAvx2Width) return scan_scalar(data, size, from);
  size_t found = confirm(data, size, from, from, candidates_avx2(unaligned_avx2(data + from)));
  if (found != kNotFound) return found;
  const uint8_t* p = first_boundary_after(data + from, kAvx2Width);
  const uint8_t* const last_block = size >= kAvx2Block ? data + (size - kAvx2Block) : data;
  for (; p <= last_block; p += kAvx2Block) {
    if (!block_has_candidate_avx2(p)) continue;
    found = confirm_block_avx2(data, size, from, static_cast<size_t>(p - data));
    if (found != kNotFound) return found;
  }
  size_t i = static_cast<size_t>(p - data);
  for (; i + kAvx2Width <= size; i += kAvx2Width) {
    found = confirm(data, size, from, i, candidates_avx2(load_avx2(data + i)));
    if (found != kNotFound) return found;
  }
  if (i + 2 <= size) {
    const size_t last = size - kAvx2Width;
    found = confirm(data, size, from, last, candidates_avx2(unaligned_avx2(data + last)));
    if (found != kNotFound) return found;
  }
  return size;
}

#endif  // MX_SCAN_X86_64

using ScanFunction = size_t (*)(const uint8_t*, size_t, size_t);

ScanFunction function_of(StartCodeScan scan) {
  if (!start_code_scan_available(scan)) return scan_scalar;
  switch (scan) {
#if MX_SCAN_X86_64
    case StartCodeScan::kSse2:
      return scan_sse2;
    case StartCodeScan::kAvx2:
      return scan_avx2;
#endif
    default:
      return scan_scalar;
  }
}

StartCodeScan best_available() {
  if (start_code_scan_available(StartCodeScan::kAvx2)) return StartCodeScan::kAvx2;
  if (start_code_scan_available(StartCodeScan::kSse2)) return StartCodeScan::kSse2;
  return StartCodeScan::kScalar;
}

}  // namespace

bool start_code_scan_available(StartCodeScan scan) {
  switch (scan) {
    case StartCodeScan::kScalar:
      return true;
    case StartCodeScan::kSse2:
      return MX_SCAN_X86_64 != 0;
    case StartCodeScan::kAvx2:
#if MX_SCAN_X86_64
      // Also false when the system does not save the AVX registers.
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2") != 0;
#else
      return false;
#endif
  }
  return false;
}

StartCodeScan start_code_scan_in_use() {
  static const StartCodeScan chosen = best_available();
  return chosen;
}

const char* start_code_scan_name(StartCodeScan scan) {
  switch (scan) {
    case StartCodeScan::kScalar:
      return "scalar";
    case StartCodeScan::kSse2:
      return "SSE2";
    case StartCodeScan::kAvx2:
      return "AVX2";
  }
  return "?";
}

size_t find_start_code_prefix_by(StartCodeScan scan, const uint8_t* data, size_t size,
                                 size_t from) {
  return function_of(scan)(data, size, from);
}

size_t find_start_code_prefix(const uint8_t* data, size_t size, size_t from) {
  static const ScanFunction chosen = function_of(start_code_scan_in_use());
  return chosen(data, size, from);
}
