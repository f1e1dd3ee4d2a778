// The POSIX side of the platform layer.
#include "platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

#include "platform/utf8.h"

FILE* platform_open_write(const char16_t* file_name) {
  if (file_name == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return std::fopen(wide_to_string(file_name).c_str(), "wb");
}

namespace {

int failure_code() {
  return errno != 0 ? errno : EIO;
}

// Custom streams have no descriptor: their writes go through the stream.
int write_spans_through_stream(FILE* file, const WriteSpan* spans, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    errno = 0;
    if (spans[i].size == 0) continue;
    if (std::fwrite(spans[i].data, 1, spans[i].size, file) != spans[i].size || std::ferror(file))
      return failure_code();
  }
  return 0;
}

// Seeks to pos, writes, and returns to the end: for streams without a
// descriptor, whose position is all there is.
int write_at_through_stream(FILE* file, const uint8_t* data, size_t n, int64_t pos) {
  int failure = 0;
  errno = 0;
  if (fseeko(file, static_cast<off_t>(pos), SEEK_SET) != 0) {
    failure = failure_code();
  } else {
    errno = 0;
    if (std::fwrite(data, 1, n, file) != n || std::ferror(file)) failure = failure_code();
  }
  errno = 0;
  if (fseeko(file, 0, SEEK_END) != 0 && failure == 0) failure = failure_code();
  return failure;
}

}  // namespace

int platform_write_at(FILE* file, const uint8_t* data, size_t n, int64_t pos) {
  if (file == nullptr) return EBADF;
  errno = 0;
  const int fd = fileno(file);
  if (fd < 0) return write_at_through_stream(file, data, n, pos);
  if (std::fflush(file) != 0) return failure_code();
  while (n > 0) {
    errno = 0;
    const ssize_t written = ::pwrite(fd, data, n, static_cast<off_t>(pos));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return failure_code();
    data += written;
    n -= static_cast<size_t>(written);
    pos += written;
  }
  return 0;
}

int platform_write_spans(FILE* file, const WriteSpan* spans, size_t count) {
  if (file == nullptr) return EBADF;
  errno = 0;
  const int fd = fileno(file);
  if (fd < 0) return write_spans_through_stream(file, spans, count);
  // The stream holds no bytes of its own after the flush, and it learns its
  // position from the descriptor again at its next seek or tell.
  if (std::fflush(file) != 0) return failure_code();
  constexpr size_t kMaxPieces = 64;  // well below every system's IOV_MAX
  struct iovec pieces[kMaxPieces];
  size_t next = 0;         // first span not yet handed over whole
  size_t next_offset = 0;  // bytes of spans[next] already written
  while (next < count) {
    size_t n = 0;
    for (size_t i = next; i < count && n < kMaxPieces; ++i) {
      const size_t skip = i == next ? next_offset : 0;
      if (spans[i].size == skip) continue;
      pieces[n].iov_base = const_cast<uint8_t*>(spans[i].data) + skip;
      pieces[n].iov_len = spans[i].size - skip;
      ++n;
    }
    if (n == 0) break;
    errno = 0;
    ssize_t written = ::writev(fd, pieces, static_cast<int>(n));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return failure_code();
    // Step over what was written: whole spans, then part of one.
    auto left = static_cast<size_t>(written);
    while (next < count && left >= spans[next].size - next_offset) {
      left -= spans[next].size - next_offset;
      next_offset = 0;
      ++next;
    }
    next_offset += left;
  }
  return 0;
}

bool platform_can_cut_back(FILE* file) {
  if (file == nullptr) return false;
  const int fd = fileno(file);
  struct stat st;
  return fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

int platform_cut_back(FILE* file, int64_t length) {
  if (file == nullptr) return EBADF;
  errno = 0;
  if (std::fflush(file) != 0) return failure_code();
  const int fd = fileno(file);
  if (fd < 0) return EBADF;
  errno = 0;
  if (::ftruncate(fd, static_cast<off_t>(length)) != 0) return failure_code();
  errno = 0;
  if (fseeko(file, static_cast<off_t>(length), SEEK_SET) != 0) return failure_code();
  return 0;
}

int platform_seek(FILE* file, int64_t offset, int whence) {
  return fseeko(file, static_cast<off_t>(offset), whence) == 0 ? 0 : -1;
}

int64_t platform_tell(FILE* file) {
  return static_cast<int64_t>(ftello(file));
}

int platform_check_written(FILE* file, int64_t written) {
  if (file == nullptr) return EBADF;
  struct stat st;
  if (fstat(fileno(file), &st) != 0) return errno != 0 ? errno : EIO;
  if (st.st_nlink == 0) return ENOENT;
  if (S_ISREG(st.st_mode) && static_cast<int64_t>(st.st_size) < written) return EIO;
  return 0;
}

int platform_sync(FILE* file) {
  if (file == nullptr) return EBADF;
  errno = 0;
  if (std::fflush(file) != 0) return failure_code();
  const int fd = fileno(file);
  if (fd < 0) return 0;
  errno = 0;
  if (::fsync(fd) == 0 || errno == EINVAL || errno == EROFS) return 0;
  return failure_code();
}

int32_t wide_to_multibyte(const char16_t* source, char* dst, int32_t dst_size) {
  if (dst == nullptr || dst_size <= 0) return 0;
  static constexpr char16_t kEmpty[] = u"";
  if (source == nullptr) source = kEmpty;
  // First measure, so that nothing is written when the result does not fit.
  int64_t needed = 1;
  char bytes[4];
  for (const char16_t* p = source; *p != 0;) {
    needed += encode_utf8(next_code_point(p), bytes);
    if (needed > dst_size) return 0;
  }
  char* out = dst;
  for (const char16_t* p = source; *p != 0;) out += encode_utf8(next_code_point(p), out);
  *out = 0;
  return static_cast<int32_t>(needed);
}

std::string wide_to_string(const char16_t* source) {
  std::string out;
  if (source == nullptr) return out;
  char bytes[4];
  for (const char16_t* p = source; *p != 0;) {
    out.append(bytes, static_cast<size_t>(encode_utf8(next_code_point(p), bytes)));
  }
  return out;
}

// The locale's 8-bit text is UTF-8 on every system this side builds for.
int32_t wide_to_ansi(const char16_t* source, char* dst, int32_t dst_size) {
  return wide_to_multibyte(source, dst, dst_size);
}

std::string wide_to_ansi_string(const char16_t* source) {
  return wide_to_string(source);
}

std::u16string platform_temp_directory() {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || dir[0] == 0) dir = "/tmp";
  std::u16string out = multibyte_to_wide(dir);
  if (out.back() != u'/') out.push_back(u'/');
  return out;
}

std::u16string platform_temp_file_path(const char16_t* name, size_t limit) {
  std::u16string path = platform_temp_directory();
  if (path.empty() || name == nullptr) return {};
  path += name;
  if (path.size() + 1 > limit) return {};
  return path;
}

void* platform_load_library(const char16_t* path) {
  if (path == nullptr) return nullptr;
  return dlopen(wide_to_string(path).c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* platform_find_symbol(void* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return dlsym(library, name);
}

void platform_free_library(void* library) {
  if (library != nullptr) dlclose(library);
}

namespace {

bool owner_is_trusted(const struct stat& st) {
  return st.st_uid == geteuid() || st.st_uid == 0;
}

bool file_is_trusted(const struct stat& st) {
  return S_ISREG(st.st_mode) && owner_is_trusted(st) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Opens path when it names a trusted library file; -1 otherwise.
int open_trusted(const char16_t* wide_path) {
  if (wide_path == nullptr) return -1;
  std::string path = wide_to_string(wide_path);
  struct stat link;
  if (lstat(path.c_str(), &link) != 0) return -1;
  if (S_ISLNK(link.st_mode) ? !owner_is_trusted(link) : !S_ISREG(link.st_mode)) return -1;
  // Non-blocking, so that a link to a FIFO cannot stall the open.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat file;
  if (fstat(fd, &file) != 0 || !file_is_trusted(file)) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

void* platform_load_private_library(const char16_t* path) {
  int fd = open_trusted(path);
  if (fd < 0) return nullptr;
  // Load the very file that was checked: it cannot be swapped in between.
  std::string checked = "/proc/self/fd/" + std::to_string(fd);
  void* library = nullptr;
  if (access(checked.c_str(), R_OK) == 0) library = dlopen(checked.c_str(), RTLD_NOW | RTLD_LOCAL);
  close(fd);
  return library;
}

bool platform_library_is_trusted(const char16_t* path) {
  int fd = open_trusted(path);
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::u16string platform_module_directory(const void* code_address) {
  Dl_info info{};
  if (dladdr(code_address, &info) == 0 || info.dli_fname == nullptr) return {};
  std::string file = info.dli_fname;
  char resolved[PATH_MAX];
  // The main program may be reported with an empty or relative name.
  if (file.empty() || file.find('/') == std::string::npos) {
    ssize_t n = readlink("/proc/self/exe", resolved, sizeof resolved - 1);
    if (n <= 0) return {};
    resolved[n] = 0;
    file = resolved;
  } else if (realpath(file.c_str(), resolved) != nullptr) {
    file = resolved;
  }
  size_t slash = file.rfind('/');
  if (slash == std::string::npos) return u".";
  return multibyte_to_wide(slash == 0 ? "/" : file.substr(0, slash).c_str());
}

FILE* platform_open_append(const char* file_name) {
  if (file_name == nullptr) return nullptr;
  return std::fopen(file_name, "ab");
}

int64_t platform_time() {
  return static_cast<int64_t>(std::time(nullptr));
}

int platform_rand() {
  return std::rand();
}

uint32_t platform_random32() {
  uint32_t value = 0;
  if (getrandom(&value, sizeof value, 0) == static_cast<ssize_t>(sizeof value)) return value;
  static std::random_device device;  // only when the system call is unavailable
  return device();
}
