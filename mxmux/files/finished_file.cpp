#include "mxmux/files/finished_file.h"

#include <cerrno>

#include "mxmux/byte_order.h"
#include "mxmux/files/output_file.h"
#include "mxmux/system.h"

namespace mxmux {

namespace {

// Reads one box header at `pos` of a file of `size` bytes; false when it is
// cut off or does not fit.
bool box_at(int fd, uint64_t pos, uint64_t end, uint64_t& box, std::string& type,
            uint8_t (&h)[16]) {
  int64_t got = sys::read_at(fd, h, sizeof h, pos);
  if (got < 8) return false;
  box = be32(h);
  if (box == 1 && got >= 16) box = (uint64_t{be32(h + 8)} << 32) | be32(h + 12);
  type.assign(reinterpret_cast<const char*>(h + 4), 4);
  return box >= 8 && box <= end - pos;
}

int count_tracks(int fd, uint64_t moov, uint64_t moov_size, uint64_t header) {
  int tracks = 0;
  for (uint64_t child = moov + header, end = moov + moov_size, child_size = 0; child < end;
       child += child_size) {
    std::string child_type;
    uint8_t ch[16];
    if (!box_at(fd, child, end, child_size, child_type, ch)) break;
    tracks += child_type == "trak";
  }
  return tracks;
}

}  // namespace

bool inspect_finished_file(const std::string& path, FileFacts& facts, std::string& problem) {
  int fd = sys::open_read(path);
  if (fd < 0) {
    problem = "cannot reopen it: " + system_reason(errno);
    return false;
  }
  sys::FileKind kind = sys::FileKind::kOther;
  uint64_t size = 0, pos = 0;
  sys::file_info(fd, kind, size);
  facts.size = size;
  bool ftyp = false, moov = false, mdat = false;
  int index = 0;
  while (pos < size) {
    uint8_t h[16];
    uint64_t box = 0;
    std::string type;
    if (!box_at(fd, pos, size, box, type, h)) {
      problem = "the box at byte " + std::to_string(pos) + " does not fit the file";
      sys::close(fd);
      return false;
    }
    if (index == 0 && type != "ftyp") break;
    if (type == "ftyp" && box >= 12) facts.brand.assign(reinterpret_cast<const char*>(h + 8), 4);
    if (type == "moov") facts.tracks += count_tracks(fd, pos, box, be32(h) == 1 ? 16 : 8);
    ftyp |= type == "ftyp";
    moov |= type == "moov";
    mdat |= type == "mdat";
    pos += box;
    ++index;
  }
  sys::close(fd);
  if (!ftyp || !moov || !mdat) {
    problem = !ftyp   ? "it does not start with a file-type box"
              : !moov ? "it has no movie box"
                      : "it has no media data";
    return false;
  }
  return true;
}

}  // namespace mxmux
