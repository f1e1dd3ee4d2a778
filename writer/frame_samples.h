// Samples held by one compressed audio frame, read from the frame's own header
// where the codec says it there. The frame intake uses them for the last,
// shorter frame of a stream: counting it as a whole frame would make the file
// last longer than its source.
#pragma once

#include <cstddef>
#include <cstdint>

// A FLAC frame's block size from its frame header; 0 when the bytes do not
// start with a frame header whose block size can be read.
uint32_t flac_frame_samples(const uint8_t* frame, size_t size);

// The sample count an ALAC frame states when it is partial (shorter than the
// stream's frame length); 0 for a full frame or bytes that cannot be read.
uint32_t alac_frame_samples(const uint8_t* frame, size_t size);
