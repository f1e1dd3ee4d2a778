// A stdio stream over memory (fopencookie) that records every call the stream
// receives, so tests can see how a writer talks to its file: the size and place
// of each write, each seek, and what the file holds. It can be told to fail.
//
// Windows has no custom streams: there open() gives a temporary file, nothing
// is recorded and nothing fails; contents() reads what the file holds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

struct MemStream {
  struct Write {
    int64_t pos;
    size_t size;
  };

  // The file's bytes. When keep_limit is set, bytes at positions at or beyond
  // it are counted in length but not stored (for streams of several GiB).
  std::vector<uint8_t> data;
  int64_t length = 0;
  int64_t pos = 0;
  int64_t keep_limit = -1;

  std::vector<Write> writes;
  int seeks = 0;  // seek calls other than tells (SEEK_CUR with offset 0)
  int tells = 0;

  // Failure injection: writes fail (return -1 with write_errno) once this many
  // bytes were accepted; seeks fail with seek_errno while fail_seeks is set.
  int64_t fail_writes_after = -1;
  int write_errno = 0;
  bool fail_seeks = false;
  int seek_errno = 0;

  // Opens an unbuffered "w" stream on this object, so each fwrite reaches it
  // as one write. The caller fcloses it; the object must outlive the stream.
  FILE* open();
  // What the stream opened by open() holds, after the caller flushed it.
  std::vector<uint8_t> contents(FILE* stream) const;
  int total_calls() const { return static_cast<int>(writes.size()) + seeks + tells; }
};
