#include "mxmux/readers/byte_source.h"

#include <cerrno>
#include <cstring>

#include "mxmux/system.h"

namespace mxmux {

std::string Error::text() const {
  std::string out = file;
  if (has_offset) out += ": at byte " + std::to_string(offset);
  out += ": " + message;
  return out;
}

ByteSource::~ByteSource() {
  if (fd_ >= 0) sys::close(fd_);
}

bool ByteSource::open_file(const std::string& path, Error& error) {
  name_ = path;
  fd_ = sys::open_read(path);
  if (fd_ < 0) {
    error = Error{path, 0, std::strerror(errno), false};
    return false;
  }
  sys::FileKind kind = sys::FileKind::kOther;
  if (!sys::file_info(fd_, kind, size_) || kind == sys::FileKind::kDirectory) {
    error =
        Error{path, 0, kind == sys::FileKind::kDirectory ? "is a directory" : std::strerror(errno),
              false};
    return false;
  }
  sys::advise_sequential(fd_);
  // A small file gets a buffer of twice its size and a little more, which
  // holds all of it with room to spare, instead of pages it would never use
  // (the audio beside a large video, for one).
  const uint64_t enough = 2 * size_ + (uint64_t{64} << 10);
  if (kind == sys::FileKind::kRegular && enough < window_size_) window_size_ = enough;
  memory_ = sys::WindowMemory(kHeadroom + window_size_, ring_);
  window_ = window_end_ = memory_.data() + kHeadroom;
  return true;
}

void ByteSource::open_memory(const uint8_t* data, size_t size, const std::string& name) {
  name_ = name;
  size_ = size;
  memory_ = sys::WindowMemory(kHeadroom + size, false);
  window_ = memory_.data() + kHeadroom;
  if (size > 0) std::memcpy(window_, data, size);
  window_end_ = window_ + size;
  eof_ = true;
}

Error ByteSource::fail(uint64_t offset, const std::string& message) const {
  return Error{name_, offset, message, true};
}

bool ByteSource::fill(size_t want) {
  if (eof_ || error_.set()) return false;
  if (want <= kMaxWindow) {
    // Too little room left for a read worth its call: the window moves to the
    // front or into a larger buffer.
    if (room() < window_size_ / 16 || avail() + room() < want) make_room(want);
    if (room() > 0) return fill_buffer();
  }
  error_ = fail(window_pos_,
                "a single frame is larger than " + std::to_string(kMaxWindow >> 20) + " MiB");
  return false;
}

size_t ByteSource::room() const {
  if (memory_.mirrored()) return capacity() - avail();
  return static_cast<size_t>(memory_.data() + memory_.size() - window_end_);
}

void ByteSource::make_room(size_t want) {
  const size_t have = avail();
  const size_t read_size = window_size_ / 4;  // at least
  const size_t need = want > have + read_size ? want : have + read_size;
  uint8_t* const front = memory_.data() + kHeadroom;
  if (need > capacity()) {
    size_t grown = capacity();
    while (grown < need) grown *= 2;
    if (grown > kMaxWindow + read_size) grown = kMaxWindow + read_size;
    sys::WindowMemory bigger(kHeadroom + grown, memory_.mirrored());
    std::memcpy(bigger.data() + kHeadroom, window_, have);
    memory_ = std::move(bigger);
    window_ = memory_.data() + kHeadroom;
    window_end_ = window_ + have;
  } else if (!memory_.mirrored() && window_ != front) {
    std::memmove(front, window_, have);
    window_ = front;
    window_end_ = front + have;
  }
}

bool ByteSource::fill_buffer() {
  while (true) {
    int64_t got = sys::read(fd_, window_end_, room());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error_ = Error{name_, window_pos_ + avail(), std::strerror(errno), true};
      return false;
    }
    if (got == 0) {
      eof_ = true;
      return false;
    }
    window_end_ += got;
    return true;
  }
}

bool ByteSource::ensure(size_t n) {
  while (avail() < n) {
    if (!fill(n)) return avail() >= n;
  }
  return true;
}

bool ByteSource::more() {
  size_t before = avail();
  while (avail() == before) {
    if (!fill(before + 1)) return false;
  }
  return true;
}

void ByteSource::consume(size_t n) {
  if (n > avail()) n = avail();
  window_ += n;
  window_pos_ += n;
  uint8_t* const front = memory_.data() + kHeadroom;
  if (window_ == window_end_) {
    window_ = window_end_ = front;
  } else if (memory_.mirrored() && window_ >= front + memory_.size()) {
    // The same bytes, one turn of the ring earlier.
    window_ -= memory_.size();
    window_end_ -= memory_.size();
  }
}

}  // namespace mxmux
