#include "support/mem_stream.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
FILE* MemStream::open() {
  return std::tmpfile();
}

std::vector<uint8_t> MemStream::contents(FILE* stream) const {
  std::vector<uint8_t> out;
  int64_t position = _ftelli64(stream);
  _fseeki64(stream, 0, SEEK_SET);
  uint8_t buffer[65536];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, stream))
    out.insert(out.end(), buffer, buffer + n);
  _fseeki64(stream, position, SEEK_SET);
  return out;
}
#else
namespace {

ssize_t mem_write(void* cookie, const char* buf, size_t size) {
  auto* m = static_cast<MemStream*>(cookie);
  if (m->fail_writes_after >= 0 && m->length + static_cast<int64_t>(size) > m->fail_writes_after) {
    // A failed write accepts nothing and returns 0 with errno set. glibc takes
    // a -1 from the write function of an unbuffered stream for a count: fwrite
    // then goes on byte by byte from behind the end of the caller's bytes.
    errno = m->write_errno;
    return 0;
  }
  m->writes.push_back({m->pos, size});
  int64_t end = m->pos + static_cast<int64_t>(size);
  int64_t stored_end = m->keep_limit >= 0 && end > m->keep_limit ? m->keep_limit : end;
  if (stored_end > static_cast<int64_t>(m->data.size())) m->data.resize(stored_end);
  if (stored_end > m->pos) memcpy(m->data.data() + m->pos, buf, stored_end - m->pos);
  m->pos = end;
  if (end > m->length) m->length = end;
  return static_cast<ssize_t>(size);
}

int mem_seek(void* cookie, off64_t* offset, int whence) {
  auto* m = static_cast<MemStream*>(cookie);
  if (whence == SEEK_CUR && *offset == 0) {
    ++m->tells;
    *offset = m->pos;
    return 0;
  }
  ++m->seeks;
  if (m->fail_seeks) {
    errno = m->seek_errno;
    return -1;
  }
  int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->pos : m->length;
  int64_t target = base + *offset;
  if (target < 0) {
    errno = EINVAL;
    return -1;
  }
  m->pos = target;
  *offset = target;
  return 0;
}

}  // namespace

FILE* MemStream::open() {
  cookie_io_functions_t io{};
  io.write = mem_write;
  io.seek = mem_seek;
  FILE* f = fopencookie(this, "w", io);
  if (f != nullptr) setvbuf(f, nullptr, _IONBF, 0);
  return f;
}

std::vector<uint8_t> MemStream::contents(FILE*) const {
  return std::vector<uint8_t>(data.begin(), data.begin() + length);
}
#endif
