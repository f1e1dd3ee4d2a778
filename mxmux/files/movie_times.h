// Pinning the times a finished file records, for reproducible output: the
// plug-in stamps its movie, track and media headers with the current time;
// mxmux --creation-time replaces those stamps afterwards, in place.
#pragma once

#include <cstdint>
#include <string>

namespace mxmux {

// Seconds from 1904-01-01 (the file's epoch) to 1970-01-01.
constexpr int64_t kSeconds1904To1970 = 2082844800;

// Sets the creation and modification times of mvhd and of every track's tkhd
// and mdhd to seconds_since_1970. False, with the reason, when the file has no
// readable movie box or cannot be rewritten.
bool set_movie_times(const std::string& path, int64_t seconds_since_1970, std::string& problem);

}  // namespace mxmux
