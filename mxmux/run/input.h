// An input stream of a run: its file, the byte source and reader over it,
// and how much of it has been handed to the plug-in.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "mxmux/readers/byte_source.h"
#include "mxmux/readers/reader.h"

namespace mxmux {

struct Input {
  std::string path;
  ByteSource src;
  std::unique_ptr<Reader> reader;
  uint64_t frames = 0;
  uint64_t samples = 0;
};

}  // namespace mxmux
