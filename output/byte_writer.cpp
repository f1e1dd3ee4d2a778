// Buffered big-endian output with box-size patching.
//
// The stream's own position stays at its end between calls; patches of bytes
// already in the file are positioned writes (platform_write_at), which leave it
// there.
#include "output/byte_writer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

// Keeps the first failure: later ones are usually consequences of it.
void note_error(ByteWriter* w, int cause) {
  if (w->error == 0) w->error = cause != 0 ? cause : EIO;
}

// Hands the pieces to the stream at its position, one after the other
// (platform_write_spans: on POSIX one gathered write, straight to the system).
void hand_over(ByteWriter* w, const WriteSpan* spans, size_t count) {
  if (w->file == nullptr) {
    note_error(w, EBADF);
  } else if (int failure = platform_write_spans(w->file, spans, count); failure != 0) {
    note_error(w, failure);
  }
}

int64_t buffered(const ByteWriter* w) {
  return w->buf_ptr - w->buf_start;
}
int64_t free_space(const ByteWriter* w) {
  return w->buf_end - w->buf_ptr;
}

// Hands every buffered byte to the stream as one write.
void flush_buffer(ByteWriter* w) {
  int64_t used = buffered(w);
  if (used > 0) {
    const WriteSpan all{w->buf_start, static_cast<size_t>(used)};
    hand_over(w, &all, 1);
  }
  w->flushed += used;
  w->buf_ptr = w->buf_start;
}

// Hands the pieces to the stream straight from where they are, after the
// buffered bytes. total is their sum.
void write_direct(ByteWriter* w, const WriteSpan* spans, size_t count, int64_t total) {
  if (buffered(w) > 0) flush_buffer(w);
  hand_over(w, spans, count);
  w->flushed += total;
}

bool goes_direct(const ByteWriter* w, int64_t n) {
  return n >= kDirectWriteMin || n > w->buf_end - w->buf_start;
}

// A memory writer's buffer grows to hold n more bytes; false (ENOMEM noted)
// when it cannot.
bool grow_for(ByteWriter* w, int64_t n) {
  if (free_space(w) >= n) return true;
  const int64_t used = buffered(w);
  int64_t capacity = w->buf_end - w->buf_start;
  if (capacity < 256) capacity = 256;
  while (capacity - used < n) {
    if (capacity > INT64_MAX / 2) {
      note_error(w, ENOMEM);
      return false;
    }
    capacity *= 2;
  }
  auto* bigger = static_cast<uint8_t*>(realloc(w->buf_start, static_cast<size_t>(capacity)));
  if (bigger == nullptr) {
    note_error(w, ENOMEM);
    return false;
  }
  w->buf_start = bigger;
  w->buf_ptr = bigger + used;
  w->buf_end = bigger + capacity;
  return true;
}

// The append rule: large appends go to the stream directly (after what is
// buffered); the others are copied into the buffer, which is flushed first
// when they do not fit behind what it holds. n > 0.
void append(ByteWriter* w, const uint8_t* data, int64_t n) {
  if (n < kDirectWriteMin && n <= free_space(w)) {  // the common case first
    memcpy(w->buf_ptr, data, static_cast<size_t>(n));
    w->buf_ptr += n;
    return;
  }
  if (w->grows) {
    if (!grow_for(w, n)) return;
    memcpy(w->buf_ptr, data, static_cast<size_t>(n));
    w->buf_ptr += n;
    return;
  }
  if (goes_direct(w, n)) {
    const WriteSpan span = {data, static_cast<size_t>(n)};
    write_direct(w, &span, 1, n);
    return;
  }
  flush_buffer(w);
  memcpy(w->buf_ptr, data, static_cast<size_t>(n));
  w->buf_ptr += n;
}

// Integer primitives behave as n appends of one byte each; the common case,
// where all of them fit, is a single copy.
void append_small(ByteWriter* w, const uint8_t* bytes, int n) {
  if (free_space(w) >= n) {
    memcpy(w->buf_ptr, bytes, static_cast<size_t>(n));
    w->buf_ptr += n;
    return;
  }
  for (int i = 0; i < n; ++i) append(w, bytes + i, 1);
}

}  // namespace

ByteWriter* writer_create(int32_t capacity, FILE* file) {
  auto* w = static_cast<ByteWriter*>(malloc(sizeof(ByteWriter)));
  if (w == nullptr) return nullptr;
  *w = ByteWriter{};
  if (capacity > 0) {
    w->buf_start = static_cast<uint8_t*>(malloc(static_cast<size_t>(capacity)));
    if (w->buf_start == nullptr) {
      free(w);
      return nullptr;
    }
    w->buf_end = w->buf_start + capacity;
  }
  w->buf_ptr = w->buf_start;
  w->file = file;
  if (file == nullptr) {
    note_error(w, EBADF);
  } else {
    errno = 0;
    int64_t length = platform_tell(file);
    if (length < 0) {
      note_error(w, errno);
    } else {
      w->flushed = length;
    }
    w->can_cut_back = platform_can_cut_back(file);
  }
  return w;
}

ByteWriter* writer_create_memory(int32_t initial_capacity) {
  ByteWriter* w = writer_create(initial_capacity > 0 ? initial_capacity : 256, nullptr);
  if (w == nullptr) return nullptr;
  w->error = 0;  // no stream is wanted
  w->grows = true;
  return w;
}

const uint8_t* writer_bytes(const ByteWriter* w) {
  return w == nullptr ? nullptr : w->buf_start;
}

void writer_close(ByteWriter* w) {
  if (w == nullptr) return;
  if (buffered(w) > 0 && !w->grows) flush_buffer(w);
  free(w->buf_start);
  free(w);
}

int writer_flush(ByteWriter* w) {
  if (w == nullptr || w->grows) return w == nullptr ? 0 : w->error;
  if (buffered(w) > 0) flush_buffer(w);
  if (w->file != nullptr) {
    errno = 0;
    if (fflush(w->file) != 0) note_error(w, errno);
  }
  return w->error;
}

int writer_sync(ByteWriter* w) {
  if (w == nullptr || writer_flush(w) != 0 || w->grows) return writer_error(w);
  if (w->file == nullptr) {
    note_error(w, EBADF);
  } else if (int failure = platform_sync(w->file); failure != 0) {
    note_error(w, failure);
  }
  return w->error;
}

int32_t put_bytes(ByteWriter* w, const void* data, int32_t n) {
  if (w == nullptr || data == nullptr || n <= 0) return 0;
  append(w, static_cast<const uint8_t*>(data), n);
  return n;
}

int64_t put_bytes64(ByteWriter* w, const void* data, int64_t n) {
  if (w == nullptr || data == nullptr || n <= 0) return 0;
  append(w, static_cast<const uint8_t*>(data), n);
  return n;
}

int64_t put_spans(ByteWriter* w, const WriteSpan* spans, size_t count) {
  if (w == nullptr || spans == nullptr) return 0;
  int64_t total = 0;
  for (size_t i = 0; i < count; ++i) total += static_cast<int64_t>(spans[i].size);
  if (total <= 0) return 0;
  if (w->grows && !grow_for(w, total)) return 0;
  if (!w->grows && goes_direct(w, total)) {
    write_direct(w, spans, count, total);
    return total;
  }
  if (total > free_space(w) && !w->grows) flush_buffer(w);
  for (size_t i = 0; i < count; ++i) {
    if (spans[i].size == 0) continue;
    memcpy(w->buf_ptr, spans[i].data, spans[i].size);
    w->buf_ptr += spans[i].size;
  }
  return total;
}

void put_u8(ByteWriter* w, uint32_t v) {
  if (w == nullptr) return;
  const uint8_t b[1] = {static_cast<uint8_t>(v)};
  append_small(w, b, 1);
}

void put_be16(ByteWriter* w, uint32_t v) {
  if (w == nullptr) return;
  const uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  append_small(w, b, 2);
}

void put_be24(ByteWriter* w, uint32_t v) {
  if (w == nullptr) return;
  const uint8_t b[3] = {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                        static_cast<uint8_t>(v)};
  append_small(w, b, 3);
}

void put_be32(ByteWriter* w, uint32_t v) {
  if (w == nullptr) return;
  const uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                        static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  append_small(w, b, 4);
}

void put_be64(ByteWriter* w, uint64_t v) {
  put_be32(w, static_cast<uint32_t>(v >> 32));
  put_be32(w, static_cast<uint32_t>(v));
}

void put_tag(ByteWriter* w, const char* tag) {
  if (w == nullptr || tag == nullptr) return;
  put_bytes64(w, tag, static_cast<int64_t>(strlen(tag)));
}

void put_cstring(ByteWriter* w, const char* s) {
  if (w == nullptr) return;
  if (s == nullptr) {
    put_u8(w, 0);
    return;
  }
  put_bytes64(w, s, static_cast<int64_t>(strlen(s)) + 1);
}

void writer_cut_back(ByteWriter* w, int64_t pos) {
  if (w == nullptr || pos < 0 || pos > writer_tell(w)) return;
  if (pos >= w->flushed) {
    w->buf_ptr = w->buf_start + (pos - w->flushed);
    return;
  }
  w->buf_ptr = w->buf_start;  // every buffered byte lies behind pos
  if (!w->can_cut_back) {
    note_error(w, EINVAL);
  } else if (int failure = platform_cut_back(w->file, pos); failure != 0) {
    note_error(w, failure);
  }
  w->flushed = pos;
}

int32_t put_bytes_at(const void* data, int32_t n, int64_t pos, ByteWriter* w) {
  if (w == nullptr || data == nullptr || n <= 0 || pos < 0 || pos > writer_tell(w) - n) return 0;
  const auto* bytes = static_cast<const uint8_t*>(data);
  int64_t left = n;
  if (pos < w->flushed) {
    int64_t in_file = w->flushed - pos < left ? w->flushed - pos : left;
    if (w->file == nullptr) {
      note_error(w, EBADF);
    } else if (int failure = platform_write_at(w->file, bytes, static_cast<size_t>(in_file), pos);
               failure != 0) {
      note_error(w, failure);
    }
    bytes += in_file;
    left -= in_file;
    pos = w->flushed;
  }
  if (left > 0) memcpy(w->buf_start + (pos - w->flushed), bytes, static_cast<size_t>(left));
  return n;
}

int32_t put_be32_at(ByteWriter* w, uint32_t v, int64_t pos) {
  if (w == nullptr) return 0;
  const uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                        static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  return put_bytes_at(b, 4, pos, w);
}

namespace {

void put_large_size_at(ByteWriter* w, int64_t start, int64_t size) {
  put_be32_at(w, 1, start);
  uint8_t large[8];
  for (int i = 0; i < 8; ++i)
    large[i] = static_cast<uint8_t>(static_cast<uint64_t>(size) >> (56 - 8 * i));
  put_bytes_at(large, 8, start + 8, w);
}

}  // namespace

int64_t patch_box_size64(ByteWriter* w, int64_t start) {
  if (w == nullptr) return 0;
  int64_t size = writer_tell(w) - start;
  put_large_size_at(w, start, size);
  return size;
}

int64_t patch_box_size(ByteWriter* w, int64_t start) {
  if (w == nullptr) return 0;
  int64_t size = writer_tell(w) - start;
  if (size <= 0xFFFFFFFFll) {
    put_be32_at(w, static_cast<uint32_t>(size), start);
  } else {
    // 64-bit form: size field 1, the real size in the large-size field behind the tag.
    put_large_size_at(w, start, size);
  }
  return size;
}
