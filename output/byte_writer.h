// Buffered big-endian output with box-size patching.
//
// Every byte of an output file passes through one ByteWriter: an in-memory
// buffer in front of a stdio stream that the session opened. Positions are
// logical: bytes already in the file plus bytes still buffered. Box sizes can
// be patched at any earlier position, in the file, in the buffer, or across
// the boundary between the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

struct ByteWriter {
  uint8_t* buf_start = nullptr;
  uint8_t* buf_end = nullptr;
  uint8_t* buf_ptr = nullptr;
  FILE* file = nullptr;  // not owned
  // First I/O failure (an errno value, or EIO for a short write); 0 while all is well.
  // Sticky: later operations keep the first cause.
  int error = 0;
  // Bytes already handed to the stream. Every byte of the file passes through
  // this writer, so this equals the stream's length and no tell is needed per call.
  int64_t flushed = 0;
  // A memory writer (writer_create_memory): the buffer grows instead of being
  // handed to a stream.
  bool grows = false;
  // The stream's file can be cut back (platform_can_cut_back), so that
  // writer_cut_back can take back bytes that already reached it.
  bool can_cut_back = false;
};

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Fuzz builds: every session then flushes, and patches sizes of bytes already
// in the file, as only files above 8 MiB otherwise do; and a session does not
// pay for 8 MiB of sanitizer shadow memory twice.
constexpr int32_t kMuxWriterCapacity = 4096;
#else
constexpr int32_t kMuxWriterCapacity = 0x800000;  // 8 MiB
#endif
// Appends of at least this many bytes (and any that does not fit into the
// whole buffer) skip the buffer: what it holds is flushed, then the bytes go
// to the stream straight from where they are. Below it, a copy into the buffer
// costs less than the stream call it saves.
constexpr int64_t kDirectWriteMin = 0x10000;  // 64 KiB

// Null when the record or its buffer cannot be allocated. A null file is
// accepted: nothing reaches any stream and the error is EBADF.
ByteWriter* writer_create(int32_t capacity, FILE* file);
// A writer that keeps every byte in memory, for boxes that are built before
// their place in the file is written (positions count from 0). Its buffer
// grows as needed; a growth that fails is an ENOMEM error and the bytes that
// did not fit are dropped. Null when the record cannot be allocated.
ByteWriter* writer_create_memory(int32_t initial_capacity);
// The bytes of a memory writer (writer_tell(w) of them).
const uint8_t* writer_bytes(const ByteWriter* w);
// Final flush of the buffered bytes (no stream call when none are buffered),
// then frees the writer. The stream stays open.
void writer_close(ByteWriter* w);
// Hands the buffered bytes to the stream and flushes the stream's own buffer,
// so that a caller can learn from writer_error whether everything reached the
// file before it closes the writer. Returns writer_error.
int writer_flush(ByteWriter* w);
// writer_flush, then waits until the system has the file's bytes on its
// storage (platform_sync), so that no later write reaches the storage before
// them. Returns writer_error.
int writer_sync(ByteWriter* w);
inline int64_t writer_tell(const ByteWriter* w) {
  return w == nullptr ? 0 : w->flushed + (w->buf_ptr - w->buf_start);
}
inline bool writer_can_cut_back(const ByteWriter* w) {
  return w != nullptr && w->can_cut_back;
}
// The first I/O error the writer met (0 when none).
inline int writer_error(const ByteWriter* w) {
  return w == nullptr ? 0 : w->error;
}

// A null data pointer, a null writer or a negative length append nothing and
// return 0 (a zero length returns 0 as well).
int32_t put_bytes(ByteWriter* w, const void* data, int32_t n);
// For payloads whose length does not fit an i32 (the 4 GiB tests); same behaviour.
int64_t put_bytes64(ByteWriter* w, const void* data, int64_t n);
// Appends the pieces one after the other, as one append of their total: below
// kDirectWriteMin copied into the buffer, otherwise flush and one gathered
// write of all of them. Returns the total (0 for a null writer; a piece with
// null data must have size 0).
int64_t put_spans(ByteWriter* w, const WriteSpan* spans, size_t count);
void put_u8(ByteWriter* w, uint32_t v);
void put_be16(ByteWriter* w, uint32_t v);
void put_be24(ByteWriter* w, uint32_t v);
void put_be32(ByteWriter* w, uint32_t v);
void put_be64(ByteWriter* w, uint64_t v);
void put_tag(ByteWriter* w, const char* tag);
void put_cstring(ByteWriter* w, const char* s);

// Closes the box opened at start: size = writer_tell - start goes into its size
// field; above 0xFFFFFFFF the field becomes 1 and the size goes into the 64-bit
// field at start + 8 (the box must have been opened with a 16-byte header).
// Returns the size (0 for a null writer).
int64_t patch_box_size(ByteWriter* w, int64_t start);
// Closes a box opened with a 16-byte header (size field 1, tag, 64-bit size)
// in that form whatever its size, so that the header can later be rewritten
// in one piece. Returns the size (0 for a null writer).
int64_t patch_box_size64(ByteWriter* w, int64_t start);
// Takes back every byte from logical position pos on (0 <= pos <= writer_tell;
// otherwise nothing happens): buffered ones are dropped, and when some had
// reached the file, it is cut back to pos (only for a writer that
// can_cut_back; any other notes EINVAL). The next byte goes to pos.
void writer_cut_back(ByteWriter* w, int64_t pos);

// Overwrites n earlier bytes at logical position pos. The region must lie
// inside what was written (0 <= pos, pos + n <= writer_tell); otherwise, and for
// a null writer or data, nothing is written and the result is 0.
int32_t put_bytes_at(const void* data, int32_t n, int64_t pos, ByteWriter* w);
int32_t put_be32_at(ByteWriter* w, uint32_t v, int64_t pos);

// Opens a box at the current position: placeholder size and tag. Returns its start.
inline int64_t open_box(ByteWriter* w, const char* tag) {
  int64_t start = writer_tell(w);
  put_be32(w, 0);
  put_tag(w, tag);
  return start;
}
// Opens a full box: placeholder size, tag, version and flags.
inline int64_t open_full_box(ByteWriter* w, const char* tag, uint32_t version, uint32_t flags) {
  int64_t start = open_box(w, tag);
  put_u8(w, version);
  put_be24(w, flags);
  return start;
}
