// libFuzzer target for mxmux --recover: any bytes are examined as a file a
// crash left as fragments, and what is taken for one is finished in place
// (in a memory file). A refusal must say why; a finished file must be one
// the next examination calls finished, without touching memory outside the
// input or overflowing on its sizes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "mxmux/files/recover.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("recover", 0);
  if (fd < 0) return 0;
  if (write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  mxmux::recover::Examination e;
  std::string error;
  if (!mxmux::recover::examine(fd, size, e, error)) {
    if (error.empty()) __builtin_trap();
    close(fd);
    return 0;
  }
  if (e.fragments_end > size || e.movie > size || e.head < e.room) __builtin_trap();
  if (mxmux::recover::finish(fd, e, 0, error)) {
    // Finished: the head's room ends where the head begins, and the file
    // is refused as finished from now on.
    const off_t finished_size = lseek(fd, 0, SEEK_END);
    mxmux::recover::Examination again;
    std::string why;
    if (mxmux::recover::examine(fd, static_cast<uint64_t>(finished_size), again, why) ||
        why.empty())
      __builtin_trap();
  } else if (error.empty()) {
    __builtin_trap();
  }
  close(fd);
  return 0;
}
