// libFuzzer target for what mxmux reads back from MP4-family files: the
// --dump listing and the --faststart planner. Any input must give a listing
// and either a refusal or a plan whose movie box parses back, without
// touching memory outside the input.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "isobox/box_reader.h"
#include "mxmux/files/dump.h"
#include "mxmux/files/faststart.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  iso::ParseOptions options;
  options.max_boxes = 200000;
  std::string listing = mxmux::dump_text(iso::parse(bytes, options));
  if (size > 0 && listing.empty()) __builtin_trap();

  // The planner reads the file through a descriptor.
  int fd = memfd_create("faststart", 0);
  if (fd < 0) return 0;
  if (write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  std::vector<mxmux::faststart::TopBox> boxes;
  std::string error;
  if (mxmux::faststart::scan(fd, size, boxes, error)) {
    std::vector<uint8_t> moov;
    for (const auto& box : boxes) {
      if (box.type == "moov") moov.assign(data + box.offset, data + box.offset + box.size);
    }
    mxmux::faststart::Plan plan;
    if (mxmux::faststart::plan(boxes, moov, plan, error)) {
      // The new movie box tiles exactly and the pieces add up.
      iso::Tree tree = iso::parse(plan.moov);
      if (tree.boxes.size() != 1 || tree.boxes[0].size != plan.moov.size()) __builtin_trap();
      uint64_t total = 0;
      for (const auto& piece : plan.pieces) total += piece.size;
      if (total != plan.output_size) __builtin_trap();
    } else if (error.empty()) {
      __builtin_trap();
    }
  } else if (error.empty()) {
    __builtin_trap();
  }
  close(fd);
  return 0;
}
