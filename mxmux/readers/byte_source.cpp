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

namespace {

constexpr size_t kInitialWindow = size_t{16} << 20;
constexpr size_t kReadChunk = size_t{4} << 20;

}  // namespace

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
  // Not zeroed: every byte is read into before it is looked at.
  buffer_.reset(sys::allocate_buffer(kInitialWindow));
  buffer_size_ = kInitialWindow;
  window_ = window_end_ = buffer_.get();
  return true;
}

void ByteSource::open_memory(const uint8_t* data, size_t size, const std::string& name) {
  name_ = name;
  size_ = size;
  // const_cast: the window type is mutable because file windows are handed to
  // the plug-in, which rewrites start codes in place. Memory sources are only
  // used by tests and the fuzzer, whose readers never pass through the plug-in.
  window_ = const_cast<uint8_t*>(data);
  window_end_ = window_ + size;
  eof_ = true;
}

Error ByteSource::fail(uint64_t offset, const std::string& message) const {
  return Error{name_, offset, message, true};
}

bool ByteSource::fill(size_t want) {
  if (eof_ || error_.set()) return false;
  if (want > kMaxWindow) {
    error_ = fail(window_pos_,
                  "a single frame is larger than " + std::to_string(kMaxWindow >> 20) + " MiB");
    return false;
  }
  return fill_buffer(want);
}

bool ByteSource::fill_buffer(size_t want) {
  size_t have = avail();
  uint8_t* base = buffer_.get();
  size_t free_tail = buffer_size_ - static_cast<size_t>(window_end_ - base);
  if (free_tail < kReadChunk / 4 || free_tail + have < want) {
    // Slide the window to the front; grow only when it still does not fit.
    if (window_ != base) {
      std::memmove(base, window_, have);
      window_ = base;
      window_end_ = base + have;
    }
    size_t need = want > have + kReadChunk ? want : have + kReadChunk;
    if (need > buffer_size_) {
      size_t grown = buffer_size_;
      while (grown < need) grown *= 2;
      if (grown > kMaxWindow + kReadChunk) grown = kMaxWindow + kReadChunk;
      sys::Buffer bigger(sys::allocate_buffer(grown));
      std::memcpy(bigger.get(), window_, have);
      buffer_ = std::move(bigger);
      buffer_size_ = grown;
      window_ = buffer_.get();
      window_end_ = window_ + have;
    }
    free_tail = buffer_size_ - have;
  }
  while (true) {
    int64_t got = sys::read(fd_, window_end_, free_tail);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error_ = Error{name_, window_pos_ + have, std::strerror(errno), true};
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
  if (fd_ >= 0 && window_ == window_end_) {
    window_ = window_end_ = buffer_.get();
  }
}

}  // namespace mxmux
