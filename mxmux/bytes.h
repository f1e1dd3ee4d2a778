// Input plumbing shared by the stream readers: a windowed byte source over a
// file or a memory block, a bounded bit reader, and the error record every
// reader reports through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mxmux/system.h"

namespace mxmux {

// What went wrong, where. offset is a byte offset into `file`.
struct Error {
  std::string file;
  uint64_t offset = 0;
  std::string message;
  bool has_offset = true;

  bool set() const { return !message.empty(); }
  std::string text() const;
};

// A sliding window over an input. Readers look at data()..data()+avail(),
// which starts at file offset pos(); ensure() pulls more bytes in, consume()
// lets go of bytes at the front.
//
// Every input (file, pipe, terminal) is read into one buffer, allocated once
// and reused, in reads of several MiB; it grows only when a single unit (a
// frame, or the frames a reader holds back) needs more room than it has.
// Mapping the file instead saves the copy out of the page cache but pays a
// page fault for every few pages, which costs more than the copy on the
// virtual machines measured, and twice as much for 1080p streams.
class ByteSource {
 public:
  ByteSource() = default;
  ~ByteSource();
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  bool open_file(const std::string& path, Error& error);
  // The block must outlive the source.
  void open_memory(const uint8_t* data, size_t size, const std::string& name);

  const uint8_t* data() const { return window_; }
  size_t avail() const { return window_end_ - window_; }
  uint64_t pos() const { return window_pos_; }
  uint64_t size() const { return size_; }
  const std::string& name() const { return name_; }
  // Bytes handed to the readers so far (for progress).
  uint64_t bytes_read() const { return window_pos_ + avail(); }

  // Tries to have at least n bytes in the window. False when the input ends
  // first, or when n exceeds the window limit (error() then says so).
  bool ensure(size_t n);
  // Brings more input into the window. False at the end of the input.
  bool more();
  void consume(size_t n);
  bool at_end() const { return eof_ && window_ == window_end_; }
  // A read error or an oversized unit, if any.
  const Error& error() const { return error_; }

  // The window bytes from file offset `offset` on, for a caller that writes
  // into them (the plug-in rewrites start codes in place); the writes stay in
  // the buffer and never reach the input. Valid until the window moves (the
  // next ensure() or more()) or until the bytes are consumed.
  uint8_t* writable(uint64_t offset) { return window_ + (offset - window_pos_); }

  Error fail(uint64_t offset, const std::string& message) const;

  // Upper bound on the window: one unit larger than this is refused.
  static constexpr size_t kMaxWindow = size_t{512} << 20;

 private:
  bool fill(size_t want);
  bool fill_buffer(size_t want);

  std::string name_;
  int fd_ = -1;
  uint64_t size_ = 0;
  bool eof_ = false;
  // File inputs: the reused buffer the window lies in.
  sys::Buffer buffer_;
  size_t buffer_size_ = 0;
  uint8_t* window_ = nullptr;
  uint8_t* window_end_ = nullptr;
  uint64_t window_pos_ = 0;
  Error error_;
};

// Most-significant-bit-first reader over [p, end). Reading past the end sets
// overrun() and yields zeros; callers check overrun() once per header.
class BitReader {
 public:
  BitReader(const uint8_t* p, const uint8_t* end) : p_(p), end_(end) {}

  uint32_t bits(int n);  // n <= 32
  bool flag() { return bits(1) != 0; }
  void skip(uint64_t n);
  uint32_t ue();  // Exp-Golomb, values above 2^31 mark an overrun
  int32_t se();
  bool overrun() const { return overrun_; }
  uint64_t bit_pos() const { return pos_; }
  bool byte_aligned() const { return (pos_ & 7) == 0; }
  uint64_t bits_left() const {
    uint64_t total = static_cast<uint64_t>(end_ - p_) * 8;
    return pos_ >= total ? 0 : total - pos_;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t pos_ = 0;
  bool overrun_ = false;
};

// Position of the first pair of zero bytes (p[s] == p[s + 1] == 0) at or
// after from, or size when there is none. Start codes begin with one and coded
// data holds few, so a start-code search that looks only for them can skip
// everything else in large steps.
size_t find_zero_pair(const uint8_t* p, size_t size, size_t from);

// Copies a NAL unit payload with emulation-prevention bytes (00 00 03)
// removed, at most `limit` output bytes (headers sit at the front).
void unescape_rbsp(const uint8_t* p, const uint8_t* end, size_t limit, std::vector<uint8_t>& out);
// The same into out[0 .. limit); returns the bytes written.
size_t unescape_rbsp(const uint8_t* p, const uint8_t* end, uint8_t* out, size_t limit);

inline uint32_t be16(const uint8_t* p) {
  return (uint32_t{p[0]} << 8) | p[1];
}
inline uint32_t be24(const uint8_t* p) {
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}
inline uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint32_t le16(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8);
}
inline uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint64_t le64(const uint8_t* p) {
  return le32(p) | (uint64_t{le32(p + 4)} << 32);
}

}  // namespace mxmux
