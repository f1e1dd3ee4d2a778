#ifdef _WIN32
#define _CRT_RAND_S  // rand_s, for the names of temporary files
#endif
#include "mxmux/system.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <new>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace mxmux::sys {

#ifdef _WIN32

const char* const kPluginFile = "mx_mp4.dll";
const char* const kLogLibraryFile = "XQ_Log.dll";
const char* const kSeparators = "/\\";

namespace {

std::wstring wide(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  if (n <= 1) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), n);
  out.pop_back();
  return out;
}

std::string utf8(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.pop_back();
  return out;
}

FileKind kind_of(unsigned short mode) {
  if ((mode & _S_IFMT) == _S_IFREG) return FileKind::kRegular;
  if ((mode & _S_IFMT) == _S_IFDIR) return FileKind::kDirectory;
  return FileKind::kOther;
}

// One read call takes at most this much (its count is 32-bit).
constexpr size_t kMaxRead = size_t{1} << 30;

}  // namespace

bool same_name(const std::string& a, const std::string& b) {
  std::wstring wa = wide(a), wb = wide(b);
  for (auto* w : {&wa, &wb}) {
    for (wchar_t& c : *w) {
      if (c == L'/') c = L'\\';
    }
  }
  return CompareStringOrdinal(wa.c_str(), static_cast<int>(wa.size()), wb.c_str(),
                              static_cast<int>(wb.size()), TRUE) == CSTR_EQUAL;
}

FileKind file_kind(const std::string& path) {
  struct _stat64 st {};
  if (_wstat64(wide(path).c_str(), &st) != 0) return FileKind::kMissing;
  return kind_of(st.st_mode);
}

FileInfo file_info(const std::string& path) {
  FileInfo info;
  // No access asked: enough to read the attributes, even of files in use.
  HANDLE h =
      CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    info.kind = missing ? FileKind::kMissing : FileKind::kOther;
    info.error = missing ? ENOENT : EACCES;
    return info;
  }
  BY_HANDLE_FILE_INFORMATION data{};
  if (GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &data)) {
    info.kind = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::kDirectory
                                                                   : FileKind::kRegular;
    info.volume = data.dwVolumeSerialNumber;
    info.index = (uint64_t{data.nFileIndexHigh} << 32) | data.nFileIndexLow;
  }
  CloseHandle(h);
  return info;
}

bool is_standard_output(const std::string& path) {
  BY_HANDLE_FILE_INFORMATION out{};
  if (!GetFileInformationByHandle(GetStdHandle(STD_OUTPUT_HANDLE), &out)) return false;
  FileInfo info = file_info(path);
  return info.kind == FileKind::kRegular && info.volume == out.dwVolumeSerialNumber &&
         info.index == ((uint64_t{out.nFileIndexHigh} << 32) | out.nFileIndexLow);
}

bool is_symbolic_link(const std::string& path) {
  DWORD attributes = GetFileAttributesW(wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::string real_path(const std::string& path) {
  HANDLE h =
      CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return path;
  wchar_t buffer[32768];
  DWORD n = GetFinalPathNameByHandleW(h, buffer, 32768, FILE_NAME_NORMALIZED);
  CloseHandle(h);
  if (n == 0 || n >= 32768) return path;
  std::wstring full(buffer, n);
  // The result is in the \\?\ form; drive paths are given back without it.
  if (full.rfind(L"\\\\?\\", 0) == 0 && full.size() > 6 && full[5] == L':') full.erase(0, 4);
  return utf8(full.c_str());
}

bool writable(const std::string& path) {
  return _waccess(wide(path).c_str(), 2) == 0;
}

uint32_t new_file_mode() {
  return 0;
}

std::string temp_folder() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH) return ".";
  if (n > 1 && (buffer[n - 1] == L'\\' || buffer[n - 1] == L'/')) buffer[n - 1] = 0;
  return utf8(buffer);
}

int open_read(const std::string& path) {
  return _wopen(wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

int open_write(const std::string& path) {
  return _wopen(wide(path).c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
}

int open_append(const std::string& path) {
  return _wopen(wide(path).c_str(), _O_WRONLY | _O_APPEND | _O_BINARY | _O_NOINHERIT);
}

int create_new(const std::string& path) {
  return _wopen(wide(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                _S_IREAD | _S_IWRITE);
}

int create_unique(std::string& pattern, int suffix_length) {
  constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  size_t end = pattern.size() - static_cast<size_t>(suffix_length);
  size_t start = end;
  while (start > 0 && pattern[start - 1] == 'X') --start;
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (size_t i = start; i < end; ++i) {
      unsigned int r = 0;
      rand_s(&r);
      pattern[i] = kLetters[r % (sizeof kLetters - 1)];
    }
    int fd = create_new(pattern);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

int64_t write(int fd, const void* buffer, size_t n) {
  return _write(fd, buffer, static_cast<unsigned>(n < kMaxRead ? n : kMaxRead));
}

bool sync_file(int fd, uint32_t) {
  return _commit(fd) == 0;
}

bool sync_file(int fd) {
  return _commit(fd) == 0;
}

void set_mode(int, uint32_t) {}

bool replace_file(const std::string& from, const std::string& to) {
  if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
  return false;
}

void remove_file(const std::string& path) {
  _wunlink(wide(path).c_str());
}

bool file_info(int fd, FileKind& kind, uint64_t& size) {
  struct _stat64 st {};
  if (_fstat64(fd, &st) != 0) return false;
  kind = kind_of(st.st_mode);
  size = kind == FileKind::kRegular ? static_cast<uint64_t>(st.st_size) : 0;
  return true;
}

int64_t read(int fd, void* buffer, size_t n) {
  return _read(fd, buffer, static_cast<unsigned>(n < kMaxRead ? n : kMaxRead));
}

int64_t read_at(int fd, void* buffer, size_t n, uint64_t offset) {
  if (_lseeki64(fd, static_cast<int64_t>(offset), SEEK_SET) < 0) return -1;
  return read(fd, buffer, n);
}

void close(int fd) {
  _close(fd);
}

bool close_checked(int fd) {
  return _close(fd) == 0;
}

int open_update(const std::string& path) {
  return _wopen(wide(path).c_str(), _O_RDWR | _O_BINARY | _O_NOINHERIT);
}

bool write_at(int fd, const void* buffer, size_t n, uint64_t offset) {
  if (_lseeki64(fd, static_cast<int64_t>(offset), SEEK_SET) < 0) return false;
  const auto* bytes = static_cast<const char*>(buffer);
  while (n > 0) {
    int written = _write(fd, bytes, static_cast<unsigned>(n < kMaxRead ? n : kMaxRead));
    if (written <= 0) return false;
    bytes += written;
    n -= static_cast<size_t>(written);
  }
  return true;
}

bool truncate_file(int fd, uint64_t size) {
  return _chsize_s(fd, static_cast<int64_t>(size)) == 0;
}

void advise_sequential(int) {}

namespace {

uint8_t* plain_buffer(size_t n) {
  void* buffer = std::malloc(n);
  if (buffer == nullptr) throw std::bad_alloc();
  return static_cast<uint8_t*>(buffer);
}

void free_plain_buffer(uint8_t* buffer) {
  std::free(buffer);
}

// No ring on Windows: two views of one section side by side need a split
// placeholder (VirtualAlloc2 and MapViewOfFile3, Windows 10 1803 and later),
// which Wine, where the Windows build is tested, does not offer; the window
// moves to the front of a plain buffer instead.
uint8_t* map_twice(size_t, size_t&) {
  return nullptr;
}

void unmap_twice(uint8_t*, size_t) {}

}  // namespace

bool touch_writable(const std::string& path) {
  int fd = _wopen(wide(path).c_str(), _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
  if (fd < 0) return false;
  _close(fd);
  return true;
}

void remove_regular_file(const std::string& path) {
  if (file_kind(path) == FileKind::kRegular) _wunlink(wide(path).c_str());
}

uint64_t file_size(const std::string& path) {
  struct _stat64 st {};
  if (_wstat64(wide(path).c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

bool stderr_is_terminal() {
  return _isatty(_fileno(stderr)) != 0;
}

void on_stop_request(void (*handler)(int)) {
  std::signal(SIGINT, handler);
  std::signal(SIGTERM, handler);
}

std::string program_directory() {
  std::wstring file(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, file.data(), static_cast<DWORD>(file.size()));
    if (n == 0) return ".\\";
    if (n < file.size()) {
      file.resize(n);
      break;
    }
    file.resize(file.size() * 2);
  }
  return utf8(file.substr(0, file.find_last_of(L"\\/") + 1).c_str());
}

void* load_library(const std::string& path, std::string& error) {
  HMODULE library = LoadLibraryW(wide(path).c_str());
  if (library == nullptr) error = "Windows error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(library);
}

void* find_symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void free_library(void* library) {
  FreeLibrary(static_cast<HMODULE>(library));
}

bool utc_calendar_time(int64_t seconds, std::tm& out) {
  __time64_t t = seconds;
  return _gmtime64_s(&out, &t) == 0;
}

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide_argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide_argv == nullptr || count != argc) {
    if (wide_argv != nullptr) LocalFree(wide_argv);
    return std::vector<std::string>(argv, argv + argc);
  }
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(utf8(wide_argv[i]));
  LocalFree(wide_argv);
  return out;
}

#else

const char* const kPluginFile = "mx_mp4.so";
const char* const kLogLibraryFile = "libXQ_Log.so";
const char* const kSeparators = "/";

bool same_name(const std::string& a, const std::string& b) {
  return a == b;
}

namespace {

FileKind kind_of(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::kRegular;
  if (S_ISDIR(mode)) return FileKind::kDirectory;
  return FileKind::kOther;
}

}  // namespace

FileKind file_kind(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return FileKind::kMissing;
  return kind_of(st.st_mode);
}

FileInfo file_info(const std::string& path) {
  FileInfo info;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    info.error = errno;
    info.kind = errno == ENOENT ? FileKind::kMissing : FileKind::kOther;
    return info;
  }
  info.kind = kind_of(st.st_mode);
  info.volume = static_cast<uint64_t>(st.st_dev);
  info.index = static_cast<uint64_t>(st.st_ino);
  info.mode = static_cast<uint32_t>(st.st_mode & 07777);
  return info;
}

bool is_standard_output(const std::string& path) {
  struct stat out {
  }, file{};
  return ::fstat(STDOUT_FILENO, &out) == 0 && ::stat(path.c_str(), &file) == 0 &&
         out.st_dev == file.st_dev && out.st_ino == file.st_ino;
}

bool is_symbolic_link(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string real_path(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string out(real);
  std::free(real);
  return out;
}

bool writable(const std::string& path) {
  return ::access(path.c_str(), W_OK) == 0;
}

uint32_t new_file_mode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~static_cast<uint32_t>(mask);
}

std::string temp_folder() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

int open_read(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

int open_write(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
}

int open_append(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
}

int create_new(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

int create_unique(std::string& pattern, int suffix_length) {
  return ::mkstemps(pattern.data(), suffix_length);
}

int64_t write(int fd, const void* buffer, size_t n) {
  return ::write(fd, buffer, n);
}

bool sync_file(int fd, uint32_t mode) {
  return ::fsync(fd) == 0 && ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
}

bool sync_file(int fd) {
  return ::fsync(fd) == 0;
}

void set_mode(int fd, uint32_t mode) {
  ::fchmod(fd, static_cast<mode_t>(mode & 07777));
}

bool replace_file(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

void remove_file(const std::string& path) {
  ::unlink(path.c_str());
}

bool file_info(int fd, FileKind& kind, uint64_t& size) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  kind = kind_of(st.st_mode);
  size = kind == FileKind::kRegular ? static_cast<uint64_t>(st.st_size) : 0;
  return true;
}

int64_t read(int fd, void* buffer, size_t n) {
  return ::read(fd, buffer, n);
}

int64_t read_at(int fd, void* buffer, size_t n, uint64_t offset) {
  return ::pread(fd, buffer, n, static_cast<off_t>(offset));
}

void close(int fd) {
  ::close(fd);
}

bool close_checked(int fd) {
  return ::close(fd) == 0;
}

int open_update(const std::string& path) {
  return ::open(path.c_str(), O_RDWR | O_CLOEXEC);
}

bool write_at(int fd, const void* buffer, size_t n, uint64_t offset) {
  const auto* bytes = static_cast<const char*>(buffer);
  while (n > 0) {
    ssize_t written = ::pwrite(fd, bytes, n, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    offset += static_cast<uint64_t>(written);
    n -= static_cast<size_t>(written);
  }
  return true;
}

bool truncate_file(int fd, uint64_t size) {
  return ::ftruncate(fd, static_cast<off_t>(size)) == 0;
}

void advise_sequential(int fd) {
#ifdef POSIX_FADV_SEQUENTIAL
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#else
  (void)fd;
#endif
}

namespace {

uint8_t* plain_buffer(size_t n) {
  constexpr size_t kHugePage = size_t{2} << 20;
  if (n > SIZE_MAX - kHugePage) throw std::bad_alloc();
  const size_t rounded = (n + kHugePage - 1) / kHugePage * kHugePage;
  void* buffer = std::aligned_alloc(kHugePage, rounded);
  if (buffer == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  ::madvise(buffer, rounded, MADV_HUGEPAGE);
#endif
  return static_cast<uint8_t*>(buffer);
}

void free_plain_buffer(uint8_t* buffer) {
  std::free(buffer);
}

// An anonymous memory file mapped twice into a reserved range of twice its
// size; MAP_POPULATE maps every page at once.
uint8_t* map_twice(size_t n, size_t& size) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  if (n > SIZE_MAX / 2 - page) return nullptr;
  size = (n + page - 1) / page * page;
  int fd = ::memfd_create("mxmux-input", MFD_CLOEXEC);
  if (fd < 0) return nullptr;
  void* base = MAP_FAILED;
  if (::ftruncate(fd, static_cast<off_t>(size)) == 0) {
    base = ::mmap(nullptr, 2 * size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }
  bool mapped = base != MAP_FAILED;
  for (size_t i = 0; mapped && i < 2; ++i) {
    uint8_t* at = static_cast<uint8_t*>(base) + i * size;
    mapped = ::mmap(at, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED | MAP_POPULATE, fd,
                    0) == at;
  }
  ::close(fd);  // the mappings keep the memory
  if (mapped) return static_cast<uint8_t*>(base);
  if (base != MAP_FAILED) ::munmap(base, 2 * size);
  return nullptr;
}

void unmap_twice(uint8_t* base, size_t size) {
  ::munmap(base, 2 * size);
}

}  // namespace

bool touch_writable(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

void remove_regular_file(const std::string& path) {
  if (file_kind(path) == FileKind::kRegular) ::unlink(path.c_str());
}

uint64_t file_size(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

bool stderr_is_terminal() {
  return isatty(STDERR_FILENO) != 0;
}

void on_stop_request(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

std::string program_directory() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  buf[n] = 0;
  std::string exe(buf);
  return exe.substr(0, exe.find_last_of('/') + 1);
}

void* load_library(const std::string& path, std::string& error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    error = why ? why : "unknown reason";
  }
  return library;
}

void* find_symbol(void* library, const char* name) {
  return dlsym(library, name);
}

void free_library(void* library) {
  dlclose(library);
}

bool utc_calendar_time(int64_t seconds, std::tm& out) {
  std::time_t t = static_cast<std::time_t>(seconds);
  return gmtime_r(&t, &out) != nullptr;
}

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

#endif

WindowMemory::WindowMemory(size_t n, bool mirror) {
  if (mirror) {
    data_ = map_twice(n, size_);
    mirrored_ = data_ != nullptr;
  }
  if (!mirrored_) {
    data_ = plain_buffer(n);
    size_ = n;
  }
}

WindowMemory::WindowMemory(WindowMemory&& other) noexcept
    : data_(other.data_), size_(other.size_), mirrored_(other.mirrored_) {
  other.data_ = nullptr;
}

WindowMemory& WindowMemory::operator=(WindowMemory&& other) noexcept {
  if (this != &other) {
    release();
    data_ = other.data_;
    size_ = other.size_;
    mirrored_ = other.mirrored_;
    other.data_ = nullptr;
  }
  return *this;
}

void WindowMemory::release() {
  if (data_ == nullptr) return;
  if (mirrored_) {
    unmap_twice(data_, size_);
  } else {
    free_plain_buffer(data_);
  }
  data_ = nullptr;
}

}  // namespace mxmux::sys
