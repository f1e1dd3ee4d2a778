#include "mxmux/files/movie_times.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "mxmux/byte_order.h"
#include "mxmux/system.h"

namespace mxmux {

namespace {

struct Box {
  uint64_t start;  // of the header
  uint64_t body;   // offset of the payload
  uint64_t end;
  char type[5];
};

// Reads the box header at pos of [0, limit) from the buffer; false when it
// does not fit.
bool box_at(const std::vector<uint8_t>& bytes, uint64_t pos, uint64_t limit, Box& box) {
  if (limit - pos < 8) return false;
  const uint8_t* h = bytes.data() + pos;
  uint64_t size = be32(h);
  uint64_t header = 8;
  if (size == 1) {
    if (limit - pos < 16) return false;
    size = (uint64_t{be32(h + 8)} << 32) | be32(h + 12);
    header = 16;
  }
  if (size < header || size > limit - pos) return false;
  box = {pos, pos + header, pos + size, {}};
  std::memcpy(box.type, h + 4, 4);
  return true;
}

void put_be(uint8_t* p, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) p[i] = static_cast<uint8_t>(value);
}

// A full box whose payload starts with version and flags, then the creation
// and modification times: 32-bit in version 0, 64-bit in version 1.
void set_times(std::vector<uint8_t>& bytes, const Box& box, uint64_t time) {
  if (box.end - box.body < 4) return;
  int width = bytes[box.body] == 1 ? 8 : 4;
  if (box.end - box.body < 4 + 2u * width) return;
  put_be(&bytes[box.body + 4], time, width);
  put_be(&bytes[box.body + 4 + width], time, width);
}

// Visits the children of [from, to) in the buffer.
template <typename Visit>
void for_each_child(const std::vector<uint8_t>& bytes, uint64_t from, uint64_t to, Visit visit) {
  Box box;
  for (uint64_t pos = from; pos < to && box_at(bytes, pos, to, box); pos = box.end) visit(box);
}

}  // namespace

bool set_movie_times(const std::string& path, int64_t seconds_since_1970, std::string& problem) {
  const uint64_t time = static_cast<uint64_t>(seconds_since_1970 + kSeconds1904To1970);
  int fd = sys::open_update(path);
  if (fd < 0) {
    problem = std::string("cannot reopen it: ") + std::strerror(errno);
    return false;
  }
  sys::FileKind kind = sys::FileKind::kOther;
  uint64_t size = 0;
  sys::file_info(fd, kind, size);
  // Find the movie box among the top-level boxes.
  uint64_t moov_pos = 0, moov_size = 0;
  for (uint64_t pos = 0; size - pos >= 8;) {
    uint8_t h[16];
    int64_t got = sys::read_at(fd, h, sizeof h, pos);
    if (got < 8) break;
    uint64_t box_size = be32(h);
    if (box_size == 1) {
      if (got < 16) break;
      box_size = (uint64_t{be32(h + 8)} << 32) | be32(h + 12);
    }
    if (box_size < 8 || box_size > size - pos) break;
    if (std::memcmp(h + 4, "moov", 4) == 0) {
      moov_pos = pos;
      moov_size = box_size;
      break;
    }
    pos += box_size;
  }
  if (moov_size == 0 || moov_size > (uint64_t{64} << 20)) {
    sys::close(fd);
    problem = "no movie box";
    return false;
  }
  std::vector<uint8_t> moov(static_cast<size_t>(moov_size));
  if (sys::read_at(fd, moov.data(), moov.size(), moov_pos) != static_cast<int64_t>(moov.size())) {
    sys::close(fd);
    problem = "cannot read the movie box";
    return false;
  }
  Box root;
  box_at(moov, 0, moov.size(), root);
  for_each_child(moov, root.body, root.end, [&](const Box& child) {
    if (std::memcmp(child.type, "mvhd", 4) == 0) set_times(moov, child, time);
    if (std::memcmp(child.type, "trak", 4) != 0) return;
    for_each_child(moov, child.body, child.end, [&](const Box& part) {
      if (std::memcmp(part.type, "tkhd", 4) == 0) set_times(moov, part, time);
      if (std::memcmp(part.type, "mdia", 4) != 0) return;
      for_each_child(moov, part.body, part.end, [&](const Box& media) {
        if (std::memcmp(media.type, "mdhd", 4) == 0) set_times(moov, media, time);
      });
    });
  });
  bool written = sys::write_at(fd, moov.data(), moov.size(), moov_pos);
  if (!written) problem = std::string("cannot write: ") + std::strerror(errno);
  sys::close(fd);
  return written;
}

}  // namespace mxmux
