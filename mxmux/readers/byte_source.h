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

}  // namespace mxmux
