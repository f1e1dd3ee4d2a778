// Recovery of a file that a crash left as fragments (written with
// MX_WRITE_RESILIENT): the file is examined without a byte changed, then
// finished in place in the order the plug-in's close uses, each step synced,
// so that a crash during recovery leaves a file that plays:
//   0. what follows the last complete fragment is cut off;
//   1. the rebuilt movie box is appended;
//   2. the head's room (the free box behind ftyp) grows over everything up
//      to it;
//   3. the head and every moof are renamed free;
//   4. the head's room shrinks back to its own size.
// A file whose own finalising (or an earlier recovery) stopped after step 1,
// 2 or 3 is finished from there. See docs/resilient-files.md.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mxmux::recover {

// How far a file's finalising got.
enum class Stage {
  kFragments,      // the head and its fragments; nothing appended
  kMovieAppended,  // step 1 done: the complete movie box ends the file
  kRoomGrown,      // step 2 done, perhaps some of step 3
};

struct Examination {
  Stage stage = Stage::kFragments;
  uint64_t file_size = 0;
  uint64_t room = 0;               // the head's room: its first byte
  uint64_t head = 0;               // the head's first byte
  uint64_t fragments_end = 0;      // the end of the last complete fragment
  uint64_t movie = 0;              // where the movie box is (or goes)
  size_t fragments = 0;            // complete fragments (kFragments)
  size_t tracks = 0;               // tracks with samples (kFragments)
  std::vector<uint8_t> movie_box;  // the rebuilt movie box (kFragments)

  // Bytes behind the last complete fragment, which step 0 cuts off.
  uint64_t cut() const { return stage == Stage::kFragments ? file_size - fragments_end : 0; }
};

// Reads the open file (`size` bytes) and decides what recovery does. False
// with the reason when the file is no such file (not MP4/QuickTime, a plain
// file, a finished one, a head that does not parse, no complete fragment).
bool examine(int fd, uint64_t size, Examination& out, std::string& error);

// Finishes the file as examined. `stop_after` (1 to 3) stops after that step
// (for tests of an interrupted recovery); 0 runs every step. False with the
// reason when a write or a sync fails, or when the stop was asked for.
bool finish(int fd, const Examination& e, int stop_after, std::string& error);

}  // namespace mxmux::recover
