#include "mxmux/bytes.h"

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
  buffer_.resize(kInitialWindow);
  window_ = window_end_ = buffer_.data();
  return true;
}

void ByteSource::open_memory(const uint8_t* data, size_t size, const std::string& name) {
  name_ = name;
  memory_ = data;
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
  size_t have = avail();
  if (want > kMaxWindow) {
    error_ = fail(window_pos_,
                  "a single frame is larger than " + std::to_string(kMaxWindow >> 20) + " MiB");
    return false;
  }
  uint8_t* base = buffer_.data();
  size_t free_tail = buffer_.size() - static_cast<size_t>(window_end_ - base);
  if (free_tail < kReadChunk / 4 || free_tail + have < want) {
    // Slide the window to the front; grow when it still does not fit.
    if (window_ != base) {
      std::memmove(base, window_, have);
      window_ = base;
      window_end_ = base + have;
    }
    size_t need = want > have + kReadChunk ? want : have + kReadChunk;
    if (need > buffer_.size()) {
      size_t grown = buffer_.size();
      while (grown < need) grown *= 2;
      if (grown > kMaxWindow + kReadChunk) grown = kMaxWindow + kReadChunk;
      std::vector<uint8_t> bigger(grown);
      std::memcpy(bigger.data(), window_, have);
      buffer_.swap(bigger);
      window_ = buffer_.data();
      window_end_ = window_ + have;
    }
    base = buffer_.data();
    free_tail = buffer_.size() - have;
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
    window_ = window_end_ = buffer_.data();
  }
}

uint32_t BitReader::bits(int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) {
    uint64_t byte = pos_ >> 3;
    uint32_t bit = 0;
    if (byte < static_cast<uint64_t>(end_ - p_)) {
      bit = (p_[byte] >> (7 - (pos_ & 7))) & 1;
    } else {
      overrun_ = true;
    }
    v = (v << 1) | bit;
    ++pos_;
  }
  return v;
}

void BitReader::skip(uint64_t n) {
  uint64_t total = static_cast<uint64_t>(end_ - p_) * 8;
  if (n > total || pos_ > total - n) overrun_ = true;
  pos_ += n;
  if (pos_ > total + 64) pos_ = total + 64;  // keep later arithmetic bounded
}

uint32_t BitReader::ue() {
  int zeros = 0;
  while (bits(1) == 0) {
    if (overrun_ || ++zeros > 31) {
      overrun_ = true;
      return 0;
    }
  }
  if (zeros == 0) return 0;
  uint64_t v = (uint64_t{1} << zeros) - 1 + bits(zeros);
  if (v > 0x7FFFFFFF) {
    overrun_ = true;
    return 0;
  }
  return static_cast<uint32_t>(v);
}

int32_t BitReader::se() {
  uint32_t k = ue();
  return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
}

void unescape_rbsp(const uint8_t* p, const uint8_t* end, size_t limit, std::vector<uint8_t>& out) {
  out.clear();
  int zeros = 0;
  for (; p < end && out.size() < limit; ++p) {
    if (zeros >= 2 && *p == 3) {
      zeros = 0;
      continue;
    }
    zeros = *p == 0 ? zeros + 1 : 0;
    out.push_back(*p);
  }
}

}  // namespace mxmux
