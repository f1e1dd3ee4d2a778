// Time conversions shared by the movie, track and media headers.
#pragma once

#include <cstdint>

#include "output/mux.h"

constexpr uint32_t kMovieTimescale = 1000;  // every movie-level time is in milliseconds

// A track's duration in its own units. It is accumulated from host-given
// durations; a value that went below zero is read as 0, never as a huge count.
inline uint64_t track_duration(const MuxTrack* t) {
  int64_t d = static_cast<int64_t>(t->duration);
  return d > 0 ? static_cast<uint64_t>(d) : 0;
}

// truncate(duration × 1000.0 ÷ timescale) in double precision. A time scale of
// 0 gives 0 instead of a division by zero; a result beyond 64 bits saturates.
inline uint64_t to_movie_time(uint64_t duration, uint32_t timescale) {
  if (timescale == 0) return 0;
  double ms = static_cast<double>(static_cast<int64_t>(duration)) * 1000.0 / timescale;
  if (!(ms > 0)) return 0;
  if (ms >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(ms);
}

// Headers carry 32-bit times unless a value would wrap; then their version-1
// form with 64-bit times is written.
inline bool needs_64_bits(uint64_t v) {
  return v > 0xFFFFFFFFull;
}

// A time field of a header: 64 bits in the version-1 form, else 32.
inline void put_time(ByteWriter* w, bool wide, uint64_t v) {
  if (wide) {
    put_be64(w, v);
  } else {
    put_be32(w, static_cast<uint32_t>(v));
  }
}
