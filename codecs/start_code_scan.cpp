#include "codecs/start_code_scan.h"

#include <atomic>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MX_SCAN_X86_64 1
#include <immintrin.h>
#else
#define MX_SCAN_X86_64 0
#endif

namespace {

// A start code is kLength - 1 zero bytes and a 01. kWordMask tells the vector
// searches which 16-bit words to take as candidates (see below).
struct ThreeByteCode {
  static constexpr size_t kLength = 3;
  static constexpr uint16_t kWordMask = 0xFEFF;
};

struct FourByteCode {
  static constexpr size_t kLength = 4;
  static constexpr uint16_t kWordMask = 0xFFFF;
};

template <class Code>
bool code_at(const uint8_t* p) {
  for (size_t k = 0; k + 1 < Code::kLength; ++k)
    if (p[k] != 0) return false;
  return p[Code::kLength - 1] == 1;
}

// A code at i needs its last byte, data[i + n - 1], to be 1; one that begins
// at i + 1 to i + n - 1 needs that byte to be 0. Any larger byte there rules
// out all of them, and in coded data most bytes are larger.
template <class Code>
size_t scan_scalar(const uint8_t* data, size_t size, size_t from) {
  constexpr size_t n = Code::kLength;
  if (size < n) return size;
  for (size_t i = from; i <= size - n;) {
    const uint8_t last = data[i + n - 1];
    if (last > 1) {
      i += n;
    } else if (last == 1 && code_at<Code>(data + i)) {
      return i;
    } else {
      ++i;
    }
  }
  return size;
}

#if MX_SCAN_X86_64

// The vector searches read the bytes as 16-bit words, low byte first, aligned
// to the start of each load. Every start code shows in the word at its first
// byte or in the one at its second: a 00 00 01 as a word 00 00 or 00 01 (low
// byte 0, high byte 0 or 1: the word AND FEFF is zero), a 00 00 00 01 as a
// word 00 00. In coded data such words are rare, so the searches look only for
// them, a block of loads at a time through the minimum of its words, and
// confirm the few they find byte by byte. One load of n bytes at a shows
// every code that begins from a - 1 to a + n - 2.
//
// Both searches have the same shape: one unaligned load at from, then aligned
// loads from the first boundary past it (together they leave no start
// position out), a block of loads at a time while whole blocks fit, single
// loads after that, and one unaligned load that ends at the end of the data
// for the codes that begin from there on. A block that shows a candidate is
// confirmed load by load in a separate function, so that the hot loop keeps
// nothing for it.

constexpr size_t kNotFound = SIZE_MAX;

// The first code at or after from among candidate words of one load: bit b of
// words marks the word whose low byte is data[at + b]. A candidate starts a
// code at its low byte or at the byte before it.
template <class Code>
__attribute__((noinline)) size_t confirm_candidates(const uint8_t* data, size_t size, size_t from,
                                                    size_t at, uint64_t words) {
  constexpr size_t n = Code::kLength;
  for (; words != 0; words &= words - 1) {
    const size_t w = at + static_cast<size_t>(__builtin_ctzll(words));
    if (w > from && w - 1 + n <= size && code_at<Code>(data + w - 1)) return w - 1;
    if (w >= from && w + n <= size && code_at<Code>(data + w)) return w;
  }
  return kNotFound;
}

// Most loads have no candidate: they cost no call.
template <class Code>
inline size_t confirm(const uint8_t* data, size_t size, size_t from, size_t at, uint64_t words) {
  return words == 0 ? kNotFound : confirm_candidates<Code>(data, size, from, at, words);
}

// The first address past p that is a multiple of width (a power of two).
inline const uint8_t* first_boundary_after(const uint8_t* p, size_t width) {
  return p + (width - (reinterpret_cast<uintptr_t>(p) & (width - 1)));
}

// SSE2 has no unsigned 16-bit minimum; the signed one serves once the mask
// also clears each word's top bit, which lets words with that bit set through
// as candidates too, for the confirmation to turn down.
constexpr size_t kSse2Width = 16, kSse2Block = 16 * kSse2Width;

inline __m128i load_sse2(const uint8_t* p) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(p));
}

inline __m128i unaligned_sse2(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

template <class Code>
inline __m128i words_sse2(__m128i v) {
  return _mm_and_si128(v, _mm_set1_epi16(static_cast<short>(Code::kWordMask & 0x7FFF)));
}

// Bit b set: the word at byte b of v is a candidate.
template <class Code>
inline uint64_t candidates_sse2(__m128i v) {
  const __m128i hits = _mm_cmpeq_epi16(words_sse2<Code>(v), _mm_setzero_si128());
  return static_cast<uint32_t>(_mm_movemask_epi8(hits)) & 0x5555u;
}

template <class Code>
inline bool block_has_candidate_sse2(const uint8_t* p) {
  __m128i low = words_sse2<Code>(load_sse2(p));
#pragma GCC unroll 16
  for (size_t at = kSse2Width; at < kSse2Block; at += kSse2Width)
    low = _mm_min_epi16(low, words_sse2<Code>(load_sse2(p + at)));
  return _mm_movemask_epi8(_mm_cmpeq_epi16(low, _mm_setzero_si128())) != 0;
}

template <class Code>
__attribute__((noinline)) size_t confirm_block_sse2(const uint8_t* data, size_t size, size_t from,
                                                    size_t at) {
  for (size_t end = at + kSse2Block; at < end; at += kSse2Width) {
    const size_t found =
        confirm<Code>(data, size, from, at, candidates_sse2<Code>(load_sse2(data + at)));
    if (found != kNotFound) return found;
  }
  return kNotFound;
}

template <class Code>
size_t scan_sse2(const uint8_t* data, size_t size, size_t from) {
  if (from >= size || size - from < kSse2Width) return scan_scalar<Code>(data, size, from);
  size_t found =
      confirm<Code>(data, size, from, from, candidates_sse2<Code>(unaligned_sse2(data + from)));
  if (found != kNotFound) return found;
  const uint8_t* p = first_boundary_after(data + from, kSse2Width);
  const uint8_t* const last_block = size >= kSse2Block ? data + (size - kSse2Block) : data;
  for (; p <= last_block; p += kSse2Block) {
    if (!block_has_candidate_sse2<Code>(p)) continue;
    found = confirm_block_sse2<Code>(data, size, from, static_cast<size_t>(p - data));
    if (found != kNotFound) return found;
  }
  size_t i = static_cast<size_t>(p - data);
  for (; i + kSse2Width <= size; i += kSse2Width) {
    found = confirm<Code>(data, size, from, i, candidates_sse2<Code>(load_sse2(data + i)));
    if (found != kNotFound) return found;
  }
  if (i + Code::kLength - 1 <= size) {  // a code can still begin at i - 1
    const size_t last = size - kSse2Width;
    found =
        confirm<Code>(data, size, from, last, candidates_sse2<Code>(unaligned_sse2(data + last)));
    if (found != kNotFound) return found;
  }
  return size;
}

// The AVX2 search is built for processors that have it and only ever called on
// them. Its helpers carry the same target (a lambda would not, so there is
// none) and are always inlined: no 32-byte vector is passed through the stack,
// which 64-bit Windows aligns to 16 bytes only.
#define MX_AVX2 __attribute__((target("avx2")))
#define MX_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

constexpr size_t kAvx2Width = 32, kAvx2Block = 16 * kAvx2Width;

MX_AVX2_INLINE __m256i load_avx2(const uint8_t* p) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
}

MX_AVX2_INLINE __m256i unaligned_avx2(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The 4-byte code needs no mask: its words are compared as they are.
template <class Code>
MX_AVX2_INLINE __m256i words_avx2(__m256i v) {
  if constexpr (Code::kWordMask == 0xFFFF) {
    return v;
  } else {
    return _mm256_and_si256(v, _mm256_set1_epi16(static_cast<short>(Code::kWordMask)));
  }
}

template <class Code>
MX_AVX2_INLINE uint64_t candidates_avx2(__m256i v) {
  const __m256i hits = _mm256_cmpeq_epi16(words_avx2<Code>(v), _mm256_setzero_si256());
  return static_cast<uint32_t>(_mm256_movemask_epi8(hits)) & 0x55555555u;
}

template <class Code>
MX_AVX2_INLINE __m256i block_words_avx2(const uint8_t* p, size_t at) {
  return words_avx2<Code>(load_avx2(p + at));
}

// One chain of minimums: without a mask each step is a single instruction
// that also loads.
template <class Code>
MX_AVX2_INLINE bool block_has_candidate_avx2(const uint8_t* p) {
  __m256i low = block_words_avx2<Code>(p, 0);
#pragma GCC unroll 16
  for (size_t at = kAvx2Width; at < kAvx2Block; at += kAvx2Width)
    low = _mm256_min_epu16(low, block_words_avx2<Code>(p, at));
  const __m256i zero_words = _mm256_cmpeq_epi16(low, _mm256_setzero_si256());
  return !_mm256_testz_si256(zero_words, zero_words);
}

template <class Code>
MX_AVX2 __attribute__((noinline)) size_t confirm_block_avx2(const uint8_t* data, size_t size,
                                                            size_t from, size_t at) {
  for (size_t end = at + kAvx2Block; at < end; at += kAvx2Width) {
    const size_t found =
        confirm<Code>(data, size, from, at, candidates_avx2<Code>(load_avx2(data + at)));
    if (found != kNotFound) return found;
  }
  return kNotFound;
}

template <class Code>
MX_AVX2 size_t scan_avx2(const uint8_t* data, size_t size, size_t from) {
  if (from >= size || size - from < kAvx2Width) return scan_scalar<Code>(data, size, from);
  size_t found =
      confirm<Code>(data, size, from, from, candidates_avx2<Code>(unaligned_avx2(data + from)));
  if (found != kNotFound) return found;
  const uint8_t* p = first_boundary_after(data + from, kAvx2Width);
  const uint8_t* const last_block = size >= kAvx2Block ? data + (size - kAvx2Block) : data;
  for (; p <= last_block; p += kAvx2Block) {
    if (!block_has_candidate_avx2<Code>(p)) continue;
    found = confirm_block_avx2<Code>(data, size, from, static_cast<size_t>(p - data));
    if (found != kNotFound) return found;
  }
  size_t i = static_cast<size_t>(p - data);
  for (; i + kAvx2Width <= size; i += kAvx2Width) {
    found = confirm<Code>(data, size, from, i, candidates_avx2<Code>(load_avx2(data + i)));
    if (found != kNotFound) return found;
  }
  if (i + Code::kLength - 1 <= size) {  // a code can still begin at i - 1
    const size_t last = size - kAvx2Width;
    found =
        confirm<Code>(data, size, from, last, candidates_avx2<Code>(unaligned_avx2(data + last)));
    if (found != kNotFound) return found;
  }
  return size;
}

#endif  // MX_SCAN_X86_64

using ScanFunction = size_t (*)(const uint8_t*, size_t, size_t);

struct Searches {
  ScanFunction prefix;
  ScanFunction four_byte;
};

Searches searches_of(StartCodeScan scan) {
  if (start_code_scan_available(scan)) {
    switch (scan) {
#if MX_SCAN_X86_64
      case StartCodeScan::kSse2:
        return {scan_sse2<ThreeByteCode>, scan_sse2<FourByteCode>};
      case StartCodeScan::kAvx2:
        return {scan_avx2<ThreeByteCode>, scan_avx2<FourByteCode>};
#endif
      default:
        break;
    }
  }
  return {scan_scalar<ThreeByteCode>, scan_scalar<FourByteCode>};
}

StartCodeScan best_available() {
  if (start_code_scan_available(StartCodeScan::kAvx2)) return StartCodeScan::kAvx2;
  if (start_code_scan_available(StartCodeScan::kSse2)) return StartCodeScan::kSse2;
  return StartCodeScan::kScalar;
}

// Each search is called through a pointer that first leads to a function
// which makes the choice, points the pointer at the chosen search and runs
// it: after the first call a search costs one indirect jump, and no search
// depends on the order in which the libraries' initialisers run.
size_t choose_prefix_search(const uint8_t* data, size_t size, size_t from);
size_t choose_four_byte_search(const uint8_t* data, size_t size, size_t from);

std::atomic<ScanFunction> prefix_search{choose_prefix_search};
std::atomic<ScanFunction> four_byte_search{choose_four_byte_search};

size_t choose_prefix_search(const uint8_t* data, size_t size, size_t from) {
  const ScanFunction chosen = searches_of(start_code_scan_in_use()).prefix;
  prefix_search.store(chosen, std::memory_order_relaxed);
  return chosen(data, size, from);
}

size_t choose_four_byte_search(const uint8_t* data, size_t size, size_t from) {
  const ScanFunction chosen = searches_of(start_code_scan_in_use()).four_byte;
  four_byte_search.store(chosen, std::memory_order_relaxed);
  return chosen(data, size, from);
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

size_t find_start_code_prefix(const uint8_t* data, size_t size, size_t from) {
  return prefix_search.load(std::memory_order_relaxed)(data, size, from);
}

size_t find_four_byte_start_code(const uint8_t* data, size_t size, size_t from) {
  return four_byte_search.load(std::memory_order_relaxed)(data, size, from);
}

size_t find_start_code_prefix_by(StartCodeScan scan, const uint8_t* data, size_t size,
                                 size_t from) {
  return searches_of(scan).prefix(data, size, from);
}

size_t find_four_byte_start_code_by(StartCodeScan scan, const uint8_t* data, size_t size,
                                    size_t from) {
  return searches_of(scan).four_byte(data, size, from);
}
