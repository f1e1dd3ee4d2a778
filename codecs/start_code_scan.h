// Finding start codes in Annex-B byte streams: the searches that the plug-in's
// Annex-B conversion and mxmux's stream readers run over every byte of every
// frame, so they decide what a large frame costs beyond copying it.
//
// Three implementations find exactly the same positions: a scalar loop, and
// on x86-64 an SSE2 one (every such processor has it) and an AVX2 one. The
// fastest the processor offers is chosen once, on the first search.
#pragma once

#include <cstddef>
#include <cstdint>

enum class StartCodeScan : uint8_t { kScalar, kSse2, kAvx2 };

// Position of the first 00 00 01 that begins at or after from and ends within
// size bytes, or size when there is none.
size_t find_start_code_prefix(const uint8_t* data, size_t size, size_t from);

// The same for the 4-byte start code 00 00 00 01.
size_t find_four_byte_start_code(const uint8_t* data, size_t size, size_t from);

// The same searches by one implementation. One the processor lacks (see
// start_code_scan_available) runs the scalar loop instead.
size_t find_start_code_prefix_by(StartCodeScan scan, const uint8_t* data, size_t size, size_t from);
size_t find_four_byte_start_code_by(StartCodeScan scan, const uint8_t* data, size_t size,
                                    size_t from);

bool start_code_scan_available(StartCodeScan scan);

// The implementation the searches use on this processor.
StartCodeScan start_code_scan_in_use();

const char* start_code_scan_name(StartCodeScan scan);
