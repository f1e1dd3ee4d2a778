// The input every stream reader reads through: a windowed byte source over a
// file or a memory block, and the error record every reader reports through.
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
// Where the system can map memory twice (sys::WindowMemory), the buffer is a
// ring whose window runs on around the end, so no byte is ever moved within
// it; elsewhere the bytes still needed are moved to the front when the end is
// reached. Mapping the file instead saves the copy out of the page cache but
// pays a page fault for every few pages, which costs more than the copy on
// the virtual machines measured, and twice as much for 1080p streams.
//
// A memory block is copied into a buffer of its own, so that every source
// can be written into as below.
class ByteSource {
 public:
  // window: the bytes the buffer holds at first, 4 KiB or more; ring: a ring
  // where the system can map one (tests choose small windows, and plain
  // buffers to try the moves).
  explicit ByteSource(size_t window = kWindow, bool ring = true)
      : window_size_(window < kHeadroom ? kHeadroom : window), ring_(ring) {}
  ~ByteSource();
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  bool open_file(const std::string& path, Error& error);
  void open_memory(const uint8_t* data, size_t size, const std::string& name);

  const uint8_t* data() const { return window_; }
  size_t avail() const { return window_end_ - window_; }
  uint64_t pos() const { return window_pos_; }
  uint64_t size() const { return size_; }
  const std::string& name() const { return name_; }
  // Bytes handed to the readers so far (for progress).
  uint64_t bytes_read() const { return window_pos_ + avail(); }
  bool mirrored() const { return memory_.mirrored(); }

  // Tries to have at least n bytes in the window. False when the input ends
  // first, or when n exceeds the window limit (error() then says so).
  bool ensure(size_t n);
  // Brings more input into the window. False at the end of the input.
  bool more();
  void consume(size_t n);
  bool at_end() const { return eof_ && window_ == window_end_; }
  // A read error or an oversized unit, if any.
  const Error& error() const { return error_; }

  // The buffer bytes from file offset `offset` on, for a caller that writes
  // into them (the plug-in rewrites start codes in place); the writes stay in
  // the buffer and never reach the input. Offsets from pos() - kHeadroom on:
  // the kHeadroom bytes in front of the window belong to no input byte still
  // in it, and a reader may build a frame that begins there. Valid until the
  // window moves (the next ensure() or more()) or until the bytes are
  // consumed.
  uint8_t* writable(uint64_t offset) {
    return offset >= window_pos_ ? window_ + (offset - window_pos_)
                                 : window_ - (window_pos_ - offset);
  }

  Error fail(uint64_t offset, const std::string& message) const;

  static constexpr size_t kWindow = size_t{16} << 20;
  static constexpr size_t kHeadroom = 4096;
  // Upper bound on the window: one unit larger than this is refused.
  static constexpr size_t kMaxWindow = size_t{512} << 20;

 private:
  bool fill(size_t want);
  bool fill_buffer();
  // Bytes the window can take in before its end meets the buffer's end (or,
  // in a ring, its own start less the headroom).
  size_t room() const;
  // Moves the window to the front or into a larger buffer, so that want
  // bytes and a quarter of the first window more fit.
  void make_room(size_t want);
  size_t capacity() const { return memory_.size() - kHeadroom; }

  std::string name_;
  size_t window_size_;
  bool ring_;
  int fd_ = -1;
  uint64_t size_ = 0;
  bool eof_ = false;
  // The buffer the window lies in, kHeadroom bytes from its start or later.
  // In a ring the window starts before data() + kHeadroom + memory_.size().
  sys::WindowMemory memory_;
  uint8_t* window_ = nullptr;
  uint8_t* window_end_ = nullptr;
  uint64_t window_pos_ = 0;
  Error error_;
};

}  // namespace mxmux
