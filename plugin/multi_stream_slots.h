// Internals of the multi-stream slots that tests reach.
#pragma once

#include <cstdint>

#include "mx_mp4/host.h"

// The lookup that InitMediaFileMultiStream uses to find the single-stream
// entry for a file code. Tests put a fake single-stream descriptor behind it
// to watch what the multi-stream layer hands on; null restores the real table.
using SingleStreamLookupFn = FormatDescriptor* (*)(uint32_t file_fourcc);
void set_single_stream_lookup(SingleStreamLookupFn lookup);
