// What a finished file's top-level boxes say about it: whether they tile the
// file as a complete movie does, and the facts the summary line gives.
#pragma once

#include <cstdint>
#include <string>

namespace mxmux {

struct FileFacts {
  std::string brand;  // ftyp's major brand
  int tracks = 0;     // trak boxes in moov
  uint64_t size = 0;
};

// Checks that the boxes tile the file exactly, start with ftyp and include
// moov and mdat. False with the problem otherwise.
bool inspect_finished_file(const std::string& path, FileFacts& facts, std::string& problem);

}  // namespace mxmux
